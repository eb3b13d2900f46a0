#include "core/byte_io.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "core/checked.h"

namespace {

TEST(ByteIo, WritesLittleEndianGoldenBytes) {
  ByteWriter writer(23);
  writer.U8(0xAB);
  writer.U16(0x0102);
  writer.U32(0x03040506);
  writer.U64(0x0708090A0B0C0D0Eull);
  writer.F32(1.0f);
  writer.F64(-0.0);
  const std::vector<std::uint8_t> expected = {0xAB, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0E, 0x0D,
                                              0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07, 0x00, 0x00, 0x80,
                                              0x3F, 0,    0,    0,    0,    0,    0,    0,    0x80};
  EXPECT_EQ(writer.bytes, expected);
}

TEST(ByteIo, ReadsBackAndRefusesOverrun) {
  ByteWriter writer(16);
  writer.U32(0xDEADBEEF);
  writer.F64(0.1);
  writer.U16(7);
  ByteReader reader(writer.bytes);
  EXPECT_EQ(reader.U32(), 0xDEADBEEFu);
  EXPECT_EQ(reader.F64(), 0.1);
  EXPECT_TRUE(reader.Has(2));
  EXPECT_FALSE(reader.Has(3));
  EXPECT_THROW((void)reader.U32(), std::out_of_range);
  EXPECT_EQ(reader.Remaining(), 2u);  // a refused read consumes nothing
  EXPECT_EQ(reader.U16(), 7u);
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_FALSE(reader.Has(std::numeric_limits<std::uint64_t>::max()));
}

TEST(ByteIo, CheckedArithmeticRefusesOverflow) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t out = 5;
  EXPECT_TRUE(CheckedAdd(kMax - 1, 1, out));
  EXPECT_EQ(out, kMax);
  EXPECT_FALSE(CheckedAdd(kMax, 1, out));
  EXPECT_EQ(out, kMax);
  EXPECT_TRUE(CheckedMultiply(0, kMax, out));
  EXPECT_EQ(out, 0u);
  EXPECT_TRUE(CheckedMultiply(4294967296ull, 4294967295ull, out));
  EXPECT_FALSE(CheckedMultiply(4294967296ull, 4294967296ull, out));
}

}  // namespace
