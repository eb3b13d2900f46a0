#include "pipeline/staging.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

// Reports cancellation from its `after`-th query on, to stop a write between chunks.
struct CancelAfter final : PlCadPrepCancellation {
  explicit CancelAfter(int queries) : after(queries) {}
  bool IsCancelled() const override { return ++asked >= after; }
  int after;
  mutable int asked = 0;
};

class Staging : public TempDirTest {
 protected:
  void Write(std::size_t size, const PlCadPrepCancellation& cancellation,
             const ProgressCallback& progress = {}) const {
    WriteStagedArchive(std::vector<std::uint8_t>(size, 0x5A), dir / ".a.partial-r1",
                       MakePlCadPrepOperationContext(PlCadPrepRequest(), cancellation), progress);
  }
};

TEST_F(Staging, WritesInChunks) {
  std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> calls;
  Write(65537, NeverCancelled(),
        [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
          calls.emplace_back(std::string(stage), done, total);
        });
  EXPECT_EQ(calls,
            (decltype(calls){
                {"package", 0, 65537}, {"package", 65536, 65537}, {"package", 65537, 65537}}));
  EXPECT_EQ(ReadFile(dir / ".a.partial-r1"), std::string(65537, 'Z'));
}

TEST_F(Staging, StopsBetweenChunksAndRemovesThePartialFile) {
  for (int after : {1, 2, 3, 4}) {  // entry, first chunk, second chunk, first read-back chunk
    SCOPED_TRACE(after);
    ExpectPlCadPrepError([&] { Write(70000, CancelAfter(after)); }, "cancelled", "package",
                         "preparation was cancelled");
    EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
  }
}

}  // namespace
