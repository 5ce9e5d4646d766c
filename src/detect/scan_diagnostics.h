// The scan's diagnostic correlation files (SAC containers): the plain mean
// of the station rows per template, and the delay-and-sum stack of every
// candidate update.
#pragma once

#include <string>

#include "detect/matched_filter_scan.h"
#include "detect/run_context.h"

namespace qae {

class ScanDiagnostics {
 public:
  // `out_dir` is the output prefix; `record_start` the record's start as a
  // Julian day, the reference time of the files.
  ScanDiagnostics(std::string out_dir, double record_start)
      : out_dir_(std::move(out_dir)), record_start_(record_start) {}

  // "<outDir><time>_CC.sacs": the station rows and, as the last row, their
  // unshifted mean.
  void WriteStack(const TemplateScan& scan, RunContext& ctx) const;

  // "<outDir><time>_CC<cc>.sacs": the station rows and the stack of the
  // peak's grid offset.
  void WriteCandidate(const TemplateScan& scan, const GridSteps& steps, const AcceptedPeak& peak,
                      RunContext& ctx) const;

 private:
  void Write(const std::string& path, const TemplateScan& scan, RunContext& ctx) const;

  std::string out_dir_;
  double record_start_;
};

}  // namespace qae
