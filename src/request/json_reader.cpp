#include "request/json_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "core/checked.h"
#include "core/json_text.h"

namespace {

bool IsJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Value of one hexadecimal digit of either case, or -1.
int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The syntax pass. It copies nothing: values are recorded as spans, and only the
// members (or elements) of the outermost value it is asked to scan are collected.
class JsonScanner {
 public:
  JsonScanner(std::string_view scanned, std::size_t start) : text(scanned), pos(start) {}

  std::size_t Position() const { return pos; }

  void SkipWhitespace() {
    while (pos < text.size() && IsJsonWhitespace(text[pos])) ++pos;
  }

  // Scans one value at nesting `depth`; `members` or `elements` (when not null)
  // receive the direct children of this value if it is an object or an array.
  JsonValueSpan ScanValue(std::size_t depth, std::vector<JsonMemberSpan>* members,
                          std::vector<JsonValueSpan>* elements) {
    // Checked before whitespace so the offset names where the value would start.
    if (depth >= kMaxJsonDepth)
      throw PlServeJsonParseError("maximum JSON nesting depth exceeded", pos);
    SkipWhitespace();
    if (pos == text.size()) throw PlServeJsonParseError("missing JSON value", pos);
    JsonValueSpan value;
    value.begin = pos;
    const char first = text[pos];
    if (first == '{') {
      value.kind = JsonValueKind::object;
      ScanObject(depth, members);
    } else if (first == '[') {
      value.kind = JsonValueKind::array;
      ScanArray(depth, elements);
    } else if (first == '"') {
      value.kind = JsonValueKind::string;
      ScanString();
    } else if (first == '-' || IsDigit(first)) {
      value.kind = JsonValueKind::number;
      ScanNumber();
    } else if (first == 't' || first == 'f') {
      value.kind = JsonValueKind::boolean;
      ScanLiteral(first == 't' ? "true" : "false");
    } else if (first == 'n') {
      value.kind = JsonValueKind::null;
      ScanLiteral("null");
    } else {
      throw PlServeJsonParseError("invalid JSON value", pos);
    }
    value.end = pos;
    return value;
  }

  void ScanString() {
    if (pos == text.size() || text[pos] != '"')
      throw PlServeJsonParseError("expected JSON string", pos);
    ++pos;
    while (pos < text.size()) {
      const char c = text[pos];
      if (c == '"') {
        ++pos;
        return;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        throw PlServeJsonParseError("control byte in JSON string", pos);
      }
      ++pos;
      if (c == '\\') ScanEscape();
    }
    throw PlServeJsonParseError("unterminated JSON string", pos);
  }

 private:
  // At the byte after a backslash.
  void ScanEscape() {
    if (pos == text.size()) throw PlServeJsonParseError("unterminated JSON escape", pos);
    const char letter = text[pos];
    static constexpr std::string_view kEscapeLetters = "\"\\/bfnrtu";
    if (kEscapeLetters.find(letter) == std::string_view::npos) {
      throw PlServeJsonParseError("invalid JSON escape", pos);
    }
    ++pos;
    if (letter != 'u') return;
    if (text.size() - pos < 4) throw PlServeJsonParseError("short JSON Unicode escape", pos);
    for (int i = 0; i < 4; ++i, ++pos) {
      if (HexDigitValue(text[pos]) < 0)
        throw PlServeJsonParseError("invalid JSON Unicode escape", pos);
    }
  }

  void ScanDigits() {
    while (pos < text.size() && IsDigit(text[pos])) ++pos;
  }

  void ScanNumber() {
    if (text[pos] == '-') {
      ++pos;
      if (pos == text.size()) throw PlServeJsonParseError("incomplete JSON number", pos);
    }
    // A leading zero ends the integer part; whatever follows is the container's problem.
    if (text[pos] == '0') {
      ++pos;
    } else if (text[pos] >= '1' && text[pos] <= '9') {
      ScanDigits();
    } else {
      throw PlServeJsonParseError("invalid JSON number", pos);
    }
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      if (pos == text.size() || !IsDigit(text[pos])) {
        throw PlServeJsonParseError("invalid JSON fraction", pos);
      }
      ScanDigits();
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
      ++pos;
      if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
      if (pos == text.size() || !IsDigit(text[pos])) {
        throw PlServeJsonParseError("invalid JSON exponent", pos);
      }
      ScanDigits();
    }
  }

  // What follows the literal is left to the enclosing container or the frame.
  void ScanLiteral(std::string_view literal) {
    if (!text.substr(pos).starts_with(literal))
      throw PlServeJsonParseError("invalid JSON literal", pos);
    pos += literal.size();
  }

  // An array or object from its opening bracket: `scanItem` reads one element or
  // member, a comma goes on to the next and `close` ends the container.
  template <typename ScanItem>
  void ScanItems(char close, const char* unterminatedMessage, const char* commaMessage,
                 ScanItem&& scanItem) {
    ++pos;
    SkipWhitespace();
    if (pos < text.size() && text[pos] == close) {
      ++pos;
      return;
    }
    while (true) {
      scanItem();
      SkipWhitespace();
      if (pos == text.size()) throw PlServeJsonParseError(unterminatedMessage, pos);
      const char next = text[pos];
      if (next == close) {
        ++pos;
        return;
      }
      if (next != ',') throw PlServeJsonParseError(commaMessage, pos);
      ++pos;
      SkipWhitespace();
    }
  }

  void ScanArray(std::size_t depth, std::vector<JsonValueSpan>* elements) {
    ScanItems(']', "unterminated JSON array", "expected comma in JSON array", [&] {
      const JsonValueSpan element = ScanValue(depth + 1, nullptr, nullptr);
      if (elements != nullptr) elements->push_back(element);
    });
  }

  void ScanObject(std::size_t depth, std::vector<JsonMemberSpan>* members) {
    ScanItems('}', "unterminated JSON object", "expected comma in JSON object", [&] {
      const std::size_t keyOffset = pos;
      ScanString();
      SkipWhitespace();
      if (pos == text.size()) throw PlServeJsonParseError("expected colon in JSON object", pos);
      // The colon error names the byte after the offending one.
      ++pos;
      if (text[pos - 1] != ':') throw PlServeJsonParseError("expected colon in JSON object", pos);
      SkipWhitespace();
      const JsonValueSpan value = ScanValue(depth + 1, nullptr, nullptr);
      if (members != nullptr) members->push_back(JsonMemberSpan{keyOffset, value});
    });
  }

  std::string_view text;
  std::size_t pos;
};

// The one-letter string escapes and, at the same places, what they stand for.
constexpr std::string_view kSimpleEscapeLetters = "\"\\/bfnrt";
constexpr std::string_view kSimpleEscapeChars = "\"\\/\b\f\n\r\t";

// Reads the four hexadecimal digits at `pos`; false when fewer remain or one is not hexadecimal.
bool ReadHexUnit(std::string_view text, std::size_t pos, std::uint32_t& unit) {
  if (text.size() - pos < 4) return false;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const int digit = HexDigitValue(text[pos + i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  unit = value;
  return true;
}

void AppendUtf8(std::string& out, std::uint32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// Well-formed UTF-8 without NUL. Runs over the decoded bytes, so raw bytes and
// escapes are held to the same rule.
void ValidateDecodedString(std::string_view decoded) {
  std::size_t i = 0;
  while (i < decoded.size()) {
    const auto lead = static_cast<unsigned char>(decoded[i]);
    if (lead == 0x00)
      throw PlCadPrepError("invalid_json", "JSON strings cannot contain NUL", "preflight");
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char secondMin = 0x80;
    unsigned char secondMax = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) secondMin = 0xA0;  // overlong
      if (lead == 0xED) secondMax = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) secondMin = 0x90;  // overlong
      if (lead == 0xF4) secondMax = 0x8F;  // above U+10FFFF
    } else {
      throw PlCadPrepError("invalid_json", "JSON string is not valid UTF-8", "preflight");
    }
    if (length > decoded.size() - i) {
      throw PlCadPrepError("invalid_json", "JSON string has truncated UTF-8", "preflight");
    }
    const auto second = static_cast<unsigned char>(decoded[i + 1]);
    if (second < secondMin || second > secondMax) {
      throw PlCadPrepError("invalid_json", "JSON string is not valid UTF-8", "preflight");
    }
    for (std::size_t k = 2; k < length; ++k) {
      const auto continuation = static_cast<unsigned char>(decoded[i + k]);
      if (continuation < 0x80 || continuation > 0xBF) {
        throw PlCadPrepError("invalid_json", "JSON string is not valid UTF-8", "preflight");
      }
    }
    i += length;
  }
}

// Scans `container` again to collect its members or elements; throws `wrongKindMessage`
// when it is not of `kind`. Re-scans begin at depth 0: the first pass has already
// held the whole text to the depth rule.
void Rescan(std::string_view text, const JsonValueSpan& container, JsonValueKind kind,
            const char* wrongKindMessage, const char* movedEndMessage,
            std::vector<JsonMemberSpan>* members, std::vector<JsonValueSpan>* elements) {
  if (container.kind != kind) throw PlServeJsonParseError(wrongKindMessage, container.begin);
  JsonScanner scanner(text, container.begin);
  const JsonValueSpan rescanned = scanner.ScanValue(0, members, elements);
  PlRequire(rescanned.kind == kind && rescanned.end == container.end, movedEndMessage);
}

}  // namespace

std::vector<JsonMemberSpan> ReadJsonFrame(std::string_view text) {
  JsonScanner scanner(text, 0);
  scanner.SkipWhitespace();
  std::vector<JsonMemberSpan> members;
  const JsonValueSpan top = scanner.ScanValue(0, &members, nullptr);
  if (top.kind != JsonValueKind::object) {
    throw PlServeJsonParseError("frame must contain one JSON object", top.begin);
  }
  scanner.SkipWhitespace();
  if (scanner.Position() != text.size()) {
    throw PlServeJsonParseError("unexpected text after JSON object", scanner.Position());
  }
  return members;
}

std::vector<JsonValueSpan> ReadJsonArrayElements(std::string_view text,
                                                 const JsonValueSpan& array) {
  std::vector<JsonValueSpan> elements;
  Rescan(text, array, JsonValueKind::array, "JSON value must be an array",
         "a rescanned array must end where its first scan ended", nullptr, &elements);
  return elements;
}

std::vector<JsonMemberSpan> ReadJsonObjectMembers(std::string_view text,
                                                  const JsonValueSpan& object) {
  std::vector<JsonMemberSpan> members;
  Rescan(text, object, JsonValueKind::object, "JSON value must be an object",
         "a rescanned object must end where its first scan ended", &members, nullptr);
  return members;
}

std::string DecodeJsonString(std::string_view text, std::size_t offset) {
  if (offset >= text.size() || text[offset] != '"') {
    throw PlCadPrepError("invalid_json", "expected JSON string", "preflight");
  }
  std::string decoded;
  std::size_t pos = offset + 1;
  while (true) {
    if (pos == text.size())
      throw PlCadPrepError("invalid_json", "unterminated JSON string", "preflight");
    const char c = text[pos];
    if (c == '"') break;
    ++pos;
    if (c != '\\') {
      decoded.push_back(c);
      continue;
    }
    if (pos == text.size())
      throw PlCadPrepError("invalid_json", "unterminated JSON string", "preflight");
    const char letter = text[pos];
    ++pos;
    const std::size_t simple = kSimpleEscapeLetters.find(letter);
    if (simple != std::string_view::npos) {
      decoded.push_back(kSimpleEscapeChars[simple]);
      continue;
    }
    if (letter != 'u') {
      throw PlCadPrepError("invalid_json", "unsupported JSON string escape", "preflight");
    }
    // Text that was scanned first always has four hexadecimal digits here.
    std::uint32_t unit = 0;
    if (!ReadHexUnit(text, pos, unit)) {
      throw PlCadPrepError("invalid_json", "unsupported JSON string escape", "preflight");
    }
    pos += 4;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      throw PlCadPrepError("invalid_json", "unexpected JSON low surrogate", "preflight");
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (text.size() - pos < 6 || text[pos] != '\\' || text[pos + 1] != 'u') {
        throw PlCadPrepError("invalid_json", "JSON high surrogate is missing its low surrogate",
                             "preflight");
      }
      std::uint32_t low = 0;
      if (!ReadHexUnit(text, pos + 2, low)) {
        throw PlCadPrepError("invalid_json", "unsupported JSON string escape", "preflight");
      }
      if (low < 0xDC00 || low > 0xDFFF) {
        throw PlCadPrepError("invalid_json", "invalid JSON low surrogate", "preflight");
      }
      pos += 6;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(decoded, unit);
  }
  ValidateDecodedString(decoded);
  return decoded;
}

PlCadPrepError MakeJsonParseFailure(const PlServeJsonParseError& error) {
  std::string message = error.what();
  message += " at byte ";
  AppendJsonUnsigned(message, error.offset);
  return PlCadPrepError("invalid_json", message, "preflight");
}

std::string ReadJsonStringValue(std::string_view text, const JsonValueSpan& value,
                                std::string_view name) {
  if (value.kind != JsonValueKind::string) {
    throw PlCadPrepError("invalid_request", std::string(name) + " must be a string", "preflight");
  }
  return DecodeJsonString(text, value.begin);
}

std::uint64_t ReadJsonUnsignedValue(std::string_view text, const JsonValueSpan& value,
                                    std::string_view name) {
  if (value.kind != JsonValueKind::number) {
    throw PlCadPrepError("invalid_request", std::string(name) + " must be an integer", "preflight");
  }
  const std::string_view raw = text.substr(value.begin, value.end - value.begin);
  std::uint64_t result = 0;
  bool valid = !raw.empty();
  for (std::size_t i = 0; valid && i < raw.size(); ++i) {
    valid = IsDigit(raw[i]) && CheckedMultiply(result, 10, result) &&
            CheckedAdd(result, static_cast<std::uint64_t>(raw[i] - '0'), result);
  }
  if (!valid) {
    throw PlCadPrepError("invalid_request", std::string(name) + " must be an unsigned integer",
                         "preflight");
  }
  return result;
}

bool ParseJsonFiniteNumber(std::string_view raw, double& result) {
  // from_chars is locale-free; it reports both overflow and underflow to zero as out of range.
  const auto converted =
      std::from_chars(raw.data(), raw.data() + raw.size(), result, std::chars_format::general);
  return converted.ec == std::errc{} && converted.ptr == raw.data() + raw.size() &&
         std::isfinite(result);
}

double ReadJsonNumberValue(std::string_view text, const JsonValueSpan& value,
                           std::string_view name) {
  if (value.kind != JsonValueKind::number) {
    throw PlCadPrepError("invalid_request", std::string(name) + " must be a number", "preflight");
  }
  double result = 0.0;
  if (!ParseJsonFiniteNumber(text.substr(value.begin, value.end - value.begin), result)) {
    throw PlCadPrepError("invalid_request", std::string(name) + " must be finite", "preflight");
  }
  return result;
}

bool IsCanonicalJsonAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte <= 0x7E && c != '\\' && c != '"';
  });
}

namespace {

constexpr JsonMemberRules RequestMemberRules(std::string_view duplicatePrefix) {
  JsonMemberRules rules;
  rules.code = "invalid_request";
  rules.stage = "preflight";
  rules.duplicatePrefix = duplicatePrefix;
  rules.object.missingPrefix = "missing request member: ";
  return rules;
}

}  // namespace

JsonMemberReader::JsonMemberReader(std::string_view objectText,
                                   const std::vector<JsonMemberSpan>& memberSpans,
                                   const JsonMemberRules& memberRules)
    : text(objectText), rules(memberRules) {
  for (const JsonMemberSpan& member : memberSpans) {
    std::string name = ReadName(member.keyOffset);
    if (members.contains(name)) Fail(rules.duplicatePrefix, name);
    members.emplace(std::move(name), member.value);
  }
}

JsonMemberReader::JsonMemberReader(std::string_view requestText,
                                   const std::vector<JsonMemberSpan>& memberSpans,
                                   std::string_view duplicatePrefix)
    : JsonMemberReader(requestText, memberSpans, RequestMemberRules(duplicatePrefix)) {}

std::string JsonMemberReader::ReadName(std::size_t keyOffset) const {
  if (rules.names == JsonMemberNameRule::decoded) {
    if (rules.invalidName.empty()) return DecodeJsonString(text, keyOffset);
    try {
      return DecodeJsonString(text, keyOffset);
    } catch (const PlCadPrepError&) {
      // Whatever fails to decode cannot be one of the object's names.
      Fail(rules.invalidName, {});
    }
  }
  // The key token is one quoted token; its raw text is the name.
  if (keyOffset >= text.size() || text[keyOffset] != '"') Fail(rules.invalidName, {});
  std::size_t pos = keyOffset + 1;
  while (pos < text.size() && text[pos] != '"') pos += text[pos] == '\\' ? 2 : 1;
  if (pos >= text.size()) Fail(rules.invalidName, {});
  const std::string_view raw = text.substr(keyOffset + 1, pos - keyOffset - 1);
  if (!IsCanonicalJsonAscii(raw)) Fail(rules.nonCanonicalName, {});
  return std::string(raw);
}

void JsonMemberReader::Fail(std::string_view message, std::string_view name) const {
  std::string whole(message);
  whole += name;
  if (rules.raise != nullptr) {
    rules.raise(whole);
    PlRequire(false, "a member reader's raise function must throw");
  }
  throw PlCadPrepError(std::string(rules.code), whole, std::string(rules.stage));
}

void JsonMemberReader::RejectUnknownMembers(std::span<const std::string_view> allowed) const {
  RejectUnknownMembers(allowed, rules.object);
}

void JsonMemberReader::RejectUnknownMembers(std::span<const std::string_view> allowed,
                                            const JsonObjectTexts& texts) const {
  for (const auto& entry : members) {
    if (std::find(allowed.begin(), allowed.end(), entry.first) != allowed.end()) continue;
    if (texts.unknownPrefix.empty()) Fail(rules.invalidName, {});
    Fail(texts.unknownPrefix, entry.first);
  }
}

void JsonMemberReader::RequireExactly(std::span<const std::string_view> allowed) const {
  RequireExactly(allowed, rules.object);
}

void JsonMemberReader::RequireExactly(std::span<const std::string_view> allowed,
                                      const JsonObjectTexts& texts) const {
  RejectUnknownMembers(allowed, texts);
  // Every name is allowed and none repeats, so a shorter map lacks members.
  if (members.size() == allowed.size()) return;
  if (!texts.incomplete.empty()) Fail(texts.incomplete, {});
  for (const std::string_view name : allowed) {
    if (Find(name) == nullptr) Fail(texts.missingPrefix, name);
  }
}

const JsonValueSpan* JsonMemberReader::Find(std::string_view name) const {
  const auto found = members.find(std::string(name));
  return found == members.end() ? nullptr : &found->second;
}

const JsonValueSpan& JsonMemberReader::Require(std::string_view name) const {
  const JsonValueSpan* value = Find(name);
  if (value == nullptr) Fail(rules.object.missingPrefix, name);
  return *value;
}

std::string JsonMemberReader::RequireString(std::string_view name) const {
  return ReadJsonStringValue(text, Require(name), name);
}

std::uint64_t JsonMemberReader::RequireUnsigned(std::string_view name) const {
  return ReadJsonUnsignedValue(text, Require(name), name);
}

double JsonMemberReader::RequireNumber(std::string_view name) const {
  return ReadJsonNumberValue(text, Require(name), name);
}
