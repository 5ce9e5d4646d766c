#include "util/text.h"

#include <gtest/gtest.h>

namespace qae {
namespace {

TEST(SetText, CutsToFieldAndTerminates) {
  char field[8];
  SetText(field, "ABCDEFGHIJ");
  EXPECT_EQ(TextOf(field), "ABCDEFG");
  EXPECT_EQ(field[7], '\0');
  SetText(field, "xy");
  EXPECT_EQ(TextOf(field), "xy");
  for (int i = 2; i < 8; ++i) EXPECT_EQ(field[i], '\0') << "remnant of the longer value at " << i;
}

TEST(TextOf, UnterminatedFieldStopsAtWidth) {
  char field[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(TextOf(field), "abcd");
}

TEST(StrPrintf, FormatsLongText) {
  const std::string long_text(5000, 'x');
  EXPECT_EQ(StrPrintf("%s|%d", long_text.c_str(), 7).size(), 5002u);
}

TEST(StartsWithNoCase, MatchesAsciiCaseInsensitively) {
  EXPECT_TRUE(StartsWithNoCase("channel_number 9", "CHANNEL_NUMBER"));
  EXPECT_FALSE(StartsWithNoCase("UNIT", "UNITS"));
}

}  // namespace
}  // namespace qae
