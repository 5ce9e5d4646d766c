// Waits of the run control and the result-table retries.
#pragma once

namespace qae {

// Waits about `ms` milliseconds. The wait is ms x 1000/1024 ms long (the
// tick arithmetic of the original counter-based wait divides the counter
// frequency by 1024), so 10000 waits about 9.77 s. It sleeps rather than
// spinning.
void SpinWait(int ms);

}  // namespace qae
