#include "package/zip_image.h"

#include <gtest/gtest.h>

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
  for (std::size_t i = 0; i + 4 <= image.size(); ++i) {
    if (image[i] == 'P' && image[i + 1] == 'K' && image[i + 2] == a && image[i + 3] == b &&
        n-- == 0) {
      return i;
    }
  }
  ADD_FAILURE() << "no such header";
  return 0;
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
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepRequest{}, never);
  const std::vector<std::uint8_t> image = WritePlCadPrepZipImage(kMembers, context);
  ValidatePlCadPrepZipImage(image, kMembers, context);
  EXPECT_EQ(WritePlCadPrepZipImage(kMembers, context), image);
  const PackageContents contents = ReadPackage(image);
  ASSERT_EQ(contents.problem, "");
  ASSERT_EQ(contents.entries.size(), kMembers.size());
  for (std::size_t m = 0; m < kMembers.size(); ++m) {
    SCOPED_TRACE(m);
    EXPECT_EQ(contents.entries[m].name, kMembers[m].name);
    EXPECT_TRUE(std::ranges::equal(contents.entries[m].bytes, kMembers[m].bytes));
    EXPECT_EQ(contents.entries[m].localTime + contents.entries[m].localDate, 0u);
    ByteReader central(std::span<const std::uint8_t>(image).subspan(Header(image, 1, 2, m) + 12));
    EXPECT_EQ(central.U32(), 0u) << "central time and date";
    (void)central.Take(22);
    EXPECT_EQ(central.U32(), 0100644u << 16) << "external attributes";
  }
  const auto refused = [&](std::vector<std::uint8_t> changed, std::size_t at, std::uint8_t bits,
                           const std::vector<PlCadPrepArchiveMember>& expected, const char* why) {
    changed[at] ^= bits;
    ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(changed, expected, context); },
                         "archive_validation_failed", "package", why);
  };
  const char* metadata = "fresh geometry ZIP member metadata changed";
  refused(image, Header(image, 3, 4, 1) + 12, 0x21, kMembers, metadata);
  refused(image, Header(image, 1, 2, 2) + 40, 0022, kMembers, metadata);
  refused(image, Header(image, 3, 4, 1) + 1041, 0xFF, kMembers,
          "fresh geometry ZIP member bytes changed");
  std::vector<PlCadPrepArchiveMember> renamed = kMembers;
  renamed[3].name = "search_50mm_x.pvox";
  refused(image, 0, 0, renamed, metadata);
  refused(image, 0, 0, {kMembers.begin(), kMembers.end() - 1},
          "fresh geometry ZIP member count changed");
  for (std::size_t size = 0; size < image.size(); ++size) {
    SCOPED_TRACE(size);
    ExpectPlCadPrepError(
        [&] { ValidatePlCadPrepZipImage(std::span(image).first(size), kMembers, context); },
        "archive_validation_failed", "package", "fresh geometry ZIP could not be reopened");
  }
}

}  // namespace
