// Power spectra of tapered stretches of a response, shared by the waterfall,
// the mode finder and the separation of a log sweep's harmonics.
#pragma once

#include <vector>

// x[at - pre .. at + keep) in the first pre + keep of `size` samples (the
// rest zero), through a window that rises as a half-Hann over the `pre`
// samples before `at`, holds 1, and falls as a half-Hann over the last `fade`
// of the `keep` from `at` on. Samples outside x[0 .. count) are zero, or with
// `circular`, taken modulo count.
std::vector<double> WindowedSegment(const double* x, long count, long at, long pre, long keep,
                                    long fade, bool circular, long size);

// |X|^2 at bins 0 .. size/2 of the FFT of x (size = x.size()); bin k is
// k * rate / size Hz.
std::vector<double> PowerSpectrum(const std::vector<double>& x);

// power interpolated linearly between bins bin_hz apart at `freq`, which must
// lie below the last bin.
double PowerAt(const std::vector<double>& power, double bin_hz, double freq);
