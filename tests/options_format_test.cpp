// The texts of the Options dialog's boxes: one significant digit on the way in, atof's rules on
// the way back.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "app/options.h"

namespace {

TEST(FormatSetting, FixedNotationBetweenOneTenthAndTen) {
  EXPECT_EQ(FormatSetting(0.1), "0.1");
  EXPECT_EQ(FormatSetting(0.5), "0.5");
  EXPECT_EQ(FormatSetting(0.123), "0.1");
  EXPECT_EQ(FormatSetting(3.0), "3");
  EXPECT_EQ(FormatSetting(7.4), "7");
  EXPECT_EQ(FormatSetting(1.0), "1");
}

TEST(FormatSetting, RoundsAfterChoosingTheNotation) {
  // 0.96 is written with one decimal (m = -1), and the rounding gives "1.0"; the trailing zero
  // goes and the point stays. 9.6 has no decimals (m = 0), so no point is written.
  EXPECT_EQ(FormatSetting(0.96), "1.");
  EXPECT_EQ(FormatSetting(9.6), "10");
  EXPECT_EQ(FormatSetting(9.96), "10");
  // The rounding is the C library's: 0.25 and 0.75 are exact binary values, and glibc's printf
  // rounds such ties to the even digit; 0.35 is stored slightly below 0.35 and rounds down.
  EXPECT_EQ(FormatSetting(0.25), "0.2");
  EXPECT_EQ(FormatSetting(0.75), "0.8");
  EXPECT_EQ(FormatSetting(0.35), "0.3");
  EXPECT_EQ(FormatSetting(2.5), "2");
  // 0.099999 has its leading digit at m = -2: exponent notation, even though it rounds to 0.1.
  EXPECT_EQ(FormatSetting(0.099999), "1e-001");
}

TEST(FormatSetting, ExponentNotationWithThreeExponentDigits) {
  EXPECT_EQ(FormatSetting(0.05), "5e-002");
  EXPECT_EQ(FormatSetting(30.0), "3e+001");
  EXPECT_EQ(FormatSetting(1e-3), "1e-003");
  EXPECT_EQ(FormatSetting(5e-5), "5e-005");
  EXPECT_EQ(FormatSetting(12345.0), "1e+004");
  EXPECT_EQ(FormatSetting(96.0), "1e+002");
  EXPECT_EQ(FormatSetting(1e300), "1e+300");
  EXPECT_EQ(FormatSetting(2e-300), "2e-300");
}

TEST(FormatSetting, NegativeValuesCarryALeadingMinus) {
  for (double x : {0.1, 3.0, 0.96, 0.05, 30.0, 2.5, 0.099999}) {
    EXPECT_EQ(FormatSetting(-x), "-" + FormatSetting(x)) << x;
  }
}

TEST(FormatSetting, ZeroIsWrittenAsAPlainDigit) {
  EXPECT_EQ(FormatSetting(0.0), "0");
}

TEST(ReadSetting, FollowsAtof) {
  EXPECT_EQ(ReadSetting(""), 0.0);
  EXPECT_EQ(ReadSetting("abc"), 0.0);
  EXPECT_EQ(ReadSetting("12abc"), 12.0);
  EXPECT_EQ(ReadSetting(" 0.25"), 0.25);
  EXPECT_EQ(ReadSetting("\t\n 7"), 7.0);
  EXPECT_EQ(ReadSetting("1e-3"), 1e-3);
  EXPECT_EQ(ReadSetting("1e-003"), 1e-3);
  EXPECT_EQ(ReadSetting("-0.5"), -0.5);
  EXPECT_EQ(ReadSetting("+2."), 2.0);
  EXPECT_EQ(ReadSetting(".5x"), 0.5);
  EXPECT_EQ(ReadSetting("3e"), 3.0);
  EXPECT_EQ(ReadSetting("1,5"), 1.0);  // the decimal point is '.', whatever the locale
}

TEST(ReadSetting, TypingFollowsEachCharacter) {
  const std::string typed = "0.25";
  const double expected[] = {0.0, 0.0, 0.2, 0.25};
  for (std::size_t n = 1; n <= typed.size(); ++n) {
    EXPECT_EQ(ReadSetting(typed.substr(0, n)), expected[n - 1]) << typed.substr(0, n);
  }
}

TEST(ReadSetting, ReadsAtMost127Characters) {
  const std::string digits127 = "1" + std::string(126, '0');
  EXPECT_EQ(ReadSetting(digits127), 1e126);
  EXPECT_EQ(ReadSetting(digits127 + "0"), 1e126);
  EXPECT_EQ(ReadSetting(std::string(126, ' ') + "7"), 7.0);
  EXPECT_EQ(ReadSetting(std::string(127, ' ') + "7"), 0.0);
}

// The value shown after the dialog re-reads its own text has one significant digit: it lies
// within half a unit of the leading digit's place of the original, and showing it again changes
// neither the text nor the value.
TEST(FormatSetting, ReReadingTheTextIsStable) {
  for (double magnitude = 1e-7; magnitude < 1e7; magnitude *= 1.37) {
    for (double x : {magnitude, -magnitude}) {
      const std::string text = FormatSetting(x);
      const double y = ReadSetting(text);
      const double place = std::pow(10.0, std::floor(std::log10(std::fabs(x))));
      EXPECT_LE(std::fabs(y - x), 0.5 * place * (1.0 + 1e-12)) << x << " -> " << text;
      EXPECT_EQ(std::signbit(y), std::signbit(x)) << x;
      const std::string again = FormatSetting(y);
      EXPECT_EQ(ReadSetting(again), y) << x << " -> " << text << " -> " << again;
      EXPECT_EQ(FormatSetting(ReadSetting(again)), again) << x;
    }
  }
  for (double x : {0.0, 0.1, 5e-5, 0.25, 0.96, 9.6}) {
    const double y = ReadSetting(FormatSetting(x));
    EXPECT_EQ(ReadSetting(FormatSetting(y)), y) << x;
  }
}

}  // namespace
