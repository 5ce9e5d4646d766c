#include "util/local_time.h"

namespace qae {

bool LocalTimeOf(std::time_t t, std::tm* out) { return localtime_s(out, &t) == 0; }

}  // namespace qae
