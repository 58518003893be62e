#include "dsp/biquad.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

Biquad MakeBiquad(const FilterSpec& filter, double rate) {
  const double w0 = 2.0 * kPi * filter.freq / rate;
  const double cw = std::cos(w0);
  const double alpha = std::sin(w0) / (2.0 * filter.q);
  const double a = std::pow(10.0, filter.gain_db / 40.0);
  const double sa = 2.0 * std::sqrt(a) * alpha;
  double b0, b1, b2, a0, a1, a2;
  switch (filter.type) {
    case FilterType::kPeak:
      b0 = 1.0 + alpha * a;
      b1 = -2.0 * cw;
      b2 = 1.0 - alpha * a;
      a0 = 1.0 + alpha / a;
      a1 = -2.0 * cw;
      a2 = 1.0 - alpha / a;
      break;
    case FilterType::kLowShelf:
      b0 = a * ((a + 1.0) - (a - 1.0) * cw + sa);
      b1 = 2.0 * a * ((a - 1.0) - (a + 1.0) * cw);
      b2 = a * ((a + 1.0) - (a - 1.0) * cw - sa);
      a0 = (a + 1.0) + (a - 1.0) * cw + sa;
      a1 = -2.0 * ((a - 1.0) + (a + 1.0) * cw);
      a2 = (a + 1.0) + (a - 1.0) * cw - sa;
      break;
    case FilterType::kHighShelf:
      b0 = a * ((a + 1.0) + (a - 1.0) * cw + sa);
      b1 = -2.0 * a * ((a - 1.0) + (a + 1.0) * cw);
      b2 = a * ((a + 1.0) + (a - 1.0) * cw - sa);
      a0 = (a + 1.0) - (a - 1.0) * cw + sa;
      a1 = 2.0 * ((a - 1.0) - (a + 1.0) * cw);
      a2 = (a + 1.0) - (a - 1.0) * cw - sa;
      break;
    case FilterType::kLowPass:
      b0 = (1.0 - cw) / 2.0;
      b1 = 1.0 - cw;
      b2 = (1.0 - cw) / 2.0;
      a0 = 1.0 + alpha;
      a1 = -2.0 * cw;
      a2 = 1.0 - alpha;
      break;
    case FilterType::kHighPass:
    default:
      b0 = (1.0 + cw) / 2.0;
      b1 = -(1.0 + cw);
      b2 = (1.0 + cw) / 2.0;
      a0 = 1.0 + alpha;
      a1 = -2.0 * cw;
      a2 = 1.0 - alpha;
      break;
  }
  Biquad q;
  q.b0 = b0 / a0;
  q.b1 = b1 / a0;
  q.b2 = b2 / a0;
  q.a1 = a1 / a0;
  q.a2 = a2 / a0;
  return q;
}

double BiquadStep(Biquad* q, double x) {
  const double y = q->b0 * x + q->b1 * q->x1 + q->b2 * q->x2 - q->a1 * q->y1 - q->a2 * q->y2;
  q->x2 = q->x1;
  q->x1 = x;
  q->y2 = q->y1;
  q->y1 = y;
  return y;
}

std::complex<double> BiquadResponse(const Biquad& q, double freq, double rate) {
  const double w = 2.0 * kPi * freq / rate;
  const std::complex<double> z1 = std::polar(1.0, -w), z2 = std::polar(1.0, -2.0 * w);
  return (q.b0 + q.b1 * z1 + q.b2 * z2) / (1.0 + q.a1 * z1 + q.a2 * z2);
}

double FilterChainDb(const FilterSpec* filters, int count, double freq, double rate) {
  double db = 0.0;
  for (int i = 0; i < count; ++i)
    db += 20.0 * std::log10(std::abs(BiquadResponse(MakeBiquad(filters[i], rate), freq, rate)));
  return db;
}

double BiquadPowerGain(const Biquad& q, double cos_w, double cos_2w) {
  const double num = q.b0 * q.b0 + q.b1 * q.b1 + q.b2 * q.b2 +
                     2.0 * (q.b0 * q.b1 + q.b1 * q.b2) * cos_w + 2.0 * q.b0 * q.b2 * cos_2w;
  const double den = 1.0 + q.a1 * q.a1 + q.a2 * q.a2 + 2.0 * (q.a1 + q.a1 * q.a2) * cos_w +
                     2.0 * q.a2 * cos_2w;
  return num / den;
}
