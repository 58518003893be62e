// Test driver: plays the pattern block on DEVICE with PLAY_REC and writes
// the capture block to CAPTURE_FILE.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/duplex.h"
#include "duplex_pattern.h"

int main(int argc, char** argv) {
  const long frames = argc == 5 ? atol(argv[3]) : -1;
  if (frames < 0) {
    fprintf(stderr, "usage: %s DEVICE MODE FRAMES CAPTURE_FILE\n", argv[0]);
    return 2;
  }
  std::string play;
  for (int c = 0; c < 2; ++c)
    for (long j = 0; j < frames; ++j) Pack(play, PatternSample(c, j));
  std::string capture(play.size(), kUntouched);
  PLAY_REC(2, atoi(argv[2]), argv[1], 48000, frames, reinterpret_cast<unsigned char*>(&play[0]),
           reinterpret_cast<unsigned char*>(&capture[0]), 3, frames * 3);
  FILE* out = fopen(argv[4], "wb");
  if (!out) return 3;
  bool ok = fwrite(capture.data(), 1, capture.size(), out) == capture.size();
  return fclose(out) == 0 && ok ? 0 : 3;
}
