#include "detect/correlation_bounds.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <immintrin.h>

#include "util/simd_isa.h"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace qae {

namespace {

using Float16 __attribute__((vector_size(64))) = float;

__attribute__((always_inline)) inline Float16 Load16(const float* p) {
  Float16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Every lane (the masked forms leave no lane undefined).
constexpr __mmask8 kAll = 0xff;
constexpr __mmask16 kAll16 = 0xffff;

// Brain-float pairs of a segment: pairs[u] holds x[u] in its low and
// x[u + 1] in its high half, for u < n (x holds n + 1 floats), so that one
// dot-product instruction takes two window samples of 16 lags.
__attribute__((target("avx512f,avx512bf16"))) void BrainFloatPairs(const float* x, int64_t n,
                                                                   uint32_t* pairs) {
  for (int64_t u = 0; u < n; u += 16) {
    const int64_t left = n - u;
    const __mmask16 lanes = left >= 16 ? static_cast<__mmask16>(0xffff)
                                       : static_cast<__mmask16>((1u << left) - 1u);
    const __m512 a = _mm512_maskz_loadu_ps(lanes, x + u);
    const __m512 b = _mm512_maskz_loadu_ps(lanes, x + u + 1);
    __m256i ab;
    __m256i bb;
    const __m256bh ca = _mm512_cvtneps_pbh(a);
    const __m256bh cb = _mm512_cvtneps_pbh(b);
    std::memcpy(&ab, &ca, sizeof ab);
    std::memcpy(&bb, &cb, sizeof bb);
    const __m512i packed = _mm512_or_si512(
        _mm512_maskz_cvtepu16_epi32(kAll16, ab),
        _mm512_maskz_slli_epi32(kAll16, _mm512_maskz_cvtepu16_epi32(kAll16, bb), 16));
    _mm512_mask_storeu_epi32(pairs + u, lanes, packed);
  }
}

// Squares of a segment's n samples in double precision (exact), and the
// largest of them (infinite, or not a number, when a sample is).
__attribute__((target("avx512f"))) double Squares(const float* x, int64_t n, double* sq) {
  __m512d top = _mm512_setzero_pd();
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m512d v = _mm512_maskz_cvtps_pd(kAll, _mm256_loadu_ps(x + i));
    const __m512d v2 = _mm512_mul_pd(v, v);
    _mm512_storeu_pd(sq + i, v2);
    // A square that is not a number enters the maximum and stays there.
    const __mmask8 larger = _mm512_cmp_pd_mask(v2, top, _CMP_NLE_UQ) &
                            _mm512_cmp_pd_mask(top, top, _CMP_ORD_Q);
    top = _mm512_mask_blend_pd(larger, top, v2);
  }
  alignas(64) double lanes[8];
  _mm512_store_pd(lanes, top);
  double m = 0.0;
  auto take = [&m](double v) { m = m == m && (v > m || v != v) ? v : m; };
  for (const double v : lanes) take(v);
  for (; i < n; ++i) {
    sq[i] = static_cast<double>(x[i]) * static_cast<double>(x[i]);
    take(sq[i]);
  }
  return m;
}

// Up to 8 stations' chains side by side: each one a sequence of dependent
// adds, several in flight so that none waits on its own latency alone. The
// squares are made a block of lags at a time, in `scratch`
// (S (kChainBlock + w + 1) doubles), and their largest value of each
// station goes to max_square.
constexpr int32_t kChainBlock = 256;

template <int S>
void ChainsOf(FloatChainStation* st, int32_t w, int32_t n_lags, double* scratch,
              double* max_square) {
  const auto stride = static_cast<std::size_t>(kChainBlock) + static_cast<std::size_t>(w) + 1;
  const float* x[S];
  const double* sq[S];
  double* er[S];
  double e[S];
  for (int s = 0; s < S; ++s) {
    x[s] = st[s].x;
    er[s] = st[s].er;
    double* first = scratch + static_cast<std::size_t>(s) * stride;
    max_square[s] = Squares(x[s], w, first);
    double sum = 0.0;
    for (int32_t j = 0; j < w; ++j) sum += first[j];
    e[s] = sum;
    er[s][0] = sum;
    sq[s] = first;
  }
  for (int32_t t0 = 1; t0 < n_lags; t0 += kChainBlock) {
    const int32_t count = std::min(kChainBlock, n_lags - t0);
    // sq[s][i] holds the square of sample t0 - 1 + i.
    for (int s = 0; s < S; ++s) {
      double* block = scratch + static_cast<std::size_t>(s) * stride;
      const double m = Squares(x[s] + (t0 - 1), int64_t{count} + w, block);
      const double held = max_square[s];
      max_square[s] = held == held && (m > held || m != m) ? m : held;
    }
    for (int32_t i = 0; i < count; ++i) {
#pragma GCC unroll 8
      for (int s = 0; s < S; ++s) {
        e[s] = e[s] - sq[s][i] + sq[s][i + w];
        er[s][t0 + i] = e[s];
      }
    }
  }
}

void Chains(FloatChainStation* st, int m, int32_t w, int32_t n_lags, double* scratch,
            double* max_square) {
  switch (m) {
    case 1: return ChainsOf<1>(st, w, n_lags, scratch, max_square);
    case 2: return ChainsOf<2>(st, w, n_lags, scratch, max_square);
    case 3: return ChainsOf<3>(st, w, n_lags, scratch, max_square);
    case 4: return ChainsOf<4>(st, w, n_lags, scratch, max_square);
    case 5: return ChainsOf<5>(st, w, n_lags, scratch, max_square);
    case 6: return ChainsOf<6>(st, w, n_lags, scratch, max_square);
    case 7: return ChainsOf<7>(st, w, n_lags, scratch, max_square);
    default: return ChainsOf<8>(st, w, n_lags, scratch, max_square);
  }
}

// Each chain step rounds twice, by at most 2^-53 of a result; the results
// are at most 2 max|e| + 2 max x^2 in size, and |e| is at most the exact
// window energy, w max x^2, plus the drift D itself. Over L steps and the
// first sum of w squares: D <= 2^-53 (L (2 w + 2) + w^2) max x^2 /
// (1 - 2^-52 L), counted here at 2^-51 (and L below 2^40) to cover the
// rounding of the figure itself.
double ChainDrift(double max_square, int32_t w, int32_t n_lags) {
  const double l = static_cast<double>(n_lags);
  const double wd = static_cast<double>(w);
  const double d = 0x1p-51 * (l * (2.0 * wd + 2.0) + wd * wd) * max_square / (1.0 - 0x1p-50 * l);
  return d <= std::numeric_limits<double>::max() ? d : std::numeric_limits<double>::infinity();
}

// Cross sums of 64 lags at a time from brain-float pairs: one instruction
// adds two window samples of 16 lags.
__attribute__((target("avx512f,avx512bf16"))) void CrossSumsBf16(const uint32_t* pairs,
                                                                 const float* x, const float* y,
                                                                 int32_t w, int32_t n_lags,
                                                                 float* c) {
  const int32_t n_pairs = (w + 1) / 2;
  alignas(64) float yy[2 * kMaxBrainFloatWindow + 16];
  alignas(64) uint32_t ypair[2 * kMaxBrainFloatWindow + 16];
  for (int32_t j = 0; j <= 2 * n_pairs; ++j) yy[j] = j < w ? y[j] : 0.0f;
  BrainFloatPairs(yy, 2 * n_pairs, ypair);
  int32_t t = 0;
  for (; t + 64 <= n_lags; t += 64) {
    __m512 a0 = _mm512_setzero_ps();
    __m512 a1 = _mm512_setzero_ps();
    __m512 a2 = _mm512_setzero_ps();
    __m512 a3 = _mm512_setzero_ps();
    for (int32_t p = 0; p < n_pairs; ++p) {
      const __m512i yb = _mm512_set1_epi32(static_cast<int32_t>(ypair[2 * p]));
      __m512bh ybh;
      std::memcpy(&ybh, &yb, sizeof ybh);
      const uint32_t* xs = pairs + t + 2 * p;
      __m512bh x0;
      __m512bh x1;
      __m512bh x2;
      __m512bh x3;
      std::memcpy(&x0, xs, sizeof x0);
      std::memcpy(&x1, xs + 16, sizeof x1);
      std::memcpy(&x2, xs + 32, sizeof x2);
      std::memcpy(&x3, xs + 48, sizeof x3);
      a0 = _mm512_dpbf16_ps(a0, x0, ybh);
      a1 = _mm512_dpbf16_ps(a1, x1, ybh);
      a2 = _mm512_dpbf16_ps(a2, x2, ybh);
      a3 = _mm512_dpbf16_ps(a3, x3, ybh);
    }
    _mm512_storeu_ps(c + t, a0);
    _mm512_storeu_ps(c + t + 16, a1);
    _mm512_storeu_ps(c + t + 32, a2);
    _mm512_storeu_ps(c + t + 48, a3);
  }
  // The last lags in single precision, within the same margin.
  for (; t < n_lags; ++t) {
    float acc = 0.0f;
    for (int32_t j = 0; j < w; ++j) acc += x[t + j] * y[j];
    c[t] = acc;
  }
}

__attribute__((target("avx512f"))) void CrossSumsFloatAvx512(const float* x, const float* y,
                                                             int32_t w, int32_t n_lags, float* c) {
  int32_t t = 0;
  for (; t + 64 <= n_lags; t += 64) {
    Float16 a0 = {};
    Float16 a1 = {};
    Float16 a2 = {};
    Float16 a3 = {};
    for (int32_t j = 0; j < w; ++j) {
      const float yj = y[j];
      a0 += Load16(x + t + j) * yj;
      a1 += Load16(x + t + 16 + j) * yj;
      a2 += Load16(x + t + 32 + j) * yj;
      a3 += Load16(x + t + 48 + j) * yj;
    }
    std::memcpy(c + t, &a0, sizeof a0);
    std::memcpy(c + t + 16, &a1, sizeof a1);
    std::memcpy(c + t + 32, &a2, sizeof a2);
    std::memcpy(c + t + 48, &a3, sizeof a3);
  }
  for (; t + 16 <= n_lags; t += 16) {
    Float16 a = {};
    for (int32_t j = 0; j < w; ++j) a += Load16(x + t + j) * y[j];
    std::memcpy(c + t, &a, sizeof a);
  }
  for (; t < n_lags; ++t) {
    float a = 0.0f;
    for (int32_t j = 0; j < w; ++j) a += x[t + j] * y[j];
    c[t] = a;
  }
}

__attribute__((target("avx512f"))) void BoundRowAvx512(const float* c, double e_t,
                                                       const double* er, double drift,
                                                       double margin, int32_t n, float* row) {
  // Energies far above the smallest normal numbers keep what the sums flush
  // to zero (or lose below the normal range) far below the margin.
  const bool template_trusted = e_t >= 0x1p-200;
  const __m512d et = _mm512_set1_pd(e_t);
  const __m512d zero = _mm512_setzero_pd();
  // Energies above 2^-180 keep the underflow of single-precision products
  // far below the margin; below 2^1000 the estimate is in range.
  const __m512d lo = _mm512_set1_pd(0x1p-180);
  const __m512d hi = _mm512_set1_pd(0x1p+1000);
  const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
  const __m512d max_finite = _mm512_set1_pd(std::numeric_limits<double>::max());
  const __m512d relative = _mm512_set1_pd(0x1p-10);
  const __m512d absolute = _mm512_set1_pd(1e-30 + margin);
  const __m512d tiny_energy = _mm512_set1_pd(0x1p-200);
  const __m512d twice_drift = _mm512_set1_pd(2.0 * drift);
  int32_t t = 0;
  for (; t + 8 <= n; t += 8) {
    const __m512d e_r = _mm512_loadu_pd(er + t);
    const __m512d energy = _mm512_mul_pd(et, e_r);
    const __m512d cd = _mm512_maskz_cvtps_pd(kAll, _mm256_loadu_ps(c + t));
    const __m512d v = _mm512_mul_pd(cd, _mm512_maskz_rsqrt14_pd(kAll, energy));
    const __m512d av = _mm512_abs_pd(v);
    __m512d u = _mm512_add_pd(_mm512_add_pd(v, _mm512_mul_pd(av, relative)), absolute);
    const __mmask8 trusted = _mm512_cmp_pd_mask(energy, lo, _CMP_GE_OQ) &
                             _mm512_cmp_pd_mask(energy, hi, _CMP_LE_OQ) &
                             _mm512_cmp_pd_mask(e_r, twice_drift, _CMP_GE_OQ) &
                             _mm512_cmp_pd_mask(e_r, tiny_energy, _CMP_GE_OQ) &
                             _mm512_cmp_pd_mask(_mm512_abs_pd(cd), max_finite,
                                                _CMP_LE_OQ) &
                             _mm512_cmp_pd_mask(u, u, _CMP_ORD_Q);
    u = _mm512_mask_blend_pd(template_trusted ? trusted : static_cast<__mmask8>(0), inf, u);
    // Not a positive energy (or not a number): the row is 0 there.
    u = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(energy, zero, _CMP_GT_OQ), zero, u);
    _mm256_storeu_ps(row + t, _mm512_maskz_cvtpd_ps(kAll, u));
  }
  for (; t < n; ++t) {
    const double energy = e_t * er[t];
    if (!(energy > 0.0)) {
      row[t] = 0.0f;
      continue;
    }
    const double cd = static_cast<double>(c[t]);
    const double v = cd / std::sqrt(energy);
    const double u = v + std::fabs(v) * 0x1p-10 + (1e-30 + margin);
    const bool trusted = template_trusted && energy >= 0x1p-180 && energy <= 0x1p+1000 &&
                         er[t] >= 2.0 * drift && er[t] >= 0x1p-200 &&
                         std::fabs(cd) <= std::numeric_limits<double>::max() && u == u;
    row[t] = trusted ? static_cast<float>(u) : std::numeric_limits<float>::infinity();
  }
}

}  // namespace

bool CorrelationBoundsAvailable() { return ActiveKernelIsa() == KernelIsa::kAvx512; }

BoundSums BestBoundSums() {
  static const bool bf16 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bf16") != 0;
  }();
  return bf16 ? BoundSums::kBrainFloat : BoundSums::kSingle;
}

double BoundSumsMargin(BoundSums kind, int32_t w) {
  const double accumulation = 2.0 * (static_cast<double>(w) + 2.0) * 0x1p-24;
  const double k = kind == BoundSums::kBrainFloat ? 0x1p-7 + 0x1p-15 + accumulation : accumulation;
  return 1.25 * k;
}

BoundSums CrossSumsWithEnergy(FloatChainStation* stations, int n, int32_t w, int32_t n_lags,
                              BoundSums kind) {
  const bool bf16 = kind == BoundSums::kBrainFloat && BestBoundSums() == BoundSums::kBrainFloat &&
                    w <= kMaxBrainFloatWindow;
  if (n_lags <= 0 || w <= 0) return bf16 ? BoundSums::kBrainFloat : BoundSums::kSingle;
  const int64_t len = int64_t{n_lags} + w - 1;
  for (int k = 0; k < n; ++k) {
    FloatChainStation& st = stations[k];
    if (bf16) {
      BrainFloatPairs(st.x, len, st.pairs);
      CrossSumsBf16(st.pairs, st.x, st.y, w, n_lags, st.c);
    } else {
      CrossSumsFloatAvx512(st.x, st.y, w, n_lags, st.c);
    }
  }
  std::vector<double> scratch(8 * (static_cast<std::size_t>(kChainBlock) + static_cast<std::size_t>(w) + 1));
  double max_square[8];
  for (int k = 0; k < n; k += 8) {
    const int m = std::min(8, n - k);
    Chains(stations + k, m, w, n_lags, scratch.data(), max_square);
    for (int s = 0; s < m; ++s) stations[k + s].drift = ChainDrift(max_square[s], w, n_lags);
  }
  return bf16 ? BoundSums::kBrainFloat : BoundSums::kSingle;
}

void CrossSumsFloat(const float* x, const float* y, int32_t w, int32_t n_lags, float* c) {
  CrossSumsFloatAvx512(x, y, w, n_lags, c);
}

void BoundRowFromFloatSums(const float* c, double e_t, const double* er, double drift,
                           double margin, int32_t n_lags, float* row) {
  BoundRowAvx512(c, e_t, er, drift, margin, n_lags, row);
}

}  // namespace qae
