// Catalogues of real runs: every row of the table joined with the file that
// holds its detection, times recomputed independently from the headers, and
// the exported formats checked as other tools read them (the QuakeML against
// its schema).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_formats.h"
#include "catalogue/detection_view.h"
#include "catalogue/result_table_reader.h"
#include "support/cli_runner.h"
#include "support/platform.h"
#include "support/test_paths.h"
#include "support/utc.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace {

namespace fs = std::filesystem;
using qae::test::Quote;
using qae::test::ReadText;
using qae::test::RunCli;
using qae::test::ScratchDir;

// One demo experiment (event files with two-detection records) and one
// continuous run, made once for all tests; tests that change files copy it.
class CatalogueTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    const auto r = RunCli("demo " + Quote(dir_->File("events_run")), dir_->path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto c = RunCli("demo --continuous " + Quote(dir_->File("cont_run")), dir_->path());
    ASSERT_EQ(c.exit_code, 0) << c.err;
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::string Run() { return dir_->File("events_run"); }

  // A copy of the event-file experiment, for tests that change files; its
  // logs name the copy's folders, as if the run had been made there.
  static std::string CopyRun(const ScratchDir& scratch) {
    const std::string to = scratch.File("run");
    fs::copy(Run(), to, fs::copy_options::recursive);
    for (const auto& f : fs::directory_iterator(to + "/out")) {
      if (f.path().filename().string().rfind("Log_", 0) != 0) continue;
      std::string text = ReadText(f.path().string());
      for (std::size_t p; (p = text.find(Run() + "/")) != std::string::npos;) {
        text.replace(p, Run().size(), to);
      }
      std::ofstream(f.path(), std::ios::binary) << text;
    }
    return to;
  }

  static qae::Catalogue Build(const std::string& out_dir, qae::CatalogueOptions options = {}) {
    qae::Catalogue cat;
    std::string error;
    EXPECT_TRUE(qae::BuildCatalogue(out_dir, options, &cat, &error)) << error;
    return cat;
  }

  static ScratchDir* dir_;
};
ScratchDir* CatalogueTest::dir_ = nullptr;

// The record start of a SEG-2 file, computed here with the C library.
int64_t StartMicrosOf(const std::string& path) {
  qae::XL_WaveDataSeg2 rec;
  EXPECT_EQ(rec.Load(path, 1, 0, 0), 1) << path;
  std::tm t{};
  EXPECT_EQ(std::sscanf(std::string(qae::TextOf(rec.header.acquisitionDate)).c_str(), "%d/%d/%d",
                        &t.tm_year, &t.tm_mon, &t.tm_mday),
            3);
  EXPECT_EQ(std::sscanf(std::string(qae::TextOf(rec.header.acquisitionTime)).c_str(), "%d:%d:%d",
                        &t.tm_hour, &t.tm_min, &t.tm_sec),
            3);
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return qae::test::UtcSeconds(t) * 1000000 + rec.header.timeUsec;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  for (std::size_t nl; (nl = text.find('\n', begin)) != std::string::npos; begin = nl + 1) {
    lines.push_back(text.substr(begin, nl - begin));
  }
  return lines;
}

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> f;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t p = line.find(sep, begin);
    f.push_back(line.substr(begin, p == std::string::npos ? std::string::npos : p - begin));
    if (p == std::string::npos) return f;
    begin = p + 1;
  }
}

TEST_F(CatalogueTest, EveryRowIsJoinedWithTheFileHoldingItsDetection) {
  const qae::Catalogue cat = Build(Run() + "/out");
  const std::vector<std::string> table = Lines(ReadText(Run() + "/out/ML_detect.ps0"));
  ASSERT_EQ(cat.entries.size() + 7, table.size());
  EXPECT_TRUE(cat.warnings.empty());
  // The data folder comes from the run's log.
  ASSERT_FALSE(cat.dataPrefixes.empty());
  EXPECT_EQ(cat.dataPrefixes.front(), Run() + "/events/");

  std::map<int, int> rows_of_ae;
  int copies = 0;
  for (const qae::CatalogueEntry& e : cat.entries) {
    const int k = rows_of_ae[e.row.ae]++;
    const std::string expected =
        k == 0 ? qae::StrPrintf("%s/events/%06d.sg2", Run().c_str(), e.row.ae)
               : qae::StrPrintf("%s/events/%06d_%02d.sg2", Run().c_str(), e.row.ae, k);
    EXPECT_EQ(e.eventFile, expected);
    EXPECT_EQ(e.copyNumber, k);
    copies += k > 0;
    // Independent arithmetic: the header's start plus t0 in microseconds.
    ASSERT_TRUE(e.hasTime);
    EXPECT_EQ(e.originUs, StartMicrosOf(e.eventFile) + std::llround(e.row.t0));
    EXPECT_EQ(e.originTime, qae::IsoTimeFromMicros(e.originUs));
    // The copy's header names the row's station count, and that many picks.
    qae::XL_WaveDataSeg2 rec;
    ASSERT_EQ(rec.Load(e.eventFile, 1, 0, 0), 1);
    const std::string comments(qae::TextOf(rec.header.comments));
    EXPECT_NE(comments.find(qae::StrPrintf(", M=%d, Tpl=%d(", e.stations, e.row.templateAe)),
              std::string::npos)
        << comments;
    EXPECT_EQ(static_cast<int>(e.picks.size()), e.stations);
    for (const qae::CataloguePick& p : e.picks) {
      EXPECT_EQ(p.sample, rec.Trace(p.trace).pickup[0]);
      EXPECT_EQ(p.timeUs, StartMicrosOf(e.eventFile) +
                              std::llround(p.sample * rec.Trace(p.trace).samplingInterval));
      // Picks do not come before the origin, as arrivals do not.
      EXPECT_GE(p.timeUs, e.originUs);
    }
  }
  EXPECT_GT(copies, 0) << "the demo should hold a record with two detections";
}

TEST_F(CatalogueTest, CsvRepeatsTheTableRowByRow) {
  const auto r = RunCli("export " + Quote(Run() + "/out"), dir_->path());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> csv = Lines(r.out);
  const std::vector<std::string> table = Lines(ReadText(Run() + "/out/ML_detect.ps0"));
  ASSERT_EQ(csv.size(), table.size() - 6);
  EXPECT_EQ(csv[0],
            "ae,event_file,origin_time,x_mm,y_mm,z_mm,mw,cc,snr1,snr2,dx_mm,dy_mm,dz_mm,dmw,"
            "template_ae,template_mw,stations");
  for (std::size_t i = 1; i < csv.size(); ++i) {
    const std::vector<std::string> c = Split(csv[i], ',');
    const std::vector<std::string> t = Split(table[i + 6], '\t');
    ASSERT_EQ(c.size(), 17u) << csv[i];
    EXPECT_EQ(c[0], t[0]);
    for (int k = 2; k < 15; ++k) EXPECT_EQ(c[static_cast<std::size_t>(k + 1)], t[static_cast<std::size_t>(k)]);
    EXPECT_EQ(c[2].size(), std::string("2024-05-14T10:00:07.000246Z").size()) << c[2];
  }
}

TEST_F(CatalogueTest, TimeUnitScalesTheOffsetsFromTheRecordStart) {
  qae::CatalogueOptions ms;
  ms.timeUnit = "ms";
  const qae::Catalogue in_us = Build(Run() + "/out");
  const qae::Catalogue in_ms = Build(Run() + "/out", ms);
  ASSERT_EQ(in_us.entries.size(), in_ms.entries.size());
  for (std::size_t i = 0; i < in_us.entries.size(); ++i) {
    const auto& a = in_us.entries[i];
    const auto& b = in_ms.entries[i];
    EXPECT_EQ(b.originUs - a.recordStartUs, std::llround(a.row.t0 * 1000));
  }
  qae::Catalogue cat;
  std::string error;
  qae::CatalogueOptions bad;
  bad.timeUnit = "ns";
  EXPECT_FALSE(qae::BuildCatalogue(Run() + "/out", bad, &cat, &error));
  EXPECT_NE(error.find("ns"), std::string::npos);
}

TEST_F(CatalogueTest, RowsWhoseFileIsGoneOrDetectedAgainAreKeptAndWarnedAbout) {
  ScratchDir scratch;
  const std::string run = CopyRun(scratch);
  const qae::Catalogue before = Build(run + "/out");
  // One record's file removed, another's detection line replaced (as a
  // later run over the same record leaves it).
  const qae::CatalogueEntry gone = before.entries.front();
  const qae::CatalogueEntry changed = before.entries.back();
  ASSERT_NE(gone.row.ae, changed.row.ae);
  fs::remove(gone.eventFile);
  qae::XL_WaveDataSeg2 rec;
  ASSERT_EQ(rec.Load(changed.eventFile, 1, 0, 0), 1);
  std::string line(qae::TextOf(rec.header.comments));
  line.replace(line.find("t0="), 3, "t0=9");
  qae::SetText(rec.header.comments, line);
  std::string error;
  ASSERT_EQ(qae::WriteSeg2(changed.eventFile, rec, 0, 0, 4, &error), 1) << error;

  const qae::Catalogue after = Build(run + "/out");
  ASSERT_EQ(after.entries.size(), before.entries.size());
  ASSERT_EQ(after.warnings.size(), 2u);
  EXPECT_NE(after.warnings[0].find("no event file"), std::string::npos) << after.warnings[0];
  EXPECT_NE(after.warnings[1].find("holds another"), std::string::npos) << after.warnings[1];
  for (const qae::CatalogueEntry* e : {&after.entries.front(), &after.entries.back()}) {
    EXPECT_TRUE(e->eventFile.empty());
    EXPECT_FALSE(e->hasTime);
    EXPECT_EQ(e->stations, -1);
    EXPECT_TRUE(e->picks.empty());
  }
  // The CSV keeps the row with the fields that need the file left empty.
  const std::vector<std::string> csv = Lines(qae::CatalogueCsv(after));
  const std::vector<std::string> first = Split(csv[1], ',');
  EXPECT_EQ(first[1], "");
  EXPECT_EQ(first[2], "");
  EXPECT_EQ(first[16], "");
  EXPECT_EQ(first[3], gone.row.text[2]);
  // And QuakeML gets an event with its magnitude but no origin.
  std::string xml;
  ASSERT_TRUE(qae::CatalogueQuakeMl(after, {}, &xml, &error)) << error;
  EXPECT_NE(xml.find("no origin: the event file"), std::string::npos);
}

TEST_F(CatalogueTest, OffsetsThatAreNoTimeGiveNoOriginTime) {
  ScratchDir scratch;
  const std::string run = CopyRun(scratch);
  const std::string table_path = run + "/out/ML_detect.ps0";
  std::vector<std::string> lines = Lines(ReadText(table_path));
  // A hand-edited table: t0 not a number, and one beyond any calendar.
  std::vector<std::string> f = Split(lines[7], '\t');
  f[1] = "nan";
  std::vector<std::string> g = Split(lines[8], '\t');
  g[1] = "1e300";
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string>& fields = i == 7 ? f : i == 8 ? g : Split(lines[i], '\t');
    for (std::size_t k = 0; k < fields.size(); ++k) text += (k ? "\t" : "") + fields[k];
    text += "\n";
  }
  std::ofstream(table_path) << text;
  const qae::Catalogue cat = Build(run + "/out");
  ASSERT_GE(cat.entries.size(), 3u);
  // The detection lines no longer match these rows either; whichever way,
  // they get no time and a warning, and the others are untouched.
  EXPECT_FALSE(cat.entries[0].hasTime);
  EXPECT_FALSE(cat.entries[1].hasTime);
  EXPECT_TRUE(cat.entries[2].hasTime);
  EXPECT_EQ(cat.warnings.size(), 2u);
  std::string xml;
  std::string error;
  ASSERT_TRUE(qae::CatalogueQuakeMl(cat, {}, &xml, &error));
  EXPECT_TRUE(qae::CatalogueJson(cat)["detections"][0]["t0"].is_null());
}

TEST_F(CatalogueTest, DataFolderFromOptionsParamsOrTheOutputFolder) {
  ScratchDir scratch;
  const std::string run = CopyRun(scratch);
  // The logs name the folder the run read, which has moved.
  fs::rename(run + "/events", run + "/moved");
  qae::Catalogue lost = Build(run + "/out");
  EXPECT_EQ(lost.warnings.size(), lost.entries.size());
  qae::CatalogueOptions options;
  options.dataPrefix = run + "/moved";  // a folder without the separator
  const qae::Catalogue found = Build(run + "/out", options);
  EXPECT_TRUE(found.warnings.empty());
  EXPECT_EQ(found.entries.front().eventFile.rfind(run + "/moved/", 0), 0u);
  // The same through the command line.
  const auto r = RunCli("export " + Quote(run + "/out") + " --data " + Quote(run + "/moved/"),
                        scratch.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
}

TEST_F(CatalogueTest, ContinuousRunsKeepTheirSegmentsInTheOutputFolder) {
  const std::string out = dir_->File("cont_run") + "/out";
  const qae::Catalogue cat = Build(out);
  ASSERT_FALSE(cat.entries.empty());
  EXPECT_TRUE(cat.warnings.empty());
  for (const qae::CatalogueEntry& e : cat.entries) {
    EXPECT_EQ(fs::path(e.eventFile).parent_path(), fs::path(out));
    EXPECT_TRUE(e.hasTime);
    EXPECT_EQ(e.originUs, StartMicrosOf(e.eventFile) + std::llround(e.row.t0));
  }
}

TEST_F(CatalogueTest, JsonCarriesNumbersAndPicks) {
  const auto r = RunCli("export " + Quote(Run() + "/out") + " --format json", dir_->path());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  const qae::Catalogue cat = Build(Run() + "/out");
  ASSERT_EQ(j["detections"].size(), cat.entries.size());
  const auto& d = j["detections"][0];
  const auto& e = cat.entries[0];
  EXPECT_EQ(d["ae"], e.row.ae);
  EXPECT_EQ(d["origin_time"], e.originTime);
  EXPECT_DOUBLE_EQ(d["x_mm"].get<double>(), std::stod(e.row.text[2]));
  EXPECT_EQ(d["template_ae"], e.row.templateAe);
  EXPECT_EQ(d["stations"], e.stations);
  EXPECT_EQ(d["picks"].size(), e.picks.size());
  EXPECT_EQ(d["picks"][0]["time"], e.picks[0].time);
}

// xmllint with the QuakeML 1.2 schemas; "" when it passes.
std::string SchemaProblems(const std::string& xml_path, const std::string& scratch) {
  const std::string schema = qae::test::DataFile("quakeml/QuakeML-1.2.xsd");
  const std::string log = scratch + "/xmllint.txt";
  const int status = std::system(("xmllint --noout --schema " + Quote(schema) + " " +
                                  Quote(xml_path) + " >" + Quote(log) + " 2>&1")
                                     .c_str());
  return status == 0 ? std::string() : ReadText(log) + " (status " + std::to_string(status) + ")";
}

// Why the QuakeML cannot be checked against its schema here ("" when it can).
std::string NoSchemaCheck() {
  if (qae::test::kOnWindows) {
    return "xmllint runs on Linux; there the Windows build's QuakeML is compared byte for byte "
           "with the Linux build's (scripts/windows/compare-outputs.sh)";
  }
  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) {
    return "xmllint not installed (Debian: libxml2-utils)";
  }
  return std::string();
}

TEST_F(CatalogueTest, QuakeMlIsValidAgainstTheSchema) {
  if (const std::string why = NoSchemaCheck(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir scratch;
  const std::string xml = scratch.File("cat.xml");
  const auto r = RunCli("export " + Quote(Run() + "/out") + " --format quakeml -o " + Quote(xml),
                        scratch.path());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(SchemaProblems(xml, scratch.path()), "");
  const std::string text = ReadText(xml);
  const qae::Catalogue cat = Build(Run() + "/out");
  std::size_t events = 0;
  for (std::size_t p = 0; (p = text.find("<event ", p)) != std::string::npos; ++p) ++events;
  EXPECT_EQ(events, cat.entries.size());
  EXPECT_NE(text.find("<value>" + cat.entries[0].originTime + "</value>"), std::string::npos);
  EXPECT_NE(text.find("<value>" + cat.entries[0].row.text[5] + "</value>"), std::string::npos);
  EXPECT_NE(text.find("<type>Mw</type>"), std::string::npos);

  // The continuous run's catalogue too.
  const std::string xml2 = scratch.File("cont.xml");
  ASSERT_EQ(RunCli("export " + Quote(dir_->File("cont_run") + "/out") +
                       " --format quakeml -o " + Quote(xml2),
                   scratch.path())
                .exit_code,
            0);
  EXPECT_EQ(SchemaProblems(xml2, scratch.path()), "");
}

TEST_F(CatalogueTest, QuakeMlStaysValidWithForeignTextInTheFiles) {
  if (const std::string why = NoSchemaCheck(); !why.empty()) GTEST_SKIP() << why;
  ScratchDir scratch;
  const std::string run = CopyRun(scratch);
  const qae::Catalogue before = Build(run + "/out");
  const std::string file = before.entries.front().eventFile;
  qae::XL_WaveDataSeg2 rec;
  ASSERT_EQ(rec.Load(file, 1, 0, 0), 1);
  // Line ids longer than a stream code, with bytes that are not UTF-8,
  // markup characters and control characters.
  qae::SetText(rec.Trace(0).lineId, "VERYLONGSTATIONNAME:HHZ");
  qae::SetText(rec.Trace(1).lineId, std::string("S\xff\x01<&>\"x:C\xc3"));
  qae::SetText(rec.Trace(2).lineId, "");
  std::string error;
  ASSERT_EQ(qae::WriteSeg2(file, rec, 0, 0, 4, &error), 1) << error;
  const qae::Catalogue cat = Build(run + "/out", {});
  std::string xml;
  ASSERT_TRUE(qae::CatalogueQuakeMl(cat, {}, &xml, &error)) << error;
  std::ofstream(scratch.File("cat.xml"), std::ios::binary) << xml;
  EXPECT_EQ(SchemaProblems(scratch.File("cat.xml"), scratch.path()), "");
  EXPECT_NE(xml.find("stationCode=\"VERYLONG\" channelCode=\"HHZ\""), std::string::npos);
}

TEST_F(CatalogueTest, DetectionViewAlignsTheTemplateAndCorrelatesEachStation) {
  const qae::Catalogue cat = Build(Run() + "/out");
  const qae::RunFolders folders = qae::DiscoverRunFolders(Run() + "/out");
  EXPECT_EQ(folders.templateDir, Run() + "/templates/");
  qae::DetectionViewOptions options;
  options.templateDir = folders.templateDir;
  options.preWin = 1;  // the demo's windows, in microseconds
  options.postWin = 3;
  qae::DetectionView view;
  std::string error;
  ASSERT_TRUE(qae::BuildDetectionView(cat.entries[0], options, &view, &error)) << error;
  EXPECT_EQ(static_cast<int>(view.stations.size()), cat.entries[0].stations);
  EXPECT_EQ(view.winLen, 40);
  EXPECT_EQ(view.preLen, 10);
  double mean_cc = 0;
  for (const qae::StationView& s : view.stations) {
    EXPECT_EQ(s.record.size(), 800u);
    EXPECT_EQ(s.templ.size(), 800u);
    EXPECT_EQ(s.first, s.pick - 200);
    EXPECT_TRUE(s.cc > 0.3f && s.cc <= 1.0f) << s.lineId << " cc " << s.cc;
    mean_cc += s.cc;
  }
  // The stations' correlations at the picks make up the detection's CC.
  mean_cc /= static_cast<double>(view.stations.size());
  EXPECT_NEAR(mean_cc, cat.entries[0].row.cc, 0.1);

  qae::CatalogueEntry gone = cat.entries[0];
  gone.eventFile.clear();
  EXPECT_FALSE(qae::BuildDetectionView(gone, options, &view, &error));
  options.templateDir = Run() + "/nowhere/";
  EXPECT_FALSE(qae::BuildDetectionView(cat.entries[0], options, &view, &error));
  EXPECT_NE(error.find("not found"), std::string::npos);
}

TEST_F(CatalogueTest, ExportRefusesWhatIsNoOutputFolder) {
  ScratchDir scratch;
  auto r = RunCli("export " + Quote(scratch.File("none")), scratch.path());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("ML_detect.ps0"), std::string::npos) << r.err;
  std::ofstream(scratch.File("ML_detect.ps0"), std::ios::binary) << "something else\n";
  r = RunCli("export " + Quote(scratch.path()), scratch.path());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("PSDATA02"), std::string::npos) << r.err;
  r = RunCli("export", scratch.path());
  EXPECT_EQ(r.exit_code, 2);
  r = RunCli("export " + Quote(Run() + "/out") + " -o " + Quote(scratch.File("no/such/dir.csv")),
             scratch.path());
  EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
