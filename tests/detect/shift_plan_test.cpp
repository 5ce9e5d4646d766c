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

// The boxes of the branch and bound: children split their parent's offsets
// exactly, leaves are small, and each box's shift ranges hold the shifts of
// all of its offsets.
TEST(ShiftPlan, BoxesPartitionTheGridAndBoundTheirShifts) {
  const int grids[][3] = {{5, 5, 5}, {10, 0, 3}, {0, 0, 0}, {1, 7, 0}};
  for (const auto& g : grids) {
    AePars pars = Grid(0);
    pars.gridStepsX = g[0];
    pars.gridStepsY = g[1];
    pars.gridStepsZ = g[2];
    const auto plan = BuildShiftPlan(Stations(0.9), pars, 0.1f, 1000);
    ASSERT_FALSE(plan->boxes.empty());
    const ShiftBox& root = plan->boxes[0];
    EXPECT_TRUE(root.x0 == -g[0] && root.x1 == g[0] && root.y0 == -g[1] && root.y1 == g[1] &&
                root.z0 == -g[2] && root.z1 == g[2]);
    EXPECT_TRUE(std::equal(plan->smin.begin(), plan->smin.end(), plan->BoxMin(0)));
    EXPECT_TRUE(std::equal(plan->smax.begin(), plan->smax.end(), plan->BoxMax(0)));
    auto volume = [](const ShiftBox& b) {
      return int64_t{b.x1 - b.x0 + 1} * (b.y1 - b.y0 + 1) * (b.z1 - b.z0 + 1);
    };
    std::vector<int> leaf_hits(plan->offsetVector.size(), 0);
    for (std::size_t b = 0; b < plan->boxes.size(); ++b) {
      const ShiftBox& box = plan->boxes[b];
      int64_t children = 0;
      for (int32_t c = 0; c < box.childCount; ++c) {
        const ShiftBox& child = plan->boxes[static_cast<std::size_t>(box.firstChild + c)];
        EXPECT_TRUE(child.x0 >= box.x0 && child.x1 <= box.x1 && child.y0 >= box.y0 &&
                    child.y1 <= box.y1 && child.z0 >= box.z0 && child.z1 <= box.z1);
        children += volume(child);
      }
      if (box.childCount > 0) {
        EXPECT_EQ(children, volume(box)) << "box " << b;
      }
      for (int32_t ix = box.x0; ix <= box.x1; ++ix) {
        for (int32_t iy = box.y0; iy <= box.y1; ++iy) {
          for (int32_t iz = box.z0; iz <= box.z1; ++iz) {
            const std::size_t o = plan->OffsetIndex(ix, iy, iz);
            if (box.childCount == 0) ++leaf_hits[o];
            const int32_t* v = plan->Vector(static_cast<std::size_t>(plan->offsetVector[o]));
            for (int k = 0; k < plan->n; ++k) {
              ASSERT_TRUE(plan->BoxMin(b)[k] <= v[k] && v[k] <= plan->BoxMax(b)[k]);
            }
          }
        }
      }
      if (box.childCount == 0) {
        EXPECT_TRUE(box.x1 - box.x0 < ShiftPlan::kLeafExtent &&
                    box.y1 - box.y0 < ShiftPlan::kLeafExtent &&
                    box.z1 - box.z0 < ShiftPlan::kLeafExtent);
      }
    }
    EXPECT_TRUE(std::all_of(leaf_hits.begin(), leaf_hits.end(), [](int h) { return h == 1; }));
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
