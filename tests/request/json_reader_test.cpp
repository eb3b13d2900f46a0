#include "request/json_reader.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "support/expect_error.h"

namespace {

// Reports a scan error the way request readers do, so one string pins message and offset.
template <typename Fn>
void ExpectScanError(Fn&& scan, std::string_view message) {
  ExpectPlCadPrepError(
      [&] {
        try {
          scan();
        } catch (const PlServeJsonParseError& error) {
          throw MakeJsonParseFailure(error);
        }
      },
      "invalid_json", "preflight", message);
}

std::string Nested(std::size_t depth, std::string_view innermost) {
  return "{\"a\":" + std::string(depth, '[') + std::string(innermost) + std::string(depth, ']') +
         "}";
}

std::string_view SpanText(std::string_view text, const JsonValueSpan& span) {
  return text.substr(span.begin, span.end - span.begin);
}

void ExpectInvalidJson(std::string_view text, std::size_t offset, std::string_view message) {
  ExpectPlCadPrepError([&] { (void)DecodeJsonString(text, offset); }, "invalid_json", "preflight",
                       message);
}

}  // namespace

TEST(JsonReader, ReportsEveryScanErrorAtItsOffset) {
  const std::pair<std::string, const char*> cases[] = {
      {Nested(255, "1"), "maximum JSON nesting depth exceeded at byte 260"},
      {"{\"a\":  ", "missing JSON value at byte 7"},
      {"\xEF\xBB\xBF{}", "invalid JSON value at byte 0"},
      {"{\"a\":[1,]}", "invalid JSON value at byte 8"},
      {"{\"a\":nul", "invalid JSON literal at byte 5"},
      {"{\"a\":-", "incomplete JSON number at byte 6"},
      {"{\"a\":-.5}", "invalid JSON number at byte 6"},
      {"{\"a\":1.}", "invalid JSON fraction at byte 7"},
      {"{\"a\":1e+}", "invalid JSON exponent at byte 8"},
      {"{\"a\":1,}", "expected JSON string at byte 7"},
      {"{\"a\":\"x\ty\"}", "control byte in JSON string at byte 7"},
      {"{\"a\":\" \x1F\"}", "control byte in JSON string at byte 7"},
      {"{\"a\":\"\\", "unterminated JSON escape at byte 7"},
      {"{\"a\":\"\\U0041\"}", "invalid JSON escape at byte 7"},
      {"{\"a\":\"\\u123", "short JSON Unicode escape at byte 8"},
      {"{\"a\":\"\\u00g0\"}", "invalid JSON Unicode escape at byte 10"},
      {"{\"a\":\"abc", "unterminated JSON string at byte 9"},
      {"{\"a\":[1 ", "unterminated JSON array at byte 8"},
      {"{\"a\":[1 2]}", "expected comma in JSON array at byte 8"},
      {"{\"a\" 1}", "expected colon in JSON object at byte 6"},  // the byte after the bad one
      {"{\"a\"  ", "expected colon in JSON object at byte 6"},
      {"{\"a\":1", "unterminated JSON object at byte 6"},
      {"{\"a\":1 \"b\":2}", "expected comma in JSON object at byte 7"},
      {"{\"a\":01}", "expected comma in JSON object at byte 6"},
      {"[1]", "frame must contain one JSON object at byte 0"},
      {" \n\"x\"", "frame must contain one JSON object at byte 2"},
      {"{}\f", "unexpected text after JSON object at byte 2"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    ExpectScanError([&] { (void)ReadJsonFrame(text); }, message);
  }
}

TEST(JsonReader, DepthLimitAllowsOnlyEmptyContainersAtDepth255) {
  const std::string arrays = Nested(255, "");
  EXPECT_EQ(ReadJsonFrame(arrays).at(0).value.end, arrays.size() - 1);
  std::string objects = "{\"a\":";
  for (int i = 0; i < 254; ++i) objects += "{\"a\":";
  const std::string closing(255, '}');
  EXPECT_NO_THROW((void)ReadJsonFrame(objects + "{}" + closing));
  ExpectScanError(
      [&] { (void)ReadJsonFrame(objects + "{\"a\":1}" + closing); },
      "maximum JSON nesting depth exceeded at byte " + std::to_string(objects.size() + 5));
}

TEST(JsonReader, RecordsMemberSpansInSourceOrder) {
  // Raw UTF-8 bytes (0xC3 0xA9) must not read as control bytes.
  const std::string text =
      " \t\r\n{ \"b\" : [1, {\"x\":2}] ,\"a\":\"s\\\"\xC3\xA9\", \"n\":-0, \"f\":0.0e-0, "
      "\"g\":1E+09,\"t\":true,\"u\":false,\"z\":null,\"o\":{}} \t\r\n";
  std::string keys;
  std::vector<JsonValueKind> kinds;
  std::vector<std::string_view> values;
  for (const JsonMemberSpan& member : ReadJsonFrame(text)) {
    keys += text.substr(member.keyOffset, 3);
    kinds.push_back(member.value.kind);
    values.push_back(SpanText(text, member.value));
  }
  using K = JsonValueKind;
  EXPECT_EQ(keys, R"("b""a""n""f""g""t""u""z""o")");
  EXPECT_EQ(kinds, (std::vector<K>{K::array, K::string, K::number, K::number, K::number, K::boolean,
                                   K::boolean, K::null, K::object}));
  EXPECT_EQ(values,
            (std::vector<std::string_view>{"[1, {\"x\":2}]", "\"s\\\"\xC3\xA9\"", "-0", "0.0e-0",
                                           "1E+09", "true", "false", "null", "{}"}));
}

TEST(JsonReader, RescansArraysAndObjectsOneLevelDeep) {
  const std::string text = "{\"a\":[ 1 , \"x\" ,[2,3], {\"k\":[4]} ],\"o\":{\"p\":1,\"q\":[]}}";
  const std::vector<JsonMemberSpan> members = ReadJsonFrame(text);
  std::vector<std::string_view> elements;
  for (const JsonValueSpan& span : ReadJsonArrayElements(text, members[0].value)) {
    elements.push_back(SpanText(text, span));
  }
  EXPECT_EQ(elements, (std::vector<std::string_view>{"1", "\"x\"", "[2,3]", "{\"k\":[4]}"}));
  const std::vector<JsonMemberSpan> inner = ReadJsonObjectMembers(text, members[1].value);
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_EQ(DecodeJsonString(text, inner[1].keyOffset), "q");
  EXPECT_TRUE(ReadJsonArrayElements(text, inner[1].value).empty());
  ExpectScanError([&] { (void)ReadJsonArrayElements(text, members[1].value); },
                  "JSON value must be an array at byte 39");
  ExpectScanError([&] { (void)ReadJsonObjectMembers(text, members[0].value); },
                  "JSON value must be an object at byte 5");
}

TEST(JsonReader, DecodesEscapesSurrogatesAndUtf8AtTheEdgesOfEachRange) {
  const std::pair<const char*, std::string> cases[] = {
      {R"("a\"\\\/\b\f\n\r\tz")", "a\"\\/\b\f\n\r\tz"},
      {R"("\u0041\u00e9\u20AC\uffff")", "A\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF"},
      {R"("\ud83d\ude00\uDBFF\uDFFF")", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"\"\xC2\x80\xDF\xBF\"", "\xC2\x80\xDF\xBF"},
      {"\"\xE0\xA0\x80\xEF\xBF\xBF\"", "\xE0\xA0\x80\xEF\xBF\xBF"},
      {"\"\xED\x9F\xBF\xEE\x80\x80\"", "\xED\x9F\xBF\xEE\x80\x80"},
      {"\"\xF0\x90\x80\x80\xF3\xBF\xBF\xBF\"", "\xF0\x90\x80\x80\xF3\xBF\xBF\xBF"},
      {"\"\xF4\x8F\xBF\xBF\"", "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& [text, decoded] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(DecodeJsonString(text, 0), decoded);
  }
  EXPECT_EQ(DecodeJsonString("{\"k\":\"v\"}", 5), "v");
}

TEST(JsonReader, RejectsBadStringContent) {
  const char* const kBad = "JSON string is not valid UTF-8";
  const char* const kNoLow = "JSON high surrogate is missing its low surrogate";
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {R"("\ud83dx\ude00")", kNoLow}, {R"("\ud83d\\ude00")", kNoLow},
      {R"("\ud83d\ud83d")", "invalid JSON low surrogate"}, {R"("\ud83d\ue000")", "invalid JSON low surrogate"},
      {R"("\ude00")", "unexpected JSON low surrogate"},
      {R"("a\u0000b")", "JSON strings cannot contain NUL"},
      {R"("\q")", "unsupported JSON string escape"},
      {"\"abc", "unterminated JSON string"},
      // Lead bytes, the narrowed second-byte ranges, then each continuation position.
      {"\"\xC1\xBF\"", kBad}, {"\"\xF5\x80\x80\x80\"", kBad}, {"\"\xE0\x9F\xBF\"", kBad},
      {"\"\xED\xA0\x80\"", kBad}, {"\"\xF0\x8F\xBF\xBF\"", kBad}, {"\"\xF4\x90\x80\x80\"", kBad},
      {"\"\xC2\xC0\"", kBad}, {"\"\xE2\x82\x28\"", kBad}, {"\"\xF0\x9F\x98\x28\"", kBad},
      // One byte short: length is checked before the bytes that are there.
      {"\"\xE2\x41\"", "JSON string has truncated UTF-8"},
  };
  // clang-format on
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    ExpectInvalidJson(text, 0, message);
  }
  ExpectInvalidJson("{\"k\":1}", 5, "expected JSON string");
}

TEST(JsonReader, TypedValueReadersCheckKindAndText) {
  const std::string text =
      "{\"max\":18446744073709551615,\"over\":18446744073709551616,\"huge\":99999999999999999999,"
      "\"neg\":-1,\"frac\":1.0,\"s\":\"5\",\"b\":true,\"big\":1e400,\"tiny\":1e-400,"
      "\"sub\":4e-320,\"d\":-2.5e-3}";
  const JsonMemberReader reader(text, ReadJsonFrame(text), "duplicate request member: ");
  EXPECT_EQ(reader.RequireUnsigned("max"), 18446744073709551615u);
  EXPECT_EQ(reader.RequireNumber("d"), -2.5e-3);
  EXPECT_GT(reader.RequireNumber("sub"), 0.0);
  EXPECT_EQ(reader.RequireString("s"), "5");
  enum Reader { kUnsigned, kNumber, kString };
  // clang-format off
  const std::tuple<const char*, Reader, const char*> cases[] = {
      {"over", kUnsigned, "over must be an unsigned integer"},  // overflow in the addition
      {"huge", kUnsigned, "huge must be an unsigned integer"},  // overflow in the product
      {"neg", kUnsigned, "neg must be an unsigned integer"},
      {"frac", kUnsigned, "frac must be an unsigned integer"},
      {"s", kUnsigned, "s must be an integer"}, {"b", kNumber, "b must be a number"},
      {"big", kNumber, "big must be finite"}, {"tiny", kNumber, "tiny must be finite"},
      {"max", kString, "max must be a string"}, {"absent", kString, "missing request member: absent"},
  };
  // clang-format on
  for (const auto& [name, which, message] : cases) {
    SCOPED_TRACE(name);
    ExpectPlCadPrepError(
        [&] {
          if (which == kUnsigned) (void)reader.RequireUnsigned(name);
          if (which == kNumber) (void)reader.RequireNumber(name);
          if (which == kString) (void)reader.RequireString(name);
        },
        "invalid_request", "preflight", message);
  }
}

TEST(JsonReader, MemberMapRejectsDuplicatesAndUnknownNames) {
  // clang-format off
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {R"({"a":1,"\u0061":2})", "invalid_request", "dup: a"},
      {R"({"b":1,"\u0000":2,"b":3})", "invalid_json", "JSON strings cannot contain NUL"},
      {R"({"zeta":1,"ok":2,"Notes":3,"notes":4})", "invalid_request",
       "unknown limits member: Notes"},
      {R"({"ok":1,"\u00e9":2,"zz":3})", "invalid_request", "unknown limits member: zz"},
  };
  // clang-format on
  const std::string_view allowed[] = {"ok"};
  for (const auto& [text, code, message] : cases) {
    SCOPED_TRACE(text);
    ExpectPlCadPrepError(
        [&] {
          const JsonMemberReader reader(text, ReadJsonFrame(text), "dup: ");
          reader.RejectUnknownMembers(allowed,
                                      JsonObjectTexts{.unknownPrefix = "unknown limits member: "});
        },
        code, "preflight", message);
  }
}

namespace {

constexpr std::string_view kRecordNames[] = {"a", "b", "c"};

constexpr JsonMemberRules kRecordRules = {
    .code = "invalid_record",
    .stage = "publish",
    .invalidName = "record contains an invalid member name",
    .duplicatePrefix = "duplicate record member: ",
    .object = {.missingPrefix = "missing record member: "},
};

class RawNameFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void RaiseRawNameFailure(const std::string& message) { throw RawNameFailure(message); }

constexpr JsonMemberRules kRawRules = {
    .raise = RaiseRawNameFailure,
    .names = JsonMemberNameRule::canonicalAscii,
    .invalidName = "raw: invalid name",
    .nonCanonicalName = "raw: name is not canonical",
    .duplicatePrefix = "raw: duplicate ",
    .object = {"raw: unknown ", "", "raw: incomplete"},
};

}  // namespace

// Duplicates are found in source order while reading, then foreign names byte-wise
// first, then missing names in the order the caller lists them.
TEST(JsonReader, StrictMembersReportInTheirFixedOrder) {
  const std::tuple<const char*, const char*> cases[] = {
      {R"({"z":1,"\ud800":2,"a":1,"a":2})", "record contains an invalid member name"},
      {R"({"z":1,"a":1,"\u0061":2})", "duplicate record member: a"},
      {R"({"c":1,"z":1,"y":1})", "record contains an invalid member name"},
      {R"({"c":1,"b":1})", "missing record member: a"},
      {R"({"a":1})", "missing record member: b"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    ExpectPlCadPrepError(
        [&] {
          const JsonMemberReader reader(text, ReadJsonFrame(text), kRecordRules);
          reader.RequireExactly(kRecordNames);
        },
        "invalid_record", "publish", message);
  }
  const std::string text = R"({"c":3,"\u0062":2,"a":1})";
  const JsonMemberReader reader(text, ReadJsonFrame(text), kRecordRules);
  reader.RequireExactly(kRecordNames);
  EXPECT_EQ(SpanText(text, reader.Require("b")), "2");
}

TEST(JsonReader, RawNamesMustBeCanonicalAndFailThroughTheRaiseFunction) {
  const std::tuple<const char*, const char*> cases[] = {
      {R"({"b":1,"\u0061":2})", "raw: name is not canonical"},
      {R"({"b":1,"b":2,"é":3})", "raw: duplicate b"},
      {R"({"c":1,"b":1,"Z":1,"y":1})", "raw: unknown Z"},
      {R"({"c":1,"b":1})", "raw: incomplete"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    try {
      const JsonMemberReader reader(text, ReadJsonFrame(text), kRawRules);
      reader.RequireExactly(kRecordNames);
      ADD_FAILURE() << "expected a raw-name failure";
    } catch (const RawNameFailure& failure) {
      EXPECT_EQ(std::string_view(failure.what()), message);
    }
  }
}

TEST(JsonReader, CanonicalAsciiIsPrintableAsciiWithoutQuoteOrBackslash) {
  EXPECT_TRUE(IsCanonicalJsonAscii(""));
  EXPECT_TRUE(IsCanonicalJsonAscii(" azAZ09~!#"));
  for (const char c : {'\x1f', '\x7f', '"', '\\', '\x80', '\xff'}) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c)));
    EXPECT_FALSE(IsCanonicalJsonAscii(std::string("a") + c));
  }
}
