#pragma once
// The strict two-pass JSON reader: a scanner that checks the syntax of a whole
// text and records only value kinds and byte spans, on-demand string decoding,
// and the typed member readers that every request reader shares.
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

enum class JsonValueKind { object, array, string, number, boolean, null };

// One scanned value: [begin, end) are byte offsets into the scanned text, with
// `begin` past any leading whitespace.
struct JsonValueSpan {
  JsonValueKind kind = JsonValueKind::null;
  std::size_t begin = 0;
  std::size_t end = 0;
};

// One object member: `keyOffset` is the opening quotation mark of its name.
struct JsonMemberSpan {
  std::size_t keyOffset = 0;
  JsonValueSpan value;
};

// A syntax error found by the scanner, at byte `offset` of the text.
class PlServeJsonParseError : public std::runtime_error {
 public:
  PlServeJsonParseError(const std::string& message, std::uint64_t errorOffset)
      : std::runtime_error(message), offset(errorOffset) {}

  std::uint64_t offset;
};

// Nesting deeper than this is refused; it also bounds the scanner's recursion.
inline constexpr std::size_t kMaxJsonDepth = 256;

// Scans the whole text, which must hold exactly one JSON object, and returns that
// object's members in source order. Throws PlServeJsonParseError.
std::vector<JsonMemberSpan> ReadJsonFrame(std::string_view text);

// The elements of an array value of `text`, in order; any other kind fails
// "JSON value must be an array". Throws PlServeJsonParseError.
std::vector<JsonValueSpan> ReadJsonArrayElements(std::string_view text, const JsonValueSpan& array);

// The members of an object value of `text`, in order; any other kind fails
// "JSON value must be an object". Throws PlServeJsonParseError.
std::vector<JsonMemberSpan> ReadJsonObjectMembers(std::string_view text,
                                                  const JsonValueSpan& object);

// Decodes the string whose opening quotation mark is at `offset` into well-formed
// UTF-8 without NUL; throws PlCadPrepError "invalid_json" (stage "preflight").
std::string DecodeJsonString(std::string_view text, std::size_t offset);

// The request-level failure for a scan error: "invalid_json" with the scanner's
// message followed by " at byte " and the offset.
PlCadPrepError MakeJsonParseFailure(const PlServeJsonParseError& error);

// Decoded member names in byte-wise order, mapped to their values.
using JsonMemberMap = std::map<std::string, JsonValueSpan>;

// Typed value readers; `name` is the member name the failure message starts with.
// All fail with code "invalid_request", stage "preflight".
// A JSON string, decoded.
std::string ReadJsonStringValue(std::string_view text, const JsonValueSpan& value,
                                std::string_view name);
// A JSON number whose text is only decimal digits and fits in 64 bits.
std::uint64_t ReadJsonUnsignedValue(std::string_view text, const JsonValueSpan& value,
                                    std::string_view name);
// Converts the raw text of a scanned number; false when it does not give a
// finite double (values that underflow to zero fail too).
[[nodiscard]] bool ParseJsonFiniteNumber(std::string_view raw, double& result);
// A JSON number that converts to a finite double (values that underflow to zero fail too).
double ReadJsonNumberValue(std::string_view text, const JsonValueSpan& value,
                           std::string_view name);

// True when every byte is printable ASCII other than the quotation mark and the
// backslash: such a string's raw JSON text is its value, with nothing to decode.
[[nodiscard]] bool IsCanonicalJsonAscii(std::string_view text);

// Called with a failure's whole message by readers whose failures are their own
// error type; it must throw.
using JsonMemberRaise = void (*)(const std::string& message);

// How member names are read.
enum class JsonMemberNameRule {
  decoded,         // decoded like any string, so escaped and plain spellings collide
  canonicalAscii,  // the raw text must be canonical ASCII and is the name itself
};

// The failures over one object's set of names, each text written whole by the
// caller. A prefix is followed by the member name.
struct JsonObjectTexts {
  std::string_view unknownPrefix = {};  // empty: a foreign name fails with the invalid-name text
  std::string_view missingPrefix = {};
  std::string_view incomplete = {};  // when set, reported instead of the first missing name
};

// The rules of one strict member reader: where its failures go (a
// PlCadPrepError with `code` and `stage`, or `raise` when set), how names are
// read, and the whole failure texts.
struct JsonMemberRules {
  std::string_view code = {};
  std::string_view stage = {};
  JsonMemberRaise raise = nullptr;
  JsonMemberNameRule names = JsonMemberNameRule::decoded;
  // A name that cannot be read; empty: a decoding failure reports itself ("invalid_json").
  std::string_view invalidName = {};
  // A raw name that is not canonical ASCII (canonicalAscii names only).
  std::string_view nonCanonicalName = {};
  std::string_view duplicatePrefix = {};
  JsonObjectTexts object = {};
};

// The members of one object, read strictly: every name once, checked in source
// order when constructed; foreign names are found byte-wise first, missing ones
// in the order the caller lists them. The text and the rules' texts must outlive
// the reader. The typed readers fail as the request readers do ("invalid_request").
class JsonMemberReader {
 public:
  // Reads every name in source order; the first unreadable name or the first
  // repeated one fails.
  JsonMemberReader(std::string_view text, const std::vector<JsonMemberSpan>& members,
                   const JsonMemberRules& rules);

  // A request object: decoded names, "invalid_request" at "preflight", `duplicatePrefix`
  // before a repeated name and "missing request member: " before a missing one.
  JsonMemberReader(std::string_view text, const std::vector<JsonMemberSpan>& members,
                   std::string_view duplicatePrefix);

  // Fails with the byte-wise first name that is not in `allowed`.
  void RejectUnknownMembers(std::span<const std::string_view> allowed) const;
  void RejectUnknownMembers(std::span<const std::string_view> allowed,
                            const JsonObjectTexts& texts) const;

  // RejectUnknownMembers, then every name of `allowed` must be present.
  void RequireExactly(std::span<const std::string_view> allowed) const;
  void RequireExactly(std::span<const std::string_view> allowed,
                      const JsonObjectTexts& texts) const;

  // Null when the member is absent.
  const JsonValueSpan* Find(std::string_view name) const;
  // Fails with the missing-member text followed by the name when absent.
  const JsonValueSpan& Require(std::string_view name) const;

  std::string RequireString(std::string_view name) const;
  std::uint64_t RequireUnsigned(std::string_view name) const;
  double RequireNumber(std::string_view name) const;

  std::string_view Text() const { return text; }
  const JsonMemberMap& Members() const { return members; }

 private:
  [[noreturn]] void Fail(std::string_view message, std::string_view name) const;
  std::string ReadName(std::size_t keyOffset) const;

  std::string_view text;
  JsonMemberRules rules;
  JsonMemberMap members;
};
