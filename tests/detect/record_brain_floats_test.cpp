// The record's brain-float pairs are, from any sample on, the pairs of the
// segment a scan reads there: the trace's samples, 0 past its valid end.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "detect/correlation_bounds.h"
#include "detect/record_brain_floats.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"

namespace qae {
namespace {

TEST(RecordBrainFloats, PairsFromAnySampleAreTheSegmentsPairs) {
  if (!CorrelationBoundsAvailable() || BestBoundSums() != BoundSums::kBrainFloat) {
    GTEST_SKIP() << "no brain floats on this processor";
  }
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 1e3f);
  XL_WaveDataSeg2 record;
  // A full trace, one whose valid samples end early, a one-sample trace
  // and one with values brain floats round, flush or keep non-finite.
  for (const int32_t valid : {500, 180, 1, 400}) {
    auto t = std::make_unique<XL_WaveTrace>(500);
    for (auto& v : t->samples) v = noise(rng);
    if (valid == 400) {
      t->samples[10] = std::numeric_limits<float>::infinity();
      t->samples[11] = std::numeric_limits<float>::quiet_NaN();
      t->samples[12] = 1e-40f;
      t->samples[13] = 1.0f + 0x1p-9f;
    }
    t->sampleCount = valid;
    record.AddTrace(std::move(t));
  }
  const int64_t length = 520;  // past every trace's samples
  const RecordBrainFloats shared(record, length);
  EXPECT_EQ(shared.Pairs(record.TraceCount()), nullptr);
  for (int i = 0; i < record.TraceCount(); ++i) {
    const XL_WaveTrace& t = record.Trace(i);
    const uint32_t* pairs = shared.Pairs(i);
    ASSERT_NE(pairs, nullptr);
    for (const int64_t first : {0, 1, 7, 170, 399, 499}) {
      const int64_t n = length - first;
      std::vector<float> segment(static_cast<std::size_t>(n + 1), 0.0f);
      for (int64_t u = 0; u <= n && first + u < t.sampleCount; ++u) {
        segment[static_cast<std::size_t>(u)] = t.samples[static_cast<std::size_t>(first + u)];
      }
      std::vector<uint32_t> expected(static_cast<std::size_t>(n));
      BrainFloatPairsOf(segment.data(), n, expected.data());
      for (int64_t u = 0; u < n; ++u) {
        ASSERT_EQ(pairs[first + u], expected[static_cast<std::size_t>(u)])
            << "trace " << i << " from " << first << " pair " << u;
      }
    }
  }
}

}  // namespace
}  // namespace qae
