#include "package/zip_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/byte_io.h"
#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/package_reader.h"

namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The offset of the n-th header with the signature "PK" `a` `b`; no member bytes hold one.
std::size_t Header(const std::vector<std::uint8_t>& image, std::uint8_t a, std::uint8_t b,
                   std::size_t n) {
  const std::uint8_t signature[] = {'P', 'K', a, b};
  auto at = image.begin();
  for (std::size_t i = 0; i <= n; ++i) {
    at = std::search(at + (i > 0 ? 1 : 0), image.end(), signature, signature + 4);
  }
  return at - image.begin();
}

const std::string kManifest = R"({"schema":"pelto.geometry.asset.v3"})", kLong(5000, 'a'), kEmpty;
const std::vector<PlCadPrepArchiveMember> kMembers = {{"manifest.json", Bytes(kManifest)},
                                                      {"preview.glb", Bytes(kLong)},
                                                      {"empty.bin", Bytes(kEmpty)},
                                                      {"refine_30mm_x.pvox", Bytes(kManifest)}};

// Members stored in order with zero times, rw-r--r-- regular files; validation refuses every
// change and every truncation.
TEST(ZipImage, StoresMembersInOrderAndValidationRefusesEveryChange) {
  NeverCancelled never;
  const PlCadPrepOperationContext context =
      MakePlCadPrepOperationContext(PlCadPrepRequest{}, never);
  const std::vector<std::uint8_t> image = WritePlCadPrepZipImage(kMembers, context);
  ValidatePlCadPrepZipImage(image, kMembers, context);
  EXPECT_EQ(WritePlCadPrepZipImage(kMembers, context), image);
  const PackageContents contents = ReadPackage(image);
  ASSERT_EQ(contents.problem, "");
  ASSERT_EQ(contents.entries.size(), kMembers.size());
  for (std::size_t m = 0; m < kMembers.size(); ++m) {
    const PackageEntry& e = contents.entries[m];
    EXPECT_TRUE(e.name == kMembers[m].name && std::ranges::equal(e.bytes, kMembers[m].bytes)) << m;
    EXPECT_EQ(e.localTime + e.localDate, 0u) << m;
    ByteReader central{std::span(image).subspan(Header(image, 1, 2, m) + 12)};
    EXPECT_EQ(central.U32(), 0u) << m;  // time and date
    (void)central.Take(22);
    EXPECT_EQ(central.U32(), 0100644u << 16) << m;  // external attributes
  }
  const auto refused = [&](std::vector<std::uint8_t> changed, std::size_t at, std::uint8_t bits,
                           const std::vector<PlCadPrepArchiveMember>& expected, const char* why) {
    changed[at] ^= bits;
    ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(changed, expected, context); },
                         "archive_validation_failed", "package", why);
  };
  const char* metadata = "fresh geometry ZIP member metadata changed";
  refused(image, Header(image, 3, 4, 1) + 12, 0x21, kMembers, metadata);
  refused(image, Header(image, 3, 4, 1) + 1041, 0xFF, kMembers,
          "fresh geometry ZIP member bytes changed");
  refused(image, 0, 0, {kMembers.begin(), kMembers.end() - 1},
          "fresh geometry ZIP member count changed");
  for (std::size_t size = 0; size < image.size(); ++size) {
    SCOPED_TRACE(size);
    ExpectPlCadPrepError(
        [&] { ValidatePlCadPrepZipImage(std::span(image).first(size), kMembers, context); },
        "archive_validation_failed", "package", "fresh geometry ZIP could not be reopened");
  }
}

// The archive's memory reservation counts the image's capacity, so the writer
// hands out an image whose capacity is exactly its size, an empty one included.
TEST(ZipImage, ImageCapacityIsItsSize) {
  NeverCancelled never;
  const PlCadPrepOperationContext context =
      MakePlCadPrepOperationContext(PlCadPrepRequest{}, never);
  const std::string accented = "\xc3\xa9.bin";
  const std::vector<std::vector<PlCadPrepArchiveMember>> cases = {
      kMembers, {}, {{accented, Bytes(kLong)}}};
  for (std::size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(c);
    const std::vector<std::uint8_t> image = WritePlCadPrepZipImage(cases[c], context);
    EXPECT_EQ(image.capacity(), image.size());
    EXPECT_EQ(image.empty(), cases[c].empty());
  }
}

}  // namespace
