#include "mesh/mesh_line_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/sha256.h"
#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

class SwitchCancellation final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return cancelled; }
  bool cancelled = false;
};

const NeverCancelled kNever;

std::string IdentityOf(std::string_view bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return Sha256IdentityText(hash.Finish());
}

// A file and the reader over it.
struct Source {
  Source(const std::filesystem::path& path, std::uint64_t maxMemoryBytes,
         const PlCadPrepCancellation& cancellation = kNever)
      : file(path), reader(file, maxMemoryBytes, cancellation) {}
  std::vector<std::string> AllLines() {
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.NextLine(line)) lines.emplace_back(line);
    return lines;
  }
  PlMeshSourceFile file;
  PlMeshLineReader reader;
};

class MeshLineReader : public TempDirTest {
 protected:
  std::filesystem::path Write(std::string_view bytes) {
    return WriteFile(std::to_string(++files) + ".txt", bytes);
  }
  int files = 0;
};

}  // namespace

TEST(MeshLineReaderNumbers, ParsesStrictDecimalsToTheNearestDoubleAndRefusesTheRest) {
  const std::pair<const char*, double> parsed[] = {
      {"007", 7.0},
      {"0.1", 0.1},
      {"1.5e+001", 15.0},
      {"2E-3", 0.002},
      {"-3.832020e+001", -38.3202},
      {"4.9e-324", 4.9406564584124654e-324},
      // Halfway between 1 and the next double: ties go to even.
      {"1.00000000000000011102230246251565404236316680908203125", 1.0}};
  for (const auto& [word, value] : parsed) {
    SCOPED_TRACE(word);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(ParseMeshNumber(word)),
              std::bit_cast<std::uint64_t>(value));
  }
  EXPECT_TRUE(std::signbit(ParseMeshNumber("-0")));
  for (const char* word :
       {"",      "-",   "+1",   "--1",   ".5",     "5.",     "-.5", "1e",  "1e+", "e5",
        "1.5.2", "1,5", "0x10", "1e400", "-1e400", "1e-400", "nan", "inf", "1 ",  "1f"}) {
    SCOPED_TRACE(word);
    ExpectPlCadPrepError([&] { (void)ParseMeshNumber(word); }, "invalid_number", "import",
                         "mesh contains an invalid numeric value");
  }
}

TEST(MeshLineReaderWords, SplitsAtRunsOfBlanksUpToTheLimit) {
  const PlMeshWords words = SplitMeshWords(" \tfacet  normal\t0\r1 2\r\n", 5, "c", "m");
  ASSERT_EQ(words.count, 5u);
  EXPECT_EQ(words.word[0], "facet");
  EXPECT_EQ(words.word[1], "normal");
  EXPECT_EQ(words.word[4], "2");
  EXPECT_EQ(SplitMeshWords(" \t\r ", 4, "c", "m").count, 0u);
  ExpectPlCadPrepError([] { (void)SplitMeshWords("a b c d e", 4, "some_code", "some message"); },
                       "some_code", "import", "some message");
  EXPECT_EQ(FirstMeshWord("\t endsolid name"), "endsolid");
  EXPECT_EQ(TrimMeshBlanks("\t outer loop \r"), "outer loop");
}

TEST_F(MeshLineReader, SkipsBlankLinesAndHashesAndCountsEveryByte) {
  const std::string text = "\n  \t\r\nsolid a\r\n\n  vertex 1 2 3  \nlast line without feed";
  Source s(Write(text), kDefaultMaxMemoryBytes);
  std::string_view line;
  ASSERT_TRUE(s.reader.NextLine(line));
  EXPECT_EQ(line, "solid a");
  EXPECT_EQ(s.reader.BytesRead(), 15u);  // the skipped blank lines and the line feed count
  EXPECT_EQ(s.AllLines(), (std::vector<std::string>{"vertex 1 2 3", "last line without feed"}));
  EXPECT_FALSE(s.reader.NextLine(line));
  EXPECT_EQ(s.reader.BytesRead(), text.size());
  EXPECT_EQ(Sha256IdentityText(s.reader.FinishDigest()), IdentityOf(text));
  for (const std::string tail : {"", " \t\r\n \r", "x\n \t"}) {
    SCOPED_TRACE(tail);
    Source t(Write(tail), kDefaultMaxMemoryBytes);
    EXPECT_EQ(t.AllLines().size(), tail.starts_with("x") ? 1u : 0u);
    EXPECT_EQ(t.reader.BytesRead(), tail.size());
  }
}

TEST_F(MeshLineReader, KeepsLinesThatSpanReadChunks) {
  std::string text;
  std::vector<std::string> expected;
  for (std::size_t i = 0; text.size() < 3 * kMeshReadChunkBytes; ++i) {
    expected.push_back(std::to_string(i) + std::string(i % 997, 'x'));
    text += expected.back() + (i % 3 == 0 ? "\r\n" : "\n");
  }
  Source s(Write(text), kDefaultMaxMemoryBytes);
  EXPECT_EQ(s.AllLines(), expected);
  EXPECT_EQ(Sha256IdentityText(s.reader.FinishDigest()), IdentityOf(text));
}

TEST_F(MeshLineReader, BoundsLinesByHalfTheMemoryLimit) {
  const std::string hundred(100, 'a');
  const char* bounded = "text line exceeds the bounded parser limit";
  const struct {
    std::uint64_t maxMemoryBytes;
    std::string text;
    const char* message;  // null: every line is read
  } cases[] = {
      {1, "solid\n", "text line exceeds maxMemoryBytes"},
      {1, " \n", "text line exceeds maxMemoryBytes"},  // blanks count before trimming
      {1, "\n\n\n", nullptr},
      {200, hundred + "\n" + hundred, nullptr},
      {200, hundred + "a\n", bounded},
      {200, hundred + "\r\n", bounded},
      {201, hundred + "\n", nullptr},
      {kDefaultMaxMemoryBytes, std::string(kMeshMaxLineBytes, 'b') + "\n", nullptr},
      {kDefaultMaxMemoryBytes, std::string(kMeshMaxLineBytes + 1, 'b'), bounded},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.maxMemoryBytes) + "/" + std::to_string(c.text.size()));
    Source s(Write(c.text), c.maxMemoryBytes);
    if (c.message == nullptr) {
      (void)s.AllLines();
      EXPECT_EQ(s.reader.BytesRead(), c.text.size());
    } else {
      ExpectPlCadPrepError([&] { (void)s.AllLines(); }, "memory_limit_exceeded", "import",
                           c.message);
    }
  }
}

TEST_F(MeshLineReader, LineBufferGrowsWithTheLongestLineWithinTheLimit) {
  Source s(Write("a\n" + std::string(300, 'b') + "\nc\n" + std::string(400, 'd') + "\n"), 900);
  EXPECT_EQ(s.reader.LineLimitBytes(), 450u);
  EXPECT_EQ(s.reader.LineCapacityBytes(), 0u);
  std::string_view line;
  ASSERT_TRUE(s.reader.NextLine(line));
  EXPECT_EQ(s.reader.LineCapacityBytes(), 256u);
  ASSERT_TRUE(s.reader.NextLine(line));
  EXPECT_EQ(s.reader.LineCapacityBytes(), 450u);  // doubling is capped at the line limit
  EXPECT_EQ(s.AllLines().back().size(), 400u);
}

TEST_F(MeshLineReader, PollsCancellationAtThe65536thByte) {
  // Line k ends at byte 1000·k; byte 65536 falls inside line 66.
  std::string text;
  for (int i = 1; i <= 70; ++i) text += std::string(999, 'x') + "\n";
  SwitchCancellation cancellation;
  cancellation.cancelled = true;
  Source s(Write(text), kDefaultMaxMemoryBytes, cancellation);
  std::string_view line;
  for (int i = 1; i <= 65; ++i) ASSERT_TRUE(s.reader.NextLine(line)) << i;
  ExpectPlCadPrepError([&] { (void)s.reader.NextLine(line); }, "cancelled", "import",
                       "preparation was cancelled");
  // Reading byte 65536 asks, whatever the line; fewer bytes never ask.
  Source exact(Write(text.substr(0, 65536)), kDefaultMaxMemoryBytes, cancellation);
  ExpectPlCadPrepError([&] { (void)exact.AllLines(); }, "cancelled", "import",
                       "preparation was cancelled");
  Source small(Write(text.substr(0, 65535)), kDefaultMaxMemoryBytes, cancellation);
  EXPECT_EQ(small.AllLines().size(), 66u);

  // An overlong line that passes the limit only after byte 65536: cancellation wins.
  const std::string late = std::string(65100, '\n') + std::string(600, 'x');
  Source cancelled(Write(late), 1000, cancellation);
  ExpectPlCadPrepError([&] { (void)cancelled.AllLines(); }, "cancelled", "import",
                       "preparation was cancelled");
  cancellation.cancelled = false;
  Source limited(Write(late), 1000, cancellation);
  ExpectPlCadPrepError([&] { (void)limited.AllLines(); }, "memory_limit_exceeded", "import",
                       "text line exceeds the bounded parser limit");
}

TEST_F(MeshLineReader, ReportsReadErrorsAndSeesBytesAppendedAfterTheEnd) {
  const std::filesystem::path path = Write("ab");
  PlMeshSourceFile file(path);
  std::uint8_t buffer[8] = {};
  bool failed = true;
  EXPECT_EQ(file.Read(buffer, failed), 2u);
  EXPECT_FALSE(failed);
  EXPECT_EQ(file.Read(buffer, failed), 0u);
  std::ofstream(path, std::ios::binary | std::ios::app) << "cde";
  EXPECT_EQ(file.Read(buffer, failed), 3u);
  EXPECT_EQ(buffer[2], 'e');
  EXPECT_FALSE(PlMeshSourceFile(dir / "missing").IsOpen());
  // Reading this file at offset 0 fails with an I/O error on Linux.
  Source mem("/proc/self/mem", kDefaultMaxMemoryBytes);
  if (!mem.file.IsOpen()) GTEST_SKIP() << "/proc/self/mem cannot be opened here";
  ExpectPlCadPrepError([&] { (void)mem.AllLines(); }, "input_read_failed", "import",
                       "mesh could not be read");
}
