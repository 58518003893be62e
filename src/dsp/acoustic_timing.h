// Acoustic timing, for a microphone on a clock of its own with no loopback:
// output 1 plays a marker before the sweep and another after it, and both
// are found in the microphone's signal. Where the first arrived times the
// run; the distance between them, against the distance at which they were
// played, gives the ratio of the two clocks.
//
// The marker is kMarkerSeconds of a linear chirp from 1 kHz to 10 kHz (at
// most 0.4 of the rate), under a Hann window: a band where home noise is low
// and rooms ring briefly, and a long enough chirp that its matched filter
// stands far above the noise.
//
// The first marker is found by that matched filter: its arrival is the frame
// where the loudest path brought the marker's start. The second is found
// against the first as recorded, since both took the same paths through the
// same room: their cross-correlation peaks exactly at their distance,
// whichever path is loudest. The whole frames of that peak are refined by
// the slope of the cross-spectrum's phase over the chirp's band (a pure
// delay turns the phase linearly with frequency), which resolves a small
// fraction of a frame: 1 ppm over a 10-second sweep is half a frame.
#pragma once

#include <cstdint>

constexpr double kMarkerSeconds = 0.1;
// How long before its loudest path a marker is taken in (a weaker direct
// sound ahead of a strong reflection), and after its end (the room's first
// response to it), for the comparison of both.
constexpr double kMarkerBefore = 0.02, kMarkerAfter = 0.1;

long MarkerFrames(unsigned rate);

// Adds a marker that starts at frame `at`, at peak `amplitude` (a fraction of
// full scale), to out[0 .. count), which holds frames [first, first + count)
// of a signal at `rate`.
void AddMarker(unsigned rate, double amplitude, long at, long first, long count, int32_t* out);

struct MarkerArrival {
  bool found = false;  // its matched filter's peak stands 20 dB above the filter's RMS
  long frame = 0;      // the recorded frame where the loudest path brought its start
};

// Finds a marker in mic[0 .. count).
MarkerArrival FindMarker(const double* mic, long count, unsigned rate);

struct ClockDrift {
  bool found = false;     // the second marker matches the first
  double distance = 0.0;  // recorded frames from the first marker's arrival to the second's
  double ppm = 0.0;       // the capture clock against the playback clock, in parts per million
};

// The second marker, played `played` frames after the first, found against
// the first as recorded: `first` arrived at recorded frame first_arrival of
// the samples first[0 .. first_count) (recorded frames from 0); second[0 ..
// second_count) are recorded frames from second_from on, which must hold the
// search: the clocks differ by at most `max_ppm`.
ClockDrift FindClockDrift(const double* first, long first_count, long first_arrival,
                          const double* second, long second_from, long second_count,
                          long played, double max_ppm, unsigned rate);

// The recorded frames FindClockDrift needs for a second marker played
// `played` frames after a first one arriving at `first_arrival`: [*from, *to).
void SecondMarkerSearch(long first_arrival, long played, double max_ppm, unsigned rate, long* from,
                        long* to);
