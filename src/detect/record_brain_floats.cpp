#include "detect/record_brain_floats.h"

#include <algorithm>

#include "detect/correlation_bounds.h"

namespace qae {

RecordBrainFloats::RecordBrainFloats(const XL_WaveData& record, int64_t length)
    : record_(record), length_(std::max<int64_t>(length, 0)) {}

void RecordBrainFloats::Make() const {
  if (!CorrelationBoundsAvailable() || BestBoundSums() != BoundSums::kBrainFloat) return;
  pairs_.resize(static_cast<std::size_t>(record_.TraceCount()));
  const auto n = static_cast<std::size_t>(length_);
  std::vector<float> padded;
  for (int i = 0; i < record_.TraceCount(); ++i) {
    const XL_WaveTrace& t = record_.Trace(i);
    const int64_t valid = std::clamp<int64_t>(std::min<int64_t>(t.sampleCount, t.AllocatedSlots()),
                                              0, length_ + 1);
    padded.assign(n + 1, 0.0f);
    std::copy(t.samples.begin(), t.samples.begin() + valid, padded.begin());
    std::vector<uint32_t>& out = pairs_[static_cast<std::size_t>(i)];
    out.resize(n);
    BrainFloatPairsOf(padded.data(), length_, out.data());
  }
}

const uint32_t* RecordBrainFloats::Pairs(int i) const {
  std::call_once(made_, [this] { Make(); });
  if (i < 0 || static_cast<std::size_t>(i) >= pairs_.size()) return nullptr;
  return pairs_[static_cast<std::size_t>(i)].data();
}

}  // namespace qae
