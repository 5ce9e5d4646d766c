// How much memory this process can count on.
#pragma once

#include <cstdint>

namespace qae {

// Bytes of memory the process may use: the machine's physical memory,
// lowered to the process's address-space limit or its control group's
// memory limit when either is smaller. 0 when none of them can be told.
uint64_t AvailableMemoryBytes();

}  // namespace qae
