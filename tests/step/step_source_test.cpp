#include "step/step_source.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <istream>
#include <string>
#include <tuple>
#include <vector>

#include "core/sha256.h"
#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

class AlwaysCancelled final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return true; }
};

// Deterministic bytes that are not all alike, so a misplaced chunk changes the digest.
std::string PatternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return bytes;
}

class StepSource : public TempDirTest {
 protected:
  PlCadPrepOperationContext Context(std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes) {
    PlCadPrepRequest request;
    request.maxMemoryBytes = maxMemoryBytes;
    return MakePlCadPrepOperationContext(request, never);
  }
  NeverCancelled never;
};

using Progress = std::tuple<std::string, std::uint64_t, std::uint64_t>;

TEST_F(StepSource, SnapshotsEveryByteWithItsDigestAndReportsEachChunk) {
  const std::string bytes = PatternBytes(2 * 1'048'576 + 1234);
  const std::filesystem::path path = WriteFile("part.step", bytes);
  const PlCadPrepOperationContext context = Context();
  std::vector<Progress> reports;
  const PlCadPrepStepSourceSnapshot snapshot = SnapshotPlCadPrepStepSource(
      path, bytes.size(), context,
      [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
        reports.emplace_back(std::string(stage), done, total);
      });

  EXPECT_EQ(std::string(snapshot.bytes.begin(), snapshot.bytes.end()), bytes);
  EXPECT_EQ(snapshot.sourceSha256, Sha256Identity(std::string_view(bytes)));
  EXPECT_EQ(snapshot.sourceBytes, bytes.size());
  const std::uint64_t total = bytes.size();
  EXPECT_EQ(reports, (std::vector<Progress>{{"import", 1'048'576, total},
                                            {"import", 2'097'152, total},
                                            {"import", total, total}}));
  // The buffer is reserved against the run while the snapshot lives.
  EXPECT_EQ(snapshot.reservation.bytes, bytes.size());
  EXPECT_EQ(context.ledger->memoryReserved, bytes.size());
}

TEST_F(StepSource, RejectsSizesOutsideTheLimitAndMissingFiles) {
  const std::filesystem::path empty = WriteFile("empty.step", "");
  const std::filesystem::path ten = WriteFile("ten.step", "0123456789");
  const struct {
    std::filesystem::path path;
    std::uint64_t maxInputBytes;
  } cases[] = {{empty, 100}, {ten, 9}, {dir / "missing.step", 100}, {dir, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string());
    const PlCadPrepOperationContext context = Context();
    ExpectPlCadPrepError(
        [&] { (void)SnapshotPlCadPrepStepSource(c.path, c.maxInputBytes, context, {}); },
        "input_read_failed", "import", "STEP source size changed after preflight");
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
  const PlCadPrepOperationContext context = Context();
  EXPECT_EQ(SnapshotPlCadPrepStepSource(ten, 10, context, {}).sourceBytes, 10u);
}

TEST_F(StepSource, ReservesTheSizeBeforeAllocating) {
  const std::filesystem::path path = WriteFile("part.step", PatternBytes(1000));
  const PlCadPrepOperationContext context = Context(999);
  ExpectPlCadPrepError([&] { (void)SnapshotPlCadPrepStepSource(path, 1000, context, {}); },
                       "memory_limit_exceeded", "import", "preparation exceeds maxMemoryBytes");
  EXPECT_EQ(context.ledger->memoryReserved, 0u);
}

TEST_F(StepSource, StopsWhenCancelled) {
  const std::filesystem::path path = WriteFile("part.step", PatternBytes(1000));
  PlCadPrepRequest request;
  AlwaysCancelled cancelled;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancelled);
  ExpectPlCadPrepError([&] { (void)SnapshotPlCadPrepStepSource(path, 1000, context, {}); },
                       "cancelled", "import", "preparation was cancelled");
}

TEST_F(StepSource, DetectsAFileThatShrinksOrGrowsWhileRead) {
  const std::string bytes = PatternBytes(2 * 1'048'576 + 10);
  const struct {
    const char* name;
    bool grow;
    const char* message;
  } cases[] = {
      {"shrink", false, "STEP source changed while it was snapshotted"},
      {"grow", true, "STEP source grew while it was snapshotted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path path = WriteFile(c.name, bytes);
    const PlCadPrepOperationContext context = Context();
    // The first chunk's report is the moment another writer changes the file.
    const ProgressCallback changeAfterFirstChunk = [&](std::string_view, std::uint64_t done,
                                                       std::uint64_t) {
      if (done != 1'048'576) return;
      if (c.grow) {
        std::ofstream(path, std::ios::binary | std::ios::app) << 'x';
      } else {
        std::filesystem::resize_file(path, 1'048'576 + 5);
      }
    };
    ExpectPlCadPrepError(
        [&] {
          (void)SnapshotPlCadPrepStepSource(path, bytes.size() + 1, context, changeAfterFirstChunk);
        },
        "source_changed", "import", c.message);
  }
}

TEST(StepSourceMemoryBuffer, ReadsAndSeeksInsideItsBytesOnly) {
  const std::string bytes = "ISO-10303-21;HEADER;";
  ReadOnlyMemoryBuffer buffer(std::span<const char>(bytes.data(), bytes.size()));
  std::istream in(&buffer);

  std::string word(3, '\0');
  ASSERT_TRUE(in.read(word.data(), 3));
  EXPECT_EQ(word, "ISO");
  EXPECT_EQ(in.tellg(), std::streampos(3));
  EXPECT_EQ(in.rdbuf()->in_avail(), static_cast<std::streamsize>(bytes.size() - 3));

  in.seekg(-7, std::ios::end);
  EXPECT_EQ(in.get(), 'H');
  in.seekg(1, std::ios::cur);
  EXPECT_EQ(in.get(), 'A');
  in.seekg(0, std::ios::end);
  EXPECT_EQ(in.tellg(), std::streampos(static_cast<std::streamoff>(bytes.size())));
  EXPECT_EQ(in.get(), std::istream::traits_type::eof());
  in.clear();

  in.seekg(static_cast<std::streamoff>(bytes.size()) + 1, std::ios::beg);
  EXPECT_TRUE(in.fail());
  in.clear();
  in.seekg(-1, std::ios::beg);
  EXPECT_TRUE(in.fail());
  in.clear();
  // A failed seek leaves the position where it was.
  EXPECT_EQ(in.tellg(), std::streampos(static_cast<std::streamoff>(bytes.size())));

  in.seekg(4);
  EXPECT_EQ(in.get(), '1');
  EXPECT_EQ(buffer.pubseekoff(0, std::ios::cur, std::ios::out), std::streampos(-1));
  // Putting back a different character must not write into the source.
  EXPECT_EQ(buffer.sputbackc('Z'), std::istream::traits_type::eof());
  EXPECT_EQ(bytes, "ISO-10303-21;HEADER;");
}

TEST(StepSourceMemoryBuffer, AnEmptyBufferIsAtItsEnd) {
  ReadOnlyMemoryBuffer buffer(std::span<const char>{});
  std::istream in(&buffer);
  EXPECT_EQ(in.get(), std::istream::traits_type::eof());
  in.clear();
  in.seekg(0, std::ios::beg);
  EXPECT_FALSE(in.fail());
  EXPECT_EQ(buffer.in_avail(), -1);
}

TEST(StepSourceText, FindsRealsTooLargeForADoubleOnlyWhereTheParserReadsNumbers) {
  const std::string huge = "1" + std::string(320, '0') + ".";
  struct Case {
    std::string text;
    bool overflows;
  };
  const Case cases[] = {
      {"#12 = CARTESIAN_POINT('',(1.E+400,0.,0.));", true},
      {"#12 = CARTESIAN_POINT('',(0.,-2.E+308,0.));", true},
      {"#12 = CARTESIAN_POINT('',(0.,0.," + huge + "));", true},
      {"#12 = CARTESIAN_POINT('',(1.7E+308,1.E-400,0.E+000));", false},
      {"#12 = CARTESIAN_POINT('it''s 1.E+400',(0.,0.,0.));", false},
      {"/* 1.E+400 */ #12 = CARTESIAN_POINT('',(0.,0.,0.));", false},
      {"#12 = AXIS2_PLACEMENT_3D('',#13,#14,#15); #16 = ENUM(.E400.);", false},
      {"#12 = CARTESIAN_POINT('',(0.,0.,0.));\n#13 = X('unterminated 1.E+400", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    EXPECT_EQ(PlCadPrepStepHasOverflowingReal(c.text), c.overflows);
  }
}

}  // namespace
