#include "catalogue/detection_view.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "detect/matched_filter_scan.h"
#include "detect/run_context.h"
#include "dsp/iir_filter.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"

namespace qae {

namespace {

bool LoadRecord(const std::string& path, XL_WaveDataSeg2* record, std::string* error) {
  if (record->Load(path, 1, 0, 0) < 1) {
    *error = record->LastLoadMessage().empty() ? path + ": cannot be loaded as SEG-2"
                                               : record->LastLoadMessage();
    return false;
  }
  return true;
}

std::vector<float> Window(const XL_WaveTrace& t, int64_t first, int64_t count) {
  std::vector<float> out(static_cast<std::size_t>(std::max<int64_t>(count, 0)), 0.0f);
  const int64_t n = std::min<int64_t>(t.sampleCount, t.AllocatedSlots());
  for (int64_t i = 0; i < count; ++i) {
    const int64_t s = first + i;
    if (s >= 0 && s < n) out[static_cast<std::size_t>(i)] = t.samples[static_cast<std::size_t>(s)];
  }
  return out;
}

}  // namespace

bool BuildDetectionView(const CatalogueEntry& entry, const DetectionViewOptions& options,
                        DetectionView* view, std::string* error) {
  if (entry.eventFile.empty()) {
    *error = StrPrintf("AE %d: no event file holds this detection", entry.row.ae);
    return false;
  }
  DetectionView v;
  v.eventFile = entry.eventFile;
  v.templateFile = TemplateFileOf(options.templateDir, entry.row.templateAe);
  if (v.templateFile.empty()) {
    *error = StrPrintf("template %06d not found in %s", entry.row.templateAe,
                       options.templateDir.c_str());
    return false;
  }
  XL_WaveDataSeg2 record;
  XL_WaveDataSeg2 tpl;
  if (!LoadRecord(v.eventFile, &record, error) || !LoadRecord(v.templateFile, &tpl, error)) {
    return false;
  }
  if (options.fLow < options.fHigh) {
    std::string message;
    if (FilterRecordBandpass(record, options.fLow, options.fHigh, &message) == 0 ||
        FilterRecordBandpass(tpl, options.fLow, options.fHigh, &message) == 0) {
      *error = "band-pass " + std::to_string(options.fLow) + ".." +
               std::to_string(options.fHigh) + ": " + message;
      return false;
    }
    v.filtered = true;
  }
  v.dt = record.TraceCount() > 0 ? record.Trace(0).samplingInterval : 0;
  v.before = std::clamp(options.before, 0, 1 << 20);
  v.after = std::clamp(options.after, 1, 1 << 20);
  float pre_win = options.preWin;
  float post_win = options.postWin;
  if (!(pre_win > 0 && post_win > 0) && v.dt > 0) {
    pre_win = static_cast<float>(v.after / 4 * v.dt);
    post_win = static_cast<float>(v.after * 3 / 4 * v.dt);
  }
  RunContext ctx;
  if (v.dt > 0) {
    const WindowSizes w = ComputeWindowSizes(pre_win, post_win, static_cast<float>(v.dt));
    ctx.winLen = std::clamp(w.winLen, 0, 1 << 20);
    ctx.preLen = std::clamp(w.preLen, 0, 1 << 20);
  }
  v.preLen = ctx.preLen;
  v.winLen = ctx.winLen;

  for (int i = 0; i < record.TraceCount() && i < tpl.TraceCount(); ++i) {
    const XL_WaveTrace& rt = record.Trace(i);
    if (!IsDetectionPick(rt)) continue;
    const XL_WaveTrace& tt = tpl.Trace(i);
    StationView s;
    s.trace = i;
    s.lineId = std::string(TextOf(rt.lineId));
    s.pick = rt.pickup[0];
    s.templatePick = tt.pickup[0];
    s.first = int64_t{s.pick} - v.before;
    s.record = Window(rt, s.first, int64_t{v.before} + v.after);
    s.templ = Window(tt, int64_t{s.templatePick} - v.before, int64_t{v.before} + v.after);
    // The scan's correlation at exactly this alignment: one lag, with the
    // record window starting preLen before the record's pick.
    float cc = std::numeric_limits<float>::quiet_NaN();
    if (ctx.winLen > 0) {
      const int64_t min_pick = int64_t{s.templatePick} - s.pick + ctx.preLen;
      if (min_pick >= INT32_MIN && min_pick <= INT32_MAX) {
        CorrelationRow(tt, rt, s.templatePick, static_cast<int32_t>(min_pick), 1, ctx,
                       options.mean, &cc);
      }
    }
    s.cc = cc;
    v.stations.push_back(std::move(s));
  }
  *view = std::move(v);
  return true;
}

}  // namespace qae
