#include "core/glb_container.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(GlbContainer, PadsJsonWithSpacesAndBinaryWithZeros) {
  std::uint64_t total = 0;
  ASSERT_TRUE(GlbContainerBytes(5, 3, total));
  EXPECT_EQ(total, 28u + 8u + 4u);

  GlbContainerWriter writer("{\"a\":", 3, total);
  writer.Binary().U8(0xAA);
  writer.Binary().U8(0xBB);
  writer.Binary().U8(0xCC);
  const std::vector<std::uint8_t> bytes = writer.Finish();

  const std::vector<std::uint8_t> expected = {
      'g',  'l',  'T',  'F', 2,   0,   0,   0,   40, 0, 0, 0,  // header
      8,    0,    0,    0,   'J', 'S', 'O', 'N',               // JSON chunk header
      '{',  '"',  'a',  '"', ':', ' ', ' ', ' ',               // JSON, space padded
      4,    0,    0,    0,   'B', 'I', 'N', 0,                 // BIN chunk header
      0xAA, 0xBB, 0xCC, 0,                                     // BIN, zero padded
  };
  EXPECT_EQ(bytes, expected);
}

TEST(GlbContainer, RefusesSizesThatOverflow) {
  std::uint64_t total = 7;
  EXPECT_FALSE(GlbContainerBytes(UINT64_MAX - 30, 0, total));
  EXPECT_FALSE(GlbContainerBytes(0, UINT64_MAX - 1, total));
  EXPECT_EQ(total, 7u);
}

TEST(GlbContainer, FinishRefusesAPayloadOfAnotherLength) {
  std::uint64_t total = 0;
  ASSERT_TRUE(GlbContainerBytes(4, 8, total));
  GlbContainerWriter shortPayload("{}  ", 8, total);
  shortPayload.Binary().U32(1);
  EXPECT_TRUE(shortPayload.Finish().empty());

  GlbContainerWriter longPayload("{}  ", 8, total);
  longPayload.Binary().U64(1);
  longPayload.Binary().U8(1);
  EXPECT_TRUE(longPayload.Finish().empty());
}

TEST(GlbContainer, RequiresTheTotalComputedFromTheChunks) {
  EXPECT_THROW(GlbContainerWriter("{}", 4, 40), std::logic_error);
}

}  // namespace
