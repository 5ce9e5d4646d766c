// What an interrupted run leaves beside the files it was writing, found and
// dealt with by the next run over the same numbers, before it scans:
// journals of committed records are finished (detection_commit.h); staged
// files without a journal and temporary files of atomic rewrites
// ("*.tmp.XXXXXX") are removed, as nothing refers to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "detect/run_context.h"

namespace qae {

// A journal found for one of the run's numbers.
struct InterruptedCommit {
  int aeNumber = 0;
  bool finished = false;
  int detections = 0;
  std::string recording;  // continuous commits
  int64_t segment = -1;
};

// Deals with the leftovers of files "<prefix>%06d.sg2" (and their copies
// "<prefix>%06d_NN.sg2") for the numbers first..last. With a non-empty
// `recording`, only journals of that recording are finished (a continuous
// run's outputs); an event-file run passes an empty one. What is done goes
// to the log; a journal that cannot be finished is a loss (ctx.Lose) and is
// kept for the next run.
std::vector<InterruptedCommit> RecoverInterruptedWrites(const std::string& prefix, int first,
                                                        int last, const std::string& recording,
                                                        RunContext& ctx);

}  // namespace qae
