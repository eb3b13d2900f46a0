#include "package/zip_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/byte_io.h"
#include "request/prepare_request.h"
#include "support/expect_error.h"

namespace {

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class ZipImage : public ::testing::Test {
 protected:
  ZipImage() : context(MakePlCadPrepOperationContext(PlCadPrepRequest{}, never)) {
    big.resize(200'000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
    members = {{"manifest.json", Bytes(manifest)},
               {"preview.glb", Bytes(big)},
               {"empty.bin", Bytes(empty)},
               {"refine_30mm_x.pvox", Bytes(manifest)}};
  }

  // Offsets of the four headers chained from `at`, each checked for `signature`:
  // the next one starts after the `fixedBytes` and the lengths held in the
  // header's fields, given as (offset, width in bytes).
  static std::vector<std::size_t> HeaderChain(
      const std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t signature,
      std::size_t fixedBytes, std::initializer_list<std::pair<std::size_t, std::size_t>> lengths) {
    std::vector<std::size_t> offsets;
    for (std::size_t m = 0; m < 4; ++m) {
      const std::span<const std::uint8_t> header =
          std::span<const std::uint8_t>(image).subspan(at, fixedBytes);
      EXPECT_EQ(ByteReader(header).U32(), signature);
      offsets.push_back(at);
      at += fixedBytes;
      for (const auto& [offset, width] : lengths) {
        ByteReader field(header.subspan(offset, width));
        at += width == 4 ? field.U32() : field.U16();
      }
    }
    return offsets;
  }

  // Offsets of the local headers: compressed size, name and extra lengths.
  static std::vector<std::size_t> LocalHeaders(const std::vector<std::uint8_t>& image) {
    return HeaderChain(image, 0, 0x04034b50u, 30, {{18, 4}, {26, 2}, {28, 2}});
  }

  // Offsets of the central directory's entries, from the end record: name,
  // extra and comment lengths.
  static std::vector<std::size_t> CentralHeaders(const std::vector<std::uint8_t>& image) {
    ByteReader end(std::span<const std::uint8_t>(image).subspan(image.size() - 22));
    (void)end.Take(16);
    return HeaderChain(image, end.U32(), 0x02014b50u, 46, {{28, 2}, {30, 2}, {32, 2}});
  }

  NeverCancelled never;
  PlCadPrepOperationContext context;
  std::string manifest = R"({"schema":"pelto.geometry.asset.v3"})";
  std::string big;
  std::string empty;
  std::vector<PlCadPrepArchiveMember> members;
};

TEST_F(ZipImage, WritesStoredMembersWithZeroTimeAndReadsThemBack) {
  const std::vector<std::uint8_t> image = WritePlCadPrepZipImage(members, context);
  ValidatePlCadPrepZipImage(image, members, context);
  // Stored: the image holds every member's bytes verbatim, so it cannot be
  // much smaller than their sum.
  EXPECT_GT(image.size(), big.size() + 2 * manifest.size());
  for (const std::size_t offset : LocalHeaders(image)) {
    ByteReader header(std::span<const std::uint8_t>(image).subspan(offset + 8, 6));
    EXPECT_EQ(header.U16(), 0u) << "method";
    EXPECT_EQ(header.U16(), 0u) << "time";
    EXPECT_EQ(header.U16(), 0u) << "date";
  }
  // Extracted members are regular files, rw-r--r--: never writable by everyone.
  for (const std::size_t offset : CentralHeaders(image)) {
    ByteReader header(std::span<const std::uint8_t>(image).subspan(offset + 38, 4));
    EXPECT_EQ(header.U32(), 0100644u << 16) << "external attributes";
  }
}

TEST_F(ZipImage, IsByteIdenticalAcrossRuns) {
  EXPECT_EQ(WritePlCadPrepZipImage(members, context), WritePlCadPrepZipImage(members, context));
}

TEST_F(ZipImage, ValidationRefusesEveryChange) {
  const std::vector<std::uint8_t> image = WritePlCadPrepZipImage(members, context);
  const std::vector<std::size_t> local = LocalHeaders(image);

  std::vector<std::uint8_t> dated = image;
  dated[local[1] + 12] = 0x21;  // a non-zero modification date
  ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(dated, members, context); },
                       "archive_validation_failed", "package",
                       "fresh geometry ZIP member metadata changed");

  std::vector<std::uint8_t> shared = image;
  shared[CentralHeaders(image)[2] + 40] |= 0022;  // writable by group and others
  ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(shared, members, context); },
                       "archive_validation_failed", "package",
                       "fresh geometry ZIP member metadata changed");

  std::vector<std::uint8_t> changed = image;
  changed[local[1] + 30 + members[1].name.size() + 1000] ^= 0xFF;  // one byte of the data
  ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(changed, members, context); },
                       "archive_validation_failed", "package",
                       "fresh geometry ZIP member bytes changed");

  std::vector<PlCadPrepArchiveMember> renamed = members;
  renamed[3].name = "search_50mm_x.pvox";
  ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(image, renamed, context); },
                       "archive_validation_failed", "package",
                       "fresh geometry ZIP member metadata changed");

  std::vector<PlCadPrepArchiveMember> fewer(members.begin(), members.end() - 1);
  ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(image, fewer, context); },
                       "archive_validation_failed", "package",
                       "fresh geometry ZIP member count changed");

  const std::vector<std::uint8_t> nothing;
  ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(nothing, members, context); },
                       "archive_validation_failed", "package",
                       "fresh geometry ZIP could not be reopened");
  const std::vector<std::uint8_t> truncated(image.begin(), image.end() - 30);
  ExpectPlCadPrepError([&] { ValidatePlCadPrepZipImage(truncated, members, context); },
                       "archive_validation_failed", "package",
                       "fresh geometry ZIP could not be reopened");
}

// Cancels on the n-th question.
class CancelAfter final : public PlCadPrepCancellation {
 public:
  explicit CancelAfter(int n) : left(n) {}
  bool IsCancelled() const override { return --left < 0; }
  mutable int left;
};

TEST_F(ZipImage, CancellationStopsBeforeTheNextMember) {
  const CancelAfter cancel(2);
  PlCadPrepOperationContext cancelling = MakePlCadPrepOperationContext(PlCadPrepRequest{}, cancel);
  ExpectPlCadPrepError([&] { (void)WritePlCadPrepZipImage(members, cancelling); }, "cancelled",
                       "package", "preparation was cancelled");
}

}  // namespace
