#include "plot/derived.h"

#include <cmath>
#include <complex>

#include "dsp/transfer.h"

void GroupDelay(const Curve& curve, std::vector<double>* freq, std::vector<double>* ms) {
  freq->clear();
  ms->clear();
  const std::vector<double>& f = curve.freq;
  for (size_t k = 1; k < f.size() && curve.phase.size() == f.size(); ++k) {
    const double turns = std::remainder(curve.phase[k] - curve.phase[k - 1], 360.0) / 360.0;
    freq->push_back((f[k - 1] + f[k]) / 2.0);
    ms->push_back(-1000.0 * turns / (f[k] - f[k - 1]));
  }
}

std::vector<double> EnergyTimeDb(const std::vector<double>& ir) {
  const long n = static_cast<long>(ir.size());
  Transfer t;
  t.size = FftSize(2 * n);
  std::vector<double> padded(static_cast<size_t>(t.size), 0.0);
  std::copy(ir.begin(), ir.end(), padded.begin());
  TransferFromImpulse(padded, &t);
  // The Hilbert transform: every positive frequency turned by -90 degrees,
  // nothing at 0 Hz and at the Nyquist frequency.
  for (std::complex<double>& h : t.h) h *= std::complex<double>(0.0, -1.0);
  t.h.front() = 0.0;
  if (t.size % 2 == 0) t.h.back() = 0.0;
  const std::vector<double> quadrature = ImpulseResponse(t);
  std::vector<double> db(ir.size());
  for (size_t i = 0; i < ir.size(); ++i) {
    const double power = ir[i] * ir[i] + quadrature[i] * quadrature[i];
    db[i] = power > 1e-40 ? 10.0 * std::log10(power) : -400.0;
  }
  return db;
}

void DistortionCurves(const DistortionTable& table, Curve curves[3], std::vector<bool> floors[3]) {
  for (const DistortionRow& r : table.rows) {
    const double db[3] = {r.h[0], r.h[1], 20.0 * std::log10(r.thd / 100.0)};
    const bool floor[3] = {r.below[0], r.below[1], r.below[0] && r.below[1]};
    for (int k = 0; k < 3; ++k) {
      curves[k].freq.push_back(r.freq);
      curves[k].db.push_back(db[k]);
      floors[k].push_back(floor[k]);
    }
  }
}
