#include "mesh/mesh_line_reader.h"

#include <gtest/gtest.h>

#include <bit>
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
