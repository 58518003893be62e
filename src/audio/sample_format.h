// The sample formats a measurement takes from whatever card it meets (USB
// microphones differ), and their conversion from and to samples on the
// 24-bit scale (full scale 2^23).
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <vector>

// In order of preference: those that hold 24 bits exactly first.
const std::vector<snd_pcm_format_t>& MeasurementFormats();

// Reads `count` samples of `format` from channel area `area`, starting at
// frame `first`, onto the 24-bit scale: 16-bit samples are scaled up (their
// full scale stays full scale, so that clipping shows), 32-bit ones rounded,
// floating point rounded and limited to full scale.
void ReadSamples24(const snd_pcm_channel_area_t& area, snd_pcm_format_t format, long first,
                   long count, int32_t* out);

// Writes `count` samples on the 24-bit scale (limited to it) to channel
// area `area` from frame `first` on, as `format` (rounded to 16 bits for
// S16_LE).
void WriteSamples24(const int32_t* in, long count, snd_pcm_format_t format,
                    const snd_pcm_channel_area_t& area, long first);
