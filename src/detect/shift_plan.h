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
