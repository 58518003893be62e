// How the room rings and how clean the speaker plays, from one recording's
// impulse response: the decay times per octave band and the strongest modes
// of the bass (--decay), the waterfall of the bass (--waterfall) and the
// harmonic distortion of a log sweep (--distortion), as the text printed and
// the files written.
#pragma once

#include <string>
#include <vector>

#include "common/outputs.h"
#include "formats/recording.h"

struct RoomOptions {
  bool decay = false;        // print the decay times and the modes
  std::string decay_file;    // ... and write them here
  std::string waterfall;     // the waterfall file
  double waterfall_lo = 20.0, waterfall_hi = 300.0;  // Hz
  double waterfall_ms = 300.0;                       // slices from 0 to this after the direct sound
  std::string distortion;    // the distortion file
  bool Decay() const { return decay || !decay_file.empty(); }
  bool Wanted() const { return Decay() || !waterfall.empty() || !distortion.empty(); }
};

// What the room analysis of one recording gives.
struct RoomResults {
  std::string decay_said, distortion_said;                  // the tables to print
  std::string decay_text, waterfall_text, distortion_text;  // the files' contents
};

// Why the command line cannot have what `o` asks for of `recordings`
// recordings (averaged or not); nullptr when it can.
const char* RoomUsageError(const RoomOptions& o, size_t recordings, bool average);

// Whether `r` can give what `o` asks for: a linear sweep's harmonics cannot
// be told from the response. False with the message printed.
bool CheckRoomOptions(const std::string& path, const RecordingInfo& r, const RoomOptions& o);

// The analyses `o` asks for of the recording `path`, from its circular
// impulse response ir[0 .. n) (played frame 0 at index 0, the direct sound at
// `direct`), swept over [f_lo, f_hi] Hz, whose room could ring for `tail`
// frames after the last sweep. False with the message printed.
bool AnalyseRoom(const std::string& path, const RecordingInfo& r, const double* ir, long n,
                 long direct, double f_lo, double f_hi, long tail, const RoomOptions& o,
                 RoomResults* out);

// Gives `files` the files `o` names and adds the tables and the files' lines
// to *said.
void WriteRoomResults(const RoomOptions& o, const RoomResults& results, tool::Outputs* files,
                      std::string* said);
