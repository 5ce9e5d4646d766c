// How many processors this process may run on.
#pragma once

namespace qae {

// The CPUs the process is allowed to use: the size of its CPU affinity mask,
// which honours `taskset`, cpuset control groups and the allocations of
// batch systems such as Slurm. Falls back to the processor count when the
// mask cannot be read; never less than 1.
int UsableCpuCount();

}  // namespace qae
