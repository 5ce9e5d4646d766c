// The process-wide pseudo-random generator of the run: the classic C
// runtime's linear congruential generator (values 0..32767, state starting
// at 1, never seeded), so dithered offsets are the same on every platform
// and for every way a run is started. The first values are 41, 18467, 6334,
// 26500.
#pragma once

#include <cstdint>

namespace qae {

// The next value, 0..32767.
int CrtRand();

// Back to the initial state, as in a freshly started process (tests only).
void ResetCrtRandForTesting();

}  // namespace qae
