// The parameter record of a run: every setting read from the parameter file
// (see params/parameter_file.h), plus the AE range set by the run control.
//
// Each member starts at the value the reader applies when the file does not
// give one, so a default-constructed record is also "all defaults". The
// template loader and the scan may overwrite `maxTemplates` and `velX..Z`
// during a run; everything else stays as read.
#pragma once

#include <cstdint>
#include <string>

namespace qae {

struct AePars {
  float reserved1 = 0.3f;       // Read and stored; unused.
  float preWin = 1.0f;          // Matching window before the pick (trace time unit).
  float postWin = 3.0f;         // Matching window after the pick; also the amplitude window.
  float dupWin = 250.0f;        // Candidates closer than this in time count as one event.
  float reserved4 = 0.9f;       // Read and stored; unused.
  float ccMin = 0.5f;           // Minimum stacked correlation for a detection.
  float snrMin = 2.0f;          // Minimum signal-to-noise ratio of a correlation peak.
  float fLow = 0.1f;            // Band-pass low corner (cycles per trace time unit).
  float fHigh = 3.0f;           // Band-pass high corner; no filtering unless fLow < fHigh.
  float reserved2 = 0.0f;       // Read and stored; unused.
  float reserved3 = 0.3f;       // Read and stored; unused.
  int32_t reserved5 = 1000;     // Read and stored; unused.
  int32_t maxTemplates = 1000;  // Template library capacity; its sign selects the loading mode.
  int32_t iTS = -1;             // First template loaded up front; negative means 0.
  int32_t iTE = -1;             // Last template loaded up front; negative means maxTemplates - 1.
  int32_t minStations = 4;      // Minimum located stations of a template / usable traces.
  int32_t wellLocatedM = 12;    // Records located with at least this many stations are skipped.
  int32_t all = 0;              // Non-zero: rescan records detected by an earlier run.
  float velX = 7.0f;            // P velocity along X (station distance unit per time unit).
  float velY = 7.0f;            // P velocity along Y.
  float velZ = 7.0f;            // P velocity along Z.
  float gridHalfX = 0.5f;       // Half-width of the position-offset search along X.
  float gridHalfY = 0.5f;       // The same along Y.
  float gridHalfZ = 0.5f;       // The same along Z.
  int32_t gridStepsX = 5;       // Search steps per half-width along X.
  int32_t gridStepsY = 5;       // The same along Y.
  int32_t gridStepsZ = 5;       // The same along Z.
  int32_t outLevel = 2;         // Detail of optional log lines and diagnostic files.
  int32_t firstAE = 0;          // First AE number (or segment index) of the run.
  int32_t lastAE = 0;           // Last AE number of the run, inclusive.
  int32_t mean = 0;             // Non-zero: remove window means in the correlation.
  std::string templateDir;      // Template directory, a prefix ending with a separator.
  std::string dataPath;         // Event-file directory prefix, or a continuous ".lng" file.
  std::string outDir;           // Output directory prefix for the log and result files.
};

}  // namespace qae
