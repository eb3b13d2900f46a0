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

class MeshLineReader : public TempDirTest {
 protected:
  // Every line of `bytes` read under `maxMemoryBytes`; `read` gets the bytes counted.
  std::vector<std::string> Lines(std::string_view bytes, std::uint64_t maxMemoryBytes,
                                 const PlCadPrepCancellation& cancellation = kNever) {
    PlMeshSourceFile file(WriteFile(std::to_string(++files) + ".txt", bytes));
    PlMeshLineReader reader(file, maxMemoryBytes, cancellation);
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.NextLine(line)) lines.emplace_back(line);
    EXPECT_EQ(reader.BytesRead(), bytes.size());
    EXPECT_EQ(Sha256IdentityText(reader.FinishDigest()), Sha256Identity(bytes));
    return lines;
  }
  int files = 0;
};

}  // namespace

TEST(MeshLineReaderNumbers, ParsesStrictDecimalsToTheNearestDoubleAndRefusesTheRest) {
  for (const auto& [word, value] :
       {std::pair{"007", 7.0},
        {"0.1", 0.1},
        {"1.5e+001", 15.0},
        {"-3.832020e+001", -38.3202},
        {"4.9e-324", 4.9406564584124654e-324},
        // Halfway between 1 and the next double: ties go to even.
        {"1.00000000000000011102230246251565404236316680908203125", 1.0}}) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(ParseMeshNumber(word)),
              std::bit_cast<std::uint64_t>(value))
        << word;
  }
  EXPECT_TRUE(std::signbit(ParseMeshNumber("-0")));
  for (const char* word : {"", "-", "+1", ".5", "5.", "1e", "e5", "1.5.2", "0x10", "1e400",
                           "1e-400", "nan", "inf", "1 "}) {
    ExpectPlCadPrepError([&] { (void)ParseMeshNumber(word); }, "invalid_number", "import",
                         "mesh contains an invalid numeric value");
  }
  const PlMeshWords words = SplitMeshWords(" \tfacet  normal\t0\r1 2\r\n", 5, "c", "m");
  ASSERT_EQ(words.count, 5u);
  EXPECT_EQ(words.word[1], "normal");
  EXPECT_EQ(words.word[4], "2");
  ExpectPlCadPrepError([] { (void)SplitMeshWords("a b c d e", 4, "some_code", "some message"); },
                       "some_code", "import", "some message");
}

TEST_F(MeshLineReader, SkipsBlankLinesKeepsLinesAcrossChunksAndBoundsThemByHalfTheMemory) {
  EXPECT_EQ(Lines("\n  \t\r\nsolid a\r\n\n  vertex 1 2 3  \nlast", kDefaultMaxMemoryBytes),
            (std::vector<std::string>{"solid a", "vertex 1 2 3", "last"}));
  EXPECT_TRUE(Lines(" \t\r\n \r", kDefaultMaxMemoryBytes).empty());
  std::string text;
  std::vector<std::string> expected;
  for (std::size_t i = 0; text.size() < 3 * kMeshReadChunkBytes; ++i) {
    expected.push_back(std::to_string(i) + std::string(i % 997, 'x'));
    text += expected.back() + (i % 3 == 0 ? "\r\n" : "\n");
  }
  EXPECT_EQ(Lines(text, kDefaultMaxMemoryBytes), expected);
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
    if (c.message == nullptr) {
      (void)Lines(c.text, c.maxMemoryBytes);
    } else {
      ExpectPlCadPrepError([&] { (void)Lines(c.text, c.maxMemoryBytes); }, "memory_limit_exceeded",
                           "import", c.message);
    }
  }
}

TEST_F(MeshLineReader, PollsCancellationAtThe65536thByte) {
  std::string text;
  for (int i = 1; i <= 70; ++i) text += std::string(999, 'x') + "\n";
  SwitchCancellation cancellation;
  cancellation.cancelled = true;
  // Reading byte 65536 asks, whatever the line; fewer bytes never ask.
  ExpectPlCadPrepError([&] { (void)Lines(text.substr(0, 65536), 1 << 20, cancellation); },
                       "cancelled", "import", "preparation was cancelled");
  EXPECT_EQ(Lines(text.substr(0, 65535), 1 << 20, cancellation).size(), 66u);
  // An overlong line that passes the limit only after byte 65536: cancellation wins.
  const std::string late = std::string(65100, '\n') + std::string(600, 'x');
  ExpectPlCadPrepError([&] { (void)Lines(late, 1000, cancellation); }, "cancelled", "import",
                       "preparation was cancelled");
  cancellation.cancelled = false;
  ExpectPlCadPrepError([&] { (void)Lines(late, 1000, cancellation); }, "memory_limit_exceeded",
                       "import", "text line exceeds the bounded parser limit");
}
