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

// Fills box `b` with range r and the boxes below it, depth first; a box's
// children are allocated together so that they are consecutive.
void FillBox(ShiftPlan& p, std::size_t b, ShiftBox r) {
  const auto n = static_cast<std::size_t>(p.n);
  int32_t* lo = p.boxMin.data() + b * n;
  int32_t* hi = p.boxMax.data() + b * n;
  std::fill(lo, lo + n, std::numeric_limits<int32_t>::max());
  std::fill(hi, hi + n, std::numeric_limits<int32_t>::min());
  auto halves = [](int32_t a0, int32_t a1, int32_t out[2][2]) {
    if (int64_t{a1} - a0 + 1 <= ShiftPlan::kLeafExtent) {
      out[0][0] = a0;
      out[0][1] = a1;
      return 1;
    }
    const auto mid = static_cast<int32_t>((int64_t{a0} + a1) >> 1);
    out[0][0] = a0;
    out[0][1] = mid;
    out[1][0] = mid + 1;
    out[1][1] = a1;
    return 2;
  };
  int32_t xs[2][2];
  int32_t ys[2][2];
  int32_t zs[2][2];
  const int cx = halves(r.x0, r.x1, xs);
  const int cy = halves(r.y0, r.y1, ys);
  const int cz = halves(r.z0, r.z1, zs);
  r.firstChild = 0;
  r.childCount = cx * cy * cz == 1 ? 0 : cx * cy * cz;
  if (r.childCount == 0) {
    for (int64_t ix = r.x0; ix <= r.x1; ++ix) {
      for (int64_t iy = r.y0; iy <= r.y1; ++iy) {
        for (int64_t iz = r.z0; iz <= r.z1; ++iz) {
          const int32_t* v = p.Vector(static_cast<std::size_t>(p.offsetVector[p.OffsetIndex(
              static_cast<int32_t>(ix), static_cast<int32_t>(iy), static_cast<int32_t>(iz))]));
          for (std::size_t k = 0; k < n; ++k) {
            lo[k] = std::min(lo[k], v[k]);
            hi[k] = std::max(hi[k], v[k]);
          }
        }
      }
    }
    p.boxes[b] = r;
    return;
  }
  r.firstChild = static_cast<int32_t>(p.boxes.size());
  p.boxes[b] = r;
  p.boxes.resize(p.boxes.size() + static_cast<std::size_t>(r.childCount));
  p.boxMin.resize(p.boxes.size() * n);
  p.boxMax.resize(p.boxes.size() * n);
  std::size_t c = static_cast<std::size_t>(r.firstChild);
  for (int i = 0; i < cx; ++i) {
    for (int j = 0; j < cy; ++j) {
      for (int l = 0; l < cz; ++l) {
        FillBox(p, c++, {xs[i][0], xs[i][1], ys[j][0], ys[j][1], zs[l][0], zs[l][1], 0, 0});
      }
    }
  }
  // The ranges moved as the arrays grew; the box's own spans its children's.
  lo = p.boxMin.data() + b * n;
  hi = p.boxMax.data() + b * n;
  for (std::size_t ch = static_cast<std::size_t>(r.firstChild); ch < c; ++ch) {
    for (std::size_t k = 0; k < n; ++k) {
      lo[k] = std::min(lo[k], p.boxMin[ch * n + k]);
      hi[k] = std::max(hi[k], p.boxMax[ch * n + k]);
    }
  }
}

}  // namespace

std::size_t ShiftPlan::Bytes() const {
  return sizeof(ShiftPlan) + 4 * (gradients.size() + vectors.size() + offsetVector.size() +
                                  smin.size() + smax.size() + boxMin.size() + boxMax.size()) +
         sizeof(ShiftBox) * boxes.size();
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
  if (n > 0) {
    p.boxes.resize(1);
    p.boxMin.resize(n);
    p.boxMax.resize(n);
    FillBox(p, 0, {-p.nx, p.nx, -p.ny, p.ny, -p.nz, p.nz, 0, 0});
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
