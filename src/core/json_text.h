#pragma once
// JSON text writing shared by event lines, records, the manifest and the
// preview: string escaping, plain decimal integers and the double forms, all
// locale-free and byte-identical on every machine.
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
