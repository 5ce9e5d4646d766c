// One channel of a waveform record: its header values and its samples as
// 32-bit floats. A trace owns its sample arrays and SAC header block, not its
// station.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "wave/sac_header.h"
#include "wave/station.h"

namespace qae {

class XL_WaveTrace {
 public:
  // A trace for `n` samples: if n > 0, `samples` holds `capacity` zeroed
  // slots, n rounded up to a multiple of 256 (at least 256), and
  // `sampleCount` is n. If n <= 0 both counts are 0. If the allocation fails,
  // `capacity` keeps the rounded value but `sampleCount` is 0 and `samples`
  // is empty.
  explicit XL_WaveTrace(int32_t n = 0);
  ~XL_WaveTrace();
  XL_WaveTrace(const XL_WaveTrace&) = delete;
  XL_WaveTrace& operator=(const XL_WaveTrace&) = delete;

  // Scaled minimum, maximum and mean of samples 2 .. n-3 (the first and last
  // two samples are left out), the mean divided by the full count n.
  void RecomputeStats();

  // Appends `source`'s samples after this trace's own. Returns false and
  // leaves the trace unchanged when the array cannot be grown.
  bool AppendSamples(const XL_WaveTrace& source);

  // The component letter: the third character of `channelCode`.
  char Component() const { return channelCode[2]; }
  void SetComponent(char c);

  // The sample slots that are really allocated; every loop over `samples`
  // stays below this, whatever the counts say.
  int32_t AllocatedSlots() const { return static_cast<int32_t>(samples.size()); }

  char lineId[32] = {};            // "LINE_ID": station code ':' channel code
  char note[256] = {};             // "NOTE"
  int16_t channelNumber = 0;       // "CHANNEL_NUMBER"
  double receiverLocation[3] = {0, 0, 0};  // "RECEIVER_LOCATION" x, y, z
  double sourceLocation[3] = {0, 0, 0};    // "SOURCE_LOCATION" x, y, z
  double descalingFactor = 1.0;    // physical value = sample * factor
  double drawSizeFactor = 1.0;
  double maxValue = 1.0;
  double minValue = -1.0;
  double meanValue = 0.0;
  double samplingInterval = 0.01;  // time per sample (microseconds in AE data)
  double skew = 0.0;
  double delay = 0.0;              // reference time to first sample
  int32_t pickup[2] = {0, 0};      // sample indices of two picks
  int16_t ampPickupSign = 0;
  double ampPickup = 0.0;
  double nsRatio = 0.0;
  int16_t stack = 0;
  int16_t dataFormat = 0;          // SEG-2 data format code
  int32_t sampleCount = 0;
  int32_t capacity = 0;
  char unit[8] = {};
  char channelCode[8] = {};
  double calib = 0.0;
  double calper = 0.0;
  double hang = 0.0;
  double vang = 0.0;
  double timeBegin = 0.0;          // Julian day (UTC) of the reference time
  std::unique_ptr<SacHeader> sacHeader;
  std::vector<float> samples;
  std::vector<float> savedSamples;
  CStationObj* station = nullptr;  // not owned
};

}  // namespace qae
