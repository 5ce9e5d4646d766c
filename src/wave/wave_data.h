// A waveform record: a file header and an ordered list of owned traces, one
// per channel. Subclasses add loading from one file format each
// (XL_WaveDataSeg2 in wave/formats/seg2_reader.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "wave/wave_header.h"
#include "wave/wave_trace.h"

namespace qae {

class XL_WaveData {
 public:
  XL_WaveData() = default;
  virtual ~XL_WaveData();
  XL_WaveData(const XL_WaveData&) = delete;
  XL_WaveData& operator=(const XL_WaveData&) = delete;
  XL_WaveData(XL_WaveData&&) = default;
  XL_WaveData& operator=(XL_WaveData&&) = default;

  virtual const char* GetTypeName() const { return "Waveform File"; }

  // Rotates E, N (, Z) triples to R, T; traces outside complete triples are
  // removed. Returns the number of triples rotated, 0 when trace 0 is
  // already 'R'. Requires at least one trace.
  virtual int RotateToRadial();
  // The inverse walk over R, T, Z triples; 0 when trace 0 is already 'E'.
  virtual int RotateToGeographic();

  // Appends, trace by trace, the samples of `other`. Returns 0 (and changes
  // nothing) when the trace counts differ, else 1.
  virtual int AppendRecord(const XL_WaveData& other);

  // Reads a file into the record; 1 on success, 0 on failure. The base
  // record reads no format.
  virtual int Load(const std::string& file_name, int clear_first, int64_t first_trace,
                   int64_t last_trace);

  // `aeNumber` if it is 0 or more, else the number in the last five
  // characters of `sourceName` without its extension.
  virtual int GetAeNumber() const;

  // Values of trace 0 (or of `trace_index`); callers ensure the trace exists.
  virtual double GetSamplingInterval() const;
  virtual int32_t GetSampleCount() const;
  virtual double GetDelaySamples(int trace_index) const;

  // Deletes every trace and resets the header.
  void Clear();
  // Deletes trace `index` and returns the new count; 0 for a bad index.
  int RemoveTrace(int index);
  // Appends an owned trace and keeps `traceCount` in step.
  XL_WaveTrace& AddTrace(std::unique_ptr<XL_WaveTrace> trace);

  // savedSamples = copy of samples, for every trace.
  void SaveSamples();
  // samples = savedSamples, for every trace that has them.
  void RestoreSamples();

  int TraceCount() const { return static_cast<int>(traces.size()); }
  XL_WaveTrace& Trace(int i) { return *traces[static_cast<std::size_t>(i)]; }
  const XL_WaveTrace& Trace(int i) const { return *traces[static_cast<std::size_t>(i)]; }

  int32_t changeCount = 0;
  int32_t outputFormat = 4;  // SEG-2 format for export: 1 int16, 2 int32, else float32
  int32_t aeNumber = -1;
  std::string sourceName;
  float timeZoneHours = 0.0f;
  WaveHeader header;
  std::vector<std::unique_ptr<XL_WaveTrace>> traces;

 private:
  int RotateTriples(char first, char second, char rotated_first, char rotated_second,
                    bool to_radial);
};

// A record of the acoustic-emission acquisition format; it carries one
// owned pointer that this system never sets.
class XL_WaveDataAE : public XL_WaveData {
 public:
  XL_WaveDataAE() = default;
  ~XL_WaveDataAE() override;
  XL_WaveDataAE(XL_WaveDataAE&&) = default;
  XL_WaveDataAE& operator=(XL_WaveDataAE&&) = default;

  std::unique_ptr<uint8_t[]> acquisitionBlock;
};

}  // namespace qae
