#include "detect/scan_diagnostics.h"

#include <cstdio>
#include <vector>

#include "util/text.h"
#include "wave/time_utils.h"
#include "writers/sac_container.h"

namespace qae {

void ScanDiagnostics::Write(const std::string& path, const TemplateScan& scan,
                            RunContext& ctx) const {
  const int n = scan.stations.n();
  std::vector<const float*> rows;
  std::vector<const char*> names;
  for (int k = 0; k <= n; ++k) {
    auto& label = ctx.labels[static_cast<std::size_t>(k)];
    if (k < n) {
      std::snprintf(label.data(), label.size(), "_Sta%03d_",
                    scan.stations.traceIndex[static_cast<std::size_t>(k)]);
    }
    rows.push_back(scan.Row(k));
    names.push_back(label.data());
  }
  WriteSacsChannels(path, rows.data(), names.data(), n + 1, 0, scan.lagRange, ctx.dt,
                    record_start_);
}

void ScanDiagnostics::WriteStack(const TemplateScan& scan, RunContext& ctx) const {
  const int n = scan.stations.n();
  if (scan.lagRange <= 0) return;
  float* mean = scan.Row(n);
  for (int32_t q = 0; q < scan.lagRange; ++q) {
    float sum = 0.0f;
    for (int k = 0; k < n; ++k) sum += scan.Row(k)[q];
    mean[q] = sum * scan.invN;
  }
  Write(StrPrintf("%s%s_CC.sacs", out_dir_.c_str(), CurrentTimeText(1).c_str()), scan, ctx);
}

void ScanDiagnostics::WriteCandidate(const TemplateScan& scan, const GridSteps& steps,
                                     const AcceptedPeak& peak, RunContext& ctx) const {
  if (scan.lagRange <= 0) return;
  StackRows(scan, ctx.dt, steps, peak.ix, peak.iy, peak.iz, scan.Row(scan.stations.n()));
  Write(StrPrintf("%s%s_CC%.2f.sacs", out_dir_.c_str(), CurrentTimeText(1).c_str(),
                  static_cast<double>(peak.value)),
        scan, ctx);
}

}  // namespace qae
