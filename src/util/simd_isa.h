// The vector instruction set that the kernels of this program use on this
// processor, chosen at run time. Every kernel gives the same bits on every
// set; tests force each one in turn.
#pragma once

namespace qae {

enum class KernelIsa { kScalar, kAvx2, kAvx512 };
// The best set this processor has.
KernelIsa DetectKernelIsa();
// The set the kernels use now: the best one, or the one forced for a test.
KernelIsa ActiveKernelIsa();
const char* KernelIsaName(KernelIsa isa);
// Forces an instruction set (tests compare every one with the scalar code);
// a set the processor lacks falls back to the best it has.
void SetKernelIsaForTesting(KernelIsa isa);

}  // namespace qae
