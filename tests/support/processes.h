// Work the tests must do in other processes (or, where the system has no
// fork, in the nearest equivalent): one CPU for a while, several writers at
// once.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qae::test {

// Runs `body` with the process's CPU affinity cut to one CPU, without
// changing it for the rest of the tests (in a forked child on POSIX; on
// Windows the mask is restored afterwards). Returns body's result, or -1
// with `why` set when the affinity could not be set.
int RunWithOneCpu(const std::function<int()>& body, std::string* why);

// Runs body(0) ... body(n - 1) at the same time as independent writers:
// in n forked processes on POSIX (a POSIX record lock does not exclude the
// threads of one process), in n threads on Windows, where each lock
// belongs to a handle and so excludes the other threads' handles just as
// it excludes other processes. Returns each body's result.
std::vector<int> RunConcurrently(int n, const std::function<int(int)>& body);

// Runs `body` while this process may write no file beyond `bytes` (a
// stand-in for a full disk), then lifts the limit. False, without running
// it, where the system has no such limit (Windows).
bool WithFileSizeLimit(long bytes, const std::function<void()>& body);

}  // namespace qae::test
