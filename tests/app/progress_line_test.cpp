#include "app/cli/progress_line.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(ProgressLineTest, ShowsCountsDetectionsAndTimes) {
  EXPECT_EQ(qae::cli::FormatProgressLine({25, 101, 3}, 50.0),
            "AE 25/101 done, 3 detected, 0:00:50 elapsed, 0:02:32 remaining");
  // Nothing done yet: no estimate rather than a division by zero.
  EXPECT_EQ(qae::cli::FormatProgressLine({0, 2501, 0}, 0.4),
            "AE 0/2501 done, 0 detected, 0:00:00 elapsed, -:--:-- remaining");
  EXPECT_EQ(qae::cli::FormatProgressLine({2501, 2501, 7}, 3 * 86400.0 + 61),
            "AE 2501/2501 done, 7 detected, 72:01:01 elapsed, 0:00:00 remaining");
}

TEST(ProgressLineTest, DurationsOutOfRangeShowDashes) {
  EXPECT_EQ(qae::cli::FormatDuration(-1), "-:--:--");
  EXPECT_EQ(qae::cli::FormatDuration(NAN), "-:--:--");
  EXPECT_EQ(qae::cli::FormatDuration(INFINITY), "-:--:--");
  EXPECT_EQ(qae::cli::FormatDuration(3599.6), "1:00:00");
}

}  // namespace
