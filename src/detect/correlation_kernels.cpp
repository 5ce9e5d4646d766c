#include "detect/correlation_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <immintrin.h>

// The generic vector templates below are always inlined into functions
// compiled for the matching instruction set, so no vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace qae {

namespace {

template <int N>
using DoubleVec __attribute__((vector_size(N * 8))) = double;
template <int N>
using FloatVec __attribute__((vector_size(N * 4))) = float;

template <int N>
__attribute__((always_inline)) inline void Store(double* p, DoubleVec<N> v) {
  std::memcpy(p, &v, sizeof v);
}

template <int N>
__attribute__((always_inline)) inline DoubleVec<N> Load(const double* p) {
  DoubleVec<N> v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <int N>
__attribute__((always_inline)) inline FloatVec<N> LoadFloats(const float* p) {
  FloatVec<N> v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The scalar loops, the reference of every vector version.
void PlainScalar(const double* x, const double* y, int32_t w, int32_t from, int32_t n_lags,
                 double* cxy) {
  for (int32_t t = from; t < n_lags; ++t) {
    double acc = 0.0;
    for (int32_t j = 0; j < w; ++j) acc += x[t + j] * y[j];
    cxy[t] = acc;
  }
}

void DemeanedScalar(const double* x, const double* yc, const double* mean_r, int32_t w,
                    int32_t from, int32_t n_lags, double* cxy, double* er) {
  for (int32_t t = from; t < n_lags; ++t) {
    double c = 0.0;
    double e = 0.0;
    for (int32_t j = 0; j < w; ++j) {
      const double d = x[t + j] - mean_r[t];
      c += d * yc[j];
      e += d * d;
    }
    cxy[t] = c;
    er[t] = e;
  }
}

// The running window energy for lags [from, to): er[t] from er[t - 1], one
// sample out and one in.
__attribute__((always_inline)) inline void EnergyChain(const double* x, int32_t w, int32_t from,
                                                       int32_t to, double* er) {
  double e = er[from - 1];
  for (int32_t t = from; t < to; ++t) {
    const double out = x[t - 1];
    const double in = x[t + w - 1];
    e = e - out * out + in * in;
    er[t] = e;
  }
}

// Four vectors of lags at a time keep enough independent sum chains in
// flight to hide the latency of the adds. With `er`, the running energy of
// each block's lags is computed along the way, one step per window sample:
// a dependent chain of scalar adds that the processor runs between the
// vector operations.
template <int N>
__attribute__((always_inline)) inline void PlainVec(const double* x, const double* y, int32_t w,
                                                    int32_t n_lags, double* cxy,
                                                    double* er = nullptr) {
  constexpr int32_t kBlock = 4 * N;
  double e = er ? er[0] : 0.0;
  auto step = [&](int32_t u) {
    if (u < 1) return;
    const double out = x[u - 1];
    const double in = x[u + w - 1];
    e = e - out * out + in * in;
    er[u] = e;
  };
  const int32_t with_chain = std::min(w, kBlock);
  int32_t t = 0;
  for (; t + kBlock <= n_lags; t += kBlock) {
    DoubleVec<N> a0 = {};
    DoubleVec<N> a1 = {};
    DoubleVec<N> a2 = {};
    DoubleVec<N> a3 = {};
    auto accumulate = [&](int32_t j) {
      const double yj = y[j];
      a0 += Load<N>(x + t + j) * yj;
      a1 += Load<N>(x + t + N + j) * yj;
      a2 += Load<N>(x + t + 2 * N + j) * yj;
      a3 += Load<N>(x + t + 3 * N + j) * yj;
    };
    int32_t j = 0;
    if (er) {
      for (; j < with_chain; ++j) {
        accumulate(j);
        step(t + j);
      }
    }
    for (; j < w; ++j) accumulate(j);
    if (er) {
      for (int32_t i = with_chain; i < kBlock; ++i) step(t + i);
    }
    Store<N>(cxy + t, a0);
    Store<N>(cxy + t + N, a1);
    Store<N>(cxy + t + 2 * N, a2);
    Store<N>(cxy + t + 3 * N, a3);
  }
  PlainScalar(x, y, w, t, n_lags, cxy);
  if (er) {
    for (; t < n_lags; ++t) step(t);
  }
}

template <int N>
__attribute__((always_inline)) inline void DemeanedVec(const double* x, const double* yc,
                                                       const double* mean_r, int32_t w,
                                                       int32_t n_lags, double* cxy, double* er) {
  int32_t t = 0;
  for (; t + 2 * N <= n_lags; t += 2 * N) {
    const DoubleVec<N> m0 = Load<N>(mean_r + t);
    const DoubleVec<N> m1 = Load<N>(mean_r + t + N);
    DoubleVec<N> c0 = {};
    DoubleVec<N> e0 = {};
    DoubleVec<N> c1 = {};
    DoubleVec<N> e1 = {};
    for (int32_t j = 0; j < w; ++j) {
      const double ycj = yc[j];
      const DoubleVec<N> d0 = Load<N>(x + t + j) - m0;
      const DoubleVec<N> d1 = Load<N>(x + t + N + j) - m1;
      c0 += d0 * ycj;
      e0 += d0 * d0;
      c1 += d1 * ycj;
      e1 += d1 * d1;
    }
    Store<N>(cxy + t, c0);
    Store<N>(er + t, e0);
    Store<N>(cxy + t + N, c1);
    Store<N>(er + t + N, e1);
  }
  DemeanedScalar(x, yc, mean_r, w, t, n_lags, cxy, er);
}

// Square root and division are correctly rounded in every width, so the
// vector loop gives the scalar bits.
__attribute__((always_inline)) inline void NormaliseLoop(const double* cxy, double e_t,
                                                         const double* er, int32_t n, float* row) {
  for (int32_t t = 0; t < n; ++t) {
    const double energy = e_t * er[t];
    row[t] = energy > 0.0 ? static_cast<float>(cxy[t] / __builtin_sqrt(energy)) : 0.0f;
  }
}

__attribute__((target("avx2"))) void PlainAvx2(const double* x, const double* y, int32_t w,
                                               int32_t n, double* cxy) {
  PlainVec<4>(x, y, w, n, cxy);
}
__attribute__((target("avx512f"))) void PlainAvx512(const double* x, const double* y, int32_t w,
                                                    int32_t n, double* cxy) {
  PlainVec<8>(x, y, w, n, cxy);
}
__attribute__((target("avx2"))) void PlainEnergyAvx2(const double* x, const double* y, int32_t w,
                                                     int32_t n, double* cxy, double* er) {
  PlainVec<4>(x, y, w, n, cxy, er);
}
__attribute__((target("avx512f"))) void PlainEnergyAvx512(const double* x, const double* y,
                                                          int32_t w, int32_t n, double* cxy,
                                                          double* er) {
  PlainVec<8>(x, y, w, n, cxy, er);
}
__attribute__((target("avx2"))) void DemeanedAvx2(const double* x, const double* yc,
                                                  const double* m, int32_t w, int32_t n,
                                                  double* cxy, double* er) {
  DemeanedVec<4>(x, yc, m, w, n, cxy, er);
}
__attribute__((target("avx512f"))) void DemeanedAvx512(const double* x, const double* yc,
                                                       const double* m, int32_t w, int32_t n,
                                                       double* cxy, double* er) {
  DemeanedVec<8>(x, yc, m, w, n, cxy, er);
}
__attribute__((target("avx2"))) void NormaliseAvx2(const double* c, double e_t, const double* er,
                                                   int32_t n, float* row) {
  NormaliseLoop(c, e_t, er, n, row);
}
__attribute__((target("avx512f"))) void NormaliseAvx512(const double* c, double e_t,
                                                        const double* er, int32_t n, float* row) {
  NormaliseLoop(c, e_t, er, n, row);
}
void NormaliseScalar(const double* c, double e_t, const double* er, int32_t n, float* row) {
  NormaliseLoop(c, e_t, er, n, row);
}

// The estimate r = cxy * rsqrt14(energy) is within 2^-14 of cxy / sqrt(energy)
// for energies well inside the normal range; widened by 2^-10 of itself (and
// a tiny absolute term for results near underflow) it lies above the
// correctly rounded quotient, and rounding to float keeps that order.
__attribute__((target("avx512f"))) void UpperBoundAvx512(const double* cxy, double e_t,
                                                         const double* er, int32_t n, float* row) {
  const __m512d et = _mm512_set1_pd(e_t);
  const __m512d zero = _mm512_setzero_pd();
  const __m512d lo = _mm512_set1_pd(0x1p-1000);
  const __m512d hi = _mm512_set1_pd(0x1p+1000);
  const __m512d inf = _mm512_set1_pd(__builtin_inf());
  const __m512d margin = _mm512_set1_pd(0x1p-10);
  const __m512d tiny = _mm512_set1_pd(1e-30);
  int32_t t = 0;
  for (; t + 8 <= n; t += 8) {
    const __m512d energy = _mm512_mul_pd(et, _mm512_loadu_pd(er + t));
    const __m512d c = _mm512_loadu_pd(cxy + t);
    const __m512d v = _mm512_mul_pd(c, _mm512_maskz_rsqrt14_pd(0xff, energy));
    const __m512d av = _mm512_abs_pd(v);
    __m512d u = _mm512_add_pd(_mm512_add_pd(v, _mm512_mul_pd(av, margin)), tiny);
    // Outside the estimate's range: no useful bound.
    const __mmask8 in_range = _mm512_cmp_pd_mask(energy, lo, _CMP_GE_OQ) &
                              _mm512_cmp_pd_mask(energy, hi, _CMP_LE_OQ);
    u = _mm512_mask_blend_pd(in_range, inf, u);
    // -inf plus its margin is not a number: +inf bounds it.
    u = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(u, u, _CMP_UNORD_Q), u, inf);
    // A NaN correlation gives a NaN row either way.
    u = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(c, c, _CMP_UNORD_Q), u, c);
    // Not a positive energy: the row is 0.
    u = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(energy, zero, _CMP_GT_OQ), zero, u);
    _mm256_storeu_ps(row + t, _mm512_maskz_cvtpd_ps(0xff, u));
  }
  for (; t < n; ++t) {
    const double energy = e_t * er[t];
    row[t] = energy > 0.0 ? static_cast<float>(cxy[t] / __builtin_sqrt(energy)) : 0.0f;
  }
}

// Station by station over each one's overlap with [begin, end): the
// reference's order, for the lags where some station is shifted off its row.
__attribute__((always_inline)) inline void StackByStation(const float* rows, std::size_t stride,
                                                          const int32_t* shifts, int n,
                                                          int32_t lags, int64_t begin,
                                                          int64_t end, float* stack) {
  for (int64_t q = begin; q < end; ++q) stack[q] = 0.0f;
  for (int k = 0; k < n; ++k) {
    const int64_t s = shifts[k];
    const int64_t lo = std::max<int64_t>(begin, -s);
    const int64_t hi = std::min<int64_t>(end, int64_t{lags} - s);
    const float* row = rows + static_cast<std::size_t>(k) * stride;
    for (int64_t q = lo; q < hi; ++q) stack[q] += row[q + s];
  }
}

// Lags [q, q + count) of a stack, count below four vectors' width, every
// station inside its row: four registers of sums, each from 0 through the
// stations in order and independent of the others, the lanes past `count`
// neither read nor stored.
__attribute__((target("avx512f"))) void StackTailAvx512(const float* const* base, int n, int64_t q,
                                                        int64_t count, float* stack) {
  __mmask16 lanes[4];
  for (int i = 0; i < 4; ++i) {
    const int64_t c = std::clamp<int64_t>(count - 16 * i, 0, 16);
    lanes[i] = static_cast<__mmask16>((uint32_t{1} << c) - 1u);
  }
  __m512 a0 = _mm512_setzero_ps();
  __m512 a1 = _mm512_setzero_ps();
  __m512 a2 = _mm512_setzero_ps();
  __m512 a3 = _mm512_setzero_ps();
  for (int k = 0; k < n; ++k) {
    const float* p = base[k] + q;
    a0 = _mm512_add_ps(a0, _mm512_maskz_loadu_ps(lanes[0], p));
    a1 = _mm512_add_ps(a1, _mm512_maskz_loadu_ps(lanes[1], p + 16));
    a2 = _mm512_add_ps(a2, _mm512_maskz_loadu_ps(lanes[2], p + 32));
    a3 = _mm512_add_ps(a3, _mm512_maskz_loadu_ps(lanes[3], p + 48));
  }
  _mm512_mask_storeu_ps(stack + q, lanes[0], a0);
  _mm512_mask_storeu_ps(stack + q + 16, lanes[1], a1);
  _mm512_mask_storeu_ps(stack + q + 32, lanes[2], a2);
  _mm512_mask_storeu_ps(stack + q + 48, lanes[3], a3);
}
__attribute__((target("avx2"))) void StackTailAvx2(const float* const* base, int n, int64_t q,
                                                   int64_t count, float* stack) {
  const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  __m256i lanes[4];
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<int32_t>(std::clamp<int64_t>(count - 8 * i, 0, 8));
    lanes[i] = _mm256_cmpgt_epi32(_mm256_set1_epi32(c), lane_index);
  }
  __m256 a0 = _mm256_setzero_ps();
  __m256 a1 = _mm256_setzero_ps();
  __m256 a2 = _mm256_setzero_ps();
  __m256 a3 = _mm256_setzero_ps();
  for (int k = 0; k < n; ++k) {
    const float* p = base[k] + q;
    a0 = _mm256_add_ps(a0, _mm256_maskload_ps(p, lanes[0]));
    a1 = _mm256_add_ps(a1, _mm256_maskload_ps(p + 8, lanes[1]));
    a2 = _mm256_add_ps(a2, _mm256_maskload_ps(p + 16, lanes[2]));
    a3 = _mm256_add_ps(a3, _mm256_maskload_ps(p + 24, lanes[3]));
  }
  _mm256_maskstore_ps(stack + q, lanes[0], a0);
  _mm256_maskstore_ps(stack + q + 8, lanes[1], a1);
  _mm256_maskstore_ps(stack + q + 16, lanes[2], a2);
  _mm256_maskstore_ps(stack + q + 24, lanes[3], a3);
}

// Where every station lies inside its row, each lag's sum runs in a
// register from 0 through the stations in order, which is the same
// sequence of float additions as the station-by-station loop. `Tail` takes
// the lags short of four whole vectors (with masked loads), so that short
// ranges stay in registers too.
template <int N, auto Tail>
__attribute__((always_inline)) inline void StackLoop(const float* rows, std::size_t stride,
                                                     const int32_t* shifts, int n, int32_t lags,
                                                     int32_t begin, int32_t end, float inv_n,
                                                     float* stack) {
  int64_t full_lo = begin;
  int64_t full_hi = end;
  const float* base[64];
  const bool registers = n <= 64;
  for (int k = 0; k < n && registers; ++k) {
    const int64_t s = shifts[k];
    full_lo = std::max<int64_t>(full_lo, -s);
    full_hi = std::min<int64_t>(full_hi, int64_t{lags} - s);
    base[k] = rows + static_cast<std::size_t>(k) * stride + s;
  }
  if (!registers || full_hi <= full_lo) {
    StackByStation(rows, stride, shifts, n, lags, begin, end, stack);
  } else {
    StackByStation(rows, stride, shifts, n, lags, begin, full_lo, stack);
    StackByStation(rows, stride, shifts, n, lags, full_hi, end, stack);
    int64_t q = full_lo;
    // Four independent sums keep the adds from waiting on each other.
    for (; q + 4 * N <= full_hi; q += 4 * N) {
      FloatVec<N> a0 = {};
      FloatVec<N> a1 = {};
      FloatVec<N> a2 = {};
      FloatVec<N> a3 = {};
      for (int k = 0; k < n; ++k) {
        FloatVec<N> v0;
        FloatVec<N> v1;
        FloatVec<N> v2;
        FloatVec<N> v3;
        std::memcpy(&v0, base[k] + q, sizeof v0);
        std::memcpy(&v1, base[k] + q + N, sizeof v1);
        std::memcpy(&v2, base[k] + q + 2 * N, sizeof v2);
        std::memcpy(&v3, base[k] + q + 3 * N, sizeof v3);
        a0 += v0;
        a1 += v1;
        a2 += v2;
        a3 += v3;
      }
      std::memcpy(stack + q, &a0, sizeof a0);
      std::memcpy(stack + q + N, &a1, sizeof a1);
      std::memcpy(stack + q + 2 * N, &a2, sizeof a2);
      std::memcpy(stack + q + 3 * N, &a3, sizeof a3);
    }
    if (q < full_hi) Tail(base, n, q, full_hi - q, stack);
  }
  for (int32_t q = begin; q < end; ++q) stack[q] *= inv_n;
}

template <typename Op>
__attribute__((always_inline)) inline void Elementwise(int64_t n, Op op) {
  for (int64_t i = 0; i < n; ++i) op(i);
}

__attribute__((target("avx512f"))) void AddAvx512(float* d, const float* s, int64_t n) {
  Elementwise(n, [&](int64_t i) { d[i] += s[i]; });
}
__attribute__((target("avx2"))) void AddAvx2(float* d, const float* s, int64_t n) {
  Elementwise(n, [&](int64_t i) { d[i] += s[i]; });
}
void AddScalar(float* d, const float* s, int64_t n) {
  Elementwise(n, [&](int64_t i) { d[i] += s[i]; });
}
__attribute__((target("avx512f"))) void StackAvx512(const float* r, std::size_t stride,
                                                    const int32_t* sh, int n, int32_t lags,
                                                    int32_t b, int32_t e, float inv_n, float* st) {
  StackLoop<16, StackTailAvx512>(r, stride, sh, n, lags, b, e, inv_n, st);
}
__attribute__((target("avx2"))) void StackAvx2(const float* r, std::size_t stride,
                                               const int32_t* sh, int n, int32_t lags, int32_t b,
                                               int32_t e, float inv_n, float* st) {
  StackLoop<8, StackTailAvx2>(r, stride, sh, n, lags, b, e, inv_n, st);
}
void StackScalar(const float* r, std::size_t stride, const int32_t* sh, int n, int32_t lags,
                 int32_t b, int32_t e, float inv_n, float* st) {
  StackByStation(r, stride, sh, n, lags, b, e, st);
  for (int32_t q = b; q < e; ++q) st[q] *= inv_n;
}
__attribute__((target("avx512f"))) void MaxAvx512(float* d, const float* a, const float* b,
                                                  int64_t n) {
  Elementwise(n, [&](int64_t i) { d[i] = a[i] < b[i] ? b[i] : a[i]; });
}
__attribute__((target("avx2"))) void MaxAvx2(float* d, const float* a, const float* b, int64_t n) {
  Elementwise(n, [&](int64_t i) { d[i] = a[i] < b[i] ? b[i] : a[i]; });
}
void MaxScalar(float* d, const float* a, const float* b, int64_t n) {
  Elementwise(n, [&](int64_t i) { d[i] = a[i] < b[i] ? b[i] : a[i]; });
}

// Four vectors of lags at a time, each station's window maximum built in a
// register from one load per shift.
template <int N>
__attribute__((always_inline)) inline void WindowMaxSumLoop(const float* rows, std::size_t stride,
                                                            const int32_t* lo, const int32_t* hi,
                                                            int n, int32_t begin, int32_t end,
                                                            float* bound) {
  using V = FloatVec<N>;
  int64_t q = begin;
  for (; q + 2 * N <= end; q += 2 * N) {
    V sum0 = {};
    V sum1 = {};
    for (int k = 0; k < n; ++k) {
      const float* row = rows + static_cast<std::size_t>(k) * stride + q;
      V m0 = LoadFloats<N>(row + lo[k]);
      V m1 = LoadFloats<N>(row + lo[k] + N);
      for (int32_t s = lo[k] + 1; s <= hi[k]; ++s) {
        const V v0 = LoadFloats<N>(row + s);
        const V v1 = LoadFloats<N>(row + s + N);
        m0 = m0 < v0 ? v0 : m0;
        m1 = m1 < v1 ? v1 : m1;
      }
      sum0 += m0;
      sum1 += m1;
    }
    std::memcpy(bound + q, &sum0, sizeof sum0);
    std::memcpy(bound + q + N, &sum1, sizeof sum1);
  }
  for (; q < end; ++q) {
    float sum = 0.0f;
    for (int k = 0; k < n; ++k) {
      const float* row = rows + static_cast<std::size_t>(k) * stride + q;
      float m = row[lo[k]];
      for (int32_t s = lo[k] + 1; s <= hi[k]; ++s) m = m < row[s] ? row[s] : m;
      sum += m;
    }
    bound[q] = sum;
  }
}

__attribute__((target("avx512f"))) void WindowMaxSumAvx512(const float* r, std::size_t stride,
                                                           const int32_t* lo, const int32_t* hi,
                                                           int n, int32_t b, int32_t e,
                                                           float* out) {
  WindowMaxSumLoop<16>(r, stride, lo, hi, n, b, e, out);
}
__attribute__((target("avx2"))) void WindowMaxSumAvx2(const float* r, std::size_t stride,
                                                      const int32_t* lo, const int32_t* hi, int n,
                                                      int32_t b, int32_t e, float* out) {
  WindowMaxSumLoop<8>(r, stride, lo, hi, n, b, e, out);
}
void WindowMaxSumScalar(const float* r, std::size_t stride, const int32_t* lo, const int32_t* hi,
                        int n, int32_t b, int32_t e, float* out) {
  WindowMaxSumLoop<1>(r, stride, lo, hi, n, b, e, out);
}

// One lag of one stack: stations in order, those shifted off their row
// adding nothing.
bool StackAboveScalar(const float* rows, std::size_t stride, const int32_t* shifts, int n,
                      int32_t lags, int32_t q, float inv_n, float threshold) {
  float sum = 0.0f;
  for (int k = 0; k < n; ++k) {
    const int64_t r = int64_t{q} + shifts[k];
    if (r >= 0 && r < lags) sum += rows[static_cast<std::size_t>(k) * stride + static_cast<std::size_t>(r)];
  }
  return sum * inv_n > threshold;
}

bool AnyAboveScalar(const float* rows, std::size_t stride, const int32_t* shifts, int n,
                    int32_t lags, const StartRun* runs, std::size_t count, float inv_n,
                    float threshold) {
  for (std::size_t i = 0; i < count; ++i) {
    for (int l = 0; l < 16; ++l) {
      if (((runs[i].lanes >> l) & 1u) == 0) continue;
      if (StackAboveScalar(rows, stride, shifts, n, lags, runs[i].first + l, inv_n, threshold)) {
        return true;
      }
    }
  }
  return false;
}

// Lanes l of a vector of `width` lags from q0 whose station index
// q0 + l + shift lies inside a row of `lags` values.
inline uint32_t InsideLanes(int64_t q0, int64_t shift, int32_t lags, int width) {
  const int64_t first = std::clamp<int64_t>(-shift - q0, 0, width);
  const int64_t last = std::clamp<int64_t>(int64_t{lags} - shift - q0, first, width);
  const uint32_t below_last = last >= 32 ? ~0u : (1u << last) - 1u;
  const uint32_t below_first = first >= 32 ? ~0u : (1u << first) - 1u;
  return below_last & ~below_first;
}

// The stacks of a run's 16 lags read from the rows with plain loads (masked
// ones near the row ends). A station off its row adds 0 instead of
// nothing, which can only turn -0 into +0 and leaves every comparison as
// it was.
__attribute__((target("avx512f"))) bool AnyAboveAvx512(const float* rows, std::size_t stride,
                                                       const int32_t* shifts, int n, int32_t lags,
                                                       const StartRun* runs, std::size_t count,
                                                       float inv_n, float threshold) {
  const __m512 scale = _mm512_set1_ps(inv_n);
  const __m512 thr = _mm512_set1_ps(threshold);
  for (std::size_t i = 0; i < count; ++i) {
    const int64_t q0 = runs[i].first;
    __m512 sum = _mm512_setzero_ps();
    if (runs[i].inRows) {
      for (int k = 0; k < n; ++k) {
        sum = _mm512_add_ps(sum, _mm512_loadu_ps(rows + static_cast<std::size_t>(k) * stride +
                                                 (q0 + shifts[k])));
      }
    } else {
      for (int k = 0; k < n; ++k) {
        const int64_t s = shifts[k];
        const auto inside = static_cast<__mmask16>(InsideLanes(q0, s, lags, 16));
        // Only the lanes inside the row are read.
        const float* row = rows + static_cast<std::size_t>(k) * stride;
        sum = _mm512_add_ps(sum, _mm512_maskz_loadu_ps(inside, row + (q0 + s)));
      }
    }
    if (_mm512_mask_cmp_ps_mask(static_cast<__mmask16>(runs[i].lanes),
                                _mm512_mul_ps(sum, scale), thr, _CMP_GT_OQ)) {
      return true;
    }
  }
  return false;
}

__attribute__((target("avx2"))) bool AnyAboveAvx2(const float* rows, std::size_t stride,
                                                  const int32_t* shifts, int n, int32_t lags,
                                                  const StartRun* runs, std::size_t count,
                                                  float inv_n, float threshold) {
  const __m256 scale = _mm256_set1_ps(inv_n);
  const __m256 thr = _mm256_set1_ps(threshold);
  const __m256i lane_bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  for (std::size_t i = 0; i < count; ++i) {
    for (int half = 0; half < 2; ++half) {
      const uint32_t lanes = (runs[i].lanes >> (8 * half)) & 0xffu;
      if (lanes == 0) continue;
      const int64_t q0 = int64_t{runs[i].first} + 8 * half;
      __m256 sum = _mm256_setzero_ps();
      for (int k = 0; k < n; ++k) {
        const int64_t s = shifts[k];
        const float* row = rows + static_cast<std::size_t>(k) * stride;
        if (runs[i].inRows) {
          sum = _mm256_add_ps(sum, _mm256_loadu_ps(row + (q0 + s)));
        } else {
          const auto inside = static_cast<int32_t>(InsideLanes(q0, s, lags, 8));
          const __m256i mask = _mm256_cmpeq_epi32(
              _mm256_and_si256(_mm256_set1_epi32(inside), lane_bit), lane_bit);
          sum = _mm256_add_ps(sum, _mm256_maskload_ps(row + (q0 + s), mask));
        }
      }
      const int above =
          _mm256_movemask_ps(_mm256_cmp_ps(_mm256_mul_ps(sum, scale), thr, _CMP_GT_OQ));
      if ((static_cast<uint32_t>(above) & lanes) != 0) return true;
    }
  }
  return false;
}

// The sum of |x[i]| for i < n (n >= 1) in double, in any order, when the
// result is sure to be exact: values that are multiples of 2^u (u the
// exponent of the smallest nonzero one's last bit) and below 2^(v + 1)
// leave every partial sum below n * 2^(v + 1), a multiple of 2^u, which 53
// bits hold when n * 2^(v + 1) <= 2^(u + 53). Returns false (infinities
// and NaN included) otherwise.
__attribute__((target("avx512f"))) bool SumAbsExactAvx512(const float* x, int32_t n, double* sum) {
  const __m512i magnitude = _mm512_set1_epi32(0x7fffffff);
  __m512i hi = _mm512_setzero_si512();
  __m512i lo = magnitude;
  __m512d acc0 = _mm512_setzero_pd();
  __m512d acc1 = _mm512_setzero_pd();
  for (int32_t i = 0; i < n; i += 16) {
    const int32_t left = n - i;
    const auto lanes = static_cast<__mmask16>(left >= 16 ? 0xffffu : (1u << left) - 1u);
    const __m512i bits =
        _mm512_and_si512(_mm512_maskz_loadu_epi32(lanes, x + i), magnitude);
    // Zero-masked forms throughout: the plain ones start from undefined
    // registers, which the compiler warns of.
    hi = _mm512_maskz_max_epu32(0xffff, hi, bits);
    lo = _mm512_mask_min_epu32(lo, _mm512_test_epi32_mask(bits, bits), lo, bits);
    const __m512d v = _mm512_castsi512_pd(bits);
    acc0 = _mm512_add_pd(acc0, _mm512_maskz_cvtps_pd(
                                   0xff, _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, v, 0))));
    acc1 = _mm512_add_pd(acc1, _mm512_maskz_cvtps_pd(
                                   0xff, _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, v, 1))));
  }
  alignas(64) uint32_t his[16];
  alignas(64) uint32_t los[16];
  alignas(64) double sums[8];
  _mm512_store_si512(his, hi);
  _mm512_store_si512(los, lo);
  _mm512_store_pd(sums, _mm512_add_pd(acc0, acc1));
  uint32_t top_bits = 0;
  uint32_t bottom_bits = 0x7fffffffu;
  for (int l = 0; l < 16; ++l) {
    top_bits = std::max(top_bits, his[l]);
    bottom_bits = std::min(bottom_bits, los[l]);
  }
  const uint32_t top = top_bits >> 23;
  if (top == 255) return false;
  const uint32_t bottom = std::max<uint32_t>(bottom_bits >> 23, 1);
  int32_t log_n = 0;
  while ((int64_t{1} << log_n) < n) ++log_n;
  // Float bit 0 of exponent e is worth 2^(e - 23): n * 2^(top + 1) must
  // stay within 2^(bottom - 23 + 53).
  // All zeros leave bottom above top: nothing to round.
  if (static_cast<int32_t>(top) - static_cast<int32_t>(bottom) > 29 - log_n) return false;
  double total = 0.0;
  for (const double part : sums) total += part;
  *sum = total;
  return true;
}

KernelIsa Active() { return ActiveKernelIsa(); }

}  // namespace

void CrossSumsPlain(const double* x, const double* y, int32_t w, int32_t n_lags, double* cxy) {
  switch (Active()) {
    case KernelIsa::kAvx512: return PlainAvx512(x, y, w, n_lags, cxy);
    case KernelIsa::kAvx2: return PlainAvx2(x, y, w, n_lags, cxy);
    default: return PlainScalar(x, y, w, 0, n_lags, cxy);
  }
}

void CrossSumsPlainWithEnergy(const double* x, const double* y, int32_t w, int32_t n_lags,
                              double* cxy, double* er) {
  if (n_lags <= 0) return;
  switch (Active()) {
    case KernelIsa::kAvx512: return PlainEnergyAvx512(x, y, w, n_lags, cxy, er);
    case KernelIsa::kAvx2: return PlainEnergyAvx2(x, y, w, n_lags, cxy, er);
    default:
      PlainScalar(x, y, w, 0, n_lags, cxy);
      EnergyChain(x, w, 1, n_lags, er);
  }
}

void CrossSumsDemeaned(const double* x, const double* yc, const double* mean_r, int32_t w,
                       int32_t n_lags, double* cxy, double* er) {
  switch (Active()) {
    case KernelIsa::kAvx512: return DemeanedAvx512(x, yc, mean_r, w, n_lags, cxy, er);
    case KernelIsa::kAvx2: return DemeanedAvx2(x, yc, mean_r, w, n_lags, cxy, er);
    default: return DemeanedScalar(x, yc, mean_r, w, 0, n_lags, cxy, er);
  }
}

void NormaliseRow(const double* cxy, double e_t, const double* er, int32_t n_lags, float* row) {
  switch (Active()) {
    case KernelIsa::kAvx512: return NormaliseAvx512(cxy, e_t, er, n_lags, row);
    case KernelIsa::kAvx2: return NormaliseAvx2(cxy, e_t, er, n_lags, row);
    default: return NormaliseScalar(cxy, e_t, er, n_lags, row);
  }
}

bool NormaliseRowUpperBound(const double* cxy, double e_t, const double* er, int32_t n_lags,
                            float* row) {
  if (Active() != KernelIsa::kAvx512) return false;
  UpperBoundAvx512(cxy, e_t, er, n_lags, row);
  return true;
}

void StackInterval(const float* rows, std::size_t stride, const int32_t* shifts, int n,
                   int32_t lags, int32_t begin, int32_t end, float inv_n, float* stack) {
  if (end <= begin) return;
  switch (Active()) {
    case KernelIsa::kAvx512: return StackAvx512(rows, stride, shifts, n, lags, begin, end, inv_n, stack);
    case KernelIsa::kAvx2: return StackAvx2(rows, stride, shifts, n, lags, begin, end, inv_n, stack);
    default: return StackScalar(rows, stride, shifts, n, lags, begin, end, inv_n, stack);
  }
}

std::vector<StartRun> GroupStarts(const std::vector<int32_t>& starts, const int32_t* smin,
                                  const int32_t* smax, int n, int32_t lags) {
  std::vector<StartRun> runs;
  std::size_t i = 0;
  while (i < starts.size()) {
    StartRun run{starts[i], 0u, true};
    for (; i < starts.size() && int64_t{starts[i]} < int64_t{run.first} + 16; ++i) {
      run.lanes |= 1u << (starts[i] - run.first);
    }
    for (int k = 0; k < n && run.inRows; ++k) {
      run.inRows = int64_t{run.first} + smin[k] >= 0 && int64_t{run.first} + 15 + smax[k] < lags;
    }
    runs.push_back(run);
  }
  return runs;
}

bool AnyStackAbove(const float* rows, std::size_t stride, const int32_t* shifts, int n,
                   int32_t lags, const StartRun* runs, std::size_t count, float inv_n,
                   float threshold) {
  switch (Active()) {
    case KernelIsa::kAvx512:
      return AnyAboveAvx512(rows, stride, shifts, n, lags, runs, count, inv_n, threshold);
    case KernelIsa::kAvx2:
      return AnyAboveAvx2(rows, stride, shifts, n, lags, runs, count, inv_n, threshold);
    default: return AnyAboveScalar(rows, stride, shifts, n, lags, runs, count, inv_n, threshold);
  }
}

double MeanAbsInLanes(const float* stack, int32_t first, int32_t last) {
  double sum = 0.0;
  if (Active() != KernelIsa::kAvx512 || !SumAbsExactAvx512(stack + first, last - first + 1, &sum)) {
    sum = 0.0;
    for (int32_t i = first; i <= last; ++i) sum += std::fabs(stack[i]);
  }
  return sum / static_cast<double>(last - first + 1);
}

void AddInto(float* dst, const float* src, int64_t n) {
  switch (Active()) {
    case KernelIsa::kAvx512: return AddAvx512(dst, src, n);
    case KernelIsa::kAvx2: return AddAvx2(dst, src, n);
    default: return AddScalar(dst, src, n);
  }
}

void ScaleBy(float* dst, float factor, int64_t n) {
  for (int64_t i = 0; i < n; ++i) dst[i] *= factor;
}

void WindowMaxSum(const float* rows, std::size_t stride, const int32_t* lo, const int32_t* hi,
                  int n, int32_t begin, int32_t end, float* bound) {
  if (end <= begin) return;
  switch (Active()) {
    case KernelIsa::kAvx512: return WindowMaxSumAvx512(rows, stride, lo, hi, n, begin, end, bound);
    case KernelIsa::kAvx2: return WindowMaxSumAvx2(rows, stride, lo, hi, n, begin, end, bound);
    default: return WindowMaxSumScalar(rows, stride, lo, hi, n, begin, end, bound);
  }
}

void MaxOf(float* dst, const float* a, const float* b, int64_t n) {
  switch (Active()) {
    case KernelIsa::kAvx512: return MaxAvx512(dst, a, b, n);
    case KernelIsa::kAvx2: return MaxAvx2(dst, a, b, n);
    default: return MaxScalar(dst, a, b, n);
  }
}

}  // namespace qae
