#include "dsp/smoothing.h"

#include <algorithm>
#include <cmath>

namespace {

// The frequencies k * step, as an array of them reads.
struct Uniform {
  double step;
  double operator[](long k) const { return static_cast<double>(k) * step; }
};

// The k in [0, count - 2] whose segment [freq[k], freq[k + 1]] holds f, or
// the nearest one; count >= 2.
template <typename F>
long Segment(const F& freq, long count, double f) {
  long lo = 0, hi = count;  // the first k with freq[k] > f, as std::upper_bound finds it
  while (lo < hi) {
    const long mid = lo + (hi - lo) / 2;
    if (f < freq[mid])
      hi = mid;
    else
      lo = mid + 1;
  }
  return std::min(std::max(lo - 1, 0L), count - 2);
}

// y at f, linear between the samples, held at the ends.
template <typename F, typename T>
T ValueAt(const F& freq, const T* y, long count, double f) {
  if (count < 2 || f <= freq[0]) return y[0];
  if (f >= freq[count - 1]) return y[count - 1];
  const long k = Segment(freq, count, f);
  return y[k] + (f - freq[k]) / (freq[k + 1] - freq[k]) * (y[k + 1] - y[k]);
}

// The integral of y over hertz from a to b, both within one segment.
template <typename F, typename T>
T Trapezoid(const F& freq, const T* y, long count, double a, double b) {
  return (b - a) * 0.5 * (ValueAt(freq, y, count, a) + ValueAt(freq, y, count, b));
}

// The integral of y over the whole segments [first, end) from the tree:
// node i (1-based) holds segments [i - (i & -i), i), so walking down from
// `end` adds whole nodes that lie inside and single segments where a node
// would reach below `first`. Nothing is subtracted, so no loud part outside
// the range can swamp a quiet one inside.
template <typename F, typename T>
T WholeSegments(const F& freq, const T* y, const T* tree, long first, long end) {
  T sum = T(0);
  while (end > first) {
    const long low = end & -end;
    if (end - low >= first) {
      sum += tree[end];
      end -= low;
    } else {
      --end;
      sum += (freq[end + 1] - freq[end]) * 0.5 * (y[end] + y[end + 1]);
    }
  }
  return sum;
}

template <typename F, typename T>
void Integral(const F& freq, const T* y, long count, T* area) {
  if (count > 0) area[0] = T(0);
  for (long k = 1; k < count; ++k)
    area[k] = (freq[k] - freq[k - 1]) * 0.5 * (y[k - 1] + y[k]);
  for (long k = 1; k < count; ++k)
    if (k + (k & -k) < count) area[k + (k & -k)] += area[k];
}

template <typename F, typename T>
T Smoothed(const F& freq, const T* y, const T* area, long count, double f, int n, double lo,
           double hi) {
  if (n <= 0 || count < 2) return ValueAt(freq, y, count, f);
  const double half = std::pow(2.0, 0.5 / n);
  const double fa = std::max({lo, f / half, freq[0]});
  const double fb = std::min({hi, f * half, freq[count - 1]});
  if (!(fb > fa)) return ValueAt(freq, y, count, fa);
  const long ka = Segment(freq, count, fa), kb = Segment(freq, count, fb);
  if (ka == kb) return Trapezoid(freq, y, count, fa, fb) / (fb - fa);
  return (Trapezoid(freq, y, count, fa, freq[ka + 1]) +
          WholeSegments(freq, y, area, ka + 1, kb) + Trapezoid(freq, y, count, freq[kb], fb)) /
         (fb - fa);
}

}  // namespace

double LevelAtLogFreq(const double* freq, const double* db, long count, double f) {
  if (f <= freq[0]) return db[0];
  if (f >= freq[count - 1]) return db[count - 1];
  const long k = Segment(freq, count, f);
  const double t = std::log(f / freq[k]) / std::log(freq[k + 1] / freq[k]);
  return db[k] + t * (db[k + 1] - db[k]);
}

template <typename T>
void RunningIntegral(const double* freq, const T* y, long count, T* area) {
  Integral(freq, y, count, area);
}

template <typename T>
void RunningIntegral(BinFreqs freq, const T* y, long count, T* area) {
  Integral(Uniform{freq.step}, y, count, area);
}

template <typename T>
T SmoothedAt(const double* freq, const T* y, const T* area, long count, double f, int n,
             double lo, double hi) {
  return Smoothed(freq, y, area, count, f, n, lo, hi);
}

template <typename T>
T SmoothedAt(BinFreqs freq, const T* y, const T* area, long count, double f, int n, double lo,
             double hi) {
  return Smoothed(Uniform{freq.step}, y, area, count, f, n, lo, hi);
}

using Complex = std::complex<double>;
template void RunningIntegral(const double*, const double*, long, double*);
template void RunningIntegral(const double*, const Complex*, long, Complex*);
template void RunningIntegral(BinFreqs, const double*, long, double*);
template void RunningIntegral(BinFreqs, const Complex*, long, Complex*);
template double SmoothedAt(const double*, const double*, const double*, long, double, int,
                           double, double);
template Complex SmoothedAt(const double*, const Complex*, const Complex*, long, double, int,
                            double, double);
template double SmoothedAt(BinFreqs, const double*, const double*, long, double, int, double,
                           double);
template Complex SmoothedAt(BinFreqs, const Complex*, const Complex*, long, double, int, double,
                            double);
