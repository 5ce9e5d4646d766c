// The fast scan of one template: the same peaks, in the same order and with
// the same bits, as ScanTemplateReference, found with
//  - vector kernels for the correlation rows and the stacks,
//  - each distinct vector of station shifts stacked once (grid offsets whose
//    shifts all round alike give the same stack), and
//  - exact pruning: per lag, the mean over stations of each station's
//    largest row value within the shifts it can take (0 where a shift leaves
//    the row) bounds every offset's stack from above, in the same float
//    arithmetic; lags whose bound stays at or below the threshold cannot
//    start a peak, so stacks are only evaluated around the others, widened
//    by what the climb and the two noise windows read.
#pragma once

#include <cstdint>
#include <vector>

#include "detect/matched_filter_scan.h"
#include "detect/run_context.h"
#include "detect/scan_workspace.h"
#include "params/ae_pars.h"
#include "wave/wave_data.h"

namespace qae {


// Peaks of one template against one record; rows live in `ws`.
TemplateScan ScanTemplateFast(const XL_WaveData& tpl, const XL_WaveData& record,
                              const AePars& pars, const RunContext& ctx, ScanWorkspace& ws,
                              float threshold, ScanTimings* timings);

// FindGridPeaksReference's peaks, found as described above.
void FindGridPeaksFast(TemplateScan& scan, const AePars& pars, const RunContext& ctx,
                       ScanWorkspace& ws, float threshold, ScanTimings* timings);

// One station's correlation row, bit for bit as CorrelationRow.
void CorrelationRowFast(const XL_WaveTrace& tpl_trace, const XL_WaveTrace& rec_trace,
                        int32_t pick, int32_t min_pick, int32_t lag_range, const RunContext& ctx,
                        int mean_mode, ScanWorkspace& ws, float* row);

}  // namespace qae
