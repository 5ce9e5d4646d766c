// Work arrays of the fast scan for one scanning thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detect/correlation_bounds.h"

namespace qae {

// Work arrays of one scanning thread, sized once per run.
class ScanWorkspace {
 public:
  void Allocate(int32_t n_traces, int32_t n_lags, int32_t win_len);

  std::vector<float> rows;     // (n_traces + 1) rows of n_lags
  std::size_t stride = 0;
  std::vector<float> bound;    // n_lags
  std::vector<float> ext;      // a row with zero padding
  std::vector<float> max_a;    // sliding-maximum scratch
  std::vector<float> max_b;
  std::vector<double> xs;      // record segment of one station
  std::vector<double> y;       // template window
  std::vector<double> cxy;     // n_lags
  std::vector<double> er;
  std::vector<double> mean_r;
  // Per station: whether its row holds upper bounds rather than exact
  // values, and the running sum of its row every kChainMark lags, so that
  // ranges of the row can be made exact later.
  static constexpr int32_t kChainMark = 256;
  std::vector<unsigned char> bounded;
  std::vector<double> marks;
  std::size_t marksPerRow = 0;
  double* Marks(int k) { return marks.data() + static_cast<std::size_t>(k) * marksPerRow; }

  // The plain correlation's bound pass: per station its energy chain over
  // the whole row (kept for the exact values computed later), drift,
  // template energy, single-precision segment, window and cross sums;
  // brain-float pairs of one station at a time. Grown on first
  // use: only the bound pass needs them.
  std::vector<double> chains;
  std::size_t chainStride = 0;
  std::vector<double> drift;
  std::vector<double> templateEnergy;
  std::vector<float> xf;
  std::vector<float> yf;
  std::vector<float> cf;
  std::vector<uint32_t> pairs;
  std::vector<FloatChainStation> boundStations;
  std::size_t xfStride = 0;
  void ReserveChains(int n, int32_t lags);
  void ReserveBoundScratch(int n, int32_t lags, int32_t win_len);
  double* Chain(int k) { return chains.data() + static_cast<std::size_t>(k) * chainStride; }
};

}  // namespace qae
