// Vector kernels of the scan. Each gives exactly the bits of the
// straightforward loops in matched_filter_scan.cpp: vectors run across lags
// (or stack entries), and every lane performs the same double-precision
// operations in the same order as the scalar code, so no sum is reordered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/simd_isa.h"

namespace qae {

// cxy[t] = sum over j < w of x[t + j] * y[j], summed in order of j, for
// t < n_lags. x holds n_lags + w - 1 values (the record samples as doubles).
void CrossSumsPlain(const double* x, const double* y, int32_t w, int32_t n_lags, double* cxy);

// CrossSumsPlain, and the running window energy: er[0] is given, and
// er[t] = er[t - 1] - x[t - 1]^2 + x[t + w - 1]^2 in that order, as one
// dependent chain.
void CrossSumsPlainWithEnergy(const double* x, const double* y, int32_t w, int32_t n_lags,
                              double* cxy, double* er);

// With window means removed: d = x[t + j] - mean_r[t];
// cxy[t] = sum of d * yc[j], er[t] = sum of d * d, in order of j.
void CrossSumsDemeaned(const double* x, const double* yc, const double* mean_r, int32_t w,
                       int32_t n_lags, double* cxy, double* er);

// row[t] = cxy[t] / sqrt(e_t * er[t]) as a float, 0 where that energy is
// not positive (a silent window).
void NormaliseRow(const double* cxy, double e_t, const double* er, int32_t n_lags, float* row);

// Upper bounds of NormaliseRow's values, cheap to compute: row[t] is at
// least the float NormaliseRow would store (0 where it would store 0, +inf
// where the energy is too small or large for the fast estimate, NaN where
// the correlation is NaN). Returns false, writing nothing, on processors
// without a fast reciprocal square root; callers then normalise exactly.
bool NormaliseRowUpperBound(const double* cxy, double e_t, const double* er, int32_t n_lags,
                            float* row);

// One stack over lags [begin, end): station by station in order, each
// adding rows[k][q + shifts[k]] where that lies inside its row of `lags`
// values (stations shifted off the row add nothing), then times inv_n.
void StackInterval(const float* rows, std::size_t stride, const int32_t* shifts, int n,
                   int32_t lags, int32_t begin, int32_t end, float inv_n, float* stack);

// Lags at which the grid search must test its stacks, in runs of 16
// neighbouring lags from `first` (`lanes` bit l: lag first + l is one);
// `inRows` when every shift the plan can give keeps all 16 inside the rows.
struct StartRun {
  int32_t first;
  uint32_t lanes;
  bool inRows;
};
// Runs of ascending `starts` for shifts of station k within
// [smin[k], smax[k]].
std::vector<StartRun> GroupStarts(const std::vector<int32_t>& starts, const int32_t* smin,
                                  const int32_t* smax, int n, int32_t lags);

// Whether the stack of `shifts` (as StackInterval computes it) exceeds
// `threshold` at any lag of the runs; the 16 lags of a run are tested
// together.
bool AnyStackAbove(const float* rows, std::size_t stride, const int32_t* shifts, int n,
                   int32_t lags, const StartRun* runs, std::size_t count, float inv_n,
                   float threshold);

// MeanAbs's bits (the mean of |stack[i]| for first <= i <= last, summed in
// double in order of i). Where the values' magnitudes span few enough
// binades that every partial sum is exact, the order of the additions
// cannot matter and they run in vector lanes.
double MeanAbsInLanes(const float* stack, int32_t first, int32_t last);

// dst[i] += src[i] for i < n.
void AddInto(float* dst, const float* src, int64_t n);
// dst[i] *= factor for i < n.
void ScaleBy(float* dst, float factor, int64_t n);
// bound[q] = sum over stations k, in order from 0, of the largest of
// rows[k][q + s] for s in [lo[k], hi[k]] (compared as MaxOf does), for q in
// [begin, end); every such index must lie inside its row.
void WindowMaxSum(const float* rows, std::size_t stride, const int32_t* lo, const int32_t* hi,
                  int n, int32_t begin, int32_t end, float* bound);
// dst[i] = max(a[i], b[i]) for i < n.
void MaxOf(float* dst, const float* a, const float* b, int64_t n);

}  // namespace qae
