#include "core/json_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>

TEST(JsonText, EscapesControlBytesQuotesAndBackslashesOnly) {
  std::string all, out;
  for (int b = 0; b <= 0x20; ++b) all += static_cast<char>(b);
  AppendJsonString(out, all + "\"\\/\x7f\xc3\xa9");
  EXPECT_EQ(out, R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
                 R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
                 R"(\u001d\u001e\u001f \"\\/)"
                 "\x7f\xc3\xa9\"");
}

// Digits 0: the shortest form; -1: the canonical form, the exact binary value rounded to the
// digit count that follows the exact exponent, ties to even.
TEST(JsonText, WritesEveryNumberFormAndRefusesNonFiniteWithoutWriting) {
  const auto write = [](std::string& out, double value, int digits) {
    if (digits == -1) return AppendCanonicalNumber(out, value) == PlCanonicalNumberStatus::written;
    return digits == 0    ? AppendJsonShortestDouble(out, value)
           : digits == 17 ? AppendJsonGeneral17Double(out, value)
                          : AppendJsonGeneralDouble(out, value, digits);
  };
  const std::tuple<double, int, std::string> cases[] = {
      {-0.0, 0, "-0"},
      {static_cast<double>(-1e-5f), 9, "-9.99999975e-06"},
      {1e-7, 17, "9.9999999999999995e-08"},
      {0.1, -1, "0.100000000000000006"},
      {1.0 + 0x1p-18, -1, "1.00000381469726562"},
      {-0.0, -1, "0"},
      {-1e-300, -1, "-0." + std::string(299, '0') + "100000000000000003"},
      {std::numeric_limits<double>::denorm_min(), -1,
       "0." + std::string(323, '0') + "494065645841246544"}};
  for (const auto& [value, digits, text] : cases) {
    std::string out = "x";
    ASSERT_TRUE(write(out, value, digits)) << text;
    EXPECT_EQ(out, "x" + text);
  }
  const double inf = std::numeric_limits<double>::infinity();
  std::string out = "kept";
  for (const double v : {inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
    for (const int digits : {0, 9, 17}) EXPECT_FALSE(write(out, v, digits));
    EXPECT_EQ(AppendCanonicalNumber(out, v), PlCanonicalNumberStatus::notFinite);
  }
  EXPECT_FALSE(AppendJsonGeneralDouble(out, 1e-300 / 3.0, 80));  // cannot fit: not truncated
  EXPECT_EQ(out, "kept");
}

TEST(JsonText, WriterPlacesCommasKeysNestedValuesAndIntegerExtremes) {
  std::string out;
  JsonTextWriter json(out);
  EXPECT_THROW(json.Key("a"), std::logic_error);
  json.BeginArray();
  json.BeginArray();
  json.EndArray();
  json.BeginObject();
  json.Signed("neg", std::numeric_limits<std::int64_t>::min());
  json.Unsigned("max", std::numeric_limits<std::uint64_t>::max());
  json.EndObject();
  json.String("a\"b");
  EXPECT_TRUE(AppendJsonShortestDouble(json.Element(), 0.5));
  json.EndArray();
  EXPECT_EQ(json.Text(),
            R"([[],{"neg":-9223372036854775808,"max":18446744073709551615},"a\"b",0.5])");
}
