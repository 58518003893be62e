// The 1 kHz sync pulse for output 2, as 32-bit samples on a 24-bit scale.
#include "dsp/signals.h"

#include <cmath>

#include "dsp/levels.h"

namespace {

const double kPulseScale = kFullScale / 2;

void Clear(int32_t* out, long from, long to) {
  for (long i = from; i < to; ++i) out[i] = 0;
}

}  // namespace

int MakePulse(int32_t* out, unsigned int rate, int length, int start) {
  if (length <= 0) return 0;
  const double w = (kProgramTwoPi / rate) * 1000;
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
    const int32_t v = TruncToInt32(std::sin((i - 500) * w) * kPulseScale);
    out[i] = v;
    if (v > best) {  // strictly greater: the first of equal maxima wins
      best = v;
      index = static_cast<int>(i);
    }
  }
  Clear(out, i, length);
  return index;
}
