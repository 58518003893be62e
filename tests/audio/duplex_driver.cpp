// Test driver: plays a block of packed 24-bit samples that differ from frame
// to frame and between the channels (so that a shifted, swapped or stale
// frame shows) on DEVICE with PLAY_REC, and writes the play block and then
// the capture block to OUTPUT_FILE. Capture bytes never written keep 0xA5.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/duplex.h"

int main(int argc, char** argv) {
  const long frames = argc == 5 ? atol(argv[3]) : -1;
  if (frames < 0) {
    fprintf(stderr, "usage: %s DEVICE MODE FRAMES OUTPUT_FILE\n", argv[0]);
    return 2;
  }
  std::string play;
  for (int c = 0; c < 2; ++c)
    for (long j = 0; j < frames; ++j) {
      const long long v = (j * 7919LL + c * 104729LL + 12345) % 8000001 - 4000000;
      for (int b = 0; b < 3; ++b)
        play += static_cast<char>((static_cast<unsigned long long>(v) >> (8 * b)) & 0xFF);
    }
  std::string capture(play.size(), static_cast<char>(0xA5));
  PLAY_REC(2, atoi(argv[2]), argv[1], 48000, frames, reinterpret_cast<unsigned char*>(&play[0]),
           reinterpret_cast<unsigned char*>(&capture[0]), 3, frames * 3);
  FILE* out = fopen(argv[4], "wb");
  if (!out) return 3;
  const std::string block = play + capture;
  bool ok = fwrite(block.data(), 1, block.size(), out) == block.size();
  return fclose(out) == 0 && ok ? 0 : 3;
}
