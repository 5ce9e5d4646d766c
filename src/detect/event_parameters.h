// From the scan's candidate table to results: removal of events found by
// several templates, and per event its offset from the template, position,
// origin time, picks on the record's traces and moment magnitude.
#pragma once

#include <cstdint>
#include <vector>

#include "detect/matched_filter_scan.h"
#include "detect/run_context.h"
#include "params/ae_pars.h"
#include "wave/wave_data.h"

namespace qae {

// Merges rows closer than `dup_win` in time: of every such group exactly one
// row survives, holding the values of the strongest (highest cc; on a tie
// the earlier row). Removed rows get templateIndex -1. Returns the number
// removed.
int RemoveDuplicateEvents(CandidateEvent* events, int n_events, float dup_win);

// Results of one event.
struct EventEstimate {
  float dX = 0.0f;
  float dY = 0.0f;
  float dZ = 0.0f;
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
  double t0 = 0.0;
  float dMw = 0.0f;
  float mwTemplate = 0.0f;
  StationSelection stations;   // the template's selected stations
};

// Estimates the row's event from its template `tpl` (in memory, with
// traces). Draws the dither from the run's generator when cc < 0.99, places
// picks and measures amplitudes on the record's traces, copies the template
// trace notes to the record, and sets row.mw.
EventEstimate EstimateEventParameters(CandidateEvent& row, const XL_WaveData& tpl,
                                      XL_WaveData& record, const AePars& pars, RunContext& ctx);

// The signed peak amplitude after pick `pick` and the time from the pick to
// it; sets the trace's ampPickup (and SAC words when it has a header).
struct PeakAmplitude {
  double amplitude = 0.0;
  double timeToPeak = 0.0;
};
PeakAmplitude MeasurePeakAmplitude(XL_WaveTrace& trace, int32_t pick);

// Ascending sort of `n` floats (quicksort with insertion sort for small
// partitions and a pseudo-random partitioning element).
void QCKSRT(float* values, int n);

// Median of the ratios that are finite and positive; NaN when none is.
float MedianRatio(std::vector<float> ratios);

}  // namespace qae
