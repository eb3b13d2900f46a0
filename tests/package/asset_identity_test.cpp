#include "package/asset_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/byte_io.h"
#include "core/sha256.h"

namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The identity stream written out by hand for records already in order.
std::string ExpectedIdentity(const std::vector<std::pair<std::string, std::string>>& ordered) {
  ByteWriter stream(256);
  for (const char c : std::string("pelto.geometry.asset.v3"))
    stream.U8(static_cast<std::uint8_t>(c));
  stream.U8(0);
  stream.U64(ordered.size());
  for (const auto& [name, bytes] : ordered) {
    stream.U64(name.size());
    stream.Bytes(Bytes(name));
    stream.U64(bytes.size());
    stream.Bytes(Bytes(bytes));
  }
  return Sha256Identity(stream.bytes);
}

TEST(AssetIdentity, HashesRecordsInByteOrderOfNames) {
  const std::string a = "AAA", ab = "", b = "\x80\x01";
  std::vector<PlCadPrepIdentityRecord> records = {
      {"b", Bytes(b)}, {"a", Bytes(a)}, {"ab", Bytes(ab)}};
  EXPECT_EQ(ComputePlCadPrepAssetIdentity(std::move(records)),
            ExpectedIdentity({{"a", a}, {"ab", ab}, {"b", b}}));
}

TEST(AssetIdentity, SortsHighBytesAfterAscii) {
  const std::string x = "x";
  std::vector<PlCadPrepIdentityRecord> records = {{"\xC3\xA9", Bytes(x)}, {"z", Bytes(x)}};
  EXPECT_EQ(ComputePlCadPrepAssetIdentity(std::move(records)),
            ExpectedIdentity({{"z", x}, {"\xC3\xA9", x}}));
}

TEST(AssetIdentity, RefusesUnsafeOrRepeatedNames) {
  const std::string x = "x";
  const char* names[] = {"", "a\\b", "/abs", "dir/../up", "../up"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    std::vector<PlCadPrepIdentityRecord> records = {{"ok", Bytes(x)}, {name, Bytes(x)}};
    EXPECT_EQ(ComputePlCadPrepAssetIdentity(std::move(records)), "");
  }
  std::vector<PlCadPrepIdentityRecord> repeated = {
      {"a", Bytes(x)}, {"b", Bytes(x)}, {"a", Bytes(x)}};
  EXPECT_EQ(ComputePlCadPrepAssetIdentity(std::move(repeated)), "");
  // A name with dots that is not a parent step is fine.
  std::vector<PlCadPrepIdentityRecord> dotted = {{"a..b", Bytes(x)}};
  EXPECT_TRUE(IsCanonicalSha256Identity(ComputePlCadPrepAssetIdentity(std::move(dotted))));
}

}  // namespace
