#include "detect/scan_workspace.h"

#include <algorithm>

namespace qae {

void ScanWorkspace::Allocate(int32_t n_traces, int32_t n_lags, int32_t win_len) {
  const auto lags = static_cast<std::size_t>(std::max(n_lags, 0));
  const auto n = static_cast<std::size_t>(std::max(n_traces, 0));
  stride = lags;
  rows.assign((n + 1) * lags, 0.0f);
  bound.assign(lags, 0.0f);
  // Shifts are bounded by the lag range: a wider window cannot change the
  // bound (all of it lies outside the row); the extension covers the
  // largest window the grid can ask for.
  ext.assign(3 * lags + 2, 0.0f);
  max_a.assign(ext.size(), 0.0f);
  max_b.assign(ext.size(), 0.0f);
  xs.assign(lags + static_cast<std::size_t>(std::max(win_len, 0)) + 1, 0.0f);
  y.assign(static_cast<std::size_t>(std::max(win_len, 0)), 0.0);
  cxy.assign(lags, 0.0);
  er.assign(lags, 0.0);
  mean_r.assign(lags, 0.0);
  bounded.assign(n, 0);
  marksPerRow = lags / kChainMark + 1;
  marks.assign(n * marksPerRow, 0.0);
  drift.assign(n, 0.0);
  templateEnergy.assign(n, 0.0);
  chains.clear();
  chainStride = 0;
}

void ScanWorkspace::ReserveChains(int n, int32_t lags) {
  chainStride = static_cast<std::size_t>(std::max(lags, 0));
  const std::size_t need = static_cast<std::size_t>(std::max(n, 0)) * chainStride;
  if (chains.size() < need) chains.resize(need);
}

void ScanWorkspace::ReserveBoundScratch(int n, int32_t lags, int32_t win_len) {
  const auto un = static_cast<std::size_t>(std::max(n, 0));
  const auto ul = static_cast<std::size_t>(std::max(lags, 0));
  const auto uw = static_cast<std::size_t>(std::max(win_len, 0));
  xfStride = ul + uw + 1;
  auto grow = [](auto& v, std::size_t size) {
    if (v.size() < size) v.resize(size);
  };
  grow(xf, un * xfStride);
  grow(pairs, xfStride);
  grow(yf, un * uw);
  grow(cf, un * ul);
  grow(boundStations, un);
}

}  // namespace qae
