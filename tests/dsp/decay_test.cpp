// Decay times, octave filters and modes, each against a model whose exact
// answer the test computes itself (harmonic distortion: tests/analyze).
#include "dsp/decay.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numeric>
#include <random>
#include <vector>

#include "dsp/biquad.h"
#include "dsp/modes.h"
#include "dsp/octave_bands.h"
#include "dsp/transfer.h"

namespace {

using Doubles = std::vector<double>;
const double kRate = 48000, kPi = 3.14159265358979323846;

Transfer Spectrum(const Doubles& x) {
  Transfer t;
  t.size = static_cast<long>(x.size());
  t.bin_hz = kRate / t.size;
  TransferFromImpulse(x, &t);
  return t;
}

// The signal of spectrum t within [lo, hi) Hz.
Doubles Brick(Transfer t, double lo, double hi) {
  for (size_t k = 0; k < t.h.size(); ++k)
    if (k * t.bin_hz < lo || k * t.bin_hz >= hi) t.h[k] = 0.0;
  return ImpulseResponse(t);
}

Doubles Noise(long n, double sigma, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> normal(0.0, sigma);
  Doubles x(n);
  for (double& v : x) v = normal(gen);
  return x;
}

// The filter's relative attenuation at the class 1 check frequencies of IEC
// 61260-1 (octave bands, base ten), from the DTFT of its impulse response.
TEST(OctaveBands, MagnitudeWithinClassOneLimits) {
  // Attenuation relative to the mid-band's, at kOctaveRatio^power_of_g from it.
  struct Limit {
    double power_of_g, min_db, max_db;
  } limits[] = {{0.125, -0.4, 0.5}, {0.25, -0.4, 0.7}, {0.375, -0.4, 1.4},
                {0.5, 1.2, 5.3},    {1, 16.6, 1e9},    {2, 40.5, 1e9},
                {3, 60, 1e9},       {4, 70, 1e9},      {5, 70, 1e9}};
  Doubles impulse(48000, 0.0);
  impulse[0] = 1.0;
  for (int band = 0; band < kOctaveBandCount; ++band) {
    const double fm = OctaveBandCentre(band);
    long lead;
    const Doubles h = BandFilter(impulse.data(), 48000, kRate, fm, 1.0, &lead);
    auto gain_db = [&](double f) {
      std::complex<double> sum = 0;
      for (size_t i = 0; i < h.size(); ++i) sum += h[i] * std::polar(1.0, -2 * kPi * f * i / kRate);
      return 20 * std::log10(std::abs(sum));
    };
    const double ref = gain_db(fm);
    double pass = 1e9, stop = 1e9;  // the least room under the largest and above the least
    for (const Limit& l : limits)
      for (double side : {-1.0, 1.0}) {
        const double f = fm * std::pow(kOctaveRatio, side * l.power_of_g);
        if (f >= kRate / 2) continue;
        const double att = ref - gain_db(f);
        EXPECT_TRUE(att >= l.min_db && att <= l.max_db) << fm << " Hz at " << f << ": " << att;
        pass = std::min(pass, l.max_db - att);
        if (l.min_db > 0) stop = std::min(stop, att - l.min_db);
      }
    printf("octave %5.0f Hz: class 1 margins %.2f dB (pass band), %.2f dB (stop band)\n", fm, pass,
           stop);
  }
}

// Noise that decays in each 1/6 octave at T(f) = 0.8 s * 2^(-0.1 octaves
// above 63 Hz) from 10 ms on, over white noise 60 dB below its start, and hiss
// at 8.5-11 kHz that leaves the 8 kHz band about 30 dB. A band's decay meets
// its noise after its range: the band's power of the undecayed noise over that
// of the noise floor. Single noise decays differ by up to 40 % in the bass (a
// 63 Hz band holds about three independent values per decay time constant),
// so the times of 64 are averaged.
double ModelT60(double f) { return 0.8 * std::pow(2.0, -0.1 * std::log2(f / 63.0)); }

double BandPowerDb(const Doubles& x, double centre) {
  long lead;
  const Doubles b = BandFilter(x.data(), static_cast<long>(x.size()), kRate, centre, 1, &lead);
  return 10 * std::log10(std::inner_product(b.begin() + lead, b.end(), b.begin() + lead, 0.0) /
                         (b.size() - lead));
}

TEST(Decay, OctaveBandsOfDecayingNoiseWithANoiseFloor) {
  const long n = 72000, t0 = 480, seeds = 64;
  double mean[kOctaveBandCount][4] = {}, range[kOctaveBandCount];
  Doubles white, floor;
  for (int seed = 0; seed < seeds; ++seed) {
    white = Noise(n, 1.0, 3 * seed);
    floor = Noise(n, 1e-3, 3 * seed + 1);
    const Doubles hiss =
        Brick(Spectrum(Noise(n, std::pow(10, -27 / 20.0), 3 * seed + 2)), 8500, 11000);
    for (long i = 0; i < n; ++i) floor[i] += hiss[i];
    Doubles ir = floor;
    const Transfer spectrum = Spectrum(white);
    for (double lo = 11; lo < 24000; lo *= std::pow(2, 1 / 6.0)) {
      const Doubles slice = Brick(spectrum, lo, lo * std::pow(2, 1 / 6.0));
      const double fall = std::pow(10.0, -3.0 / kRate / ModelT60(lo * std::pow(2, 1 / 12.0)));
      double gain = 1;
      for (long i = t0; i < n; ++i, gain *= fall) ir[i] += slice[i] * gain;
    }
    const std::vector<BandDecay> bands = OctaveDecays(ir.data(), n, kRate, 20, 20000);
    ASSERT_EQ(bands.size(), size_t(kOctaveBandCount));
    for (int b = 0; b < kOctaveBandCount; ++b) {
      const Decay& d = bands[b].decay;
      const double t60 = ModelT60(bands[b].centre);
      if (seed == 0)
        range[b] = BandPowerDb(white, bands[b].centre) - BandPowerDb(floor, bands[b].centre);
      const DecayTime* times[] = {&d.edt, &d.t20, &d.t30};
      for (int k = 0; k < 3; ++k) {
        const bool spans = range[b] >= (k ? 15 + 10 * k : 10) + 10;
        ASSERT_EQ(times[k]->status, spans ? DecayStatus::kOk : DecayStatus::kTooLittleRange) << b;
        mean[b][k] += times[k]->seconds / t60 / seeds;
      }
      mean[b][3] += (d.truncation.point - t0) / kRate / (t60 * range[b] / 60) / seeds;
    }
  }
  for (int b = 0; b < kOctaveBandCount; ++b) {
    printf("%4d Hz, range %4.1f dB: EDT %.3f T20 %.3f T30 %.3f truncation %.3f of the model's\n",
           kOctaveBandNominal[b], range[b], mean[b][0], mean[b][1], mean[b][2], mean[b][3]);
    EXPECT_TRUE(std::fabs(mean[b][0] - 1) <= 0.1 && std::fabs(mean[b][3] - 1) <= 0.1) << b;
    const double tolerance = b == 0 ? 0.1 : 0.05;  // the 63 Hz band's few values bias it
    for (int k = 1; k < 3; ++k)
      EXPECT_TRUE(std::isnan(mean[b][k]) || std::fabs(mean[b][k] - 1) <= tolerance) << b << k;
  }
  EXPECT_TRUE(range[7] < 35 && range[6] > 45);  // the 8 kHz band lacks T20 and T30; others not
  // Broadband: one decay of 0.5 s over noise 50 dB below its start meets it
  // at 10 ms + 0.5 * 50/60 s. Noise alone decays nowhere.
  Doubles ir = Noise(n, std::pow(10, -50 / 20.0), 99);
  for (long i = t0; i < n; ++i) ir[i] += white[i] * std::pow(10, -6.0 * (i - t0) / kRate);
  const Truncation t = FindTruncation(ir.data(), n, kRate);
  printf("broadband truncation %.3f s (model %.3f), late T60 %.3f s\n", t.point / kRate,
         t0 / kRate + 0.5 * 50 / 60, t.late_t60);
  EXPECT_TRUE(t.found && std::fabs(t.point / kRate - (t0 / kRate + 0.5 * 50 / 60)) <= 0.05 &&
              std::fabs(t.late_t60 - 0.5) <= 0.05);
  EXPECT_FALSE(FindTruncation(floor.data(), n, kRate).found ||
               FindTruncation(ir.data(), 0, kRate).found);
  const Doubles nans(n, NAN);  // nothing to decay, and no crash
  EXPECT_EQ(OctaveDecays(nans.data(), n, kRate, 20, 20000)[0].decay.edt.status,
            DecayStatus::kNoDecay);
  EXPECT_EQ(OctaveDecays(floor.data(), n, kRate, 20, 20000)[3].decay.t30.status,
            DecayStatus::kNoDecay);
}

// Two modes from peaking biquads over a direct sound and a noise floor: each
// one's decay within 10 % of its poles' T60 = 3 ln 10 / (-ln r * rate).
TEST(Modes, FoundWithTheirPolesDecay) {
  const FilterSpec modes[] = {{FilterType::kPeak, 42, 10, 8}, {FilterType::kPeak, 71, 12, 12}};
  Doubles ir = Noise(144000, 1e-4, 5);
  Biquad q[2] = {MakeBiquad(modes[0], kRate), MakeBiquad(modes[1], kRate)};
  for (long i = 480; i < 144000; ++i) ir[i] += BiquadStep(&q[1], BiquadStep(&q[0], i == 480));
  const std::vector<Mode> found = FindModes(ir.data(), 144000, kRate, ModeSettings());
  ASSERT_EQ(found.size(), 2u);
  for (int m = 0; m < 2; ++m) {
    const Mode& f = found[std::fabs(found[0].freq - modes[m].freq) > 5];
    const double t60 = 3 * std::log(10.0) / (-std::log(std::sqrt(q[m].a2)) * kRate);
    printf("mode %.1f Hz %+.1f dB decay %.3f s (poles %.3f s)\n", f.freq, f.level_db,
           f.decay.seconds, t60);
    EXPECT_NEAR(f.freq, modes[m].freq, 0.01 * modes[m].freq);
    EXPECT_TRUE(f.level_db > modes[m].gain_db - 6 && f.level_db < modes[m].gain_db + 0.5);
    EXPECT_NEAR(f.decay.seconds, t60, 0.1 * t60);
  }
  // Modes too close for the 1/12-octave response to part, whose two peaks
  // lead to one bin: one mode, named once.
  Biquad close[2] = {MakeBiquad({FilterType::kPeak, 88, 10, 10}, kRate),
                     MakeBiquad({FilterType::kPeak, 95, 10, 10}, kRate)};
  ir = Noise(144000, 1e-4, 5);
  for (long i = 480; i < 144000; ++i) ir[i] += BiquadStep(&close[1], BiquadStep(&close[0], i == 480));
  EXPECT_EQ(FindModes(ir.data(), 144000, kRate, ModeSettings()).size(), 1u);
}

}  // namespace
