#include "package/asset_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::span<const std::uint8_t> Bytes(const char* text) {
  return {reinterpret_cast<const std::uint8_t*>(text), std::char_traits<char>::length(text)};
}

// The expected identity is SHA-256 over the domain, a zero byte, the record count and each
// record's name and bytes with their u64 little-endian lengths, in byte order of the names.
TEST(AssetIdentity, HashesNamedRecordsInByteOrderAndRefusesUnsafeNames) {
  EXPECT_EQ(ComputePlCadPrepAssetIdentity({{"b", Bytes("\x80\x01")},
                                           {"\xC3\xA9", Bytes("x")},
                                           {"a", Bytes("AAA")},
                                           {"z", Bytes("x")},
                                           {"ab", {}}}),
            "sha256:94c16970f4f88cfeaac19e999f9210e06b2095ecd3b5360f6660a4ceffbdef2b");
  EXPECT_EQ(ComputePlCadPrepAssetIdentity({}),
            "sha256:f841da33459a94982971edcc2c1266b74030a35571646ecd2b5374f1306dbcfc");
  for (const char* name : {"", "a\\b", "/abs", "dir/../up", "../up", "ok"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ComputePlCadPrepAssetIdentity({{"ok", Bytes("x")}, {name, Bytes("y")}}), "");
  }
  EXPECT_EQ(ComputePlCadPrepAssetIdentity({{"a..b", Bytes("x")}}).size(), 71u);
}

}  // namespace
