// Records prepared and scanned ahead give the results of records taken one
// at a time, including the velocities that records' notes set for
// themselves and every later record.
#include "detect/record_pipeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "detect/matched_filter_scan.h"
#include "detect/run_steps.h"
#include "params/parameter_file.h"
#include "support/test_paths.h"
#include "synth/synthetic_experiment.h"
#include "util/text.h"

namespace qae {
namespace {

// What ScanRecord left in the candidate table of each record, as text, from
// a fresh experiment (the scan rewrites the records it detects events in).
std::vector<std::string> ScanAll(int threads, bool with_notes) {
  test::ScratchDir dir;
  synth::SyntheticOptions o;
  o.seed = 4;
  o.n_sensors = 6;
  o.n_templates = 2;
  o.n_events = 5;
  o.n_samples = 1536;
  o.special_files = false;
  synth::SyntheticExperiment exp;
  std::string error;
  EXPECT_TRUE(synth::GenerateSyntheticExperiment(dir.path(), o, &exp, &error)) << error;
  AePars pars;
  EXPECT_TRUE(ReadParameterFile(exp.par_file, &pars));
  pars.outLevel = 0;
  pars.outDir = exp.out_dir;
  RunContext ctx;
  ctx.threads = threads;
  TemplateLibrary templates = LoadTemplates(exp.template_dir, pars, ctx);
  EXPECT_EQ(DeriveWindowSizes(templates, 0, pars, ctx), "");
  FilterTemplates(templates, pars, ctx);
  ctx.AllocateWorkArrays();

  // Record 1 slows the x velocity for itself and the records after it;
  // record 3 changes y as well.
  const char* notes[] = {"", "x=3.5", "", "y=9.5 z=4.0", ""};
  const int64_t count = std::size(notes);
  const auto prepare = [&](int64_t step) {
    PreparedRecord item;
    item.index = step;
    if (step >= count) {
      item.end = true;
      return item;
    }
    auto record = std::make_shared<XL_WaveDataSeg2>();
    const std::string path = exp.data_dir + StrPrintf("%06d.sg2", exp.truth.first_ae + static_cast<int>(step));
    item.Log(StrPrintf("record %lld\n", static_cast<long long>(step)));
    if (record->Load(path, 1, 0, 0) < 1) return item;
    SetText(record->header.note, with_notes ? notes[step] : "");
    record->sourceName = path;
    FinishPreparing(std::move(record), pars, item);
    return item;
  };

  std::vector<std::string> found;
  RecordPipeline pipeline(prepare, templates, pars, ctx);
  PreparedRecord item;
  while (pipeline.Next(item) && !item.end) {
    std::string text = StrPrintf("record %lld:", static_cast<long long>(item.index));
    if (item.record) {
      ScanRecord(templates, templates.size(), pars, ctx, *item.record, item.scans.get());
      text += StrPrintf(" vel %g %g %g", static_cast<double>(pars.velX),
                        static_cast<double>(pars.velY), static_cast<double>(pars.velZ));
      for (int j = 0; j < ctx.nEvents; ++j) {
        const CandidateEvent& e = ctx.events[static_cast<std::size_t>(j)];
        text += StrPrintf(" | t%d (%d,%d,%d) lag %lld cc %.9g", e.templateIndex, e.ix, e.iy, e.iz,
                          static_cast<long long>(e.lag), static_cast<double>(e.cc));
      }
    }
    found.push_back(text);
  }
  return found;
}

TEST(RecordPipeline, NotesSetTheVelocityOfTheirRecordAndLaterOnes) {
  const auto one = ScanAll(1, true);
  ASSERT_EQ(one.size(), 5u);
  EXPECT_NE(one[1].find("vel 3.5 6.8 5.9"), std::string::npos) << one[1];
  EXPECT_NE(one[4].find("vel 3.5 9.5 4 "), std::string::npos) << one[4];
  // The notes change what the later records' scans find...
  EXPECT_NE(ScanAll(1, false), one);
  // ...and scans queued ahead of the records that set them see them too.
  EXPECT_EQ(ScanAll(2, true), one);
  EXPECT_EQ(ScanAll(8, true), one);
}

}  // namespace
}  // namespace qae
