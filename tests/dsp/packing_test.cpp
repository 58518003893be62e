#include <gtest/gtest.h>

#include <vector>

#include "dsp/packing.h"

using Bytes = std::vector<unsigned char>;

TEST(Packing, EncodesLow24BitsLowByteFirst) {
  const int32_t in[] = {4194304, -1, -8388608, 8388607, -2087706, 8388608, 0x12345678, INT32_MIN};
  Bytes out(25, 0xAA);
  NUM24_TO_CHAR(in, out.data(), 8);
  EXPECT_EQ(out, (Bytes{0, 0, 0x40, 0xFF, 0xFF, 0xFF, 0, 0, 0x80, 0xFF, 0xFF, 0x7F, 0xE6, 0x24,
                        0xE0, 0, 0, 0x80, 0x78, 0x56, 0x34, 0, 0, 0, 0xAA}));
}

TEST(Packing, RoundTripOfWholeRange) {
  std::vector<int32_t> in(1 << 16), back(1 << 16);
  Bytes bytes(3 << 16);
  for (int32_t base = -8388608; base < 8388608; base += 1 << 16) {
    for (int i = 0; i < 1 << 16; ++i) in[i] = base + i;
    NUM24_TO_CHAR(in.data(), bytes.data(), 1 << 16);
    CHAR_TO_NUM32(bytes.data(), back.data(), 3, 1 << 16);
    ASSERT_EQ(back, in) << base;
  }
}

TEST(Packing, DecodesWidthsAndSplitsIntegers) {
  const unsigned char bytes[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F};
  std::vector<int32_t> out(3, 5);
  CHAR_TO_NUM32(bytes, out.data(), 3, 2);
  EXPECT_EQ(out, (std::vector<int32_t>{-8388608, 8388607, 5}));
  CHAR_TO_NUM32(bytes + 1, out.data(), 2, 2);  // 00 80, FF FF
  EXPECT_EQ(out[0], -8388608);
  CHAR_TO_NUM32(bytes + 4, out.data(), 2, 1);  // FF 7F
  for (int width : {0, 1, 4}) CHAR_TO_NUM32(bytes, out.data(), width, 1);
  CHAR_TO_NUM32(bytes, out.data(), 3, 0);
  EXPECT_EQ(out, (std::vector<int32_t>{8388352, -256, 5}));
  Bytes b(4);
  Decon2(0xBEEF, b.data());
  EXPECT_EQ(b, (Bytes{0xEF, 0xBE, 0, 0}));
  Decon4(0x12345678UL, b.data());
  EXPECT_EQ(b, (Bytes{0x78, 0x56, 0x34, 0x12}));
}
