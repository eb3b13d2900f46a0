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

std::string_view SpanText(std::string_view text, const JsonValueSpan& span) {
  return text.substr(span.begin, span.end - span.begin);
}

}  // namespace

TEST(JsonReader, ReportsEveryScanErrorAtItsOffset) {
  // clang-format off
  const std::pair<std::string, const char*> cases[] = {
      {Nested(255, "1"), "maximum JSON nesting depth exceeded at byte 260"},
      {"{\"a\":  ", "missing JSON value at byte 7"}, {"{\"a\":[1,]}", "invalid JSON value at byte 8"},
      {"{\"a\":nul", "invalid JSON literal at byte 5"}, {"{\"a\":-", "incomplete JSON number at byte 6"},
      {"{\"a\":-.5}", "invalid JSON number at byte 6"}, {"{\"a\":1.}", "invalid JSON fraction at byte 7"},
      {"{\"a\":1e+}", "invalid JSON exponent at byte 8"}, {"{\"a\":1,}", "expected JSON string at byte 7"},
      {"{\"a\":\" \x1F\"}", "control byte in JSON string at byte 7"},
      {"{\"a\":\"\\", "unterminated JSON escape at byte 7"}, {"{\"a\":\"\\U0041\"}", "invalid JSON escape at byte 7"},
      {"{\"a\":\"\\u123", "short JSON Unicode escape at byte 8"},
      {"{\"a\":\"\\u00g0\"}", "invalid JSON Unicode escape at byte 10"},
      {"{\"a\":\"abc", "unterminated JSON string at byte 9"}, {"{\"a\":[1 ", "unterminated JSON array at byte 8"},
      {"{\"a\":[1 2]}", "expected comma in JSON array at byte 8"},
      {"{\"a\" 1}", "expected colon in JSON object at byte 6"},
      {"{\"a\":1", "unterminated JSON object at byte 6"}, {"{\"a\":1 \"b\":2}", "expected comma in JSON object at byte 7"},
      {" \n\"x\"", "frame must contain one JSON object at byte 2"},
      {"{}\f", "unexpected text after JSON object at byte 2"},
  };
  // clang-format on
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    ExpectScanError([&] { (void)ReadJsonFrame(text); }, message);
  }
  const std::string deepest = Nested(255, "");
  EXPECT_EQ(ReadJsonFrame(deepest).at(0).value.end, deepest.size() - 1);
}

TEST(JsonReader, RecordsSpansAndRescansOneLevelDeep) {
  const std::string text =
      " \r\n{ \"b\" : [1, {\"x\":2}] ,\"n\":-0.0e-0,\"o\":{\"p\":1,\"q\":[]}}\t";
  const std::vector<JsonMemberSpan> m = ReadJsonFrame(text);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(text.substr(m[1].keyOffset, 3) + std::string(SpanText(text, m[1].value)),
            "\"n\"-0.0e-0");
  EXPECT_EQ(SpanText(text, ReadJsonArrayElements(text, m[0].value).at(1)), "{\"x\":2}");
  EXPECT_EQ(DecodeJsonString(text, ReadJsonObjectMembers(text, m[2].value).at(1).keyOffset), "q");
  ExpectScanError([&] { (void)ReadJsonArrayElements(text, m[2].value); },
                  "JSON value must be an array at byte 41");
}

TEST(JsonReader, DecodesStringsAndRejectsBadContent) {
  EXPECT_EQ(DecodeJsonString(
                R"("a\"\\\/\b\f\n\r\tz\u0041\u00e9\u20AC\uffff\ud83d\ude00\uDBFF\uDFFF")", 0),
            "a\"\\/\b\f\n\r\tzA\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  const std::string utf8 =
      "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80"
      "\xF3\xBF\xBF\xBF\xF4\x8F\xBF\xBF";
  EXPECT_EQ(DecodeJsonString("{\"k\":\"" + utf8 + "\"}", 5), utf8);
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {R"("\ud83dx\ude00")", "JSON high surrogate is missing its low surrogate"},
      {R"("\ud83d\ue000")", "invalid JSON low surrogate"}, {R"("\ude00")", "unexpected JSON low surrogate"},
      {R"("a\u0000b")", "JSON strings cannot contain NUL"}, {R"("\q")", "unsupported JSON string escape"},
      {"\"abc", "unterminated JSON string"}, {"1", "expected JSON string"},
      {"\"\xE2\x41\"", "JSON string has truncated UTF-8"},  // length is checked first
  };
  for (const char* bad : {"\"\xC1\xBF\"", "\"\xE0\x9F\xBF\"", "\"\xF4\x90\x80\x80\"", "\"\xE2\x82\x28\""})
    ExpectPlCadPrepError([&] { (void)DecodeJsonString(bad, 0); }, "invalid_json", "preflight", "JSON string is not valid UTF-8");
  // clang-format on
  for (const auto& [text, message] : cases) {
    ExpectPlCadPrepError([&] { (void)DecodeJsonString(text, 0); }, "invalid_json", "preflight",
                         message);
  }
  EXPECT_TRUE(IsCanonicalJsonAscii(" azAZ09~!#"));
  for (const char c : {'\x1f', '\x7f', '"', '\\', '\x80'})
    EXPECT_FALSE(IsCanonicalJsonAscii(std::string("a") + c)) << int(c);
}

// The other kind checks are pinned through the request readers' tables.
TEST(JsonReader, NumbersHoldAtTheEdgesOfTheirRange) {
  const std::string text =
      R"({"max":18446744073709551615,"over":18446744073709551616,"big":1e400,"sub":4e-320})";
  const JsonMemberReader reader(text, ReadJsonFrame(text), "duplicate request member: ");
  EXPECT_EQ(reader.RequireUnsigned("max"), 18446744073709551615u);
  EXPECT_GT(reader.RequireNumber("sub"), 0.0);
  // clang-format off
  ExpectPlCadPrepError([&] { (void)reader.RequireUnsigned("over"); }, "invalid_request", "preflight", "over must be an unsigned integer");
  ExpectPlCadPrepError([&] { (void)reader.RequireNumber("big"); }, "invalid_request", "preflight", "big must be finite");
  // clang-format on
}
