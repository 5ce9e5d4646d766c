// Whole-file reading and crash-safe whole-file replacement, and the few
// file operations whose system calls differ between POSIX and Windows
// (util/posix/file_io.cpp, util/windows/file_io.cpp). Every name is UTF-8.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Opens `path` as std::fopen does (the mode is fopen's). Text mode is never
// wanted: it would write "\r\n" on Windows.
std::FILE* OpenStdioFile(const std::string& path, const char* mode);

// The pieces of a replacement written as a stream (the SAC writer):
// a new, uniquely named file "<path>.tmp.XXXXXX" beside `path`, open for
// binary writing; null when it cannot be created.
std::FILE* CreateFileBeside(const std::string& path, std::string* tmp_path);
// fflush and the system's flush to disk; false on either error.
bool FlushToDisk(std::FILE* file);
// Gives `file` the permission bits of an existing `path`, or those a new
// file gets. Windows has no such bits: nothing to do there.
bool TakePermissionsOf(std::FILE* file, const std::string& path);
// Puts `from` in the place of `to` in one step, replacing it. False with
// the system's reason in `error` (when not null).
bool MoveFileOver(const std::string& from, const std::string& to, std::string* error = nullptr);
// Removes a file; false when it could not.
bool RemoveFile(const std::string& path);

}  // namespace qae
