#include "wave/wave_data.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

namespace qae {

XL_WaveData::~XL_WaveData() = default;
XL_WaveDataAE::~XL_WaveDataAE() = default;

int XL_WaveData::Load(const std::string&, int, int64_t, int64_t) { return 0; }

void XL_WaveData::Clear() {
  traces.clear();
  header.Reset();
  header.traceCount = 0;
}

int XL_WaveData::RemoveTrace(int index) {
  if (index < 0 || index >= TraceCount()) return 0;
  traces.erase(traces.begin() + index);
  header.traceCount = static_cast<int16_t>(traces.size());
  ++changeCount;
  return TraceCount();
}

XL_WaveTrace& XL_WaveData::AddTrace(std::unique_ptr<XL_WaveTrace> trace) {
  traces.push_back(std::move(trace));
  header.traceCount = static_cast<int16_t>(traces.size());
  return *traces.back();
}

int XL_WaveData::AppendRecord(const XL_WaveData& other) {
  if (TraceCount() != other.TraceCount()) return 0;
  for (int i = 0; i < TraceCount(); ++i) Trace(i).AppendSamples(other.Trace(i));
  ++changeCount;
  return 1;
}

void XL_WaveData::SaveSamples() {
  for (auto& t : traces) {
    const auto n = static_cast<std::size_t>(std::clamp(t->sampleCount, 0, t->AllocatedSlots()));
    try {
      t->savedSamples.assign(t->samples.begin(), t->samples.begin() + static_cast<std::ptrdiff_t>(n));
    } catch (const std::bad_alloc&) {
      t->savedSamples.clear();
    }
  }
}

void XL_WaveData::RestoreSamples() {
  for (auto& t : traces) {
    if (t->savedSamples.empty()) continue;
    const std::size_t n = std::min({static_cast<std::size_t>(std::max(t->sampleCount, 0)),
                                    t->savedSamples.size(), t->samples.size()});
    std::copy_n(t->savedSamples.begin(), n, t->samples.begin());
  }
}

int XL_WaveData::GetAeNumber() const {
  if (aeNumber >= 0) return aeNumber;
  std::string stem = sourceName;
  const std::size_t dot = stem.rfind('.');
  if (dot != std::string::npos) {
    stem.resize(dot);
  } else if (!stem.empty()) {
    stem.pop_back();
  }
  const std::string tail = stem.size() > 5 ? stem.substr(stem.size() - 5) : stem;
  const long v = std::strtol(tail.c_str(), nullptr, 10);
  return static_cast<int>(v);
}

double XL_WaveData::GetSamplingInterval() const { return Trace(0).samplingInterval; }

int32_t XL_WaveData::GetSampleCount() const { return Trace(0).sampleCount; }

double XL_WaveData::GetDelaySamples(int trace_index) const {
  const XL_WaveTrace& t = Trace(trace_index);
  return t.delay / t.samplingInterval;
}

int XL_WaveData::RotateToRadial() { return RotateTriples('E', 'N', 'R', 'T', true); }

int XL_WaveData::RotateToGeographic() { return RotateTriples('R', 'T', 'E', 'N', false); }

// Walks the traces looking for (first, second, 'Z') triples; anything that is
// not part of a complete triple is removed, so the result is a clean list of
// rotated triples.
int XL_WaveData::RotateTriples(char first, char second, char rotated_first, char rotated_second,
                               bool to_radial) {
  constexpr double kDegToRad = 0.017453292519943295;
  if (TraceCount() == 0 || Trace(0).Component() == rotated_first) return 0;
  int rotated = 0;
  int k = 0;
  while (k < TraceCount()) {
    if (Trace(k).Component() != first) {
      RemoveTrace(k);
      continue;
    }
    if (k + 1 >= TraceCount()) break;  // a lone trailing 'first' trace stays
    if (Trace(k + 1).Component() != second) {
      RemoveTrace(k);
      continue;
    }
    if (k + 2 >= TraceCount()) break;  // a trailing pair stays
    if (Trace(k + 2).Component() != 'Z') {
      RemoveTrace(k);
      RemoveTrace(k);
      continue;
    }
    XL_WaveTrace& a = Trace(k);
    XL_WaveTrace& b = Trace(k + 1);
    const XL_WaveTrace& z = Trace(k + 2);
    const double theta = (z.station ? z.station->azimuth : 0.0) * kDegToRad;
    // The rotation matrix is its own inverse, so both directions use the
    // same s and c; the way back computes them from 90 degrees - azimuth.
    const double s = to_radial ? std::sin(theta) : std::cos(kDegToRad * 90.0 - theta);
    const double c = to_radial ? std::cos(theta) : std::sin(kDegToRad * 90.0 - theta);
    const int32_t n = std::min({a.sampleCount, b.sampleCount, z.sampleCount, a.AllocatedSlots(),
                                b.AllocatedSlots()});
    for (int32_t i = 0; i < n; ++i) {
      const double u = a.samples[static_cast<std::size_t>(i)];
      const double v = b.samples[static_cast<std::size_t>(i)];
      a.samples[static_cast<std::size_t>(i)] = static_cast<float>(s * u + c * v);
      b.samples[static_cast<std::size_t>(i)] = static_cast<float>(c * u - s * v);
    }
    a.SetComponent(rotated_first);
    b.SetComponent(rotated_second);
    ++rotated;
    k += 3;
  }
  return rotated;
}

}  // namespace qae
