#include "mesh/mesh_line_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>

#include "support/expect_error.h"
#include "support/temp_dir.h"

const NeverCancelled kNever;

class MeshLineReader : public TempDirTest {
 protected:
  // Every line of `bytes` read under `maxMemoryBytes`, with the bytes counted and hashed.
  std::vector<std::string> Lines(std::string_view bytes, std::uint64_t maxMemoryBytes) {
    PlMeshSourceFile file(WriteFile(std::to_string(++files) + ".txt", bytes));
    PlMeshLineReader reader(file, maxMemoryBytes, kNever);
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.NextLine(line)) lines.emplace_back(line);
    EXPECT_EQ(reader.BytesRead(), bytes.size());
    return lines;
  }
  int files = 0;
};

TEST(MeshLineReaderNumbers, ParsesStrictDecimalsToTheNearestDoubleAndRefusesTheRest) {
  // The last word lies halfway between 1 and the next double: ties go to even.
  for (const auto& [word, value] :
       {std::pair{"-3.832020e+001", -38.3202},
        {"4.9e-324", 4.9406564584124654e-324},
        {"1.00000000000000011102230246251565404236316680908203125", 1.0}}) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(ParseMeshNumber(word)),
              std::bit_cast<std::uint64_t>(value))
        << word;
  }
  for (const char* word : {"", "-", "+1", ".5", "5.", "1e", "1.5.2", "1e400", "1e-400", "nan"}) {
    ExpectPlCadPrepError([&] { (void)ParseMeshNumber(word); }, "invalid_number", "import",
                         "mesh contains an invalid numeric value");
  }
  ExpectPlCadPrepError([] { (void)SplitMeshWords("a b c d e", 4, "some_code", "msg"); },
                       "some_code", "import", "msg");
}

TEST(MeshLineReaderNumbers, ShortDecimalsAgreeWithTheFullParseAtTheirEdges) {
  // Words at the edges of the exact short form (2^53, 19 digits, 10^22), on
  // both sides, and zeros; each must give from_chars' bits.
  for (const char* word : {"0",
                           "-0",
                           "-0.0",
                           "0.000e0",
                           "0e-23",
                           "1e22",
                           "1e23",
                           "-1e-22",
                           "1e-23",
                           "0.1",
                           "9007199254740992",
                           "9007199254740993",
                           "9007199254740992e1",
                           "1234567890123456789",
                           "12345678901234567890",
                           "0.000000000000000000001",
                           "1.234567e+01",
                           "1.5E+001",
                           "00001.5",
                           "3.0000000000000004",
                           "17976931348623157e292"}) {
    SCOPED_TRACE(word);
    const std::string_view text(word);
    double expected = 0.0;
    (void)std::from_chars(text.data(), text.data() + text.size(), expected);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(ParseMeshNumber(word)),
              std::bit_cast<std::uint64_t>(expected));
  }
}

TEST_F(MeshLineReader, GrowsTheLineBufferAsCopyingEveryLineWould) {
  // Lines handed out in place still grow the accounted buffer: to 256 at
  // first, then to twice its size or the line, whichever is larger.
  for (const auto& [text, capacity] :
       {std::pair<std::string, std::uint64_t>{"\n\n", 0},
        {"\n \n", 256},
        {"x\n", 256},
        {std::string(300, 'a') + "\n" + std::string(500, 'b') + "\n", 600},
        {std::string(700, 'a') + "\n" + std::string(100, 'b') + "\n", 700}}) {
    SCOPED_TRACE(capacity);
    PlMeshSourceFile file(WriteFile(std::to_string(++files) + ".txt", text));
    PlMeshLineReader reader(file, kDefaultMaxMemoryBytes, kNever);
    std::string_view line;
    while (reader.NextLine(line)) {
    }
    EXPECT_EQ(reader.LineCapacityBytes(), capacity);
  }
}

TEST_F(MeshLineReader, SkipsBlankLinesKeepsLinesAcrossChunksAndBoundsThemByHalfTheMemory) {
  std::string text = "\n  \t\r\n";
  std::vector<std::string> expected;
  for (std::size_t i = 0; text.size() < 3 * kMeshReadChunkBytes; ++i) {
    expected.push_back(std::to_string(i) + std::string(i % 997, 'x'));
    text += expected.back() + (i % 3 == 0 ? "\r\n" : "\n");
  }
  EXPECT_EQ(Lines(text + " last ", kDefaultMaxMemoryBytes).size(), expected.size() + 1);
  EXPECT_EQ(Lines(text, kDefaultMaxMemoryBytes), expected);
  const std::string hundred(100, 'a'), bounded = "text line exceeds the bounded parser limit";
  for (const auto& [maxMemoryBytes, line, message] :
       {std::tuple<std::uint64_t, std::string, std::string>{1, " \n",
                                                            "text line exceeds maxMemoryBytes"},
        {200, hundred + "\r\n", bounded},
        {200, hundred + "\n", ""},
        {kDefaultMaxMemoryBytes, std::string(kMeshMaxLineBytes, 'b') + "\n", ""},
        {kDefaultMaxMemoryBytes, std::string(kMeshMaxLineBytes + 1, 'b'), bounded}}) {
    SCOPED_TRACE(maxMemoryBytes);
    if (message.empty()) {
      EXPECT_EQ(Lines(line, maxMemoryBytes).size(), 1u);
    } else {
      ExpectPlCadPrepError([&] { (void)Lines(line, maxMemoryBytes); }, "memory_limit_exceeded",
                           "import", message);
    }
  }
}
