// File-level values of a waveform record. The text fields are fixed-width
// and NUL-terminated; their names follow the SEG-2 keywords that fill them.
#pragma once

#include <cstdint>
#include <cstring>

#include "util/text.h"

namespace qae {

struct WaveHeader {
  int16_t traceCount;          // always equal to the record's trace list length
  int32_t timeSec;             // "TIME_SEC_USEC", seconds
  int32_t timeUsec;            // "TIME_SEC_USEC", microseconds
  char acquisitionDate[16];    // "ACQUISITION_DATE"
  char acquisitionTime[16];    // "ACQUISITION_TIME"
  char instrument[64];         // "INSTRUMENT"
  char traceSort[16];          // "TRACE_SORT"
  char timeUnits[32];          // "TIMEUNITS"
  char units[32];              // "UNITS"
  char waveUnits[16];          // "WAVEUNITS"
  char note[128];              // "NOTE"; the SEG-2 reader sets it to "Start: <time>"
  char comments[256];          // "COMMENTS"; holds the detection line of a run
  char rcvNote[32];            // "RCV_NOTE"
  int16_t numberSources;       // "NUMBER_SOURCES"
  int16_t numberReceivers;     // "NUMBER_RECEIVERS"
  int16_t rotation[2];         // "ROTATION"
  int64_t windowStart;         // first sample of the last continuous-data window

  WaveHeader() { Reset(); }

  // Zero-fills every field, then sets `timeUnits` to "Time(sec)".
  void Reset() {
    traceCount = 0;
    timeSec = 0;
    timeUsec = 0;
    std::memset(acquisitionDate, 0, sizeof acquisitionDate);
    std::memset(acquisitionTime, 0, sizeof acquisitionTime);
    std::memset(instrument, 0, sizeof instrument);
    std::memset(traceSort, 0, sizeof traceSort);
    std::memset(units, 0, sizeof units);
    std::memset(waveUnits, 0, sizeof waveUnits);
    std::memset(note, 0, sizeof note);
    std::memset(comments, 0, sizeof comments);
    std::memset(rcvNote, 0, sizeof rcvNote);
    numberSources = 0;
    numberReceivers = 0;
    rotation[0] = rotation[1] = 0;
    windowStart = 0;
    SetText(timeUnits, "Time(sec)");
  }
};

}  // namespace qae
