// Peak search over one stack row (see matched_filter_scan.h).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qae {

// Mean of |stack| over first..last inclusive, summed in double.
inline double MeanAbs(const float* stack, int32_t first, int32_t last) {
  double sum = 0.0;
  for (int32_t i = first; i <= last; ++i) sum += std::fabs(stack[i]);
  return sum / static_cast<double>(last - first + 1);
}

// At a lag whose value exceeds the threshold: climb to the first index whose
// successor is smaller; the peak must stand out from the mean absolute value
// of a noise window on each side, each len5 + 1 samples at a gap of len2.
// An accepted peak consumes the rest of its excursion above the threshold;
// a rejected one does not, so a later, higher maximum is still examined.
// Returns the lag the search goes on from (before its step to the next).
// `mean_abs` must give MeanAbs's bits.
template <typename Accept, typename MeanAbsFn = double (*)(const float*, int32_t, int32_t)>
inline int32_t ExaminePeak(const float* stack, int32_t q, int32_t lag_range, int32_t scan_range,
                           float threshold, float snr_min, int32_t len2, int32_t len5,
                           Accept&& accept, MeanAbsFn mean_abs = &MeanAbs) {
  while (q < scan_range && stack[q] <= stack[q + 1]) ++q;
  // 64-bit window arithmetic: len2 + len5 may be near the int32 limit for a
  // very small sample interval.
  const int64_t q64 = q;
  const auto e1 = static_cast<int32_t>(std::max<int64_t>(1, q64 - len2));
  const auto s1 = static_cast<int32_t>(std::max<int64_t>(0, q64 - len2 - len5));
  const auto s2 = static_cast<int32_t>(std::min<int64_t>(q64 + len2, lag_range - 1));
  const auto e2 = static_cast<int32_t>(std::min<int64_t>(lag_range - 1, q64 + len2 + len5));
  const float snr1 = static_cast<float>(stack[q] / mean_abs(stack, s1, e1));
  const float snr2 = static_cast<float>(stack[q] / mean_abs(stack, s2, e2));
  if (snr1 >= snr_min && snr2 >= snr_min) {
    accept(q, stack[q], snr1, snr2);
    while (q < scan_range && stack[q] >= threshold) ++q;
  }
  return q;
}

// The stack must hold lag_range entries and scan_range < lag_range.
template <typename Accept>
void SearchPeaks(const float* stack, int32_t lag_range, int32_t scan_range, float threshold,
                 float snr_min, int32_t len2, int32_t len5, Accept&& accept) {
  for (int32_t q = 0; q < scan_range; ++q) {
    if (stack[q] > threshold) {
      q = ExaminePeak(stack, q, lag_range, scan_range, threshold, snr_min, len2, len5, accept);
    }
  }
}

}  // namespace qae
