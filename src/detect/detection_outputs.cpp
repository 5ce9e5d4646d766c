#include "detect/detection_outputs.h"

#include <cmath>
#include <cstdio>

#include "detect/event_parameters.h"
#include "detect/detection_commit.h"
#include "detect/detection_writer.h"
#include "detect/segment_ledger.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace qae {

namespace {

// Rewrites the "loc_ind=" entry of a note (or starts the note with one) and
// ends the note there.
void RewriteLocationIndex(XL_WaveTrace& t, int16_t loc_ind) {
  std::string note(TextOf(t.note));
  const std::size_t at = note.find("loc_ind=");
  note.resize(at == std::string::npos ? 0 : at);
  note += StrPrintf("loc_ind=%02d", loc_ind);
  SetText(t.note, note);
}

std::string CopyName(const std::string& source_name, int num) {
  const std::string stem =
      source_name.size() >= 4 ? source_name.substr(0, source_name.size() - 4) : source_name;
  return stem + StrPrintf("_%02d.sg2", num);
}

bool IsExactInteger(float v, double lo, double hi) {
  return std::isfinite(v) && v == std::trunc(v) && v >= lo && v <= hi;
}

}  // namespace

int LosslessSeg2Format(const XL_WaveData& record) {
  bool int16 = true;
  for (const auto& t : record.traces) {
    const int32_t n = std::min(t->sampleCount, t->AllocatedSlots());
    for (int32_t i = 0; i < n; ++i) {
      const float v = t->samples[static_cast<std::size_t>(i)];
      if (int16 && IsExactInteger(v, -32768.0, 32767.0)) continue;
      int16 = false;
      if (!IsExactInteger(v, -2147483648.0, 2147483647.0)) return 4;
    }
  }
  return int16 ? 1 : 2;
}

int WriteDetectionOutputs(TemplateLibrary& templates, int removed, XL_WaveData& record,
                          AePars& pars, RunContext& ctx) {
  if (removed > 0) {
    ctx.log.Printf(" %d of %d events detected from multi templates was removed\n", removed,
                   ctx.nEvents);
  }

  // Every output of the record is made in memory first and then committed
  // in the one order that survives a crash at any point (see
  // detection_commit.h).
  RecordCommit commit;
  commit.tablePath = pars.outDir + "ML_detect.ps0";
  const bool in_place = !ctx.segment.has_value();

  // The record's samples are filtered when filtering is on; its files are
  // written with the raw samples saved before. Every event is measured on
  // the filtered samples, like its template: measuring the later events of
  // a record on raw samples against filtered templates would bias their
  // magnitudes by the filter's effect on the wavelet.
  const bool filtered = pars.fLow < pars.fHigh;
  std::vector<std::vector<float>> filtered_samples;
  if (filtered) {
    for (const auto& t : record.traces) filtered_samples.push_back(t->samples);
  }
  // With a writer, each file is encoded later from the header values it
  // gets here and the record's final (raw) samples.
  const bool deferred = ctx.writer != nullptr;
  DetectionJob job;
  XL_WaveDataSeg2 scratch;
  int num = 0;
  for (int j = 0; j < ctx.nEvents; ++j) {
    CandidateEvent& row = ctx.events[static_cast<std::size_t>(j)];
    if (row.templateIndex < 0 || row.templateIndex >= templates.size()) continue;
    const XL_WaveDataSeg2& slot = templates[row.templateIndex];
    const XL_WaveData* tpl = &slot;
    if (slot.TraceCount() == 0) {
      // Not kept in memory: estimated from its unfiltered file.
      if (scratch.Load(slot.sourceName, 1, 0, 0) < 1) continue;
      tpl = &scratch;
    }
    if (filtered && num > 0) {
      for (std::size_t k = 0; k < filtered_samples.size(); ++k) {
        record.traces[k]->samples = filtered_samples[k];
      }
    }
    const EventEstimate est = EstimateEventParameters(row, *tpl, record, pars, ctx);
    if (filtered) record.RestoreSamples();

    const int template_ae = slot.aeNumber;
    SetText(record.header.comments,
            StrPrintf("detected: AE#=%d, Mw=%.2f, x=%.3f, y=%.3f, z=%.3f, t0=%.3f, CC=%4.2f, "
                      "sn1=%.1f, sn2=%.1f, dX=%.2f, dY=%.2f, dZ=%.2f, dMw=%.2f, M=%d, "
                      "Tpl=%d(Mw%.2f)\n",
                      record.aeNumber, static_cast<double>(row.mw), static_cast<double>(est.x),
                      static_cast<double>(est.y), static_cast<double>(est.z), est.t0,
                      static_cast<double>(row.cc), static_cast<double>(row.snr1),
                      static_cast<double>(row.snr2), static_cast<double>(est.dX),
                      static_cast<double>(est.dY), static_cast<double>(est.dZ),
                      static_cast<double>(est.dMw), est.stations.n(), template_ae,
                      static_cast<double>(est.mwTemplate)));
    for (int k = 0; k < ctx.nTraces && k < record.TraceCount(); ++k) {
      RewriteLocationIndex(record.Trace(k), est.stations.locInd[static_cast<std::size_t>(k)]);
    }
    // A user's recording is rewritten losslessly (16-bit recordings stay
    // 16-bit).
    const std::string target = num == 0 ? record.sourceName : CopyName(record.sourceName, num);
    if (deferred) {
      job.outputs.push_back({target, Seg2WrittenValues::Of(record), num == 0 && in_place});
    } else {
      FileImage image{target, EncodeSeg2For(target, record, LosslessSeg2Format(record))};
      if (num == 0 && in_place) {
        commit.marked = std::move(image);
      } else {
        commit.files.push_back(std::move(image));
      }
    }
    ++num;

    const double values[] = {est.t0,
                             est.x,
                             est.y,
                             est.z,
                             row.mw,
                             row.cc,
                             row.snr1,
                             row.snr2,
                             est.dX,
                             est.dY,
                             est.dZ,
                             est.dMw,
                             est.mwTemplate};
    ctx.log.Printf(
        "%d, t0=%.4f, x=%.4f, y=%.4f, z=%.4f, Mw=%.2f, CC=%.4f, snr1=%.2f, snr2=%.2f, dX=%.2f, "
        "dY=%.2f, dZ=%.2f, dMw=%.2f, Template=%d(Mw%.2f)\n",
        record.aeNumber, values[0], values[1], values[2], values[3], values[4], values[5],
        values[6], values[7], values[8], values[9], values[10], values[11], template_ae,
        values[12]);
    commit.rows += StrPrintf(
        "%d\t%f\t%.4f\t%.4f\t%.4f\t%.2f\t%.4f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%d\t%.2f\n",
        record.aeNumber, values[0], values[1], values[2], values[3], values[4], values[5],
        values[6], values[7], values[8], values[9], values[10], values[11], template_ae,
        values[12]);
    ++commit.detections;
  }
  if (commit.detections == 0) return 0;

  if (ctx.segment) {
    commit.ledgerPath = ctx.segment->ledgerPath;
    commit.ledgerLine = SegmentLedgerLine(ctx.segment->recording, ctx.segment->index,
                                          record.aeNumber);
    commit.recording = ctx.segment->recording;
    commit.segment = ctx.segment->index;
  }
  commit.aeNumber = record.aeNumber;
  if (deferred) {
    // The writer owns the record's samples from here; the run does not
    // read them again.
    job.commit = std::move(commit);
    job.sourceName = record.sourceName;
    job.TakeRecord(record);
    ctx.writer->Submit(std::move(job));
    return 1;
  }
  const CommitOutcome outcome = CommitRecord(commit);
  if (!outcome.complete) {
    const std::string what = StrPrintf("%d detection%s of %s not written", commit.detections,
                                       commit.detections == 1 ? "" : "s",
                                       record.sourceName.c_str());
    ctx.Lose(commit.detections,
             what + ": " + outcome.error +
                 (outcome.pending ? "; the next run over this record finishes writing it"
                                  : "; nothing of it was kept, rerunning the same range "
                                    "detects it again"));
  }
  return outcome.rowsWritten ? 1 : 0;
}

}  // namespace qae
