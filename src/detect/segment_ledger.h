// The ledger of a continuous recording's segments whose detections were
// written: what a marked event file is to an event-file run. A rerun over
// the same segments skips those in the ledger (unless `all` is set) and
// numbers its new detections after theirs, so that no row is written twice
// and no output file of an earlier detection is overwritten.
//
// One ledger per output folder, "ML_detect_segments.txt", shared like the
// result table: one line per segment with a detection, "<recording>\t
// <segment>\t<AE number>\n", appended under the same kind of lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace qae {

inline constexpr const char* kSegmentLedgerName = "ML_detect_segments.txt";

std::string SegmentLedgerPath(const std::string& out_dir);

// How a recording is named in the ledger: its absolute, normalised path, so
// that runs started from other folders agree.
std::string RecordingIdentity(const std::string& data_path);

std::string SegmentLedgerLine(const std::string& recording, int64_t segment, int ae_number);

// The segments of `recording` in the ledger, with their AE numbers. A
// missing ledger is an empty one; false (with `error`) when it exists but
// cannot be read.
bool ReadSegmentLedger(const std::string& path, const std::string& recording,
                       std::map<int64_t, int>* segments, std::string* error);

}  // namespace qae
