// Conversion between 32-bit samples and the card's packed 24-bit
// little-endian byte layout (S24_3LE), one channel block after another.
#pragma once

#include <cstdint>

// Writes 3 * count bytes: the low 24 bits of each sample, low byte first.
void NUM24_TO_CHAR(const int32_t* in, unsigned char* out, long count);

// Reads width * count bytes (width 3: signed 24-bit; width 2: signed 16-bit
// placed on the 24-bit scale) into count samples. Other widths write nothing.
void CHAR_TO_NUM32(const unsigned char* in, int32_t* out, int width, long count);

// Splits an unsigned 16-bit value into 2 bytes, low byte first.
void Decon2(unsigned int value, unsigned char* out);
// Splits a non-negative 32-bit value into 4 bytes, low byte first.
void Decon4(unsigned long value, unsigned char* out);
