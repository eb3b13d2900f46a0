#include "core/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

TEST(JsonText, EscapesEveryControlByteAndNothingElse) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string out;
  AppendJsonEscaped(out, all);

  std::string expected;
  for (int b = 1; b < 256; ++b) {
    switch (b) {
      case 0x22:
        expected += "\\\"";
        break;
      case 0x5C:
        expected += "\\\\";
        break;
      case 0x08:
        expected += "\\b";
        break;
      case 0x0C:
        expected += "\\f";
        break;
      case 0x0A:
        expected += "\\n";
        break;
      case 0x0D:
        expected += "\\r";
        break;
      case 0x09:
        expected += "\\t";
        break;
      default:
        if (b < 0x20) {
          const char* hex = "0123456789abcdef";
          expected += "\\u00";
          expected += hex[b >> 4];
          expected += hex[b & 15];
        } else {
          expected += static_cast<char>(b);
        }
    }
  }
  EXPECT_EQ(out, expected);
}

TEST(JsonText, EscapesNulAndWritesPlainIntegers) {
  std::string out;
  AppendJsonString(out, std::string("a\0b", 3));
  out += ' ';
  AppendJsonUnsigned(out, 0);
  out += ' ';
  AppendJsonUnsigned(out, 18446744073709551615u);
  EXPECT_EQ(out, "\"a\\u0000b\" 0 18446744073709551615");
}

TEST(JsonText, WritesShortestRoundTripDoubles) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {{0.1, "0.1"},
                        {1e22, "1e+22"},
                        {-0.0, "-0"},
                        {20.0, "20"},
                        {5e-324, "5e-324"},
                        {-1.5, "-1.5"},
                        {1.0 / 3.0, "0.3333333333333333"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out = "x";
    ASSERT_TRUE(AppendJsonShortestDouble(out, c.value));
    EXPECT_EQ(out, std::string("x") + c.text);
  }
}

TEST(JsonText, WritesGeneralFormsWithTwoDigitExponents) {
  struct Case {
    double value;
    int digits;
    const char* text;
  };
  const Case cases[] = {
      {10.0, 9, "10"},
      {static_cast<double>(0.1f), 9, "0.100000001"},
      {static_cast<double>(-1e-5f), 9, "-9.99999975e-06"},
      {1e-5, 9, "1e-05"},
      {-0.0, 9, "-0"},
      {1234567890.0, 9, "1.23456789e+09"},
      {123456789.0, 9, "123456789"},
      {0.72, 9, "0.72"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out;
    ASSERT_TRUE(AppendJsonGeneralDouble(out, c.value, c.digits));
    EXPECT_EQ(out, c.text);
  }
}

TEST(JsonText, WritesSeventeenDigitGeneralForm) {
  std::string out;
  ASSERT_TRUE(AppendJsonGeneral17Double(out, 0.1));
  out += ' ';
  ASSERT_TRUE(AppendJsonGeneral17Double(out, 1e-7));
  out += ' ';
  ASSERT_TRUE(AppendJsonGeneral17Double(out, 1.0));
  EXPECT_EQ(out, "0.10000000000000001 9.9999999999999995e-08 1");
}

TEST(JsonText, RefusesNonFiniteDoublesWithoutWriting) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const double v : {inf, -inf, nan}) {
    std::string out = "kept";
    EXPECT_FALSE(AppendJsonShortestDouble(out, v));
    EXPECT_FALSE(AppendJsonGeneralDouble(out, v, 9));
    EXPECT_FALSE(AppendJsonGeneral17Double(out, v));
    EXPECT_EQ(out, "kept");
  }
  // A digit count whose text cannot fit is refused rather than truncated.
  std::string out = "kept";
  EXPECT_FALSE(AppendJsonGeneralDouble(out, 1e-300 / 3.0, 80));
  EXPECT_EQ(out, "kept");
}

// Expected texts are the exact binary values rounded by hand to the digit
// count of the rule.
TEST(JsonText, WritesCanonicalNumbers) {
  struct Case {
    double value;
    std::string text;
  };
  const Case cases[] = {
      {1.5, "1.5"},
      {20.0, "20"},
      {0.25, "0.25"},
      {-2.5, "-2.5"},
      {1.0, "1"},
      {0.5, "0.5"},
      {0.1, "0.100000000000000006"},
      {0.05, "0.0500000000000000028"},
      {0.01, "0.0100000000000000002"},
      {0.001, "0.00100000000000000002"},
      {1e-5, "0.0000100000000000000008"},
      {123.456, "123.45600000000000307"},
      // Just below powers of ten: the digit count follows the exact exponent.
      {0.09999999999999999, "0.0999999999999999917"},
      {0.9999999999999999, "0.999999999999999889"},
      // 1 + 2^-18 ends in a 5 at the 18th digit: the tie goes to the even digit.
      {1.0 + 0x1p-18, "1.00000381469726562"},
      {0.0, "0"},
      {-0.0, "0"},
      {1e-300, "0." + std::string(299, '0') + "100000000000000003"},
      {-1e-300, "-0." + std::string(299, '0') + "100000000000000003"},
      {std::numeric_limits<double>::min(), "0." + std::string(307, '0') + "222507385850720138"},
      {std::numeric_limits<double>::denorm_min(),
       "0." + std::string(323, '0') + "494065645841246544"},
      {1e300,
       "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371"
       "3750804478640437044438328838781769425232353604305756447921847867069828483872009265758037"
       "3783023379478809005936895323497079994508111903896764088007465274278014249457925878882005"
       "6842838115669472196386865459400540160"},
      {std::numeric_limits<double>::max(),
       "1797693134862315708145274237317043567980705675258449965989174768031572607800285387605895"
       "5863276687817154045895351438246423432132688946418276846754670353751698604991057655128207"
       "6245490090389328944075868508455133942304583236903222948165808559332123348274797826204144"
       "723168738177180919299881250404026184124858368"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out = "x";
    ASSERT_EQ(AppendCanonicalNumber(out, c.value), PlCanonicalNumberStatus::written);
    EXPECT_EQ(out, "x" + c.text);
  }
}

TEST(JsonText, CanonicalNumbersOfEveryFiniteDoubleFitTheWorkBuffer) {
  // The longest magnitudes are the largest double (309 integer digits) and the
  // smallest denormal (341 fraction digits), both far inside the work buffer.
  for (const double v :
       {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
        -std::numeric_limits<double>::max()}) {
    std::string out;
    ASSERT_EQ(AppendCanonicalNumber(out, v), PlCanonicalNumberStatus::written);
    EXPECT_LT(out.size(), kCanonicalNumberWorkBytes);
  }
}

TEST(JsonText, RefusesNonFiniteCanonicalNumbersWithoutWriting) {
  for (const double v :
       {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN()}) {
    std::string out = "kept";
    EXPECT_EQ(AppendCanonicalNumber(out, v), PlCanonicalNumberStatus::notFinite);
    EXPECT_EQ(out, "kept");
  }
}

}  // namespace

namespace {

TEST(JsonText, WriterPlacesCommasKeysAndNestedValues) {
  std::string out;
  JsonTextWriter json(out);
  json.BeginObject();
  json.String("s", "a\"b");
  json.BeginArray("empty");
  json.EndArray();
  json.BeginArray("list");
  json.Unsigned(1);
  json.BeginObject();
  json.Signed("neg", -9223372036854775807 - 1);
  json.Bool("t", true);
  json.EndObject();
  json.String("x");
  EXPECT_TRUE(AppendJsonShortestDouble(json.Element(), 0.5));
  json.EndArray();
  json.BeginObject("o");
  json.Bool("f", false);
  json.Unsigned("max", 18446744073709551615u);
  json.EndObject();
  json.EndObject();
  EXPECT_EQ(out,
            R"({"s":"a\"b","empty":[],"list":[1,{"neg":-9223372036854775808,"t":true},"x",0.5],)"
            R"("o":{"f":false,"max":18446744073709551615}})");
}

TEST(JsonText, WriterRefusesKeysOutsideAnObject) {
  std::string out;
  JsonTextWriter json(out);
  EXPECT_THROW(json.Key("a"), std::logic_error);
}

}  // namespace
