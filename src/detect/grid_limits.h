// The size of the offset grid against the memory the scan has.
#pragma once

#include <cstdint>
#include <string>

#include "params/ae_pars.h"

namespace qae {

// Offsets of the search grid for step counts (nx, ny, nz):
// (2 nx + 1)(2 ny + 1)(2 nz + 1), a negative count standing for 0 steps
// (the single offset 0 on that axis, as the scan treats it). Saturates at
// UINT64_MAX.
uint64_t GridOffsetCount(int32_t steps_x, int32_t steps_y, int32_t steps_z);

// Bytes that the fast scan holds for the grid of `pars`: each shift plan
// keeps one 32-bit vector index per grid offset, and every scanning thread
// may hold two plans at once (PlansHeldAtOnce). The distinct shift vectors come on top, at most one
// per offset, but offsets that round alike share theirs. Computed in double
// so that no grid size overflows it.
int PlansHeldAtOnce(int n_templates, int scan_threads);
double GridBytesNeeded(const AePars& pars, int n_traces, int n_templates, int scan_threads);

// Whether the grid of `pars` fits: empty when it does, else a one-line
// message giving the grid, the memory it would need and what there is.
// `memory_bytes` 0 asks the machine (AvailableMemoryBytes); when that is
// unknown too, only grids beyond the address space are refused. Grids of
// more than INT32_MAX offsets are refused whatever the memory, as a plan
// numbers its shift vectors in 32 bits. The straightforward scan keeps
// nothing per offset; this describes the fast one.
std::string GridSizeProblem(const AePars& pars, int n_traces, int n_templates,
                            int scan_threads = 1, uint64_t memory_bytes = 0);

// "3.1 TB": a byte count in decimal units, three significant digits.
std::string ByteSizeText(double bytes);

}  // namespace qae
