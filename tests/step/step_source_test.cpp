#include "step/step_source.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/step_error_cases.h"

namespace {

constexpr std::uint64_t kChunk = 1'048'576;

// Deterministic bytes that are not all alike, so a misplaced chunk changes the digest.
std::string PatternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return bytes;
}

using StepSource = TempDirTest;

TEST_F(StepSource, RefusesSourcesItCannotSnapshotOrThatChangeWhileRead) {
  const std::filesystem::path ten = WriteFile("ten.step", "0123456789");
  const NeverCancelled never;
  const auto snap = [&](const std::filesystem::path& path, std::uint64_t input, std::uint64_t mem) {
    return [=, &never] {
      PlCadPrepRequest request;
      request.maxMemoryBytes = mem;
      const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
      struct Release {
        const PlCadPrepOperationContext& context;
        ~Release() { EXPECT_EQ(context.ledger->memoryReserved, 0u); }
      } release{context};
      (void)SnapshotPlCadPrepStepSource(path, input, context, {});
    };
  };
  const char* kSize = "STEP source size changed after preflight";
  ExpectStepErrors({{snap(ten, 9, 100), "input_read_failed", "import", kSize},
                    {snap(dir / "missing.step", 100, 100), "input_read_failed", "import", kSize}});
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepLimits(), never);
  EXPECT_EQ(SnapshotPlCadPrepStepSource(ten, 10, context, {}).sourceBytes, 10u);

  const std::string bytes = PatternBytes(2 * kChunk + 10);
  for (const bool grow : {false, true}) {
    const std::filesystem::path path = WriteFile("part.step", bytes);
    // The first chunk's report is the moment another writer changes the file.
    const ProgressCallback change = [&](std::string_view, std::uint64_t done, std::uint64_t) {
      if (done == kChunk && grow) std::ofstream(path, std::ios::binary | std::ios::app) << 'x';
      if (done == kChunk && !grow) std::filesystem::resize_file(path, kChunk + 5);
    };
    ExpectPlCadPrepError(
        [&] { (void)SnapshotPlCadPrepStepSource(path, bytes.size() + 1, context, change); },
        "source_changed", "import",
        grow ? "STEP source grew while it was snapshotted"
             : "STEP source changed while it was snapshotted");
  }
}

}  // namespace

// Only a real that parses past the largest double counts: digits inside names,
// references, enumerations, strings and comments are not numbers.
TEST(StepSourceReals, FindsTheRealsThatOverflowADouble) {
  const auto overflows = [](std::string_view text) {
    return PlCadPrepStepHasOverflowingReal(std::span<const char>(text.data(), text.size()));
  };
  EXPECT_TRUE(overflows("#1=POINT((1.E309,2.));"));
  EXPECT_TRUE(overflows("#1=POINT((" + std::string(310, '9') + ".));"));
  EXPECT_FALSE(overflows("#1=POINT((1.E308,-1.7E308));"));
  for (const char* text :
       {"#1=A1E999(.B2E999.);", "#2=x1E999_9E999('3E999''4E999');", "#3=P(#1E999);/* 5E999 */"}) {
    EXPECT_FALSE(overflows(text)) << text;
  }
}

// The snapshot's buffer seeks within its bytes only and reports no more to read at its end.
TEST(StepSourceMemoryBuffer, SeeksInsideItsBytesOnly) {
  const std::string bytes = "abcdef";
  ReadOnlyMemoryBuffer buffer({bytes.data(), bytes.size()});
  std::istream in(&buffer);
  EXPECT_EQ(in.seekg(4).get(), 'e');
  EXPECT_EQ(in.seekg(-3, std::ios_base::cur).get(), 'c');
  EXPECT_EQ(in.seekg(-1, std::ios_base::end).get(), 'f');
  EXPECT_EQ(buffer.in_avail(), -1);
  in.clear();
  EXPECT_FALSE(in.seekg(7));
}
