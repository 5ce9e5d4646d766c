#include "util/local_time.h"

namespace qae {

bool LocalTimeOf(std::time_t t, std::tm* out) { return localtime_r(&t, out) != nullptr; }

}  // namespace qae
