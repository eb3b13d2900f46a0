#pragma once
// Splits a GLB file written by the program into its JSON and BIN chunks,
// checking the container framing and the JSON padding on the way.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_io.h"

struct Glb {
  std::string json;  // without its padding
  std::vector<std::uint8_t> bin;
};

// Checks the container framing and the JSON padding, and splits the file into its chunks.
inline void SplitGlb(const std::string& file, Glb& glb) {
  const std::vector<std::uint8_t> bytes(file.begin(), file.end());
  ByteReader reader(bytes);
  ASSERT_TRUE(reader.Has(20));
  EXPECT_EQ(reader.U32(), 0x46546C67U);
  EXPECT_EQ(reader.U32(), 2U);
  EXPECT_EQ(reader.U32(), bytes.size());
  const std::uint32_t jsonBytes = reader.U32();
  EXPECT_EQ(reader.U32(), 0x4E4F534AU);
  ASSERT_EQ(jsonBytes % 4, 0U);
  ASSERT_TRUE(reader.Has(std::uint64_t{jsonBytes} + 8));
  const std::string padded = file.substr(20, jsonBytes);
  glb.json = padded.substr(0, padded.find_last_of('}') + 1);
  // Padding is spaces only, and only up to the next four-byte boundary.
  EXPECT_EQ(padded, glb.json + std::string(padded.size() - glb.json.size(), ' '));
  EXPECT_LT(padded.size() - glb.json.size(), 4U);
  (void)reader.Take(jsonBytes);
  const std::uint32_t binBytes = reader.U32();
  EXPECT_EQ(reader.U32(), 0x004E4942U);
  ASSERT_EQ(reader.Remaining(), binBytes);
  glb.bin.assign(bytes.end() - static_cast<std::ptrdiff_t>(binBytes), bytes.end());
}
