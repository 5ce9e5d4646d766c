#include "dsp/iir_lanes.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "util/simd_isa.h"

// The vector templates are always inlined into functions compiled for the
// matching instruction set, so no vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace qae {

namespace {

template <int N>
using DoubleVec __attribute__((vector_size(N * 8))) = double;
template <int N>
using FloatVec __attribute__((vector_size(N * 4))) = float;

// Two vectors of N traces, interleaved sample by sample in `buf`
// (buf[i * 2N + lane]), through kCount sections. The expression and its
// order are those of the one-trace loop.
template <int N, int kCount>
__attribute__((always_inline)) inline void FilterInterleaved(float* buf, int64_t n,
                                                             const double* num,
                                                             const double* den) {
  using V = DoubleVec<N>;
  using F = FloatVec<N>;
  double b0[kCount], b1[kCount], b2[kCount], a1[kCount], a2[kCount];
  for (int s = 0; s < kCount; ++s) {
    b0[s] = num[3 * s];
    b1[s] = num[3 * s + 1];
    b2[s] = num[3 * s + 2];
    a1[s] = den[3 * s + 1];
    a2[s] = den[3 * s + 2];
  }
  V x1[2][kCount] = {}, x2[2][kCount] = {}, y1[2][kCount] = {}, y2[2][kCount] = {};
  for (int64_t i = 0; i < n; ++i) {
    for (int g = 0; g < 2; ++g) {
      float* at = buf + (i * 2 + g) * N;
      F f;
      std::memcpy(&f, at, sizeof f);
      V in = __builtin_convertvector(f, V);
      for (int s = 0; s < kCount; ++s) {
        const V y = b0[s] * in + b1[s] * x1[g][s] + b2[s] * x2[g][s] -
                    (a1[s] * y1[g][s] + a2[s] * y2[g][s]);
        y2[g][s] = y1[g][s];
        y1[g][s] = y;
        x2[g][s] = x1[g][s];
        x1[g][s] = in;
        in = __builtin_convertvector(__builtin_convertvector(y, F), V);
      }
      f = __builtin_convertvector(in, F);
      std::memcpy(at, &f, sizeof f);
    }
  }
}

__attribute__((target("avx512f"))) void Filter8x2Count4(float* b, int64_t n, const double* num,
                                                        const double* den) {
  FilterInterleaved<8, 4>(b, n, num, den);
}
__attribute__((target("avx512f"))) void Filter8x2Count2(float* b, int64_t n, const double* num,
                                                        const double* den) {
  FilterInterleaved<8, 2>(b, n, num, den);
}
__attribute__((target("avx2"))) void Filter4x2Count4(float* b, int64_t n, const double* num,
                                                     const double* den) {
  FilterInterleaved<4, 4>(b, n, num, den);
}
__attribute__((target("avx2"))) void Filter4x2Count2(float* b, int64_t n, const double* num,
                                                     const double* den) {
  FilterInterleaved<4, 2>(b, n, num, den);
}

using GroupFilter = void (*)(float*, int64_t, const double*, const double*);

}  // namespace

void ApplyIirSectionsToTraces(float* const* traces, const int64_t* counts, int n_traces,
                              const IirSectionSet& sections) {
  const int count = std::clamp(sections.sectionCount, 0, kMaxIirSections);
  const KernelIsa isa = ActiveKernelIsa();
  GroupFilter filter = nullptr;
  int lanes = 0;
  if (isa == KernelIsa::kAvx512 && (count == 4 || count == 2)) {
    filter = count == 4 ? Filter8x2Count4 : Filter8x2Count2;
    lanes = 16;
  } else if (isa == KernelIsa::kAvx2 && (count == 4 || count == 2)) {
    filter = count == 4 ? Filter4x2Count4 : Filter4x2Count2;
    lanes = 8;
  }
  int first = 0;
  if (filter != nullptr) {
    std::vector<float> buf;
    // Groups of up to `lanes` traces (a lone last trace goes on its own); a
    // trace's lane past its end holds zeros, which cannot reach its own
    // earlier outputs.
    for (; n_traces - first >= 2; first += lanes) {
      const int in_group = std::min(lanes, n_traces - first);
      int64_t n = 0;
      for (int k = 0; k < in_group; ++k) n = std::max(n, std::max<int64_t>(counts[first + k], 0));
      if (n == 0) continue;
      buf.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(lanes), 0.0f);
      for (int k = 0; k < in_group; ++k) {
        for (int64_t i = 0; i < counts[first + k]; ++i) buf[static_cast<std::size_t>(i * lanes + k)] = traces[first + k][i];
      }
      filter(buf.data(), n, sections.numerator, sections.denominator);
      for (int k = 0; k < in_group; ++k) {
        for (int64_t i = 0; i < counts[first + k]; ++i) traces[first + k][i] = buf[static_cast<std::size_t>(i * lanes + k)];
      }
    }
  }
  // The rest (or everything, without vectors) one trace at a time.
  for (int k = std::min(first, n_traces); k < n_traces; ++k) {
    ApplyIirSections(traces[k], counts[k], sections);
  }
}

}  // namespace qae
