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

class ZipImage : public ::testing::Test {
 protected:
  const std::string manifest = R"({"schema":"pelto.geometry.asset.v3"})";
  const std::string repeated = std::string(5000, 'a');
  const std::string empty;
  const std::vector<PlCadPrepArchiveMember> members = {{"manifest.json", Bytes(manifest)},
                                                       {"preview.glb", Bytes(repeated)},
                                                       {"empty.bin", Bytes(empty)},
                                                       {"refine_30mm_x.pvox", Bytes(manifest)}};
  NeverCancelled never;
  PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepRequest{}, never);
};

TEST_F(ZipImage, StoresMembersInOrderWithZeroTimesAndPrivateWriteAccess) {
  const std::vector<std::uint8_t> image = WritePlCadPrepZipImage(members, context);
  ValidatePlCadPrepZipImage(image, members, context);
  EXPECT_EQ(WritePlCadPrepZipImage(members, context), image);
  const PackageContents contents = ReadPackage(image);
  ASSERT_EQ(contents.problem, "");
  ASSERT_EQ(contents.entries.size(), members.size());
  for (std::size_t m = 0; m < members.size(); ++m) {
    SCOPED_TRACE(m);
    EXPECT_EQ(contents.entries[m].name, members[m].name);
    EXPECT_TRUE(std::ranges::equal(contents.entries[m].bytes, members[m].bytes));
    EXPECT_EQ(contents.entries[m].localTime + contents.entries[m].localDate, 0u);
    ByteReader central(std::span<const std::uint8_t>(image).subspan(Header(image, 1, 2, m) + 12));
    EXPECT_EQ(central.U32(), 0u) << "central time and date";
    (void)central.Take(22);
    // Extracted members are regular files, rw-r--r--: never writable by everyone.
    EXPECT_EQ(central.U32(), 0100644u << 16) << "external attributes";
  }
}

TEST_F(ZipImage, ValidationRefusesEveryChange) {
  const std::vector<std::uint8_t> image = WritePlCadPrepZipImage(members, context);
  const auto refused = [&](const std::vector<std::uint8_t>& changed,
                           const std::vector<PlCadPrepArchiveMember>& expected,
                           const char* message) {
    ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(changed, expected, context); },
                         "archive_validation_failed", "package", message);
  };
  std::vector<std::uint8_t> dated = image;
  dated[Header(image, 3, 4, 1) + 12] = 0x21;
  refused(dated, members, "fresh geometry ZIP member metadata changed");
  std::vector<std::uint8_t> shared = image;
  shared[Header(image, 1, 2, 2) + 38 + 2] |= 0022;
  refused(shared, members, "fresh geometry ZIP member metadata changed");
  std::vector<std::uint8_t> changed = image;
  changed[Header(image, 3, 4, 1) + 30 + 11 + 1000] ^= 0xFF;
  refused(changed, members, "fresh geometry ZIP member bytes changed");
  std::vector<PlCadPrepArchiveMember> renamed = members;
  renamed[3].name = "search_50mm_x.pvox";
  refused(image, renamed, "fresh geometry ZIP member metadata changed");
  refused(image, {members.begin(), members.end() - 1}, "fresh geometry ZIP member count changed");
  for (std::size_t size = 0; size < image.size(); ++size) {
    SCOPED_TRACE(size);
    refused({image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size)}, members,
            "fresh geometry ZIP could not be reopened");
  }
}

}  // namespace
