// Curves the charts derive from what the files hold: the group delay of a
// response's phase, the energy-time curve of an impulse response, and the
// curves of a distortion file.
#pragma once

#include <vector>

#include "formats/curve_file.h"
#include "formats/distortion_file.h"

// The group delay -dphi/domega in ms of a curve with a phase (degrees),
// between each two neighbouring points: the phase is unwrapped from point to
// point (each step taken as the one within +-180 degrees), and its slope over
// a step is the delay at the step's middle frequency, in *freq. A phase with
// the time of flight removed gives the delay beyond it. Empty for fewer than
// two points or no phase.
void GroupDelay(const Curve& curve, std::vector<double>* freq, std::vector<double>* ms);

// The energy-time curve of ir: 10 log10 of its squared envelope, the sum of
// the squares of the response and of its Hilbert transform, in dB (any
// reference: the chart puts its own 0 dB at the peak). The transform is
// taken through an FFT twice the response's length, so that the end does
// not wrap onto the start. Silence gives -400 dB rather than minus infinity.
std::vector<double> EnergyTimeDb(const std::vector<double>& ir);

// The curves of a distortion table in dB relative to the fundamental: [0] H2,
// [1] H3 and [2] THD (20 log10 of its share of the fundamental), and where
// each is a noise floor: a harmonic where the table says so, THD where both
// harmonics are.
void DistortionCurves(const DistortionTable& table, Curve curves[3], std::vector<bool> floors[3]);
