// The station shifts of every grid offset of one template, and the distinct
// shift vectors among them. Offsets whose shifts all round alike give the
// same stack, so the grid search stacks each distinct vector once. A plan
// depends only on the template's station gradients, the grid and the lag
// range, so it is built once per template and reused for every record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "detect/matched_filter_scan.h"
#include "params/ae_pars.h"

namespace qae {

// A box of grid offsets (index ranges, inclusive) for the grid search's
// branch and bound. Its children, if any, are `childCount` consecutive
// boxes from `firstChild`, splitting it in halves along each axis longer
// than ShiftPlan::kLeafExtent.
struct ShiftBox {
  int32_t x0, x1, y0, y1, z0, z1;
  int32_t firstChild;
  int32_t childCount;
};

struct ShiftPlan {
  // What the plan was built from; a plan serves a scan only when all match.
  std::vector<double> gradients;  // x, y, z of each selected station
  float dt = 0.0f;
  int32_t lags = 0;
  GridSteps steps;
  int32_t nx = 0;
  int32_t ny = 0;
  int32_t nz = 0;

  int n = 0;                          // stations
  std::vector<int32_t> vectors;       // distinct shift vectors, n values each
  std::vector<int32_t> offsetVector;  // per offset, in loop order: its vector
  std::vector<int32_t> smin;          // per station: smallest and largest shift
  std::vector<int32_t> smax;

  // Box 0 is the whole grid (its shift ranges are smin and smax); per box,
  // per station, the smallest and largest shift of its offsets.
  static constexpr int32_t kLeafExtent = 3;
  std::vector<ShiftBox> boxes;
  std::vector<int32_t> boxMin;
  std::vector<int32_t> boxMax;
  const int32_t* BoxMin(std::size_t b) const { return boxMin.data() + b * static_cast<std::size_t>(n); }
  const int32_t* BoxMax(std::size_t b) const { return boxMax.data() + b * static_cast<std::size_t>(n); }
  // Index of grid offset (ix, iy, iz) in offsetVector.
  std::size_t OffsetIndex(int32_t ix, int32_t iy, int32_t iz) const {
    const auto sy = static_cast<std::size_t>(2 * int64_t{ny} + 1);
    const auto sz = static_cast<std::size_t>(2 * int64_t{nz} + 1);
    return (static_cast<std::size_t>(int64_t{ix} + nx) * sy + static_cast<std::size_t>(int64_t{iy} + ny)) * sz +
           static_cast<std::size_t>(int64_t{iz} + nz);
  }

  std::size_t vectorCount() const { return n > 0 ? vectors.size() / static_cast<std::size_t>(n) : 0; }
  const int32_t* Vector(std::size_t v) const { return vectors.data() + v * static_cast<std::size_t>(n); }
  std::size_t Bytes() const;
};

// Builds the plan. Shifts are clamped to +-lags: a shift that large leaves
// no overlap either way, and the clamp keeps the bound's windows finite.
std::shared_ptr<const ShiftPlan> BuildShiftPlan(const StationSelection& sel, const AePars& pars,
                                                float dt, int32_t lags);

// Plans by template index, shared by the scanning threads of a run. Plans
// are replaced when their inputs change (a new velocity from a record's
// note); past a memory limit further plans are built per scan instead.
class ShiftPlanCache {
 public:
  explicit ShiftPlanCache(std::size_t byte_limit = std::size_t{256} << 20) : limit_(byte_limit) {}
  std::shared_ptr<const ShiftPlan> Get(int template_index, const StationSelection& sel,
                                       const AePars& pars, float dt, int32_t lags);

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<const ShiftPlan>> plans_;
  std::size_t bytes_ = 0;
  std::size_t limit_;
};

}  // namespace qae
