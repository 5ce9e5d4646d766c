// A SEG-2 record as the JSON of `seg2 dump`, and back: the one place that
// names the fields, shared by the command and the Python binding.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "wave/formats/seg2_reader.h"
#include "wave/wave_data.h"

namespace qae::cli {

// How much of each trace's samples a dump prints.
struct Seg2SampleOutput {
  bool enabled = false;
  int64_t max_per_trace = -1;  // -1: no cap
};

nlohmann::ordered_json Seg2HeaderJson(const WaveHeader& h);

// Every field of trace `t`; `short_trace` (null for a whole trace) adds
// "samplesDeclared" and "samplesPresent".
nlohmann::ordered_json Seg2TraceJson(const XL_WaveTrace& t, const Seg2SampleOutput& samples_out,
                                     const Seg2ShortTrace* short_trace);

// The samples of `t` that hold data: those it has allocated, up to its
// count, and no more than the file held of a short trace.
int64_t Seg2SamplesPresent(const XL_WaveTrace& t, const Seg2ShortTrace* short_trace);

// For each trace of the record, its entry of ShortTraces(), or null.
std::vector<const Seg2ShortTrace*> Seg2ShortTraceOfEach(const XL_WaveDataSeg2& record);

// {"header": {...}, "traces": [{...}, ...]} of a loaded record.
nlohmann::ordered_json Seg2RecordJson(const XL_WaveDataSeg2& record,
                                      const Seg2SampleOutput& samples_out);

// The reverse, for building a record to write: the keys present in `j` set
// their fields, absent ones keep what the header or trace holds. Counts
// ("traceCount", "sampleCount", "capacity", "samples*") are not taken: they
// follow from the traces and samples themselves. Throws
// nlohmann::json::exception on a value of the wrong type.
void Seg2HeaderFromJson(const nlohmann::ordered_json& j, WaveHeader* h);
void Seg2TraceFromJson(const nlohmann::ordered_json& j, XL_WaveTrace* t);

}  // namespace qae::cli
