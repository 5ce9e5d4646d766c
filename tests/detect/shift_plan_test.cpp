// Shift plans: every grid offset maps to a vector equal to its own shifts,
// the vectors are distinct, and the cache hands out a plan only for the
// inputs it was built from.
#include "detect/shift_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace qae {
namespace {

StationSelection Stations(double scale) {
  StationSelection sel;
  for (int k = 0; k < 7; ++k) {
    sel.traceIndex.push_back(k);
    sel.gradient.emplace_back(scale * (k - 3), scale * (k % 3 - 1), scale * 0.5 * (2 - k % 5));
  }
  return sel;
}

AePars Grid(int steps) {
  AePars pars;
  pars.gridStepsX = pars.gridStepsY = pars.gridStepsZ = steps;
  pars.gridHalfX = pars.gridHalfY = pars.gridHalfZ = 2.0f;
  return pars;
}

TEST(ShiftPlan, EveryOffsetGetsItsOwnShiftsFromDistinctVectors) {
  for (const int steps : {0, 1, 5}) {
    const StationSelection sel = Stations(0.9);
    const AePars pars = Grid(steps);
    const int32_t lags = 30;  // small, so that the clamp to +-lags matters
    const auto plan = BuildShiftPlan(sel, pars, 0.1f, lags);
    const GridSteps g = ComputeGridSteps(pars);
    const std::size_t side = static_cast<std::size_t>(2 * steps + 1);
    ASSERT_EQ(plan->offsetVector.size(), side * side * side);
    std::set<std::vector<int32_t>> seen;
    for (std::size_t v = 0; v < plan->vectorCount(); ++v) {
      EXPECT_TRUE(seen.insert({plan->Vector(v), plan->Vector(v) + plan->n}).second) << v;
    }
    std::size_t offset = 0;
    for (int ix = -steps; ix <= steps; ++ix) {
      for (int iy = -steps; iy <= steps; ++iy) {
        for (int iz = -steps; iz <= steps; ++iz) {
          const int32_t* v =
              plan->Vector(static_cast<std::size_t>(plan->offsetVector[offset++]));
          for (int k = 0; k < sel.n(); ++k) {
            const int32_t s = std::clamp(
                StationShift(sel.gradient[static_cast<std::size_t>(k)], static_cast<float>(ix) * g.sx,
                             static_cast<float>(iy) * g.sy, static_cast<float>(iz) * g.sz, 0.1f),
                -lags, lags);
            ASSERT_EQ(v[k], s) << ix << "," << iy << "," << iz << " station " << k;
            EXPECT_TRUE(plan->smin[static_cast<std::size_t>(k)] <= s &&
                        s <= plan->smax[static_cast<std::size_t>(k)]);
          }
        }
      }
    }
  }
}

TEST(ShiftPlanCache, ReusesAPlanOnlyForTheSameInputs) {
  ShiftPlanCache cache;
  const AePars pars = Grid(2);
  const auto a = cache.Get(3, Stations(0.9), pars, 0.1f, 1000);
  EXPECT_EQ(cache.Get(3, Stations(0.9), pars, 0.1f, 1000), a);
  // A new velocity (other gradients), lag range or grid: a new plan.
  EXPECT_NE(cache.Get(3, Stations(0.8), pars, 0.1f, 1000), a);
  const auto b = cache.Get(3, Stations(0.9), pars, 0.1f, 999);
  EXPECT_NE(b, a);
  EXPECT_NE(cache.Get(3, Stations(0.9), Grid(3), 0.1f, 999), b);
  // Another template has its own.
  EXPECT_NE(cache.Get(4, Stations(0.9), pars, 0.1f, 1000), cache.Get(3, Stations(0.9), pars, 0.1f, 1000));

  // Past its memory limit the cache builds plans without keeping them.
  ShiftPlanCache tiny(1);
  const auto c = tiny.Get(0, Stations(0.9), pars, 0.1f, 1000);
  const auto d = tiny.Get(0, Stations(0.9), pars, 0.1f, 1000);
  EXPECT_NE(c, d);
  EXPECT_EQ(c->vectors, d->vectors);
  EXPECT_EQ(c->offsetVector, d->offsetVector);
}

}  // namespace
}  // namespace qae
