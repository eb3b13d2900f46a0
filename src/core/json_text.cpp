#include "core/json_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "core/error.h"

namespace {

bool NeedsJsonEscape(unsigned char byte) { return byte < 0x20 || byte == 0x22 || byte == 0x5C; }

}  // namespace

void AppendJsonEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  // Bytes that pass unchanged are appended a run at a time; event lines and
  // the manifest are almost entirely such runs.
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!NeedsJsonEscape(byte)) continue;
    out.append(text.data() + runStart, i - runStart);
    runStart = i + 1;
    switch (byte) {
      case 0x22:
        out += "\\\"";
        break;
      case 0x5C:
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0D:
        out += "\\r";
        break;
      case 0x09:
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
  }
  out.append(text.data() + runStart, text.size() - runStart);
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  AppendJsonEscaped(out, text);
  out += '"';
}

void AppendJsonUnsigned(std::string& out, std::uint64_t v) {
  std::array<char, 20> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), v);
  out.append(digits.data(), result.ptr);
}

void AppendJsonSigned(std::string& out, std::int64_t v) {
  std::array<char, 20> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), v);
  out.append(digits.data(), result.ptr);
}

void AppendJsonBool(std::string& out, bool v) { out += v ? "true" : "false"; }

std::string& JsonTextWriter::Key(std::string_view name) {
  PlRequire(depth > 0, "JSON member key outside an object");
  const std::uint64_t bit = std::uint64_t{1} << depth;
  if ((filled & bit) != 0) out += ',';
  filled |= bit;
  out += '"';
  out += name;
  out += "\":";
  keyPending = true;
  return out;
}

std::string& JsonTextWriter::Element() {
  const std::uint64_t bit = std::uint64_t{1} << depth;
  if (keyPending) {
    keyPending = false;
  } else {
    if ((filled & bit) != 0) out += ',';
    filled |= bit;
  }
  return out;
}

void JsonTextWriter::Open(char bracket) {
  PlRequire(depth < kJsonTextWriterMaxDepth, "JSON text nesting exceeds the writer's depth");
  Element() += bracket;
  ++depth;
  filled &= ~(std::uint64_t{1} << depth);
}

void JsonTextWriter::Close(char bracket) {
  PlRequire(depth > 0, "JSON container closed without an opening");
  keyPending = false;
  --depth;
  out += bracket;
}

void JsonTextWriter::BeginObject() { Open('{'); }
void JsonTextWriter::EndObject() { Close('}'); }
void JsonTextWriter::BeginArray() { Open('['); }
void JsonTextWriter::EndArray() { Close(']'); }

namespace {

// Room for any general form that a sensible digit count produces; longer
// requests are refused rather than truncated.
constexpr std::size_t kDoubleTextCapacity = 64;

}  // namespace

bool AppendJsonShortestDouble(std::string& out, double v) {
  if (!std::isfinite(v)) return false;
  std::array<char, kDoubleTextCapacity> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), v);
  if (result.ec != std::errc{}) return false;
  out.append(text.data(), result.ptr);
  return true;
}

bool AppendJsonGeneralDouble(std::string& out, double v, int significantDigits) {
  if (!std::isfinite(v)) return false;
  std::array<char, kDoubleTextCapacity> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), v,
                                    std::chars_format::general, significantDigits);
  if (result.ec != std::errc{}) return false;
  out.append(text.data(), result.ptr);
  return true;
}

bool AppendJsonGeneral17Double(std::string& out, double v) {
  return AppendJsonGeneralDouble(out, v, 17);
}

namespace {

constexpr int kCanonicalFractionDigits = 17;
// 2^-1074 is the finest step of a double, so every double has at most 1074
// decimal fraction digits and this many digits write it exactly.
constexpr int kExactFractionDigits = 1074;

// -floor(log10(magnitude)) - 1 for 0 < magnitude < 1: the zeros between the point
// and the first significant digit. Counted on the exact expansion, because any
// rounded form (or a floating log10) can land on the wrong side of a power of ten.
int LeadingFractionZeros(double magnitude) {
  std::array<char, 2 + kExactFractionDigits> exact{};
  const auto result = std::to_chars(exact.data(), exact.data() + exact.size(), magnitude,
                                    std::chars_format::fixed, kExactFractionDigits);
  // The buffer holds "0." and every digit of any magnitude below 1.
  PlRequire(result.ec == std::errc{}, "the exact expansion of a magnitude below 1 must fit");
  const char* digit = exact.data() + 2;
  while (digit < result.ptr && *digit == '0') ++digit;
  return static_cast<int>(digit - (exact.data() + 2));
}

}  // namespace

PlCanonicalNumberStatus AppendCanonicalNumber(std::string& out, double v) {
  if (!std::isfinite(v)) return PlCanonicalNumberStatus::notFinite;
  if (v == 0.0) {
    out += '0';
    return PlCanonicalNumberStatus::written;
  }
  const double magnitude = std::fabs(v);
  int fractionDigits = kCanonicalFractionDigits;
  if (magnitude < 1.0) fractionDigits += LeadingFractionZeros(magnitude) + 1;
  // At most 17 + 324 digits, so only the work buffer can refuse the text.
  std::array<char, kCanonicalNumberWorkBytes> work{};
  const auto result = std::to_chars(work.data(), work.data() + work.size(), magnitude,
                                    std::chars_format::fixed, fractionDigits);
  if (result.ec != std::errc{}) return PlCanonicalNumberStatus::notSerializable;
  char* end = result.ptr;
  while (end[-1] == '0') --end;
  if (end[-1] == '.') --end;
  if (v < 0.0) out += '-';
  out.append(work.data(), end);
  return PlCanonicalNumberStatus::written;
}
