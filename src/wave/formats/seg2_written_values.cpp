#include "wave/formats/seg2_written_values.h"

#include <algorithm>

namespace qae {

namespace {

template <typename T, std::size_t N>
void CopyArray(T (&to)[N], const T (&from)[N]) {
  std::copy(from, from + N, to);
}

void Take(Seg2WrittenValues::Trace& v, const XL_WaveTrace& t) {
  CopyArray(v.lineId, t.lineId);
  CopyArray(v.note, t.note);
  CopyArray(v.unit, t.unit);
  CopyArray(v.receiverLocation, t.receiverLocation);
  CopyArray(v.sourceLocation, t.sourceLocation);
  v.descalingFactor = t.descalingFactor;
  v.drawSizeFactor = t.drawSizeFactor;
  v.samplingInterval = t.samplingInterval;
  v.skew = t.skew;
  v.delay = t.delay;
  v.ampPickup = t.ampPickup;
  v.nsRatio = t.nsRatio;
  v.timeBegin = t.timeBegin;
  CopyArray(v.pickup, t.pickup);
  v.sampleCount = t.sampleCount;
  v.stack = t.stack;
}

void Put(const Seg2WrittenValues::Trace& v, XL_WaveTrace& t) {
  CopyArray(t.lineId, v.lineId);
  CopyArray(t.note, v.note);
  CopyArray(t.unit, v.unit);
  CopyArray(t.receiverLocation, v.receiverLocation);
  CopyArray(t.sourceLocation, v.sourceLocation);
  t.descalingFactor = v.descalingFactor;
  t.drawSizeFactor = v.drawSizeFactor;
  t.samplingInterval = v.samplingInterval;
  t.skew = v.skew;
  t.delay = v.delay;
  t.ampPickup = v.ampPickup;
  t.nsRatio = v.nsRatio;
  t.timeBegin = v.timeBegin;
  CopyArray(t.pickup, v.pickup);
  t.sampleCount = v.sampleCount;
  t.stack = v.stack;
}

}  // namespace

Seg2WrittenValues Seg2WrittenValues::Of(const XL_WaveData& record) {
  Seg2WrittenValues v;
  v.header = record.header;
  v.traces.resize(record.traces.size());
  for (std::size_t i = 0; i < record.traces.size(); ++i) Take(v.traces[i], *record.traces[i]);
  return v;
}

void Seg2WrittenValues::ApplyTo(XL_WaveData& record) const {
  record.header = header;
  const std::size_t n = std::min(traces.size(), record.traces.size());
  for (std::size_t i = 0; i < n; ++i) Put(traces[i], *record.traces[i]);
}

}  // namespace qae
