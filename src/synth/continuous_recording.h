// A synthetic continuous recording with a known answer, and writers of the
// four continuous-recording layouts.
//
// The continuous experiment is the event-file experiment of
// synthetic_experiment.h turned into one long recording: its templates and
// parameter file are kept, and the repeats of its event files are laid into
// a stream of Gaussian noise, one event per segment of the run, with some
// segments left quiet and one event placed inside the overlap of two
// consecutive segments (so that both report it). Layout under DIR:
//   DIR/ML_CC_AE_pars.txt          dataPath names the recording
//   DIR/templates/NNNNNN.sg2       the template events
//   DIR/recording/stream.lng       16-bit traces one after another
//   DIR/recording/stream.sg2       its companion SEG-2 file (traces, time base)
//   DIR/out/                       empty
//   DIR/ground_truth.tsv           what a run over the default range reports
//
// A run over segments first..last numbers the segments with a detection
// from `first`, so the answer depends on the range: ContinuousTruthForRange
// gives it for any range.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "synth/ground_truth.h"
#include "synth/synthetic_experiment.h"

namespace qae::synth {

struct ContinuousOptions {
  // Specimen, sensors, templates, noise and run parameters. n_events is the
  // number of events laid into the recording (the one in an overlap
  // included); n_samples is the templates' length, which sets the segment
  // step L (n_samples rounded down to a multiple of 1000). special_files
  // does not apply.
  SyntheticOptions base;
  int quiet_segments = 2;      // segments without an event among the others
  int64_t extra_segments = 0;  // quiet segments appended at the end (long recordings)
  bool overlap_event = true;   // one event in the overlap of two segments
};

// Defaults that give a small experiment with room for the overlap event.
ContinuousOptions DefaultContinuousOptions();

// One report a correct run makes: the event `truth` in segment `segment`,
// at t0 = its lag in that segment times dt.
struct SegmentReport {
  int64_t segment = 0;
  TruthRow truth;  // ae_number is the event's number in the base experiment
};

struct ContinuousExperiment {
  SyntheticExperiment base;  // dirs, parameter file, templates (data_dir: the recording)
  std::string recording;     // DIR/recording/stream.lng
  std::string companion;     // DIR/recording/stream.sg2
  int64_t step = 0;          // L
  int64_t length = 0;        // S
  int64_t segments = 0;      // segments 0 .. segments-1 hold the data
  int64_t samples_per_trace = 0;
  int64_t readable_segments = 0;       // segments a run reads before " EOF reached !"
  std::vector<SegmentReport> reports;  // by segment
  GroundTruth truth;                   // for the default range
  int first_ae = 0;                    // the default range: it runs past the end
  int last_ae = 0;
};

bool ValidateContinuousOptions(const ContinuousOptions& options, std::string* error);

// Writes the experiment under `dir`. Fails with `error` set, as
// GenerateSyntheticExperiment does, or when the templates are too short for
// the events to fit their segments.
bool GenerateContinuousExperiment(const std::string& dir, const ContinuousOptions& options,
                                  ContinuousExperiment* experiment, std::string* error);

// What a run over segments first..last must report: the segments with
// events among those the recording holds, numbered from `first` in order.
GroundTruth ContinuousTruthForRange(const ContinuousExperiment& experiment, int first, int last);

std::string DescribeContinuousExperiment(const ContinuousExperiment& experiment,
                                         const ContinuousOptions& options);

// ---- layout writers --------------------------------------------------------
// `channels[k][i]` is sample i of channel k; every channel has the same
// length. Values are stored as the layout's integers (cut to their range).

// Default layout: each channel's samples as 16-bit integers, one channel
// after another, no header.
bool WriteTraceSequentialRecording(const std::string& path,
                                   const std::vector<std::vector<int32_t>>& channels,
                                   std::string* error);

// The companion SEG-2 file of a default-layout recording at `recording`
// (its name with "sg2" as the last three characters): `n_traces` traces of
// a few samples with `sampling_interval`, and the time of the recording's
// first sample.
bool WriteRecordingCompanion(const std::string& recording, int n_traces, double sampling_interval,
                             int32_t time_sec, int32_t time_usec, std::string* error);

// "saq" layout: segments of `segment_length` samples per channel, channel
// after channel within a segment; the channels are padded with zeros to a
// whole number of segments. `bytes_per_sample` is 2 or 4.
bool WriteSaqRecording(const std::string& path, const std::vector<std::vector<int32_t>>& channels,
                       int bytes_per_sample, int32_t segment_length, std::string* error);

// "saq" with "tdms": the 28-byte lead-in with raw-data offset
// `raw_offset` (that many filler bytes follow it), then frames of one
// sample per channel.
bool WriteSaqTdmsRecording(const std::string& path,
                           const std::vector<std::vector<int32_t>>& channels, int bytes_per_sample,
                           uint32_t raw_offset, std::string* error);

// "any" layout: frames of 16 channels (exactly 16 given) stored as the
// value plus 0x8000 in 16 bits.
bool WriteAnyRecording(const std::string& path, const std::vector<std::vector<int32_t>>& channels,
                       std::string* error);

}  // namespace qae::synth
