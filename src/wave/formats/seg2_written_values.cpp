#include "wave/formats/seg2_written_values.h"

#include <algorithm>

namespace qae {

namespace {

template <typename T, std::size_t N>
void CopyArray(T (&to)[N], const T (&from)[N]) {
  std::copy(from, from + N, to);
}

// The written fields, which carry the same names in the trace and in the
// kept values, copied either way.
template <typename To, typename From>
void CopyWrittenFields(To& to, const From& from) {
  CopyArray(to.lineId, from.lineId);
  CopyArray(to.note, from.note);
  CopyArray(to.unit, from.unit);
  CopyArray(to.receiverLocation, from.receiverLocation);
  CopyArray(to.sourceLocation, from.sourceLocation);
  to.descalingFactor = from.descalingFactor;
  to.drawSizeFactor = from.drawSizeFactor;
  to.samplingInterval = from.samplingInterval;
  to.skew = from.skew;
  to.delay = from.delay;
  to.ampPickup = from.ampPickup;
  to.nsRatio = from.nsRatio;
  to.timeBegin = from.timeBegin;
  CopyArray(to.pickup, from.pickup);
  to.sampleCount = from.sampleCount;
  to.stack = from.stack;
}

}  // namespace

Seg2WrittenValues Seg2WrittenValues::Of(const XL_WaveData& record) {
  Seg2WrittenValues v;
  v.header = record.header;
  v.traces.resize(record.traces.size());
  for (std::size_t i = 0; i < record.traces.size(); ++i) CopyWrittenFields(v.traces[i], *record.traces[i]);
  return v;
}

void Seg2WrittenValues::ApplyTo(XL_WaveData& record) const {
  record.header = header;
  const std::size_t n = std::min(traces.size(), record.traces.size());
  for (std::size_t i = 0; i < n; ++i) CopyWrittenFields(*record.traces[i], traces[i]);
}

}  // namespace qae
