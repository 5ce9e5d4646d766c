// Work arrays of the fast scan for one scanning thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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
};

}  // namespace qae
