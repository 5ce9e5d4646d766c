// The `--continuous` variants of `synth` and `demo`: a synthetic continuous
// recording instead of numbered event files.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "synth/synthetic_experiment.h"

namespace qae::cli {

struct ContinuousCliOptions {
  bool enabled = false;
  int quiet_segments = 2;
  int64_t extra_segments = 0;
};

// Adds --continuous, --quiet-segments and --extra-segments to `cmd`.
void AddContinuousOptions(CLI::App* cmd, ContinuousCliOptions& options);

// `synth --continuous`: writes the experiment under `dir` and describes it.
// `gen` holds the command's options; samples and events that were not given
// on the command line take the continuous defaults.
void SynthContinuous(const CLI::App& cmd, const std::string& dir, synth::SyntheticOptions gen,
                     const ContinuousCliOptions& options);

// `demo --continuous`: writes the experiment under `dir`, runs it over its
// segment range and compares the result table with the truth.
void DemoContinuous(const CLI::App& cmd, const std::string& dir, synth::SyntheticOptions gen,
                    const ContinuousCliOptions& options);

}  // namespace qae::cli
