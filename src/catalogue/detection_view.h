// One detection seen station by station: the record's traces around their
// picks with the template's traces aligned on them, and the correlation of
// each station's matching window at that alignment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"

namespace qae {

struct StationView {
  int trace = 0;              // 0-based trace index
  std::string lineId;
  int32_t pick = 0;           // record pick, sample index
  int32_t templatePick = 0;   // the template trace's pick
  int64_t first = 0;          // record sample index of record[0]
  std::vector<float> record;  // record samples first .. first + size - 1 (0 outside the trace)
  std::vector<float> templ;   // template samples at the same offsets from its pick
  // Normalised correlation of the matching windows (preWin before the pick,
  // postWin after) at this alignment; NaN when a window is silent.
  float cc = 0;
};

struct DetectionView {
  std::string eventFile;
  std::string templateFile;
  double dt = 0;          // sampling interval, traces' time unit
  int32_t before = 0;     // samples shown before each pick
  int32_t after = 0;      // and after it
  int32_t preLen = 0;     // matching window before the pick, samples
  int32_t winLen = 0;     // matching window length, samples
  bool filtered = false;  // band-passed as the scan saw them
  std::vector<StationView> stations;  // the picked traces, in trace order
};

struct DetectionViewOptions {
  std::string templateDir;  // prefix or folder; where "<#_T>*.sg2" is looked up
  float preWin = 0;         // matching window in the traces' time unit;
  float postWin = 0;        // 0: 1/4 and 3/4 of `after`
  float fLow = 0;           // band-pass corners (traces' inverse time unit);
  float fHigh = 0;          // fLow >= fHigh: unfiltered
  int mean = 0;             // the scan's mean mode: windows demeaned when not 0
  int32_t before = 200;     // samples shown around each pick
  int32_t after = 600;
};

// Loads the entry's event file and its template and builds the view. False
// (with `error`) when either cannot be read or the entry has no event file.
bool BuildDetectionView(const CatalogueEntry& entry, const DetectionViewOptions& options,
                        DetectionView* view, std::string* error);

}  // namespace qae
