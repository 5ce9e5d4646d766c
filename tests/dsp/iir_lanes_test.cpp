// Traces filtered together in vector lanes get the bits of one-at-a-time
// filtering, whatever their lengths, their number and the instruction set.
#include "dsp/iir_lanes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "util/simd_isa.h"

namespace qae {
namespace {

TEST(IirLanes, SameBitsAsOneTraceAtATime) {
  IirSectionSet band_pass;  // 4 sections
  ASSERT_EQ(DesignIirFilter("BU", "BP", 1.0, 1.0, 0.1, 1.0, 0.1, &band_pass), 1);
  IirSectionSet low_pass;  // 2 sections
  ASSERT_EQ(DesignIirFilter("BU", "LP", 1.0, 1.0, 0.1, 1.0, 0.1, &low_pass), 1);
  ASSERT_EQ(band_pass.sectionCount, 4);
  ASSERT_EQ(low_pass.sectionCount, 2);
  IirSectionSet three = band_pass;  // no vector version: one trace at a time
  three.sectionCount = 3;
  std::mt19937 rng(9);
  std::normal_distribution<float> noise(0.0f, 300.0f);
  for (KernelIsa isa : {KernelIsa::kScalar, KernelIsa::kAvx2, KernelIsa::kAvx512}) {
    SetKernelIsaForTesting(isa);
    for (const IirSectionSet* sections : {&band_pass, &low_pass, &three}) {
      for (int n_traces : {1, 2, 7, 16, 17, 19}) {
        std::vector<std::vector<float>> lanes(static_cast<std::size_t>(n_traces));
        std::vector<int64_t> counts;
        for (auto& t : lanes) {
          // Lengths differ within a group, down to empty and one sample.
          const int64_t n = (rng() % 5 == 0) ? static_cast<int64_t>(rng() % 2)
                                             : 500 + static_cast<int64_t>(rng() % 1500);
          t.resize(static_cast<std::size_t>(n) + 3);
          for (float& v : t) v = noise(rng);
          counts.push_back(n);
        }
        std::vector<std::vector<float>> one = lanes;
        for (std::size_t k = 0; k < one.size(); ++k) {
          ApplyIirSections(one[k].data(), counts[k], *sections);
        }
        std::vector<float*> pointers;
        for (auto& t : lanes) pointers.push_back(t.data());
        ApplyIirSectionsToTraces(pointers.data(), counts.data(), n_traces, *sections);
        for (std::size_t k = 0; k < one.size(); ++k) {
          // The samples past a trace's count stay untouched too.
          ASSERT_EQ(std::memcmp(one[k].data(), lanes[k].data(), one[k].size() * sizeof(float)), 0)
              << KernelIsaName(isa) << ", " << sections->sectionCount << " sections, "
              << n_traces << " traces, trace " << k;
        }
      }
    }
  }
  SetKernelIsaForTesting(DetectKernelIsa());
}

}  // namespace
}  // namespace qae
