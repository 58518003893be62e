// Test signals: the 1 kHz sync pulse for output 2 and the sine sweep for
// output 1, as 32-bit samples on a 24-bit scale.
#include "dsp/signals.h"

#include <cmath>

namespace {

// The value of 2 pi the measurement uses; the generated samples depend on it.
const double kTwoPi = 6.28318;
const double kFullScale = 8388608.0;   // 2^23
const double kPulseScale = 4194304.0;  // half of full scale

// Truncates toward zero into a sample. Values beyond the 32-bit range
// saturate and a value that is not a number gives 0, where a plain cast
// would be undefined (a rate of 0 makes the phase infinite, for example).
int32_t TruncateSample(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

void Clear(int32_t* out, long from, long to) {
  for (long i = from; i < to; ++i) out[i] = 0;
}

}  // namespace

int MakePulse(int32_t* out, unsigned int rate, int length, int start) {
  if (length <= 0) return 0;
  const double w = (kTwoPi / rate) * 1000;
  const double end = start + rate / 1000.0;

  // Silence up to the pulse; a start beyond the array leaves no room for it.
  long i = start > 0 ? start : 0;
  if (i > length) i = length;
  Clear(out, 0, i);

  // The phase counts from absolute sample index i - 500, so the cycle begins
  // at about -0.5 of its amplitude. Only samples inside the array are made.
  double best = 0.0;
  int index = 0;
  for (; i < length && i < end; ++i) {
    const int32_t v = TruncateSample(std::sin((i - 500) * w) * kPulseScale);
    out[i] = v;
    if (v > best) {  // strictly greater: the first of equal maxima wins
      best = v;
      index = static_cast<int>(i);
    }
  }
  Clear(out, i, length);
  return index;
}

void MakeSweep(unsigned long rate, int32_t* out, double* freqs, double f0, double f1,
               long total, double amp, long lead) {
  if (total <= 0) return;
  freqs[0] = f0;

  // A negative lead is taken as none, and a lead longer than the buffer as
  // the whole buffer, so nothing is ever written outside out[0 .. total) or
  // freqs[0 .. total).
  if (lead < 0) lead = 0;
  if (lead > total) lead = total;
  const long count = total - 2 * lead;

  // The step divides by the total frame count, so the sweep ends short of f1.
  const double step = (f1 - f0) / total;
  const double scale = amp * kFullScale;
  const double w = kTwoPi / rate;

  Clear(out, 0, lead);
  for (long i = 0; i < count; ++i) {
    const double t = static_cast<double>(i);
    const double f = f0 + t * step;
    freqs[i] = f;
    // The phase is the integral of the frequency f0 + step * t, so that the
    // tone really sounds at freqs[i] (sin(f * w * t) would sound at 2f - f0).
    const double phase = w * (f0 * t + 0.5 * step * t * t);
    out[lead + i] = TruncateSample(std::sin(phase) * scale);
  }
  Clear(out, count > 0 ? lead + count : lead, total);
}
