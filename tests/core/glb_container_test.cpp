#include "core/glb_container.h"

#include <gtest/gtest.h>

#include <string>

TEST(GlbContainer, PadsJsonWithSpacesAndBinaryWithZeros) {
  std::uint64_t total = 0;
  ASSERT_TRUE(GlbContainerBytes(5, 3, total));
  EXPECT_EQ(total, 40u);
  GlbContainerWriter writer("{\"a\":", 3, total);
  writer.Binary().Bytes(std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC});
  const std::vector<std::uint8_t> expected = {
      'g', 'l', 'T', 'F', 2,   0,   0,   0,   40, 0, 0, 0, 8,   0,   0,   0, 'J',  'S',  'O',  'N',
      '{', '"', 'a', '"', ':', ' ', ' ', ' ', 4,  0, 0, 0, 'B', 'I', 'N', 0, 0xAA, 0xBB, 0xCC, 0};
  EXPECT_EQ(writer.Finish(), expected);
  std::string json;
  JsonTextWriter view(json);
  WriteGltfBufferView(view, 8, 16, kGltfArrayBufferTarget);
  EXPECT_EQ(json, R"({"buffer":0,"byteOffset":8,"byteLength":16,"target":34962})");
}

TEST(GlbContainer, RefusesOverflowAndPayloadsOfAnotherLength) {
  std::uint64_t total = 7;
  EXPECT_FALSE(GlbContainerBytes(UINT64_MAX - 30, 0, total));
  EXPECT_FALSE(GlbContainerBytes(0, UINT64_MAX - 1, total));
  EXPECT_EQ(total, 7u);
  EXPECT_THROW(GlbContainerWriter("{}", 4, 40), std::logic_error);
  ASSERT_TRUE(GlbContainerBytes(4, 8, total));
  GlbContainerWriter shorter("{}  ", 8, total);
  shorter.Binary().Bytes(std::vector<std::uint8_t>(4, 1));
  EXPECT_TRUE(shorter.Finish().empty());
}
