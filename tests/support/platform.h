// What the tests need to know of the system they run on, in one place.
#pragma once

namespace qae::test {

#ifdef _WIN32
inline constexpr bool kOnWindows = true;
#else
inline constexpr bool kOnWindows = false;
#endif

}  // namespace qae::test
