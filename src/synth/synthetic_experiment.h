// A synthetic acoustic-emission experiment with a known answer: a prism
// specimen with sensors on its faces, template events with known positions
// and magnitudes, and numbered event files that hold noisy repeats of the
// templates at known offsets, origin times and magnitudes, together with the
// parameter file that points a run at them and the ground-truth table.
//
// Layout written under the experiment directory DIR:
//   DIR/ML_CC_AE_pars.txt   parameter file (absolute directory prefixes)
//   DIR/templates/NNNNNN.sg2  one SEG-2 file per template event
//   DIR/events/NNNNNN.sg2     the numbered event files of the run's range
//   DIR/out/                  empty; the run's log and result table go here
//   DIR/ground_truth.tsv      what a correct run reports (synth/ground_truth.h)
//
// The model: P velocity varying with direction as an ellipsoid; each
// template event radiates a short wavelet (about 0.5 MHz) that reaches each
// sensor at its travel time, scaled by 10^Mw, by 1/distance and by the
// sensor's coupling, followed by a few reflections; a repeat of a template
// is the same waveform set from a source moved by the offset (each arrival
// moves by its travel-time change) and scaled by 10^dMw, plus a small
// difference of its own that keeps its correlation with the template near
// 0.95, plus Gaussian noise. Samples are 16-bit counts.
//
// Units follow the recordings: millimetres, microseconds, megahertz. Every
// random choice comes from one seed through generators whose output is fixed
// by the language standard (mt19937 and seed_seq) and distributions written
// here, so a seed draws the same experiment everywhere; the samples then
// follow through the math library, whose last bit may differ between
// platforms (a count here and there).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "synth/ground_truth.h"

namespace qae::synth {

struct SyntheticOptions {
  uint32_t seed = 1;

  // Specimen: a prism [0, size_x] x [0, size_y] x [0, size_z], in mm.
  double size_x_mm = 50.0;
  double size_y_mm = 50.0;
  double size_z_mm = 100.0;
  // 16 sensors and a 0.5 mm grid step: a step moves an arrival by less than
  // one sample (the scan aligns stations in whole samples), so the offset
  // is resolved by the stations together; with 12 sensors and 0.4 mm steps
  // about one event in four lands one grid cell off.
  int n_sensors = 16;        // 4 .. 50 (the scan's station limit)

  int n_templates = 4;       // 1 .. 100
  int n_events = 12;         // injected events expected to be detected, 1 .. 1000
  int n_samples = 4096;      // samples per trace, 1024 .. 1048576
  double dt_us = 0.1;        // sample interval

  // Standard deviation of the Gaussian noise added to every sample, in
  // counts. A template of the reference magnitude peaks at about 3000
  // counts 10 mm from its source.
  double noise_counts = 3.0;

  // Ellipsoidal P velocity, mm/us.
  float vel_x = 6.5f;
  float vel_y = 6.8f;
  float vel_z = 5.9f;

  // Search grid of the run (the same on every axis); event offsets are
  // drawn on its points, at most steps - 1 steps from the centre.
  float grid_half_mm = 2.5f;
  int grid_steps = 5;

  // Further values of the parameter file.
  float pre_win_us = 1.0f;
  float post_win_us = 3.0f;
  float dup_win_us = 100.0f;
  float f_low_mhz = 0.1f;
  float f_high_mhz = 1.0f;
  float cc_min = 0.6f;
  float snr_min = 2.0f;
  int well_located_m = 12;
  int out_level = 2;

  // The files that exercise the run's skip rules and the no-event case: a
  // missing number, the templates' own recordings under their numbers, a
  // record marked as detected, a well-located record, noise-only records,
  // and records holding two events. Without them every event file holds
  // one event and the templates' numbers lie after the range.
  bool special_files = true;

  // For workloads without the special files: events per event file. 0 writes
  // noise-only files; more than 1 places that many events (as many as fit)
  // `event_spacing_samples` apart, each from the next template in turn.
  int events_per_file = 1;
  int event_spacing_samples = 500;

  // Remove earlier experiment files (*.sg2 in templates/ and events/, the
  // result table, logs and diagnostic files in out/) instead of refusing to
  // write into a directory that holds them.
  bool overwrite = false;
};

// A template event as generated.
struct TemplateInfo {
  int ae_number = 0;
  double x_mm = 0.0;
  double y_mm = 0.0;
  double z_mm = 0.0;
  double mw = 0.0;
  int m = 0;                 // stations of its location ("M=" in its comments)
  int min_pick = 0;          // earliest pick among the stations with loc_ind < m
  int max_pick = 0;          // latest such pick
  std::string path;
};

struct SyntheticExperiment {
  std::string dir;           // absolute, ending with '/'
  std::string par_file;
  std::string template_dir;
  std::string data_dir;
  std::string out_dir;
  std::string truth_file;
  std::vector<TemplateInfo> templates;
  std::vector<std::vector<double>> sensors_mm;  // n_sensors x {x, y, z}
  GroundTruth truth;
  int n_files = 0;           // event files written (the template copies included)
};

// Writes the experiment under `dir` (created when missing). Returns false
// with `error` set, having written nothing or only part of the files, when
// the options are out of range, the directory cannot be used (it holds files
// of an earlier experiment and `overwrite` is off, or its absolute path could
// not be written into the parameter file), or a file cannot be written.
bool GenerateSyntheticExperiment(const std::string& dir, const SyntheticOptions& options,
                                 SyntheticExperiment* experiment, std::string* error);

// A few lines for a person: the specimen, the files and how to run them.
std::string DescribeExperiment(const SyntheticExperiment& experiment,
                               const SyntheticOptions& options);

// Checks the options alone; the message names the first bad value.
bool ValidateSyntheticOptions(const SyntheticOptions& options, std::string* error);

// Travel time in us from `source` to `receiver` (mm) in the ellipsoidal
// model: distance over the velocity along the ray, V^2 = vx^2 ux^2 + vy^2
// uy^2 + vz^2 uz^2.
double TravelTimeUs(const double (&source)[3], const double (&receiver)[3], float vel_x,
                    float vel_y, float vel_z);

// The source wavelet of a template event: a sine of frequency `f0_mhz`
// under the envelope (t/tau)^2 exp(2 - t/tau) / 4, which rises from 0 at the
// onset t = 0 to 1 at t = 2 tau; 0 before the onset.
double SourceWavelet(double t_us, double f0_mhz, double tau_us);

}  // namespace qae::synth
