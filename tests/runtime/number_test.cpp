// Numbers to texts and back: IntegerToText, ToNumber, FloatToInteger, SpacesText.
#include <gtest/gtest.h>

#include <cfenv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/text.h"

namespace rh {
namespace {

TEST(IntegerToText, SignedDecimal) {
    EXPECT_EQ(IntegerToText(0), "0");
    EXPECT_EQ(IntegerToText(-1), "-1");
    EXPECT_EQ(IntegerToText(7), "7");
    EXPECT_EQ(IntegerToText(1000000), "1000000");
    EXPECT_EQ(IntegerToText(2147483647), "2147483647");
    EXPECT_EQ(IntegerToText(-2147483647 - 1), "-2147483648");
}

TEST(ToNumber, AtofGrammar) {
    EXPECT_EQ(ToNumber("12"), 12.0);
    EXPECT_EQ(ToNumber("12abc"), 12.0);
    EXPECT_EQ(ToNumber("abc"), 0.0);
    EXPECT_EQ(ToNumber(""), 0.0);
    EXPECT_EQ(ToNumber(" \t\r\n\v\f3.5"), 3.5);
    EXPECT_EQ(ToNumber("-2.5e2"), -250.0);
    EXPECT_EQ(ToNumber("+7"), 7.0);
    EXPECT_EQ(ToNumber("1.5E-1x"), 0.15);
    EXPECT_EQ(ToNumber(".5"), 0.5);
    EXPECT_EQ(ToNumber("5."), 5.0);
    EXPECT_EQ(ToNumber("3.25.5"), 3.25);
    EXPECT_EQ(ToNumber("1 2"), 1.0);
}

TEST(ToNumber, IncompletePiecesAreNotPartOfTheNumber) {
    EXPECT_EQ(ToNumber("."), 0.0);
    EXPECT_EQ(ToNumber("-"), 0.0);
    EXPECT_EQ(ToNumber("+-1"), 0.0);
    EXPECT_EQ(ToNumber("- 1"), 0.0);
    EXPECT_EQ(ToNumber("e5"), 0.0);
    EXPECT_EQ(ToNumber("1e"), 1.0);
    EXPECT_EQ(ToNumber("1e+"), 1.0);
    EXPECT_EQ(ToNumber("1e-x"), 1.0);
    EXPECT_EQ(ToNumber("1e+2"), 100.0);
    EXPECT_EQ(ToNumber("2E3"), 2000.0);
    // Hexadecimal, infinity and NaN spellings are not numbers here.
    EXPECT_EQ(ToNumber("0x1A"), 0.0);
    EXPECT_EQ(ToNumber("inf"), 0.0);
    EXPECT_EQ(ToNumber("-infinity"), 0.0);
    EXPECT_EQ(ToNumber("nan"), 0.0);
}

TEST(ToNumber, SignOfZero) {
    EXPECT_TRUE(std::signbit(ToNumber("-0")));
    EXPECT_FALSE(std::signbit(ToNumber("0")));
    EXPECT_FALSE(std::signbit(ToNumber("abc")));
}

TEST(ToNumber, OutOfRange) {
    EXPECT_EQ(ToNumber("1e400"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(ToNumber("-1e400"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(ToNumber("0.000001e-400"), 0.0);
    EXPECT_EQ(ToNumber("123e-99999999999999999999"), 0.0);
    EXPECT_EQ(ToNumber("0.0001e99999999999999999999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(ToNumber("0e99999999999999999999"), 0.0);
    EXPECT_EQ(ToNumber("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(ToNumber("1.7976931348623157e308"), std::numeric_limits<double>::max());
}

TEST(ToNumber, CorrectlyRoundedLongMantissas) {
    EXPECT_EQ(ToNumber("123456789012345678901234567890"), 123456789012345678901234567890.0);
    EXPECT_EQ(ToNumber("0.1"), 0.1);
    EXPECT_EQ(ToNumber("2.2250738585072011e-308"), 2.2250738585072011e-308);
    // A megabyte of leading zeros, then the number.
    std::string zeros(1000000, '0');
    EXPECT_EQ(ToNumber(zeros + "42.5"), 42.5);
    EXPECT_EQ(ToNumber("0." + zeros + "1e1000000"), 0.1);
}

TEST(ToNumber, FullWidthFormsAreFolded) {
    // Full-width one and two (GBK A3 B1, A3 B2).
    EXPECT_EQ(ToNumber("\xA3\xB1\xA3\xB2"), 12.0);
    // Full-width minus, point and E; an ideographic space in front.
    EXPECT_EQ(ToNumber("\xA1\xA1\xA3\xAD\xA3\xB3\xA3\xAE\xA3\xB5\xA3\xC5\xA3\xB2"), -350.0);
    // Mixed with plain digits.
    EXPECT_EQ(ToNumber("1\xA3\xB2"
                       "3"),
              123.0);
    // Other double-byte characters stop the number, even when a trail byte looks like a digit.
    EXPECT_EQ(ToNumber("\xCC\xF8"
                       "12"),
              0.0);
    EXPECT_EQ(ToNumber("\x81\x31"), 0.0);
    EXPECT_EQ(ToNumber("4\x81\x31"), 4.0);
    // A lead byte at the end ends the text.
    EXPECT_EQ(ToNumber("12\x81"), 12.0);
    EXPECT_EQ(ToNumber("\xA3"), 0.0);
}

TEST(ToNumber, OtherValues) {
    EXPECT_EQ(ToNumber(true), 1.0);
    EXPECT_EQ(ToNumber(false), 0.0);
    EXPECT_EQ(ToNumber(std::int32_t{-5}), -5.0);
    EXPECT_EQ(ToNumber(std::int64_t{1} << 40), 1099511627776.0);
    EXPECT_EQ(ToNumber(2.75), 2.75);
    // Texts of every kind read as texts, a literal included.
    const char* literal = "8";
    EXPECT_EQ(ToNumber(literal), 8.0);
    EXPECT_EQ(ToNumber(static_cast<const char*>(nullptr)), 0.0);
    EXPECT_EQ(ToNumber(MakeText("9")), 9.0);
}

// A user locale whose decimal separator is a comma must not change how texts are read.
TEST(ToNumber, DecimalPointIgnoresTheLocale) {
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    const char* commaLocale = nullptr;
    for (const char* name :
         {"de_DE.UTF-8", "de_DE", "fr_FR.UTF-8", "German_Germany.1252", "German", "French"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr &&
            std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
            commaLocale = name;
            break;
        }
    }
    if (commaLocale == nullptr) {
        std::setlocale(LC_NUMERIC, previous.c_str());
        GTEST_SKIP() << "no locale with a decimal comma here";
    }
    const double dotted = ToNumber("1.5");
    const double commaed = ToNumber("1,5");
    std::setlocale(LC_NUMERIC, previous.c_str());
    EXPECT_EQ(dotted, 1.5) << "in locale " << commaLocale;
    EXPECT_EQ(commaed, 1.0) << "in locale " << commaLocale;
}

TEST(FloatToInteger, TruncatesTowardZero) {
    EXPECT_EQ(FloatToInteger(12.0), 12);
    EXPECT_EQ(FloatToInteger(2.9), 2);
    EXPECT_EQ(FloatToInteger(-2.9), -2);
    EXPECT_EQ(FloatToInteger(-0.5), 0);
    EXPECT_EQ(FloatToInteger(ToNumber("\xA3\xB1\xA3\xB2")), 12);
}

TEST(FloatToInteger, TruncatesWhateverTheRoundingMode) {
    const int previous = std::fegetround();
    int results[4] = {};
    int i = 0;
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TONEAREST, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        results[i++] = FloatToInteger(2.5) * 10 + FloatToInteger(-2.5);
    }
    std::fesetround(previous);
    for (int r : results) {
        EXPECT_EQ(r, 2 * 10 - 2);
    }
}

TEST(FloatToInteger, KeepsTheLowThirtyTwoBits) {
    EXPECT_EQ(FloatToInteger(2147483648.0), -2147483647 - 1);
    EXPECT_EQ(FloatToInteger(-2147483649.0), 2147483647);
    EXPECT_EQ(FloatToInteger(4294967296.0 + 5.0), 5);
    EXPECT_EQ(FloatToInteger(-4294967296.0 - 5.9), -5);
    // The largest double below 2^63 is 0x7FFFFFFFFFFFFC00.
    EXPECT_EQ(FloatToInteger(9223372036854774784.0), -1024);
    EXPECT_EQ(FloatToInteger(-9223372036854774784.0), 1024);
}

TEST(FloatToInteger, NoSixtyFourBitValueGivesZero) {
    EXPECT_EQ(FloatToInteger(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(FloatToInteger(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(FloatToInteger(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(FloatToInteger(9223372036854775808.0), 0);
    EXPECT_EQ(FloatToInteger(-9223372036854775808.0), 0);
    EXPECT_EQ(FloatToInteger(1e300), 0);
}

TEST(SpacesText, CountOfSpaces) {
    EXPECT_EQ(SpacesText(0), "");
    EXPECT_EQ(SpacesText(-3), "");
    EXPECT_EQ(SpacesText(3), "   ");
    EXPECT_EQ(SpacesText(100000).find_first_not_of(' '), Text::npos);
    EXPECT_EQ(SpacesText(100000).size(), 100000u);
}

}  // namespace
}  // namespace rh
