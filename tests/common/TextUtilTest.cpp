#include "common/TextUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "common/DelimitedReader.h"
#include "tests/support/TempFolder.h"

namespace common {
namespace {

std::time_t Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  return std::mktime(&parts);
}

TEST(GeneralDateTextTest, GivesShortDateAndLongTime) {
  EXPECT_EQ(GeneralDateText(Local(2026, 12, 6, 6, 48, 46)), "12/06/2026 06:48:46");
  EXPECT_EQ(GeneralDateText(Local(2026, 1, 2, 23, 0, 5)), "01/02/2026 23:00:05");
}

TEST(GeneralDateTextTest, LeavesOutTheTimeAtMidnight) {
  EXPECT_EQ(GeneralDateText(Local(2026, 3, 4, 0, 0, 0)), "03/04/2026");
  EXPECT_EQ(GeneralDateText(Local(2026, 3, 4, 0, 0, 1)), "03/04/2026 00:00:01");
}

TEST(TimeStamp14Test, IsFourteenDigits) {
  EXPECT_EQ(TimeStamp14(Local(2026, 12, 6, 6, 48, 46)), "20261206064846");
}

TEST(NumberTextTest, UsesTheDefaultDoubleForm) {
  EXPECT_EQ(NumberText(0), "0");
  EXPECT_EQ(NumberText(-0.0), "0");
  EXPECT_EQ(NumberText(37.5), "37.5");
  EXPECT_EQ(NumberText(1070000000), "1070000000");
  EXPECT_EQ(NumberText(-25), "-25");
  EXPECT_EQ(NumberText(0.1 + 0.2), "0.3");
  EXPECT_EQ(NumberText(123456789012345.0), "123456789012345");
  EXPECT_EQ(NumberText(1e15), "1E+15");
  EXPECT_EQ(NumberText(0.0000015), "1.5E-06");
  EXPECT_EQ(NumberText(8589934592.0), "8589934592");
}

TEST(RoundHalfEvenTest, SendsTiesToTheEvenNeighbour) {
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(62.5), 62);
  EXPECT_EQ(RoundHalfEven(-2.5), -2);
  EXPECT_EQ(RoundHalfEven(2.51), 3);
  EXPECT_EQ(RoundHalfEven(1.5), 2);
  EXPECT_EQ(RoundHalfEven(0.49999999999999994), 0);
  EXPECT_TRUE(std::signbit(RoundHalfEven(-0.4)));
  EXPECT_EQ(RoundHalfEven(4503599627370497.0), 4503599627370497.0);
  EXPECT_EQ(RoundHalfEven(-1e300), -1e300);
}

TEST(ToBooleanTest, AcceptsBooleanWordsAndNumbers) {
  EXPECT_EQ(ToBoolean("TRUE"), true);
  EXPECT_EQ(ToBoolean("false"), false);
  EXPECT_EQ(ToBoolean(" False "), false);
  EXPECT_EQ(ToBoolean("0"), false);
  EXPECT_EQ(ToBoolean("-3"), true);
  EXPECT_EQ(ToBoolean("0.0"), false);
  EXPECT_EQ(ToBoolean("YES"), std::nullopt);
  EXPECT_EQ(ToBoolean("NO"), std::nullopt);
  EXPECT_EQ(ToBoolean(""), std::nullopt);
  EXPECT_EQ(ToBoolean("nan"), std::nullopt);
}

TEST(ToInt32Test, ConvertsDecimalTextOnly) {
  EXPECT_EQ(ToInt32("8080"), 8080);
  EXPECT_EQ(ToInt32(" 5 "), 5);
  EXPECT_EQ(ToInt32("-1"), -1);
  EXPECT_EQ(ToInt32("2.5"), 2);
  EXPECT_EQ(ToInt32("abc"), std::nullopt);
  EXPECT_EQ(ToInt32(""), std::nullopt);
  EXPECT_EQ(ToInt32("0x10"), std::nullopt);
  EXPECT_EQ(ToInt32("99999999999"), std::nullopt);
}

TEST(SplitTextTest, KeepsEmptyPieces) {
  EXPECT_EQ(SplitText("a;b;", ";"), (std::vector<std::string>{"a", "b", ""}));
  EXPECT_EQ(SplitText("x", "##"), (std::vector<std::string>{"x"}));
  EXPECT_EQ(SplitText("a##b##c##d", "##"), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(ReplaceAllTest, ReplacesEveryOccurrenceOnce) {
  EXPECT_EQ(ReplaceAll("$VAL1:$VAL2", "$VAL1", "12"), "12:$VAL2");
  EXPECT_EQ(ReplaceAll("aaa", "a", "aa"), "aaaaaa");
}

std::vector<std::string> ReadAllFields(std::string_view text, bool* broken = nullptr) {
  DelimitedReader reader(text);
  std::vector<std::string> fields;
  while (auto field = reader.Next()) fields.push_back(*field);
  if (broken) *broken = reader.broken();
  return fields;
}

TEST(DelimitedReaderTest, EndsFieldsAtCommasAndLineEnds) {
  EXPECT_EQ(ReadAllFields("a,b\r\nc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(ReadAllFields("COMMAND3=dir,x|y\r\n"),
            (std::vector<std::string>{"COMMAND3=dir", "x|y"}));
}

TEST(DelimitedReaderTest, SkipsLeadingBlanksAndKeepsTrailingOnes) {
  EXPECT_EQ(ReadAllFields("   PORT=9000 \r\n"), (std::vector<std::string>{"PORT=9000 "}));
}

TEST(DelimitedReaderTest, GivesAnEmptyFieldForAnEmptyLine) {
  EXPECT_EQ(ReadAllFields("a\r\n\r\nb"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(DelimitedReaderTest, QuotedFieldsKeepCommasAndLoseQuotes) {
  EXPECT_EQ(ReadAllFields("\"a,b\",c"), (std::vector<std::string>{"a,b", "c"}));
  EXPECT_EQ(ReadAllFields("\"a\"junk,c"), (std::vector<std::string>{"a", "c"}));
}

TEST(DelimitedReaderTest, DropsAnUnclosedQuoteAndStops) {
  bool broken = false;
  EXPECT_EQ(ReadAllFields("a\r\n\"never closed,b\r\nc", &broken),
            (std::vector<std::string>{"a"}));
  EXPECT_TRUE(broken);
}

}  // namespace
}  // namespace common

// A request crafted with many passwords must neither leak one nor make the
// masking of its log entries run without bound.
TEST(HideSecretsTest, HidesOverlapsAsOneMarkAndTooManySecretsAsAWholeEntry) {
  EXPECT_EQ(common::HideSecrets("pw PWPW x", {"Pw"}), "*** *** x");
  std::vector<std::string> many;
  std::string text = "EXETASK";
  for (int i = 0; i < 100; ++i) {
    many.push_back("S" + std::to_string(i));
    text += " S" + std::to_string(i);
  }
  EXPECT_EQ(common::HideSecrets(text, many), "***");
  const std::string large(2 << 20, 'A');
  EXPECT_EQ(common::HideSecrets(large, {std::string(64, 'A')}), "***");
}
