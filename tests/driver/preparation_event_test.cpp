#include "driver/preparation_event.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/expect_error.h"

namespace {

TEST(PreparationEvent, FormatsEachKindByteForByte) {
  struct Case {
    const char* requestId;
    const char* event;
    const char* stage;
    const char* code;
    const char* message;
    std::uint64_t completed;
    std::uint64_t total;
    const char* line;
  };
  const Case cases[] = {
      {"r1", "accepted", "preflight", "", "", 0, 0,
       R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"r1","event":"accepted","stage":"preflight"})"},
      {"r1", "progress", "package", "", "", 0, 5120,
       R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"r1","event":"progress","stage":"package","completed":0,"total":5120})"},
      {"r1", "progress", "voxel", "", "", 0, 0,
       R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"r1","event":"progress","stage":"voxel","completed":0,"total":0})"},
      {"r1", "progress", "mesh", "", "", 18446744073709551615u, 18446744073709551615u,
       R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"r1","event":"progress","stage":"mesh","completed":18446744073709551615,"total":18446744073709551615})"},
      {"", "error", "preflight", "request_not_found", "request path is not a regular file", 0, 0,
       R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"","event":"error","stage":"preflight","code":"request_not_found","message":"request path is not a regular file"})"},
      {"r1", "complete", "publish", "", "", 7, 9,
       R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"r1","event":"complete","stage":"publish"})"},
      {"r1", "warning", "publish", "staging_cleanup_warning", "m", 0, 0,
       R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"r1","event":"warning","stage":"publish","code":"staging_cleanup_warning","message":"m"})"},
      {"r1", "error", "", "c", "", 0, 0,
       R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"r1","event":"error","code":"c"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.event) + "/" + c.stage);
    EXPECT_EQ(FormatPreparationEvent(c.requestId, c.event, c.stage, c.code, c.message, c.completed,
                                     c.total),
              c.line);
  }
}

// Every byte's escape is pinned in JsonText; here each text field goes through it.
TEST(PreparationEvent, EscapesEveryTextField) {
  EXPECT_EQ(FormatPreparationEvent("a\"b", "error", "import", "c\\d", "m\n\x01 \xC3\xA9", 0, 0),
            R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"a\"b","event":"error",)"
            R"("stage":"import","code":"c\\d","message":"m\n\u0001 )"
            "\xC3\xA9\"}");
}

TEST(PreparationEvent, RejectsUnknownKindsAndStages) {
  // The two refusals: an unknown event kind, and a stage its kind does not allow.
  struct Refusal {
    const char* code;
    const char* stage;
    const char* message;
  };
  const Refusal kEvent = {"invalid_event", "preflight", "unsupported preparation event"};
  const Refusal kStage = {"invalid_event_stage", "import", "unsupported preparation event stage"};
  const struct {
    const char* event;
    const char* stage;
    Refusal refusal;
  } cases[] = {
      {"finished", "import", kEvent},    {"", "import", kEvent},
      {"Progress", "import", kEvent},    {"finished", "analysis", kEvent},
      {"progress", "analysis", kStage},  {"error", "Import", kStage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.event) + "/" + c.stage);
    ExpectPlCadPrepError(
        [&] { (void)FormatPreparationEvent("r1", c.event, c.stage, "", "", 0, 0); },
        c.refusal.code, c.refusal.stage, c.refusal.message);
  }
}

TEST(PreparationEvent, WritesOneFlushedLine) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  WritePreparationEvent(out, "r1", "accepted", "preflight", "", "");
  WritePreparationEvent(out, "r1", "progress", "import", "", "", 3, 4);
  std::rewind(out);
  char buffer[512] = {};
  const std::size_t n = std::fread(buffer, 1, sizeof buffer, out);
  std::fclose(out);
  EXPECT_EQ(std::string(buffer, n),
            "{\"schema\":\"pelto.geometry.prepare.event.v1\",\"requestId\":\"r1\",\"event\":"
            "\"accepted\",\"stage\":\"preflight\"}\n"
            "{\"schema\":\"pelto.geometry.prepare.event.v1\",\"requestId\":\"r1\",\"event\":"
            "\"progress\",\"stage\":\"import\",\"completed\":3,\"total\":4}\n");
}

}  // namespace
