#include "core/json_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>

TEST(JsonText, EscapesControlBytesQuotesAndBackslashesOnly) {
  std::string all;
  for (int b = 0; b <= 0x20; ++b) all += static_cast<char>(b);
  all += "\"\\/\x7f\xc3\xa9";
  std::string out;
  AppendJsonString(out, all);
  EXPECT_EQ(out, R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
                 R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
                 R"(\u001d\u001e\u001f \"\\/)"
                 "\x7f\xc3\xa9\"");
}

TEST(JsonText, WritesShortestAndGeneralDoubleForms) {
  const std::tuple<double, int, const char*> cases[] = {
      {0.1, 0, "0.1"},
      {1e22, 0, "1e+22"},
      {-0.0, 0, "-0"},
      {static_cast<double>(0.1f), 9, "0.100000001"},
      {static_cast<double>(-1e-5f), 9, "-9.99999975e-06"},
      {0.1, 17, "0.10000000000000001"},
      {1e-7, 17, "9.9999999999999995e-08"}};
  for (const auto& [value, digits, text] : cases) {  // digits 0: the shortest form
    std::string out = "x";
    ASSERT_TRUE(digits == 0    ? AppendJsonShortestDouble(out, value)
                : digits == 17 ? AppendJsonGeneral17Double(out, value)
                               : AppendJsonGeneralDouble(out, value, digits));
    EXPECT_EQ(out, std::string("x") + text);
  }
}

TEST(JsonText, RefusesNonFiniteNumbersWithoutWriting) {
  const double inf = std::numeric_limits<double>::infinity();
  std::string out = "kept";
  for (const double v : {inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_FALSE(AppendJsonShortestDouble(out, v));
    EXPECT_FALSE(AppendJsonGeneralDouble(out, v, 9));
    EXPECT_FALSE(AppendJsonGeneral17Double(out, v));
    EXPECT_EQ(AppendCanonicalNumber(out, v), PlCanonicalNumberStatus::notFinite);
  }
  // A digit count whose text cannot fit is refused rather than truncated.
  EXPECT_FALSE(AppendJsonGeneralDouble(out, 1e-300 / 3.0, 80));
  EXPECT_EQ(out, "kept");
}

// Expected texts are the exact binary values rounded by hand to the digit count of the rule.
TEST(JsonText, WritesCanonicalNumbers) {
  const std::pair<double, std::string> cases[] = {
      {20.0, "20"},
      {0.1, "0.100000000000000006"},
      {1e-5, "0.0000100000000000000008"},
      {123.456, "123.45600000000000307"},
      // Just below powers of ten: the digit count follows the exact exponent.
      {0.09999999999999999, "0.0999999999999999917"},
      {0.9999999999999999, "0.999999999999999889"},
      // 1 + 2^-18 ends in a 5 at the 18th digit: the tie goes to the even digit.
      {1.0 + 0x1p-18, "1.00000381469726562"},
      {-0.0, "0"},
      {-1e-300, "-0." + std::string(299, '0') + "100000000000000003"},
      {std::numeric_limits<double>::denorm_min(),
       "0." + std::string(323, '0') + "494065645841246544"}};
  for (const auto& [value, text] : cases) {
    std::string out = "x";
    ASSERT_EQ(AppendCanonicalNumber(out, value), PlCanonicalNumberStatus::written);
    EXPECT_EQ(out, "x" + text);
  }
}

// The manifest goldens pin the writer's objects, arrays and commas; this pins the rest.
TEST(JsonText, WriterPlacesCommasKeysAndNestedValues) {
  std::string out;
  JsonTextWriter json(out);
  EXPECT_THROW(json.Key("a"), std::logic_error);
  EXPECT_THROW(json.EndObject(), std::logic_error);
  json.BeginArray();
  json.BeginArray();
  json.EndArray();
  json.BeginObject();
  json.Signed("neg", -9223372036854775807 - 1);
  json.Unsigned("max", 18446744073709551615u);
  json.EndObject();
  json.String("a\"b");
  EXPECT_TRUE(AppendJsonShortestDouble(json.Element(), 0.5));
  json.EndArray();
  EXPECT_EQ(json.Text(),
            R"([[],{"neg":-9223372036854775808,"max":18446744073709551615},"a\"b",0.5])");

  std::string deep;
  JsonTextWriter nested(deep);
  for (int d = 0; d < kJsonTextWriterMaxDepth; ++d) nested.BeginArray();
  EXPECT_THROW(nested.BeginArray(), std::logic_error);
  EXPECT_EQ(deep, std::string(kJsonTextWriterMaxDepth, '['));
}
