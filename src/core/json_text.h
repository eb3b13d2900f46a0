#pragma once
// JSON text writing shared by event lines, records, the manifest and the
// preview: the object writer, string escaping, plain decimal integers, booleans
// and the double forms, all locale-free and byte-identical on every machine.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Appends `text` escaped byte by byte: \" \\ \b \f \n \r \t, other bytes below
// 0x20 as \u00xx (lower-case hex), every other byte unchanged (UTF-8 passes through).
void AppendJsonEscaped(std::string& out, std::string_view text);

// Appends `"` + escaped text + `"`.
void AppendJsonString(std::string& out, std::string_view text);

// Appends the plain decimal form of v: no sign, no padding.
void AppendJsonUnsigned(std::string& out, std::uint64_t v);

// Appends the decimal form of v: "-" for negative values, no padding.
void AppendJsonSigned(std::string& out, std::int64_t v);

// Appends "true" or "false".
void AppendJsonBool(std::string& out, bool v);

// Appends the shortest text that reads back as exactly v ("0.1", "1e+22", "-0").
// Returns false and leaves `out` unchanged when v is not finite.
[[nodiscard]] bool AppendJsonShortestDouble(std::string& out, double v);

// Appends v in the general form of `significantDigits` digits: trailing zeros
// and a trailing point removed, "-0" for negative zero, an exponent of at least
// two digits ("1e-05"). Returns false and leaves `out` unchanged when v is not
// finite or the text would not fit in 64 characters.
[[nodiscard]] bool AppendJsonGeneralDouble(std::string& out, double v, int significantDigits);

// The general form with 17 significant digits, which reads back as exactly v.
[[nodiscard]] bool AppendJsonGeneral17Double(std::string& out, double v);

// The room the fixed-notation text of a canonical number's magnitude must fit in.
inline constexpr std::size_t kCanonicalNumberWorkBytes = 1024;

enum class PlCanonicalNumberStatus { written, notFinite, notSerializable };

// Appends the canonical number text of v: "0" for zero of either sign; otherwise
// fixed notation, correctly rounded, with 17 fraction digits, or 17 - floor(log10|v|)
// of them below 1, then trailing zeros and a final point removed ("0.1" gives
// "0.100000000000000006"). `out` is unchanged unless the result is `written`.
[[nodiscard]] PlCanonicalNumberStatus AppendCanonicalNumber(std::string& out, double v);

// Deepest nesting a JsonTextWriter tracks; the program's documents stay far below.
inline constexpr int kJsonTextWriterMaxDepth = 32;

// Writes one JSON document into `out`: the braces, brackets, the commas between
// members and elements and the quoted keys, so callers name members and values
// only. Keys are the program's fixed names and are written as given. A value the
// caller formats itself (a double form with its own failure) goes after Key() or
// Element(), which return the text to append to.
class JsonTextWriter {
 public:
  explicit JsonTextWriter(std::string& target) : out(target) {}

  // Separator and `"name":`; the caller appends the value next.
  std::string& Key(std::string_view name);
  // The separator before an array element; the caller appends the element next.
  std::string& Element();

  // Containers as the next value: after Key(), as an element, or at the top.
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  void BeginObject(std::string_view name) {
    Key(name);
    BeginObject();
  }
  void BeginArray(std::string_view name) {
    Key(name);
    BeginArray();
  }

  void String(std::string_view name, std::string_view value) { AppendJsonString(Key(name), value); }
  void Unsigned(std::string_view name, std::uint64_t value) {
    AppendJsonUnsigned(Key(name), value);
  }
  void Signed(std::string_view name, std::int64_t value) { AppendJsonSigned(Key(name), value); }
  void Bool(std::string_view name, bool value) { AppendJsonBool(Key(name), value); }

  void String(std::string_view value) { AppendJsonString(Element(), value); }
  void Unsigned(std::uint64_t value) { AppendJsonUnsigned(Element(), value); }

  // The text written so far.
  const std::string& Text() const { return out; }

 private:
  void Open(char bracket);
  void Close(char bracket);

  std::string& out;
  int depth = 0;
  // Bit d is set once the container at depth d holds a member or an element.
  std::uint64_t filled = 0;
  // Set after Key(): the next container is that member's value, not a new element.
  bool keyPending = false;
};
