#include "audio/sample_format.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double kFullScale = 8388608.0;  // 2^23

unsigned char* At(const snd_pcm_channel_area_t& area, long frame) {
  return static_cast<unsigned char*>(area.addr) +
         (area.first + static_cast<unsigned long>(frame) * area.step) / 8;
}

// Little-endian whole numbers of `bytes` bytes, sign-extended.
int64_t GetLe(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int b = bytes - 1; b >= 0; --b) v = (v << 8) | p[b];
  const int shift = 64 - 8 * bytes;
  return static_cast<int64_t>(v << shift) >> shift;
}

void PutLe(unsigned char* p, int bytes, int64_t v) {
  for (int b = 0; b < bytes; ++b) p[b] = static_cast<unsigned char>(static_cast<uint64_t>(v) >> (8 * b));
}

int32_t Limit(int64_t v) {
  return static_cast<int32_t>(v < -8388608 ? -8388608 : v > 8388607 ? 8388607 : v);
}

// The format is chosen once per call, and each conversion then runs in a
// loop of its own: the virtual card converts every sample it plays and
// records this way, in the measuring process.
template <typename Read>
void ReadEach(const snd_pcm_channel_area_t& area, long first, long count, int32_t* out, Read read) {
  const unsigned char* base = At(area, first);
  const unsigned long stride = area.step / 8;
  for (long i = 0; i < count; ++i) out[i] = read(base + static_cast<unsigned long>(i) * stride);
}

template <typename Write>
void WriteEach(const int32_t* in, long count, const snd_pcm_channel_area_t& area, long first,
               Write write) {
  unsigned char* base = At(area, first);
  const unsigned long stride = area.step / 8;
  for (long i = 0; i < count; ++i) write(base + static_cast<unsigned long>(i) * stride, Limit(in[i]));
}

}  // namespace

const std::vector<snd_pcm_format_t>& MeasurementFormats() {
  static const std::vector<snd_pcm_format_t> formats = {
      SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S16_LE};
  return formats;
}

void ReadSamples24(const snd_pcm_channel_area_t& area, snd_pcm_format_t format, long first,
                   long count, int32_t* out) {
  switch (format) {
    case SND_PCM_FORMAT_S16_LE:
      return ReadEach(area, first, count, out, [](const unsigned char* p) {
        const int64_t v = GetLe(p, 2);
        return v == 32767 ? 8388607 : static_cast<int32_t>(v * 256);
      });
    case SND_PCM_FORMAT_S32_LE:
      return ReadEach(area, first, count, out,
                      [](const unsigned char* p) { return Limit((GetLe(p, 4) + 128) >> 8); });
    case SND_PCM_FORMAT_FLOAT_LE:
      return ReadEach(area, first, count, out, [](const unsigned char* p) {
        const uint32_t bits = static_cast<uint32_t>(GetLe(p, 4));
        float x;
        memcpy(&x, &bits, sizeof x);
        const double v = std::isnan(x) ? 0.0 : std::round(static_cast<double>(x) * kFullScale);
        return Limit(static_cast<int64_t>(std::fmax(std::fmin(v, 1e9), -1e9)));
      });
    default:  // S24_3LE
      return ReadEach(area, first, count, out,
                      [](const unsigned char* p) { return static_cast<int32_t>(GetLe(p, 3)); });
  }
}

void WriteSamples24(const int32_t* in, long count, snd_pcm_format_t format,
                    const snd_pcm_channel_area_t& area, long first) {
  switch (format) {
    case SND_PCM_FORMAT_S16_LE:
      return WriteEach(in, count, area, first, [](unsigned char* p, int64_t v) {
        const int64_t r = (v + 128) >> 8;
        PutLe(p, 2, r > 32767 ? 32767 : r);
      });
    case SND_PCM_FORMAT_S32_LE:
      return WriteEach(in, count, area, first,
                       [](unsigned char* p, int64_t v) { PutLe(p, 4, v * 256); });
    case SND_PCM_FORMAT_FLOAT_LE:
      return WriteEach(in, count, area, first, [](unsigned char* p, int64_t v) {
        const float x = static_cast<float>(static_cast<double>(v) / kFullScale);
        uint32_t bits;
        memcpy(&bits, &x, sizeof bits);
        PutLe(p, 4, bits);
      });
    default:  // S24_3LE
      return WriteEach(in, count, area, first, [](unsigned char* p, int64_t v) { PutLe(p, 3, v); });
  }
}
