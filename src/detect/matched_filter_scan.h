// The matched-filter scan of one record against the template library:
// station selection, correlation rows, delay-and-sum over the grid of trial
// source offsets, peak search with the two signal-to-noise tests, and the
// candidate table.
#pragma once

#include <cstdint>
#include <vector>

#include "detect/run_context.h"
#include "detect/template_library.h"
#include "params/ae_pars.h"
#include "wave/wave_data.h"

namespace qae {

// The stations of a template that take part in its scan: trace i (below
// nTraces) is selected when it exists and its note's "loc_ind=" value is
// below the template's "M=" station count.
struct StationSelection {
  int32_t m = 0;                       // "M=" of the template comments (0 when absent)
  std::vector<int16_t> locInd;         // "loc_ind=" per trace index < nTraces (9999 absent)
  std::vector<int32_t> traceIndex;     // selected trace indices, ascending
  std::vector<int32_t> pick;           // first pick of each selected template trace
  std::vector<XL_Vector3D> gradient;   // travel-time gradient of each selected station
  int32_t minPick = 0;                 // from nLags down
  int32_t maxPick = 0;                 // from 0 up
  int n() const { return static_cast<int>(traceIndex.size()); }
};
StationSelection SelectStations(const XL_WaveData& tpl, const AePars& pars,
                                const RunContext& ctx);

// Grid step along each axis: half-width / step count (a step count of 0
// gives step 0, so that axis holds the single offset 0).
struct GridSteps {
  float sx = 0.0f;
  float sy = 0.0f;
  float sz = 0.0f;
};
GridSteps ComputeGridSteps(const AePars& pars);

// Shift in samples that aligns a station of gradient `g` for offset
// (dx, dy, dz): floor(-J / dt + 0.5) with J = dy*g.y + dx*g.x + dz*g.z as a
// 32-bit float.
int32_t StationShift(const XL_Vector3D& g, float dx, float dy, float dz, float dt);

// A peak that passed the threshold and both signal-to-noise tests.
struct AcceptedPeak {
  int32_t ix = 0;
  int32_t iy = 0;
  int32_t iz = 0;
  int32_t q = 0;        // lag in samples
  float value = 0.0f;   // stack value at q
  float snr1 = 0.0f;
  float snr2 = 0.0f;
};

// What scanning one template against one record found, in the order in
// which the grid and lag loops meet the peaks. Computing it has no side
// effect besides the work rows of `ctx`.
struct TemplateScan {
  bool scanned = false;      // false: the template was skipped
  StationSelection stations;
  int32_t lagRange = 0;      // L
  float invN = 0.0f;
  std::vector<AcceptedPeak> peaks;
  // The station rows (n of them, then one scratch row for a stack), owned by
  // the work arrays the scan ran in; valid until those are reused.
  float* rows = nullptr;
  std::size_t rowStride = 0;
  float* Row(int k) const { return rows + static_cast<std::size_t>(k) * rowStride; }
};

// The stations of a template's scan, its factor 1/n and its lag range;
// `scanned` stays false for a template without traces or with fewer
// stations than minStations.
TemplateScan BeginTemplateScan(const XL_WaveData& tpl, const AePars& pars, const RunContext& ctx);

// Correlation rows, grid stack and peak search for one template, written
// directly from the method: this is the reference that faster scans are held
// to. Its rows are those of ctx.ccRows.
TemplateScan ScanTemplateReference(const XL_WaveData& tpl, const XL_WaveData& record,
                                   const AePars& pars, RunContext& ctx, float threshold);

// Delay-and-sum and peak search over the whole grid, from the station rows
// already in `scan`; appends the accepted peaks in loop order.
void FindGridPeaksReference(TemplateScan& scan, const AePars& pars, const RunContext& ctx,
                            float threshold, ScanTimings* timings);

// One station's correlation row over `lag_range` lags (both `mean` modes).
void CorrelationRow(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace, int32_t pick,
                    int32_t min_pick, int32_t lag_range, const RunContext& ctx, int mean_mode,
                    float* row);

// Delay-and-sum of the scan's station rows for one offset, times invN, into
// `stack` (lag_range entries).
void StackRows(const TemplateScan& scan, float dt, const GridSteps& steps, int32_t ix, int32_t iy,
               int32_t iz, float* stack);

// Peak search over one stack row; calls `accept(q, value, snr1, snr2)` for
// each accepted peak.
template <typename Accept>
void SearchPeaks(const float* stack, int32_t lag_range, int32_t scan_range, float threshold,
                 float snr_min, int32_t len2, int32_t len5, Accept&& accept);

class ScanBatch;

// Scans `record` with every template and writes the detections. Returns 1
// when at least one event survived the duplicate removal and was written,
// else 0. May replace pars.velX/Y/Z from the record's note. With `queued`,
// the template scans were queued on ctx.pool ahead of time (by a
// RecordPipeline) and are taken from there.
int ScanRecord(TemplateLibrary& templates, int template_count, AePars& pars, RunContext& ctx,
               XL_WaveData& record, ScanBatch* queued = nullptr);

}  // namespace qae

#include "detect/peak_search_inl.h"
