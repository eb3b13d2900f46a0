#include "request/json_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/expect_error.h"

namespace {

// A scan error reported the way request readers report it: message and offset in one text.
template <typename Fn>
void ExpectScanError(Fn&& scan, std::string_view message) {
  const auto reported = [&] {
    try {
      scan();
    } catch (const PlServeJsonParseError& error) {
      throw MakeJsonParseFailure(error);
    }
  };
  ExpectPlCadPrepError(reported, "invalid_json", "preflight", message);
}

std::string Nested(std::size_t depth, std::string_view innermost) {
  return "{\"a\":" + std::string(depth, '[') + std::string(innermost) + std::string(depth, ']') +
         "}";
}

}  // namespace

TEST(JsonReader, ReportsEveryScanErrorAtItsOffset) {
  const std::pair<std::string, const char*> cases[] = {
      {Nested(255, "1"), "maximum JSON nesting depth exceeded at byte 260"},
      {"{\"a\":  ", "missing JSON value at byte 7"},
      {"{\"a\":[1,]}", "invalid JSON value at byte 8"},
      {"{\"a\":-.5}", "invalid JSON number at byte 6"},
      {"{\"a\":1,}", "expected JSON string at byte 7"},
      {"{\"a\":\" \x1F\"}", "control byte in JSON string at byte 7"},
      {"{\"a\":\"abc", "unterminated JSON string at byte 9"},
      {"{\"a\":[1 2]}", "expected comma in JSON array at byte 8"},
      {"{\"a\":1", "unterminated JSON object at byte 6"},
      {" \n\"x\"", "frame must contain one JSON object at byte 2"},
      {"{}\f", "unexpected text after JSON object at byte 2"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    ExpectScanError([&] { (void)ReadJsonFrame(text); }, message);
  }
  const std::string deepest = Nested(255, "");
  EXPECT_EQ(ReadJsonFrame(deepest).at(0).value.end, deepest.size() - 1);
}

TEST(JsonReader, DecodesStringsAndRejectsBadContent) {
  const std::pair<const char*, const char*> cases[] = {
      {R"("\ud83dx\ude00")", "JSON high surrogate is missing its low surrogate"},
      {R"("\ud83d\ue000")", "invalid JSON low surrogate"},
      {R"("\ude00")", "unexpected JSON low surrogate"},
      {R"("a\u0000b")", "JSON strings cannot contain NUL"},
      {R"("\q")", "unsupported JSON string escape"},
      {"\"\xE2\x41\"", "JSON string has truncated UTF-8"},  // length is checked first
  };
  for (const char* bad :
       {"\"\xC1\xBF\"", "\"\xE0\x9F\xBF\"", "\"\xF4\x90\x80\x80\"", "\"\xE2\x82\x28\""})
    ExpectPlCadPrepError([&] { (void)DecodeJsonString(bad, 0); }, "invalid_json", "preflight",
                         "JSON string is not valid UTF-8");
  for (const auto& [text, message] : cases) {
    ExpectPlCadPrepError([&] { (void)DecodeJsonString(text, 0); }, "invalid_json", "preflight",
                         message);
  }
  for (const char c : {'\x1f', '\x7f', '"', '\\', '\x80'})
    EXPECT_FALSE(IsCanonicalJsonAscii(std::string("a") + c)) << int(c);
}
