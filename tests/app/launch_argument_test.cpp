// The launch argument and the range text: what each form yields and how a
// malformed one is refused; and the split of a stepped range.
#include "app/launch_argument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/multiple_runs.h"

namespace {

TEST(LaunchArgumentTest, OnlyASemicolonAfterTheFirstCharacterMarksALaunch) {
  EXPECT_TRUE(qae::IsLaunchArgument("P;10;20;"));
  EXPECT_TRUE(qae::IsLaunchArgument("P;"));
  EXPECT_FALSE(qae::IsLaunchArgument(";10;20;"));
  EXPECT_FALSE(qae::IsLaunchArgument(""));
  EXPECT_FALSE(qae::IsLaunchArgument("run"));
  EXPECT_FALSE(qae::IsLaunchArgument(";"));
}

TEST(LaunchArgumentTest, SplitsIntoParameterFileAndRangeText) {
  qae::LaunchArgument a;
  std::string error;
  ASSERT_TRUE(qae::ParseLaunchArgument("P;10;20;", &a, &error)) << error;
  EXPECT_EQ(a.parFile, "P");
  EXPECT_EQ(a.aeRange, "10,20;");
  EXPECT_EQ(a.first, 10);
  EXPECT_EQ(a.last, 20);

  // Everything after the second ';' stays in the range text; typed by hand
  // the closing ';' may be left out.
  ASSERT_TRUE(qae::ParseLaunchArgument("/d/p.txt;-5; 7;", &a, &error)) << error;
  EXPECT_EQ(a.aeRange, "-5, 7;");
  EXPECT_EQ(a.first, -5);
  EXPECT_EQ(a.last, 7);
  ASSERT_TRUE(qae::ParseLaunchArgument("P;1;2", &a, &error)) << error;
  EXPECT_EQ(a.last, 2);

  // Far beyond the 128 characters a fixed buffer would hold.
  const std::string path = "/" + std::string(100000, 'x') + "/ML_CC_AE_pars.txt";
  ASSERT_TRUE(qae::ParseLaunchArgument(qae::FormatLaunchArgument(path, 0, 499), &a, &error));
  EXPECT_EQ(a.parFile, path);
  EXPECT_EQ(a.aeRange, "0,499;");
}

TEST(LaunchArgumentTest, MalformedArgumentsAreRefusedWithAReason) {
  // A tail after the range, or a reversed range, would run something the
  // user did not mean.
  const char* cases[] = {"P;10",     "P;10;",          "P;a;20;",      "P;;20;",
                         "P;10;99999999999;", "P", "/d/p.txt;-5; 7;extra;", "P;46;1;",
                         "P;1;4x6;"};
  for (const char* argument : cases) {
    SCOPED_TRACE(argument);
    qae::LaunchArgument a;
    a.parFile = "unchanged";
    std::string error;
    EXPECT_FALSE(qae::ParseLaunchArgument(argument, &a, &error));
    EXPECT_EQ(a.parFile, "unchanged");
    EXPECT_EQ(error.rfind(std::string("Malformed command line \"") + argument + "\"", 0), 0u)
        << error;
  }
}

TEST(AeRangeTest, ReadsBothFormsAndNothingElse) {
  auto r = qae::ParseAeRange("0,1500,+=500");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, 0);
  EXPECT_EQ(r->last, 1500);
  EXPECT_EQ(r->step, 500);
  EXPECT_TRUE(r->has_step);

  r = qae::ParseAeRange(" 3, -4 tail");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first, 3);
  EXPECT_EQ(r->last, -4);
  EXPECT_FALSE(r->has_step);
  EXPECT_EQ(r->step, 0);

  for (const char* bad : {"", "1", "1,", "a,2", "1;2", "2147483648,1", "1,-2147483649"}) {
    EXPECT_FALSE(qae::ParseAeRange(bad)) << bad;
  }
  EXPECT_TRUE(qae::ParseAeRange("-2147483648,2147483647,+=1"));
}

TEST(AeRangeTest, StrictFormRefusesTailsAndReversedRanges) {
  std::string why;
  auto r = qae::ParseAeRangeStrict(" 0, 1500,+= 500 ", &why);
  ASSERT_TRUE(r) << why;
  EXPECT_EQ(r->step, 500);
  for (const char* same : {"7,7", "7,7;", " 7, 7 "}) {
    r = qae::ParseAeRangeStrict(same, &why);
    ASSERT_TRUE(r) << same << ": " << why;
    EXPECT_FALSE(r->has_step);
  }

  // "step=0" once ran as step 0; "46,1" ran nothing without a word.
  for (const char* bad : {"1,46,step=0", "1,46,+=0x", "1,46;;", "1,46,+=0;", "1,46,+=", "0,1500 +=0", ""}) {
    EXPECT_FALSE(qae::ParseAeRangeStrict(bad, &why)) << bad;
    EXPECT_NE(why.find("first,last,+=step"), std::string::npos) << bad;
  }
  EXPECT_FALSE(qae::ParseAeRangeStrict("46,1,+=0", &why));
  EXPECT_EQ(why, "the first AE number is above the last");
}

TEST(PlanSubRangesTest, SubRangesStopBeforeLastAndTooManyAreRefused) {
  std::vector<qae::SubRange> plan;
  std::string error;
  ASSERT_TRUE(qae::PlanSubRanges(0, 10, 3, &plan, &error));
  ASSERT_EQ(plan.size(), 4u);
  EXPECT_EQ(plan[3].first, 9);
  EXPECT_EQ(plan[3].last, 9);

  ASSERT_TRUE(qae::PlanSubRanges(5, 5, 1, &plan, &error));
  EXPECT_TRUE(plan.empty());
  ASSERT_TRUE(qae::PlanSubRanges(0, qae::kMaxLaunchedRuns, 1, &plan, &error));
  EXPECT_EQ(plan.size(), static_cast<std::size_t>(qae::kMaxLaunchedRuns));

  EXPECT_FALSE(qae::PlanSubRanges(0, qae::kMaxLaunchedRuns + 1, 1, &plan, &error));
  EXPECT_FALSE(qae::PlanSubRanges(-2147483647 - 1, 2147483647, 1, &plan, &error));
  EXPECT_NE(error.find("instances"), std::string::npos);
  EXPECT_FALSE(qae::PlanSubRanges(0, 10, 0, &plan, &error));
}

}  // namespace
