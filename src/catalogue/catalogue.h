// A run's detections as a catalogue: every row of the result table joined
// with the event file (or numbered copy) that holds its detection line and
// picks, with absolute times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/record_time.h"
#include "catalogue/result_table_reader.h"

namespace qae {

// One pick of a detection: a trace of the copy whose pick was set by the
// detection.
struct CataloguePick {
  int trace = 0;             // 0-based trace index in the record
  std::string lineId;        // the trace's LINE_ID
  std::string channelCode;   // the trace's channel code (may be empty)
  int32_t sample = 0;        // pick as a sample index from the trace start
  double offset = 0;         // sample x sampling interval: time after the record start
  bool hasTime = false;
  int64_t timeUs = 0;        // absolute pick time, microseconds since 1970 UTC
  std::string time;          // ISO 8601, "YYYY-MM-DDTHH:MM:SS.ffffffZ"; empty without a time
  float nsRatio = 0;
  double ampPickup = 0;
  float receiver[3] = {0, 0, 0};  // the trace's receiver location
};

struct CatalogueEntry {
  ResultRow row;
  // The file that holds this detection (the event file or an "_NN" copy);
  // empty when none of them does (the file is gone or was detected again).
  std::string eventFile;
  int copyNumber = -1;       // 0 for the event file itself, NN for a copy
  bool hasTime = false;
  int64_t recordStartUs = 0; // the record's start, microseconds since 1970 UTC
  int64_t originUs = 0;      // start + t0
  std::string originTime;    // ISO 8601 of originUs; empty without a time
  int stations = -1;         // "M=" of the detection line; -1 without a file
  std::vector<CataloguePick> picks;
};

// Whether a trace of a written record carries a pick set by its detection:
// the pick state of every trace is cleared before the scan (a cleared pick
// is written as 0).
struct XL_WaveTrace;
bool IsDetectionPick(const XL_WaveTrace& trace);

// The template file of AE number `ae` in `templateDir` (a prefix or folder):
// "<ae as %06d>.sg2", or another "*.sg2" whose name starts with those six
// digits; empty when there is none.
std::string TemplateFileOf(const std::string& templateDir, int32_t ae);

// Where a run kept its files, as its logs tell.
struct RunFolders {
  // Prefix of the event files ("<dataPath>" of "  Loading <dataPath>NNNNNN.sg2...");
  // the output folder itself for continuous runs, whose segments are written there.
  std::string dataPrefix;
  // Every prefix the logs name, newest log first (dataPrefix is the first).
  std::vector<std::string> dataPrefixes;
  std::string templateDir;   // "Load templates from <dir>"
  std::vector<std::string> logs;  // the logs read, sorted
};

// Reads the logs "Log_*.txt" in `outDir` (a prefix, as in the parameter file,
// or a folder without the trailing separator).
RunFolders DiscoverRunFolders(const std::string& outDir);

struct CatalogueOptions {
  // Prefix of the event files; empty: from the logs, else `outDir`.
  std::string dataPrefix;
  // "us", "ms" or "s": the unit of t0 and of the traces' sampling interval;
  // empty: the table's.
  std::string timeUnit;
};

struct Catalogue {
  std::string outDir;
  std::string tablePath;
  std::vector<std::string> dataPrefixes;  // the prefixes looked in, in order
  std::string timeUnit;    // the unit used
  std::vector<CatalogueEntry> entries;  // table order
  std::vector<std::string> warnings;    // one line each
};

// Builds the catalogue of the output folder `outDir`. False (with `error`)
// when its table cannot be read or the time unit is unknown; rows whose event
// file is missing are kept, without the fields that need it, and warned about.
bool BuildCatalogue(const std::string& outDir, const CatalogueOptions& options, Catalogue* cat,
                    std::string* error);

}  // namespace qae
