#include "step/step_source.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/sha256.h"
#include "support/mesh_reader_fixture.h"

namespace {

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

TEST_F(StepSource, SnapshotsEveryByteWithItsDigestAndReportsEachChunk) {
  const std::string bytes = PatternBytes(2 * 1'048'576 + 1234);
  const std::uint64_t size = bytes.size();
  const PlCadPrepOperationContext context = Context();
  std::vector<std::uint64_t> reports;
  const PlCadPrepStepSourceSnapshot snapshot = SnapshotPlCadPrepStepSource(
      WriteFile("part.step", bytes), size, context,
      [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
        EXPECT_EQ(stage, "import");
        EXPECT_EQ(total, size);
        reports.push_back(done);
      });
  EXPECT_EQ(std::string(snapshot.bytes.begin(), snapshot.bytes.end()), bytes);
  EXPECT_EQ(snapshot.sourceSha256, Sha256Identity(std::string_view(bytes)));
  EXPECT_EQ(snapshot.sourceBytes, size);
  EXPECT_EQ(reports, (std::vector<std::uint64_t>{1'048'576, 2'097'152, size}));
  // The buffer is reserved against the run while the snapshot lives.
  EXPECT_EQ(snapshot.reservation.bytes, size);
  EXPECT_EQ(context.ledger->memoryReserved, size);
  EXPECT_EQ(
      SnapshotPlCadPrepStepSource(WriteFile("ten", "0123456789"), 10, Context(), {}).sourceBytes,
      10u);
}

TEST_F(StepSource, RefusesSourcesItCannotSnapshot) {
  const std::filesystem::path ten = WriteFile("ten.step", "0123456789");
  const AlwaysCancelled cancelled;
  const char* kSize = "STEP source size changed after preflight";
  const struct {
    std::filesystem::path path;
    std::uint64_t maxInputBytes, maxMemoryBytes;
    const PlCadPrepCancellation* cancellation;
    const char* code;
    const char* message;
  } cases[] = {
      {WriteFile("empty.step", ""), 100, 100, &never, "input_read_failed", kSize},
      {ten, 9, 100, &never, "input_read_failed", kSize},
      {dir / "missing.step", 100, 100, &never, "input_read_failed", kSize},
      {dir, 100, 100, &never, "input_read_failed", kSize},
      // The size is reserved before anything is allocated.
      {ten, 10, 9, &never, "memory_limit_exceeded", "preparation exceeds maxMemoryBytes"},
      {ten, 10, 100, &cancelled, "cancelled", "preparation was cancelled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    PlCadPrepRequest request;
    request.maxMemoryBytes = c.maxMemoryBytes;
    const PlCadPrepOperationContext context =
        MakePlCadPrepOperationContext(request, *c.cancellation);
    ExpectPlCadPrepError(
        [&] { (void)SnapshotPlCadPrepStepSource(c.path, c.maxInputBytes, context, {}); }, c.code,
        "import", c.message);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
}

TEST_F(StepSource, DetectsAFileThatShrinksOrGrowsWhileRead) {
  const std::string bytes = PatternBytes(2 * 1'048'576 + 10);
  for (const bool grow : {false, true}) {
    const std::filesystem::path path = WriteFile("part.step", bytes);
    // The first chunk's report is the moment another writer changes the file.
    const ProgressCallback change = [&](std::string_view, std::uint64_t done, std::uint64_t) {
      if (done != 1'048'576) return;
      if (grow) std::ofstream(path, std::ios::binary | std::ios::app) << 'x';
      if (!grow) std::filesystem::resize_file(path, 1'048'576 + 5);
    };
    ExpectPlCadPrepError(
        [&] { (void)SnapshotPlCadPrepStepSource(path, bytes.size() + 1, Context(), change); },
        "source_changed", "import",
        grow ? "STEP source grew while it was snapshotted"
             : "STEP source changed while it was snapshotted");
  }
}

TEST(StepSourceMemoryBuffer, ReadsAndSeeksInsideItsBytesOnly) {
  const std::string bytes = "ISO-10303-21;HEADER;";
  const std::streampos end(static_cast<std::streamoff>(bytes.size()));
  ReadOnlyMemoryBuffer buffer(std::span<const char>(bytes.data(), bytes.size()));
  std::istream in(&buffer);
  std::string word(3, '\0');
  ASSERT_TRUE(in.read(word.data(), 3));
  EXPECT_EQ(word, "ISO");
  EXPECT_EQ(in.rdbuf()->in_avail(), static_cast<std::streamsize>(bytes.size() - 3));
  in.seekg(-7, std::ios::end);
  EXPECT_EQ(in.get(), 'H');
  in.seekg(1, std::ios::cur);
  EXPECT_EQ(in.get(), 'A');
  in.seekg(0, std::ios::end);
  EXPECT_EQ(in.tellg(), end);
  EXPECT_EQ(in.get(), std::istream::traits_type::eof());
  for (const std::streamoff to :
       {static_cast<std::streamoff>(bytes.size()) + 1, std::streamoff(-1)}) {
    in.clear();
    in.seekg(to, std::ios::beg);
    EXPECT_TRUE(in.fail());
  }
  in.clear();
  EXPECT_EQ(in.tellg(), end);  // a failed seek leaves the position where it was
  in.seekg(4);
  EXPECT_EQ(in.get(), '1');
  EXPECT_EQ(buffer.pubseekoff(0, std::ios::cur, std::ios::out), std::streampos(-1));
  // Putting back a different character must not write into the source.
  EXPECT_EQ(buffer.sputbackc('Z'), std::istream::traits_type::eof());
  EXPECT_EQ(bytes, "ISO-10303-21;HEADER;");
  ReadOnlyMemoryBuffer empty(std::span<const char>{});
  EXPECT_EQ(empty.sgetc(), std::istream::traits_type::eof());
  EXPECT_EQ(empty.pubseekoff(0, std::ios::beg, std::ios::in), std::streampos(0));
  EXPECT_EQ(empty.in_avail(), -1);
}

TEST(StepSourceText, FindsRealsTooLargeForADoubleOnlyWhereTheParserReadsNumbers) {
  const std::pair<std::string, bool> cases[] = {
      {"#12 = CARTESIAN_POINT('',(1.E+400,0.,0.));", true},
      {"#12 = CARTESIAN_POINT('',(0.,-2.E+308,0.));", true},
      {"#12 = CARTESIAN_POINT('',(0.,0.,1" + std::string(320, '0') + ".));", true},
      {"#12 = CARTESIAN_POINT('',(1.7E+308,1.E-400,0.E+000));", false},
      {"#12 = CARTESIAN_POINT('it''s 1.E+400',(0.,0.,0.));", false},
      {"/* 1.E+400 */ #12 = CARTESIAN_POINT('',(0.,0.,0.));", false},
      {"#12 = AXIS2_PLACEMENT_3D('',#13,#14,#15); #16 = ENUM(.E400.);", false},
      {"#12 = CARTESIAN_POINT('',(0.,0.,0.));\n#13 = X('unterminated 1.E+400", false},
  };
  for (const auto& [text, overflows] : cases) {
    SCOPED_TRACE(text.substr(0, 60));
    EXPECT_EQ(PlCadPrepStepHasOverflowingReal(text), overflows);
  }
}

}  // namespace
