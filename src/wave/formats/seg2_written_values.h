// The values of a record that the SEG-2 encoder writes, apart from the
// samples: the file header and each trace's header values. Taken when an
// output of a record is decided and put back when it is encoded later (on
// the writer thread), so that the file gets the record as it stood then.
#pragma once

#include <cstdint>
#include <vector>

#include "wave/wave_data.h"

namespace qae {

struct Seg2WrittenValues {
  struct Trace {
    char lineId[32];
    char note[256];
    char unit[8];
    double receiverLocation[3];
    double sourceLocation[3];
    double descalingFactor;
    double drawSizeFactor;
    double samplingInterval;
    double skew;
    double delay;
    double ampPickup;
    double nsRatio;
    double timeBegin;
    int32_t pickup[2];
    int32_t sampleCount;
    int16_t stack;
  };
  WaveHeader header{};
  std::vector<Trace> traces;

  static Seg2WrittenValues Of(const XL_WaveData& record);
  // Onto a record with the same traces (extra values are ignored).
  void ApplyTo(XL_WaveData& record) const;
};

}  // namespace qae
