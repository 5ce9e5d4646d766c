#include "detect/shift_plan.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "detect/grid_limits.h"

namespace qae {

namespace {

std::vector<double> GradientKey(const StationSelection& sel) {
  std::vector<double> g;
  g.reserve(sel.gradient.size() * 3);
  for (const XL_Vector3D& v : sel.gradient) {
    g.push_back(v.x);
    g.push_back(v.y);
    g.push_back(v.z);
  }
  return g;
}

// Bitwise equality, so that a NaN input never matches and -0 and +0 differ
// as they may in the shifts.
bool SameDoubles(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
           return std::memcmp(&x, &y, sizeof x) == 0;
         });
}

bool SameFloat(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool Matches(const ShiftPlan& p, const StationSelection& sel, const AePars& pars, float dt,
             int32_t lags) {
  const GridSteps steps = ComputeGridSteps(pars);
  return p.lags == lags && SameFloat(p.dt, dt) && p.nx == std::max(pars.gridStepsX, 0) &&
         p.ny == std::max(pars.gridStepsY, 0) && p.nz == std::max(pars.gridStepsZ, 0) &&
         SameFloat(p.steps.sx, steps.sx) && SameFloat(p.steps.sy, steps.sy) &&
         SameFloat(p.steps.sz, steps.sz) && SameDoubles(p.gradients, GradientKey(sel));
}

struct VectorHash {
  const std::vector<int32_t>* flat;
  int n;
  std::size_t operator()(int32_t v) const {
    std::size_t h = 1469598103934665603ull;
    const int32_t* p = flat->data() + static_cast<std::size_t>(v) * static_cast<std::size_t>(n);
    for (int k = 0; k < n; ++k) h = (h ^ static_cast<uint32_t>(p[k])) * 1099511628211ull;
    return h;
  }
};

struct VectorEqual {
  const std::vector<int32_t>* flat;
  int n;
  bool operator()(int32_t a, int32_t b) const {
    const auto un = static_cast<std::size_t>(n);
    return std::equal(flat->begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(a) * un),
                      flat->begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(a + 1) * un),
                      flat->begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(b) * un));
  }
};

}  // namespace

std::size_t ShiftPlan::Bytes() const {
  return sizeof(ShiftPlan) + 4 * (gradients.size() + vectors.size() + offsetVector.size() +
                                  smin.size() + smax.size());
}

std::shared_ptr<const ShiftPlan> BuildShiftPlan(const StationSelection& sel, const AePars& pars,
                                                float dt, int32_t lags) {
  auto plan = std::make_shared<ShiftPlan>();
  ShiftPlan& p = *plan;
  p.gradients = GradientKey(sel);
  p.dt = dt;
  p.lags = lags;
  p.steps = ComputeGridSteps(pars);
  p.nx = std::max(pars.gridStepsX, 0);
  p.ny = std::max(pars.gridStepsY, 0);
  p.nz = std::max(pars.gridStepsZ, 0);
  p.n = sel.n();
  const auto n = static_cast<std::size_t>(p.n);
  p.smin.assign(n, std::numeric_limits<int32_t>::max());
  p.smax.assign(n, std::numeric_limits<int32_t>::min());
  p.offsetVector.reserve(static_cast<std::size_t>(
      std::min<uint64_t>(GridOffsetCount(p.nx, p.ny, p.nz), SIZE_MAX)));

  // The candidate vector is appended first and dropped again when an equal
  // one exists, so the set looks vectors up by index into `vectors`.
  std::unordered_map<int32_t, int32_t, VectorHash, VectorEqual> index(
      64, VectorHash{&p.vectors, p.n}, VectorEqual{&p.vectors, p.n});
  for (int64_t ix = -int64_t{p.nx}; ix <= p.nx; ++ix) {
    for (int64_t iy = -int64_t{p.ny}; iy <= p.ny; ++iy) {
      for (int64_t iz = -int64_t{p.nz}; iz <= p.nz; ++iz) {
        const float dx = static_cast<float>(static_cast<int32_t>(ix)) * p.steps.sx;
        const float dy = static_cast<float>(static_cast<int32_t>(iy)) * p.steps.sy;
        const float dz = static_cast<float>(static_cast<int32_t>(iz)) * p.steps.sz;
        const auto candidate = static_cast<int32_t>(p.vectors.size() / std::max<std::size_t>(n, 1));
        for (std::size_t k = 0; k < n; ++k) {
          const int32_t s =
              std::clamp(StationShift(sel.gradient[k], dx, dy, dz, dt), -lags, lags);
          p.vectors.push_back(s);
          p.smin[k] = std::min(p.smin[k], s);
          p.smax[k] = std::max(p.smax[k], s);
        }
        if (n == 0) {
          // Every offset shares the one empty vector.
          p.offsetVector.push_back(0);
          continue;
        }
        const auto [it, added] = index.try_emplace(candidate, candidate);
        if (!added) p.vectors.resize(p.vectors.size() - n);
        p.offsetVector.push_back(it->second);
      }
    }
  }
  return plan;
}

std::shared_ptr<const ShiftPlan> ShiftPlanCache::Get(int template_index,
                                                     const StationSelection& sel,
                                                     const AePars& pars, float dt, int32_t lags) {
  if (template_index >= 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto t = static_cast<std::size_t>(template_index);
    if (t < plans_.size() && plans_[t] && Matches(*plans_[t], sel, pars, dt, lags)) return plans_[t];
  }
  std::shared_ptr<const ShiftPlan> plan = BuildShiftPlan(sel, pars, dt, lags);
  if (template_index >= 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto t = static_cast<std::size_t>(template_index);
    if (t >= plans_.size()) plans_.resize(t + 1);
    const std::size_t old = plans_[t] ? plans_[t]->Bytes() : 0;
    if (bytes_ - old + plan->Bytes() <= limit_) {
      bytes_ = bytes_ - old + plan->Bytes();
      plans_[t] = plan;
    }
  }
  return plan;
}

}  // namespace qae
