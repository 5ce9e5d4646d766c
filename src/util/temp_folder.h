// New folders under the system's temporary folder.
#pragma once

#include <string>

namespace qae {

// Creates a new, empty folder named `prefix` and six random characters
// under the system's temporary folder and returns its path ('/'-separated
// on every system). "" with `error` set (naming the pattern tried) when it
// cannot be created.
std::string MakeTemporaryFolder(const std::string& prefix, std::string* error);

}  // namespace qae
