// Kernels of the pruned plain correlation: station rows are first filled
// with cheap upper bounds of the values the straightforward loops compute,
// and only the lags that a stack reads are computed exactly afterwards.
//
//  - The running window energies are the reference's own dependent chains,
//    bit for bit, several stations side by side so that their latencies
//    overlap.
//  - The cross sums are taken in single precision or from brain floats:
//    they differ from the double ones by at most k sum |x y|, which is at
//    most k sqrt(Ex Ey) (Cauchy-Schwarz), k covering the rounding of the
//    samples (brain floats) and of the sums (gamma_w of each precision).
//  - Ex, the exact window energy, lies within `drift` of the chain's value;
//    where the chain holds at least twice the drift, Ex <= 1.5 er, and the
//    correlation moves by at most 1.25 k. The drift is bounded from the
//    largest sample alone, so a chain needs no second look.
// All of it needs AVX-512; without it the callers compute rows exactly.
#pragma once

#include <cstdint>

namespace qae {

// Whether this processor runs the kernels below (and the bounds are worth
// their refinement: windows of at most kMaxBoundWindow samples).
inline constexpr int32_t kMaxBoundWindow = 1 << 16;
bool CorrelationBoundsAvailable();

// How the bound pass takes its cross sums: in single precision, or from
// brain floats (8-bit mantissas: |x - x'| <= 2^-8 |x|, so products move by
// at most (2^-7 + 2^-16) |x y|, four times fewer instructions).
enum class BoundSums { kSingle, kBrainFloat };
inline constexpr int32_t kMaxBrainFloatWindow = 128;
// The brain-float sums where the processor has them, else single precision.
BoundSums BestBoundSums();
// The most a correlation can exceed c / sqrt(e_t er) for sums of `kind`
// over windows of w samples (1.25 k, see above).
double BoundSumsMargin(BoundSums kind, int32_t w);

// Brain-float pairs of n samples: pairs[u] holds x[u] in its low and
// x[u + 1] in its high half, for u < n (x holds n + 1 floats), so that one
// dot-product instruction takes two window samples of 16 lags. Requires
// BestBoundSums() == kBrainFloat.
void BrainFloatPairsOf(const float* x, int64_t n, uint32_t* pairs);

// One station of a bound pass: its record segment x (n_lags + w floats, 0
// outside the trace, as the reference reads it) and template window y (w
// floats); the segment's n_lags + w - 1 brain-float pairs where they were
// made beforehand (BrainFloatPairsOf of x), else scratch to make them in.
struct FloatChainStation {
  const float* x = nullptr;
  const float* y = nullptr;
  float* c = nullptr;    // out: n_lags cross sums
  double* er = nullptr;  // out: n_lags chain values
  double drift = 0.0;    // out: bound of |er[t] - exact window energy| over all t
  uint32_t* pairs = nullptr;
  const uint32_t* readyPairs = nullptr;
};

// Per station: the cross sums of `kind` (single precision where brain
// floats are missing or w > kMaxBrainFloatWindow; the kind used is
// returned), er[0] = the sum over j < w of x[j]^2 in order and
// er[t] = (er[t - 1] - x[t - 1]^2) + x[t + w - 1]^2 (CorrelationRow's
// energies bit for bit, up to sixteen chains in flight), and the chain's
// drift. Requires CorrelationBoundsAvailable().
BoundSums CrossSumsWithEnergy(FloatChainStation* stations, int n, int32_t w, int32_t n_lags,
                              BoundSums kind);

// c[t] = sum over j < w of x[t + j] * y[j] in single precision, t < n_lags;
// x holds n_lags + w - 1 floats.
void CrossSumsFloat(const float* x, const float* y, int32_t w, int32_t n_lags, float* c);

// row[t] >= the float NormaliseRow stores for the exact double cross sum,
// given sums c[t] within `margin` (in correlation units, BoundSumsMargin)
// of it, the template energy e_t, the chain values er and their drift: 0
// where e_t * er[t] is not positive (as the row is), +inf where the bound
// cannot be trusted; never NaN.
void BoundRowFromFloatSums(const float* c, double e_t, const double* er, double drift,
                           double margin, int32_t n_lags, float* row);

}  // namespace qae
