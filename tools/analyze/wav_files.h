// Reading the program's recordings and writing impulse responses, through
// libsndfile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/recording.h"

// Opens a recording and reads its metadata; when `mic` is given, also its
// channel 1 (on the 24-bit scale, all total frames, which must fit in
// `mic_capacity`) and the first sync_frames samples of channel 2 into
// `sync`. The file must be a two-channel WAV holding exactly the frames and
// rate its metadata names. On a fault sets *error to what is wrong with the
// file.
bool ReadRecording(const std::string& path, RecordingInfo* info, int32_t* mic, long mic_capacity,
                   std::vector<int32_t>* sync, std::string* error);

// The samples as a mono 32-bit float WAV file at `rate`, in memory.
bool FloatWav(const std::vector<double>& samples, unsigned rate, std::string* bytes,
              std::string* error);
