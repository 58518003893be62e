// How long a room rings: the point where an impulse response's decay meets its
// noise floor, the backward-integrated decay with the noise compensated, and
// the decay times EDT, T20 and T30 per octave band.
//
// Truncation (Lundeby's iteration): the squared response is averaged over
// short intervals; the noise is the mean of its last tenth; a line from the
// peak down to 10 dB above the noise gives a first slope and the point where
// it meets the noise. Then, up to ten times: intervals of a fifth of the time
// the decay takes to fall 10 dB; the noise again, from 10 dB of decay past the
// crossing (at least the last tenth); the late slope from 25 dB to 5 dB above
// the noise, with the noise's power taken off the intervals so that it does
// not flatten the slope; the new crossing, until it moves by less than an
// interval. A response that still falls through its last tenth never reached
// its noise: its noise counts as zero and the truncation point is its end.
//
// Integration: from the onset to the truncation point, of the squared
// response less the noise's mean power, plus the energy the late decay line
// puts after the truncation point; so neither the noise before the truncation
// point nor the decay cut off after it bends the curve. The onset is the first
// sample within 20 dB of the peak; for a band, not before the sound's arrival
// in the whole response, since the reversed band filter rings before it.
//
// Decay times: least-squares lines over the integrated decay in dB, EDT from
// 0 to -10 dB, T20 from -5 to -25 dB, T30 from -5 to -35 dB, extrapolated to
// 60 dB. A time is given only where the integrated decay falls 10 dB further
// than its range before it meets the noise (20, 35 and 45 dB); elsewhere it
// says why not.
#pragma once

#include <limits>
#include <vector>

// Why a decay time is missing.
enum class DecayStatus {
  kOk,
  kTooLittleRange,  // the decay meets the noise less than 10 dB below the range's end
  kNoDecay,         // nothing decays above the noise: silence, noise alone, a rising level
};

struct DecayTime {
  double seconds = std::numeric_limits<double>::quiet_NaN();  // NaN unless kOk
  DecayStatus status = DecayStatus::kNoDecay;
};

// Where a response's decay meets its noise floor. Indices count samples of
// the signal handed in (a band's may be negative: its filter rings before it).
struct Truncation {
  bool found = false;     // false: no decay above the noise; nothing else is set
  long onset = 0;         // first sample whose square is within 20 dB of the peak's
  long point = 0;         // the truncation point: the late decay line meets the noise
  double noise = 0.0;     // the noise's mean squared amplitude; 0 if never reached
  double late_t60 = 0.0;  // seconds, from the late decay line
  double tail = 0.0;      // the energy the late decay line puts after `point`
};

struct Decay {
  Truncation truncation;
  double range_db = 0.0;  // how far the integrated decay falls before the noise
  DecayTime edt, t20, t30;
};

struct BandDecay {
  int nominal = 0;  // Hz, as the band is labelled
  double centre = 0.0;
  Decay decay;
};

// Lundeby's truncation point of signal[0 .. count), at `rate` frames per
// second. Hand it the response from at or before the direct sound on, not the
// circular part before it (where a log sweep's harmonics lie). Not found for a
// rate above 1 MHz.
Truncation FindTruncation(const double* signal, long count, double rate);

// Decay of the band 1/bands_per_octave octave wide around `centre` Hz of
// ir[0 .. count); kNoDecay throughout when the band lies above the Nyquist
// frequency.
Decay BandDecayOf(const double* ir, long count, double rate, double centre,
                  double bands_per_octave);

// The octave bands 63 Hz .. 8 kHz whose edges lie within [f_lo, f_hi] (the
// range the sweep covered) and below the Nyquist frequency, with their decays.
std::vector<BandDecay> OctaveDecays(const double* ir, long count, double rate, double f_lo,
                                    double f_hi);
