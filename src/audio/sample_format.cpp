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

}  // namespace

const std::vector<snd_pcm_format_t>& MeasurementFormats() {
  static const std::vector<snd_pcm_format_t> formats = {
      SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S16_LE};
  return formats;
}

void ReadSamples24(const snd_pcm_channel_area_t& area, snd_pcm_format_t format, long first,
                   long count, int32_t* out) {
  for (long i = 0; i < count; ++i) {
    const unsigned char* p = At(area, first + i);
    switch (format) {
      case SND_PCM_FORMAT_S16_LE: {
        const int64_t v = GetLe(p, 2);
        out[i] = v == 32767 ? 8388607 : static_cast<int32_t>(v * 256);
        break;
      }
      case SND_PCM_FORMAT_S32_LE:
        out[i] = Limit((GetLe(p, 4) + 128) >> 8);
        break;
      case SND_PCM_FORMAT_FLOAT_LE: {
        const uint32_t bits = static_cast<uint32_t>(GetLe(p, 4));
        float x;
        memcpy(&x, &bits, sizeof x);
        const double v = std::isnan(x) ? 0.0 : std::round(static_cast<double>(x) * kFullScale);
        out[i] = Limit(static_cast<int64_t>(std::fmax(std::fmin(v, 1e9), -1e9)));
        break;
      }
      default:  // S24_3LE
        out[i] = static_cast<int32_t>(GetLe(p, 3));
        break;
    }
  }
}

void WriteSamples24(const int32_t* in, long count, snd_pcm_format_t format,
                    const snd_pcm_channel_area_t& area, long first) {
  for (long i = 0; i < count; ++i) {
    unsigned char* p = At(area, first + i);
    const int64_t v = Limit(in[i]);
    switch (format) {
      case SND_PCM_FORMAT_S16_LE: {
        const int64_t r = (v + 128) >> 8;
        PutLe(p, 2, r > 32767 ? 32767 : r);
        break;
      }
      case SND_PCM_FORMAT_S32_LE:
        PutLe(p, 4, v * 256);
        break;
      case SND_PCM_FORMAT_FLOAT_LE: {
        const float x = static_cast<float>(static_cast<double>(v) / kFullScale);
        uint32_t bits;
        memcpy(&bits, &x, sizeof bits);
        PutLe(p, 4, bits);
        break;
      }
      default:  // S24_3LE
        PutLe(p, 3, v);
        break;
    }
  }
}
