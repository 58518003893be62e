// Octave and fractional-octave band filters for decay analysis.
//
// Each band is a sixth-order Butterworth band-pass (a third-order prototype)
// whose -3 dB points are the band edges, applied exactly in the frequency
// domain and time-reversed. Its magnitude meets the class 1 acceptance limits
// for octave-band filters (centre within 0.4 dB, at most 5.3 dB down at the
// band edges, at least 16.6, 40.5, 60 and 70 dB down one to four octaves
// away). Time reversal moves the filter's own ringing before the direct sound,
// so a band's decay is the room's alone: a short decay is not lengthened by the
// filter, which matters in the bass, where an octave filter rings for tens of
// milliseconds.
#pragma once

#include <complex>
#include <vector>

// Frequency ratio between neighbouring octave bands: 10^(3/10), about 1.995.
constexpr double kOctaveRatio = 1.9952623149688795;

// The octave bands of a decay table: nominal 63 Hz to 8 kHz.
constexpr int kOctaveBandCount = 8;
extern const int kOctaveBandNominal[kOctaveBandCount];  // 63, 125, ... 8000
// The exact mid-band frequency of band i: 1000 * kOctaveRatio^(i - 4).
double OctaveBandCentre(int i);

// The lower and upper edges of a band 1/bands_per_octave octave wide around
// `centre`: centre * kOctaveRatio^(-+1 / (2 * bands_per_octave)).
void BandEdges(double centre, double bands_per_octave, double* lo, double* hi);

// The band filter's complex response at `freq` Hz (zero at 0 Hz). Its
// magnitude is 1 / sqrt(1 + x^6) with x = (f/fm - fm/f) * fm / (hi - lo);
// its phase is that of the reversed filter.
std::complex<double> BandFilterResponse(double freq, double centre, double bands_per_octave);

// A band of signal[0 .. count) at `rate` frames per second. The result starts
// *lead samples before signal[0] (the reversed filter's ringing before it) and
// ends where the filter no longer has the whole signal after a sample to work
// on; lead is 0 and the result empty when the band lies above the Nyquist
// frequency, its centre below 1 Hz, the rate above 1 MHz, bands_per_octave
// outside [1, 24] or count is not positive.
std::vector<double> BandFilter(const double* signal, long count, double rate, double centre,
                               double bands_per_octave, long* lead);
