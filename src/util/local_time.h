// The broken-down local time of an instant, thread-safe.
#pragma once

#include <ctime>

namespace qae {

// False (and `out` untouched) when the system cannot convert `t`.
bool LocalTimeOf(std::time_t t, std::tm* out);

}  // namespace qae
