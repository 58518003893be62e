// Test driver: plays the pattern block on a device with PLAY_REC and writes
// the capture block to a file.
// Usage: duplex_driver DEVICE MODE FRAMES CAPTURE_FILE
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio/duplex.h"
#include "duplex_pattern.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: %s DEVICE MODE FRAMES CAPTURE_FILE\n", argv[0]);
    return 2;
  }
  const char* device = argv[1];
  int mode = atoi(argv[2]);
  long frames = atol(argv[3]);
  if (frames < 0) return 2;

  const long stride = frames * kBytesPerSample;
  std::vector<unsigned char> play(2 * stride);
  for (int c = 0; c < 2; ++c) {
    for (long j = 0; j < frames; ++j) {
      uint32_t u = static_cast<uint32_t>(PatternSample(c, j));
      unsigned char* p = play.data() + c * stride + j * kBytesPerSample;
      p[0] = u & 0xFF;
      p[1] = (u >> 8) & 0xFF;
      p[2] = (u >> 16) & 0xFF;
    }
  }
  std::vector<unsigned char> capture(2 * stride, kUntouched);

  PLAY_REC(2, mode, device, 48000, frames, play.data(), capture.data(), kBytesPerSample, stride);

  FILE* out = fopen(argv[4], "wb");
  if (!out) return 3;
  bool ok = capture.empty() || fwrite(capture.data(), 1, capture.size(), out) == capture.size();
  ok = fclose(out) == 0 && ok;
  return ok ? 0 : 3;
}
