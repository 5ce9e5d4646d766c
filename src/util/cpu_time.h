// Processor time used, for the stage figures of the benchmark: of the
// calling thread, and of the whole process (user plus system, seconds).
#pragma once

namespace qae {

double ThreadCpuSeconds();
double ProcessCpuSeconds();

}  // namespace qae
