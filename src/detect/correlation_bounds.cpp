#include "detect/correlation_bounds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
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

// BrainFloatPairsOf (correlation_bounds.h).
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

// The largest square of a segment's n samples (infinite, or not a number,
// when a sample is). Squaring is monotone in |x| and exact in double, so
// it is the square of the largest |x|; and |x| compares as its bits do,
// with every NaN above infinity, so an integer maximum finds it.
__attribute__((target("avx512f"))) double LargestSquare(const float* x, int64_t n) {
  const __m512i magnitude = _mm512_set1_epi32(0x7fffffff);
  __m512i top = _mm512_setzero_si512();
  for (int64_t i = 0; i < n; i += 16) {
    const int64_t left = n - i;
    const __mmask16 lanes = left >= 16 ? static_cast<__mmask16>(0xffff)
                                       : static_cast<__mmask16>((1u << left) - 1u);
    const __m512i bits = _mm512_maskz_loadu_epi32(lanes, x + i);
    top = _mm512_maskz_max_epu32(kAll16, top, _mm512_and_si512(bits, magnitude));
  }
  alignas(64) uint32_t lanes_top[16];
  _mm512_store_si512(lanes_top, top);
  const uint32_t largest = *std::max_element(lanes_top, lanes_top + 16);
  float f;
  std::memcpy(&f, &largest, sizeof f);
  const double d = static_cast<double>(f);
  return d * d;
}

// 8 x 8 doubles transposed: out[j] lane i = in[i] lane j.
__attribute__((target("avx512f"), always_inline)) inline void Transpose8x8(const __m512d* in,
                                                                           __m512d* out) {
  __m512d t[8];
  for (int k = 0; k < 8; k += 2) {
    t[k] = _mm512_maskz_unpacklo_pd(kAll, in[k], in[k + 1]);
    t[k + 1] = _mm512_maskz_unpackhi_pd(kAll, in[k], in[k + 1]);
  }
  const __m512i lo = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i hi = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  __m512d u[8];
  for (int k = 0; k < 8; k += 4) {
    u[k] = _mm512_permutex2var_pd(t[k], lo, t[k + 2]);
    u[k + 1] = _mm512_permutex2var_pd(t[k], hi, t[k + 2]);
    u[k + 2] = _mm512_permutex2var_pd(t[k + 1], lo, t[k + 3]);
    u[k + 3] = _mm512_permutex2var_pd(t[k + 1], hi, t[k + 3]);
  }
  // u[0..3] hold columns {0,4}, {2,6}, {1,5}, {3,7} of rows 0-3, u[4..7]
  // the same of rows 4-7.
  constexpr int kColumn[4] = {0, 2, 1, 3};
  for (int k = 0; k < 4; ++k) {
    out[kColumn[k]] = _mm512_maskz_shuffle_f64x2(kAll, u[k], u[k + 4], 0x44);
    out[kColumn[k] + 4] = _mm512_maskz_shuffle_f64x2(kAll, u[k], u[k + 4], 0xee);
  }
}

// Up to 16 stations' chains as two vector chains, a station to a lane:
// every lane performs its station's sequence of operations, (e - out) + in
// in double, so each lane's bits are the scalar chain's, and the two chains
// overlap their latencies. The squares are made 8 samples x 8 stations at
// a time and kept transposed (a sample's squares of G x 8 stations in G
// vectors) in a ring of `ring_size` samples (a power of two of at least
// w + 16), where the chains read them w samples apart.
constexpr int kChainLanes = 8;

int64_t ChainRingSize(int32_t w) {
  int64_t size = 64;
  while (size < int64_t{w} + 2 * kChainLanes) size *= 2;
  return size;
}

// The squares of samples [from, from + 8) of stations st[0 .. 8) (0 from
// `len` on, and for stations m and above) into the ring, each sample's 8
// at slot + i * step.
__attribute__((target("avx512f"), always_inline)) inline void SquaresInLanes(
    const FloatChainStation* st, int m, int64_t from, int64_t len, double* slot,
    int64_t step) {
  const int64_t left = len - from;
  const __mmask16 lanes = left >= 8  ? static_cast<__mmask16>(0xff)
                          : left > 0 ? static_cast<__mmask16>((1u << left) - 1u)
                                     : static_cast<__mmask16>(0);
  __m512d sq[8];
  for (int s = 0; s < kChainLanes; ++s) {
    __m256 f = _mm256_setzero_ps();
    if (s < m && lanes == 0xff) {
      f = _mm256_loadu_ps(st[s].x + from);
    } else if (s < m) {
      f = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(
          kAll, _mm512_castps_pd(_mm512_maskz_loadu_ps(lanes, st[s].x + from)), 0));
    }
    const __m512d v = _mm512_maskz_cvtps_pd(kAll, f);
    sq[s] = _mm512_mul_pd(v, v);
  }
  __m512d by_sample[8];
  Transpose8x8(sq, by_sample);
  for (int i = 0; i < 8; ++i) _mm512_store_pd(slot + i * step, by_sample[i]);
}

template <int G>
__attribute__((target("avx512f"), always_inline)) inline void ChainsInLanes(
    FloatChainStation* st, int m, int32_t w, int32_t n_lags, double* ring, int64_t ring_size) {
  constexpr int64_t kStep = int64_t{G} * kChainLanes;  // doubles per sample
  // Samples 0 .. n_lags + w - 2 enter the chains.
  const int64_t len = int64_t{n_lags} + w - 1;
  const int64_t wrap = ring_size - 1;
  int64_t filled = 0;  // samples [0, filled) have their squares in the ring
  auto fill_to = [&](int64_t need) __attribute__((target("avx512f"), always_inline)) {
    for (; filled < need; filled += 8) {
      for (int g = 0; g < G; ++g) {
        SquaresInLanes(st + g * kChainLanes, m - g * kChainLanes, filled, len,
                       ring + (filled & wrap) * kStep + g * kChainLanes, kStep);
      }
    }
  };
  auto at = [&](int64_t u) { return ring + (u & wrap) * kStep; };
  __m512d e[G];
  __m512d by_lag[G][8];
  // er[0]: the window's squares summed in order from 0.
  fill_to(int64_t{w} + 8);
  for (int g = 0; g < G; ++g) e[g] = _mm512_setzero_pd();
  for (int32_t j = 0; j < w; ++j) {
    for (int g = 0; g < G; ++g) e[g] = _mm512_add_pd(e[g], _mm512_load_pd(at(j) + g * 8));
  }
  auto store = [&](int32_t t0) __attribute__((target("avx512f"), always_inline)) {
    const int32_t left = n_lags - t0;
    const __mmask8 lanes = left >= 8 ? kAll : static_cast<__mmask8>((1u << left) - 1u);
    for (int g = 0; g < G; ++g) {
      __m512d by_station[8];
      Transpose8x8(by_lag[g], by_station);
      for (int s = 0; s < kChainLanes && g * kChainLanes + s < m; ++s) {
        _mm512_mask_storeu_pd(st[g * kChainLanes + s].er + t0, lanes, by_station[s]);
      }
    }
  };
  auto step = [&](int64_t t, int i) __attribute__((target("avx512f"), always_inline)) {
    const double* out = at(t - 1);
    const double* in = at(t + w - 1);
    for (int g = 0; g < G; ++g) {
      e[g] = _mm512_add_pd(_mm512_sub_pd(e[g], _mm512_load_pd(out + g * 8)),
                           _mm512_load_pd(in + g * 8));
      by_lag[g][i] = e[g];
    }
  };
  for (int g = 0; g < G; ++g) by_lag[g][0] = e[g];
  for (int i = 1; i < 8; ++i) step(i, i);
  store(0);
  for (int32_t t0 = 8; t0 < n_lags; t0 += 8) {
    fill_to(int64_t{t0} + 8 + w);
    for (int i = 0; i < 8; ++i) step(int64_t{t0} + i, i);
    store(t0);
  }
}

__attribute__((target("avx512f"))) void ChainsOfEight(FloatChainStation* st, int m, int32_t w,
                                                      int32_t n_lags, double* ring,
                                                      int64_t ring_size) {
  ChainsInLanes<1>(st, m, w, n_lags, ring, ring_size);
}

__attribute__((target("avx512f"))) void ChainsOfSixteen(FloatChainStation* st, int m, int32_t w,
                                                        int32_t n_lags, double* ring,
                                                        int64_t ring_size) {
  ChainsInLanes<2>(st, m, w, n_lags, ring, ring_size);
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

// Pairs [at, at + 16), those from `limit` on read as 0.
__attribute__((target("avx512f"), always_inline)) inline __m512i LoadPairs(const uint32_t* pairs,
                                                                           int64_t at,
                                                                           int64_t limit) {
  if (at + 16 <= limit) return _mm512_loadu_si512(pairs + at);
  const int64_t left = std::max<int64_t>(limit - at, 0);
  return _mm512_maskz_loadu_epi32(static_cast<__mmask16>((1u << left) - 1u), pairs + at);
}

// Window pair 8 m + J of A x 16 lags: the lags' pairs are the vectors b
// (pairs from 16 m on) moved by 2 J entries.
template <int A, int J>
__attribute__((target("avx512f,avx512bf16"), always_inline)) inline void PairStep(
    __m512* acc, const __m512i* b, uint32_t ypair) {
  const __m512i yb = _mm512_set1_epi32(static_cast<int32_t>(ypair));
  __m512bh ybh;
  std::memcpy(&ybh, &yb, sizeof ybh);
  for (int a = 0; a < A; ++a) {
    const __m512i xi = J == 0 ? b[a] : _mm512_maskz_alignr_epi32(kAll16, b[a + 1], b[a], 2 * J);
    __m512bh xb;
    std::memcpy(&xb, &xi, sizeof xb);
    acc[a] = _mm512_dpbf16_ps(acc[a], xb, ybh);
  }
}

template <int A, int... J>
__attribute__((target("avx512f,avx512bf16"), always_inline)) inline void EightPairs(
    __m512* acc, const __m512i* b, const uint32_t* ypair, int32_t pairs_left,
    std::integer_sequence<int, J...>) {
  ((J < pairs_left ? PairStep<A, J>(acc, b, ypair[2 * J]) : void()), ...);
}

// Cross sums of A x 16 lags from `t` (lanes `last` of the last vector
// only): one instruction adds two window samples of 16 lags, A independent
// sums cover its latency, and each pair vector is loaded once for 8 window
// pairs and moved into place in registers. `limit` is the number of pairs.
template <int A>
__attribute__((target("avx512f,avx512bf16"), always_inline)) inline void BrainFloatBlock(
    const uint32_t* pairs, int64_t t, int64_t limit, const uint32_t* ypair, int32_t n_pairs,
    __mmask16 last, float* c) {
  __m512 acc[A];
  for (int a = 0; a < A; ++a) acc[a] = _mm512_setzero_ps();
  for (int32_t p0 = 0; p0 < n_pairs; p0 += 8) {
    __m512i b[A + 1];
    for (int k = 0; k <= A; ++k) b[k] = LoadPairs(pairs, t + 2 * int64_t{p0} + 16 * k, limit);
    EightPairs<A>(acc, b, ypair + 2 * p0, n_pairs - p0, std::make_integer_sequence<int, 8>());
  }
  for (int a = 0; a + 1 < A; ++a) _mm512_storeu_ps(c + t + 16 * a, acc[a]);
  _mm512_mask_storeu_ps(c + t + 16 * (A - 1), last, acc[A - 1]);
}

// Cross sums of every lag from brain-float pairs (the pairs of samples
// n_lags + w - 2 and on are not read for lags past the end).
__attribute__((target("avx512f,avx512bf16"))) void CrossSumsBf16(const uint32_t* pairs,
                                                                 const float* y, int32_t w,
                                                                 int32_t n_lags, float* c) {
  const int32_t n_pairs = (w + 1) / 2;
  alignas(64) float yy[2 * kMaxBrainFloatWindow + 16];
  alignas(64) uint32_t ypair[2 * kMaxBrainFloatWindow + 16];
  for (int32_t j = 0; j <= 2 * n_pairs; ++j) yy[j] = j < w ? y[j] : 0.0f;
  BrainFloatPairs(yy, 2 * n_pairs, ypair);
  const int64_t limit = int64_t{n_lags} + w - 1;
  int32_t t = 0;
  for (; t + 192 <= n_lags; t += 192) {
    BrainFloatBlock<12>(pairs, t, limit, ypair, n_pairs, kAll16, c);
  }
  for (; t + 16 <= n_lags; t += 16) BrainFloatBlock<1>(pairs, t, limit, ypair, n_pairs, kAll16, c);
  if (t < n_lags) {
    const auto last = static_cast<__mmask16>((1u << (n_lags - t)) - 1u);
    BrainFloatBlock<1>(pairs, t, limit, ypair, n_pairs, last, c);
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
  // Chain values must hold twice the drift (a drift that is not a number
  // trusts none) and lie far above the smallest normal numbers.
  const double least_chain = drift == drift ? std::max(2.0 * drift, 0x1p-200) : drift;
  const __m512d least_er = _mm512_set1_pd(least_chain);
  const __mmask8 all = template_trusted ? kAll : static_cast<__mmask8>(0);
  int32_t t = 0;
  for (; t + 8 <= n; t += 8) {
    const __m512d e_r = _mm512_loadu_pd(er + t);
    const __m512d energy = _mm512_mul_pd(et, e_r);
    const __m512d cd = _mm512_maskz_cvtps_pd(kAll, _mm256_loadu_ps(c + t));
    const __m512d v = _mm512_mul_pd(cd, _mm512_maskz_rsqrt14_pd(kAll, energy));
    const __m512d av = _mm512_abs_pd(v);
    const __m512d u = _mm512_add_pd(_mm512_add_pd(v, _mm512_mul_pd(av, relative)), absolute);
    // With a finite sum and the energy in range, the estimate and u are
    // finite too.
    __mmask8 trusted = _mm512_mask_cmp_pd_mask(all, energy, lo, _CMP_GE_OQ);
    trusted = _mm512_mask_cmp_pd_mask(trusted, energy, hi, _CMP_LE_OQ);
    trusted = _mm512_mask_cmp_pd_mask(trusted, e_r, least_er, _CMP_GE_OQ);
    trusted = _mm512_mask_cmp_pd_mask(trusted, _mm512_abs_pd(cd), max_finite, _CMP_LE_OQ);
    // Untrusted: +inf, or 0 where the energy is not positive (or not a
    // number), as the row is there.
    const __m512d untrusted =
        _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(energy, zero, _CMP_GT_OQ), inf);
    _mm256_storeu_ps(row + t,
                     _mm512_maskz_cvtpd_ps(kAll, _mm512_mask_blend_pd(trusted, untrusted, u)));
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
      const uint32_t* pairs = st.readyPairs;
      if (pairs == nullptr) {
        BrainFloatPairs(st.x, len, st.pairs);
        pairs = st.pairs;
      }
      CrossSumsBf16(pairs, st.y, w, n_lags, st.c);
    } else {
      CrossSumsFloatAvx512(st.x, st.y, w, n_lags, st.c);
    }
  }
  const int64_t ring_size = ChainRingSize(w);
  // The ring's vectors on whole cache lines; every entry is written before
  // it is read.
  const auto ring_store = std::make_unique_for_overwrite<double[]>(
      static_cast<std::size_t>(ring_size + 1) * 2 * kChainLanes);
  double* ring = ring_store.get();
  while (reinterpret_cast<uintptr_t>(ring) % 64 != 0) ++ring;
  for (int k = 0; k < n; k += 2 * kChainLanes) {
    const int m = std::min(2 * kChainLanes, n - k);
    if (m > kChainLanes) {
      ChainsOfSixteen(stations + k, m, w, n_lags, ring, ring_size);
    } else {
      ChainsOfEight(stations + k, m, w, n_lags, ring, ring_size);
    }
  }
  for (int k = 0; k < n; ++k) {
    FloatChainStation& st = stations[k];
    st.drift = ChainDrift(LargestSquare(st.x, len), w, n_lags);
  }
  return bf16 ? BoundSums::kBrainFloat : BoundSums::kSingle;
}

void BrainFloatPairsOf(const float* x, int64_t n, uint32_t* pairs) { BrainFloatPairs(x, n, pairs); }

void CrossSumsFloat(const float* x, const float* y, int32_t w, int32_t n_lags, float* c) {
  CrossSumsFloatAvx512(x, y, w, n_lags, c);
}

void BoundRowFromFloatSums(const float* c, double e_t, const double* er, double drift,
                           double margin, int32_t n_lags, float* row) {
  BoundRowAvx512(c, e_t, er, drift, margin, n_lags, row);
}

}  // namespace qae
