#include "wave/wave_trace.h"

#include <algorithm>
#include <new>

namespace qae {

namespace {

constexpr int64_t kCapacityQuantum = 256;

}  // namespace

XL_WaveTrace::XL_WaveTrace(int32_t n) {
  if (n <= 0) return;
  const int64_t rounded = std::max<int64_t>(
      kCapacityQuantum, (static_cast<int64_t>(n) + kCapacityQuantum - 1) / kCapacityQuantum *
                            kCapacityQuantum);
  capacity = static_cast<int32_t>(std::min<int64_t>(rounded, INT32_MAX));
  try {
    samples.assign(static_cast<std::size_t>(rounded), 0.0f);
    sampleCount = n;
  } catch (const std::bad_alloc&) {
    samples.clear();
    sampleCount = 0;
  } catch (const std::length_error&) {
    samples.clear();
    sampleCount = 0;
  }
}

XL_WaveTrace::~XL_WaveTrace() = default;

void XL_WaveTrace::RecomputeStats() {
  double lo = 1e10;
  double hi = -1e10;
  double sum = 0.0;
  const int32_t n = std::min(sampleCount, AllocatedSlots());
  for (int32_t i = 2; i < n - 2; ++i) {
    const double v = samples[static_cast<std::size_t>(i)];
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    sum += v;
  }
  minValue = lo * descalingFactor;
  maxValue = hi * descalingFactor;
  meanValue = sampleCount > 0 ? descalingFactor * sum / sampleCount : 0.0;
  if (minValue > maxValue) std::swap(minValue, maxValue);
  if (maxValue - minValue < 1e-20) {
    maxValue = 1e-20;
    minValue = -1e-20;
  }
}

bool XL_WaveTrace::AppendSamples(const XL_WaveTrace& source) {
  const int64_t own = std::min(sampleCount, AllocatedSlots());
  const int64_t added = std::min(source.sampleCount, source.AllocatedSlots());
  const int64_t total = own + added;
  if (total > INT32_MAX) return false;
  std::vector<float> grown;
  try {
    grown.resize(static_cast<std::size_t>(total));
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::copy_n(samples.begin(), own, grown.begin());
  std::copy_n(source.samples.begin(), added, grown.begin() + own);
  samples = std::move(grown);
  sampleCount = static_cast<int32_t>(total);
  capacity = sampleCount;
  minValue = std::min(minValue, source.minValue);
  maxValue = std::max(maxValue, source.maxValue);
  if (sacHeader) sacHeader->ints[SacHeader::kNpts] = sampleCount;
  return true;
}

void XL_WaveTrace::SetComponent(char c) {
  channelCode[2] = c;
  if (channelCode[0] == '\0') channelCode[0] = ' ';
  if (channelCode[1] == '\0') channelCode[1] = ' ';
  channelCode[3] = '\0';
  if (sacHeader) sacHeader->text[SacHeader::kKcmpnm + 2] = c;
}

}  // namespace qae
