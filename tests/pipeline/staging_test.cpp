#include "pipeline/staging.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using ProgressCalls = std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>>;

// Reports cancellation from its `after`-th query on, to stop a write between chunks.
class CancelAfter final : public PlCadPrepCancellation {
 public:
  explicit CancelAfter(int queries) : after(queries) {}
  bool IsCancelled() const override { return ++asked >= after; }
  int after;
  mutable int asked = 0;
};

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7) % 251);
  return bytes;
}

}  // namespace

class Staging : public TempDirTest {
 protected:
  void Write(std::size_t size, const PlCadPrepCancellation& cancellation = NeverCancelled(),
             const ProgressCallback& progress = {}) const {
    WriteStagedArchive(Pattern(size), staged(),
                       MakePlCadPrepOperationContext(PlCadPrepRequest(), cancellation), progress);
  }
  fs::path staged() const { return dir / ".a.peltogeom.partial-r1"; }
};

TEST_F(Staging, WritesInChunksAndReportsEachOne) {
  for (const auto& [size, expected] : {
           std::pair<std::size_t, ProgressCalls>{0, {{"package", 0, 0}}},
           {65537, {{"package", 0, 65537}, {"package", 65536, 65537}, {"package", 65537, 65537}}},
       }) {
    SCOPED_TRACE(size);
    fs::remove(staged());
    ProgressCalls calls;
    Write(size, NeverCancelled(),
          [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
            calls.emplace_back(std::string(stage), done, total);
          });
    EXPECT_EQ(calls, expected);
    const std::vector<std::uint8_t> bytes = Pattern(size);
    EXPECT_EQ(ReadFile(staged()), std::string(bytes.begin(), bytes.end()));
  }
}

TEST_F(Staging, LeavesAnExistingFileUntouched) {
  WriteFile(staged().filename(), "earlier run");
  ExpectPlCadPrepError([&] { Write(4); }, "staging_exists", "package",
                       "the request output path already exists");
  EXPECT_EQ(ReadFile(staged()), "earlier run");
}

TEST_F(Staging, StopsBetweenChunksAndRemovesThePartialFile) {
  for (int after : {1, 2, 3, 4}) {  // entry, first chunk, second chunk, first read-back chunk
    SCOPED_TRACE(after);
    ExpectPlCadPrepError([&] { Write(70000, CancelAfter(after)); }, "cancelled", "package",
                         "preparation was cancelled");
    EXPECT_FALSE(fs::exists(staged()));
  }
}
