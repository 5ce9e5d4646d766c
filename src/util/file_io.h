// Whole-file reading and crash-safe whole-file replacement.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qae {

// Reads the whole file into `bytes`. Returns false (and leaves `error` set)
// when it cannot be opened or read. Files larger than `max_bytes` are refused
// rather than loaded, so a wrong path cannot exhaust memory.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error,
                   uint64_t max_bytes = uint64_t{1} << 34);

// Replaces `path` with `bytes` so that, at every moment, the path holds
// either the complete old file or the complete new one: the data are written
// to a temporary file in the same directory, flushed to disk, and renamed
// over the target. An existing target keeps its permission bits. On failure
// the target is untouched, the temporary file is removed, and false is
// returned with `error` set.
bool WriteFileAtomically(const std::string& path, const uint8_t* bytes, std::size_t size,
                         std::string* error);

}  // namespace qae
