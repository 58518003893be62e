// Conversion between 32-bit samples and packed 24-bit little-endian bytes.
#include "dsp/packing.h"

void NUM24_TO_CHAR(const int32_t* in, unsigned char* out, long count) {
  for (long i = 0; i < count; ++i) {
    // Two's complement low 24 bits, low byte first; bits above are dropped.
    const uint32_t v = static_cast<uint32_t>(in[i]);
    out[3 * i] = static_cast<unsigned char>(v & 0xFF);
    out[3 * i + 1] = static_cast<unsigned char>((v >> 8) & 0xFF);
    out[3 * i + 2] = static_cast<unsigned char>((v >> 16) & 0xFF);
  }
}

void CHAR_TO_NUM32(const unsigned char* in, int32_t* out, int width, long count) {
  if (width == 3) {
    // The high byte carries the sign.
    for (long i = 0; i < count; ++i, in += 3)
      out[i] = in[0] + 256 * in[1] + 65536 * static_cast<signed char>(in[2]);
  } else if (width == 2) {
    // A 16-bit sample moves up by 8 bits onto the 24-bit scale.
    for (long i = 0; i < count; ++i, in += 2)
      out[i] = 256 * (in[0] + 256 * static_cast<signed char>(in[1]));
  }
}

void Decon2(unsigned int value, unsigned char* out) {
  out[0] = static_cast<unsigned char>(value & 0xFF);
  out[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

void Decon4(unsigned long value, unsigned char* out) {
  for (int k = 0; k < 4; ++k) out[k] = static_cast<unsigned char>((value >> (8 * k)) & 0xFF);
}
