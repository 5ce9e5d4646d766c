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

  // Everything after the second ';' stays in the range text.
  ASSERT_TRUE(qae::ParseLaunchArgument("/d/p.txt;-5; 7;extra;", &a, &error)) << error;
  EXPECT_EQ(a.aeRange, "-5, 7;extra;");
  EXPECT_EQ(a.first, -5);
  EXPECT_EQ(a.last, 7);

  // Far beyond the 128 characters a fixed buffer would hold.
  const std::string path = "/" + std::string(100000, 'x') + "/ML_CC_AE_pars.txt";
  ASSERT_TRUE(qae::ParseLaunchArgument(qae::FormatLaunchArgument(path, 0, 499), &a, &error));
  EXPECT_EQ(a.parFile, path);
  EXPECT_EQ(a.aeRange, "0,499;");
}

TEST(LaunchArgumentTest, MalformedArgumentsAreRefusedWithAReason) {
  const char* cases[] = {"P;10", "P;10;", "P;a;20;", "P;;20;", "P;10;99999999999;", "P"};
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
