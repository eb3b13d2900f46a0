#include "core/byte_io.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ByteIo, WritesAndReadsLittleEndianWithinBounds) {
  ByteWriter writer(19);
  writer.U8(0xAB);
  writer.U16(0x0102);
  writer.U32(0x03040506);
  writer.U64(0x0708090A0B0C0D0Eull);
  writer.F32(-2.0f);
  EXPECT_EQ(writer.bytes, (std::vector<std::uint8_t>{0xAB, 2, 1, 6, 5, 4, 3, 0x0E, 0x0D, 0x0C, 0x0B,
                                                     10, 9, 8, 7, 0, 0, 0, 0xC0}));
  ByteReader reader(writer.bytes);
  EXPECT_EQ(reader.U8(), 0xABu);
  EXPECT_EQ(reader.U16(), 0x0102u);
  EXPECT_EQ(reader.U32(), 0x03040506u);
  EXPECT_EQ(reader.U64(), 0x0708090A0B0C0D0Eull);
  EXPECT_THROW((void)reader.F64(), std::out_of_range);
  EXPECT_EQ(reader.F32(), -2.0f);  // the refused read consumed nothing
  EXPECT_TRUE(reader.AtEnd());
}
