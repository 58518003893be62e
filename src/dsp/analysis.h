// Sync detection and per-band analysis of a recording.
#pragma once

#include <cstdint>
#include <string>

// Amplitude ratio to decibels: 20 * log10(x).
double RtodB(double x);

// The results table of `bands` bands into `report`: "Results:", the header,
// then one row per band with its number, edges and level in dB.
void FormatReport(int bands, const double* lo, const double* hi, const double* level,
                  std::string& report);

// The index of the largest (signed) sample of samples[0 .. count), 0 when
// no sample is above 0; *peak (when given) receives its value, or 0.0.
int FindPeakIndex(const int32_t* samples, long count, double* peak = nullptr);

// Returns the index of the largest (signed) sample of samples[0 .. count) and
// prints the channel 2 return level. When peak is given it receives the
// largest value found (0.0 when no sample is above 0, i.e. no sync pulse).
int FindPeak(const int32_t* samples, long count, double* peak = nullptr);

// Pairs sweep sample i (i < total - 2*lead, the sweep samples that freqs
// describes) with recorded sample lead + start_offset + i, skipping those
// outside ch1[0 .. total), sums absolute values per band, fills `report`
// with the results table and prints it, the missing-data lines and the
// channel 1 return level. A band whose sum is 0 shows -144.0 dB.
void Analyze(long total, int bands, const double* freqs, const int32_t* ch1,
             long start_offset, const double* lo, const double* hi,
             std::string& report, long lead);
