// The fast scan of one template: the same peaks, in the same order and with
// the same bits, as ScanTemplateReference, found with
//  - vector kernels for the correlation rows and the stacks,
//  - each distinct vector of station shifts stacked once (grid offsets whose
//    shifts all round alike give the same stack), and
//  - exact pruning: per lag, the mean over stations of each station's
//    largest row value within the shifts it can take (0 where a shift leaves
//    the row) bounds the stack of every offset of a box of the grid from
//    above, in the same float arithmetic; lags whose bound stays at or below
//    the threshold cannot start a peak. Boxes are split (branch and bound)
//    while their bound exceeds the threshold somewhere, and each vector is
//    stacked only where its leaf box's bound reaches the threshold and in
//    the noise windows of the lags its peak search examines.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "detect/matched_filter_scan.h"
#include "detect/record_brain_floats.h"
#include "detect/run_context.h"
#include "detect/scan_workspace.h"
#include "params/ae_pars.h"
#include "wave/wave_data.h"

namespace qae {


// Peaks of one template against one record; rows live in `ws`. With a
// template index the template's shift plan is kept in ctx.shiftPlans for
// the next records. The returned rows are exact where the peak search read
// them; with `exact_rows` (the diagnostic files read all of them) they are
// exact everywhere. `record_pairs`, the record's brain-float pairs shared
// by every template scanned against it, spares making them per scan.
TemplateScan ScanTemplateFast(const XL_WaveData& tpl, const XL_WaveData& record,
                              const AePars& pars, const RunContext& ctx, ScanWorkspace& ws,
                              float threshold, ScanTimings* timings, int template_index = -1,
                              bool exact_rows = false,
                              const RecordBrainFloats* record_pairs = nullptr);

// Whether a run's scans must leave exact rows everywhere: the diagnostic
// correlation files (output level 5 and above) write whole rows.
inline bool WantsExactRows(const AePars& pars) { return pars.outLevel >= 5; }

// Makes lags [begin, end) of station k's row exact (rows that hold upper
// bounds only; exact rows are left as they are).
using RowRefiner = std::function<void(int k, int32_t begin, int32_t end)>;

// FindGridPeaksReference's peaks, found as described above. Without a
// refiner the rows must be exact; with one they may hold upper bounds of
// the exact values, and the refiner is asked for every range the stacks read.
void FindGridPeaksFast(TemplateScan& scan, const AePars& pars, const RunContext& ctx,
                       ScanWorkspace& ws, float threshold, ScanTimings* timings,
                       const RowRefiner* refine = nullptr, int template_index = -1);

// One station's correlation row, bit for bit as CorrelationRow.
void CorrelationRowFast(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace,
                        int32_t pick, int32_t min_pick, int32_t lag_range, const RunContext& ctx,
                        int mean_mode, ScanWorkspace& ws, float* row);

}  // namespace qae
