// The IIR cascade applied to several traces at once: each vector lane
// filters one trace with exactly the operations of ApplyIirSections, so the
// results are the same bits, while the recursions of many traces overlap
// instead of each waiting on its own previous sample.
#pragma once

#include <cstdint>

#include "dsp/iir_filter.h"

namespace qae {

// Filters traces[i][0 .. counts[i]) for i < n_traces, as ApplyIirSections
// would one after the other.
void ApplyIirSectionsToTraces(float* const* traces, const int64_t* counts, int n_traces,
                              const IirSectionSet& sections);

}  // namespace qae
