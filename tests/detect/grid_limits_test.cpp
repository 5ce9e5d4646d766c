#include "detect/grid_limits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "params/ae_pars.h"

namespace qae {
namespace {

AePars Grid(int32_t x, int32_t y, int32_t z) {
  AePars p;
  p.gridStepsX = x;
  p.gridStepsY = y;
  p.gridStepsZ = z;
  return p;
}

constexpr uint64_t kGiB = uint64_t{1} << 30;

TEST(GridOffsetCount, NegativeStepsAreOneOffsetAndHugeGridsSaturate) {
  constexpr uint64_t kAxisMax = 4294967295u;  // 2 * INT32_MAX + 1
  EXPECT_EQ(GridOffsetCount(5, 5, 5), 1331u);
  // A negative count is scanned as 0 steps: the single offset 0.
  EXPECT_EQ(GridOffsetCount(-7, 5, INT32_MIN), 11u);
  EXPECT_EQ(GridOffsetCount(INT32_MAX, -1, INT32_MAX), kAxisMax * kAxisMax);
  EXPECT_EQ(GridOffsetCount(INT32_MAX, INT32_MAX, 1), UINT64_MAX);
}

TEST(GridSizeProblem, GridsBeyondMemoryOrIndexAreRefusedWithTheirSize) {
  EXPECT_EQ(GridSizeProblem(Grid(5, 5, 5), 16, 4, 8, kGiB), "");
  EXPECT_EQ(GridSizeProblem(Grid(50, -3, 50), 16, 4), "");  // this machine's memory
  EXPECT_EQ(GridSizeProblem(Grid(5, 5, INT32_MAX), 16, 1, 1, 16 * kGiB),
            "grid of 11 x 11 x 4294967295 offsets would need 2.08 TB for its station shifts "
            "(4 bytes per offset), 17.2 GB of memory available; lower gridStepsX/Y/Z");
  // Every axis at the limit: no overflow in the sizes.
  const std::string all = GridSizeProblem(Grid(INT32_MAX, INT32_MAX, INT32_MAX), 16, 1, 1, kGiB);
  EXPECT_NE(all.find("4294967295 x 4294967295 x 4294967295 offsets would need 316913 YB"),
            std::string::npos)
      << all;
  // Memory enough, but more offsets than a plan can number.
  EXPECT_EQ(GridSizeProblem(Grid(700, 700, 700), 16, 4, 1, uint64_t{1} << 40),
            "grid of 1401 x 1401 x 1401 offsets has more than the 2147483647 offsets the fast "
            "scan can index; lower gridStepsX/Y/Z");
}

// 101^3 offsets take about 4.1 MB per plan; two plans per scanning thread,
// one for a lone template on one thread.
TEST(GridSizeProblem, EachScanningThreadHoldsTwoPlans) {
  const AePars p = Grid(50, 50, 50);
  EXPECT_EQ(GridSizeProblem(p, 16, 1, 1, 6'000'000), "");
  EXPECT_EQ(GridSizeProblem(p, 16, 20, 1, 9'000'000), "");
  EXPECT_NE(GridSizeProblem(p, 16, 20, 1, 6'000'000), "");
  const std::string eight = GridSizeProblem(p, 16, 20, 8, 60'000'000);
  EXPECT_NE(eight.find("need 66.0 MB for its station shifts (4 bytes per offset in each of the 16 "
                       "plans 8 scanning threads may hold at once)"),
            std::string::npos)
      << eight;
  EXPECT_NE(eight.find("or the scanning threads"), std::string::npos) << eight;
}

}  // namespace
}  // namespace qae
