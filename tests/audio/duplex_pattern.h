// The play block the duplex driver sends: two channels of packed 24-bit
// little-endian samples with values that differ from frame to frame and
// between the channels, so that a shifted, swapped or stale frame shows.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int kBytesPerSample = 3;
// Filled into the capture block before the transfer: frames that were never
// recorded keep it.
inline constexpr unsigned char kUntouched = 0xA5;

// Sample of channel `channel` (0 or 1) at frame `j`, within +-4000000.
inline int32_t PatternSample(int channel, long j) {
  long long v = (j * 7919LL + channel * 104729LL + 12345) % 8000001;
  return static_cast<int32_t>(v - 4000000);
}

// The 24-bit sample stored at frame `j` of channel `channel` in a block of
// `frames` frames per channel, sign-extended.
inline int32_t SampleAt(const std::string& block, long frames, int channel, long j) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(block.data()) +
                           (channel * frames + j) * kBytesPerSample;
  uint32_t u = p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16);
  if (u & 0x800000) u |= 0xFF000000u;
  return static_cast<int32_t>(u);
}

// True when all three bytes of that sample still hold kUntouched.
inline bool Untouched(const std::string& block, long frames, int channel, long j) {
  const char* p = block.data() + (channel * frames + j) * kBytesPerSample;
  return static_cast<unsigned char>(p[0]) == kUntouched &&
         static_cast<unsigned char>(p[1]) == kUntouched &&
         static_cast<unsigned char>(p[2]) == kUntouched;
}
