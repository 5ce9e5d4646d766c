// The continuous-data run driver: one long recording cut into overlapping
// segments, each scanned as a record with the template library. The run's
// AE range is a range of segment indices; segments with a detection are
// numbered consecutively from the run's first number.
#pragma once

#include <cstdint>
#include <string>

#include "detect/run_context.h"
#include "params/ae_pars.h"

namespace qae {

// Segment k covers the samples [k * step, k * step + length) of the
// recording: step L is the reference trace's sample count rounded down to a
// multiple of 1000, and length S = L + L / 10, so consecutive segments
// overlap by L / 10 samples.
struct SegmentGeometry {
  int64_t step = 0;    // L
  int64_t length = 0;  // S
};
SegmentGeometry ComputeSegmentGeometry(int32_t reference_samples);

// Carries a run over the recording `data_path` (chosen by RunEventFiles
// when the path contains ".lng"), segments firstAE..lastAE, until the range
// ends or the recording does (" EOF reached !"). Writes the same log as the
// event-file driver and renames it to "..._OK.txt" when the run completes.
// A run that cannot be scanned at all (no usable reference template, a
// reference shorter than 1000 samples, a recording that cannot be read, or
// segments longer than the recording's layout delivers) sets
// ctx.fatalError, says why in the log and keeps the log's plain name.
// Returns the number of segments with a detection.
int RunContinuous(RunContext& ctx, const std::string& template_dir, const std::string& data_path,
                  AePars& pars);

}  // namespace qae
