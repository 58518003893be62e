// The play block of the duplex driver: two channels of packed 24-bit
// little-endian samples that differ from frame to frame and between the
// channels, so that a shifted, swapped or stale frame shows.
#pragma once

#include <string>

// Filled into the capture block before the transfer: frames never recorded keep it.
inline constexpr char kUntouched = static_cast<char>(0xA5);

// Sample of channel `channel` (0 or 1) at frame `j`, within +-4000000.
inline long PatternSample(int channel, long j) {
  return static_cast<long>((j * 7919LL + channel * 104729LL + 12345) % 8000001 - 4000000);
}

// Appends `v` as three bytes, low byte first.
inline void Pack(std::string& block, long v) {
  for (int b = 0; b < 3; ++b) block += static_cast<char>((static_cast<unsigned long>(v) >> (8 * b)) & 0xFF);
}
