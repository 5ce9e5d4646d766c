#include "catalogue/catalogue.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <system_error>

#include "catalogue/detection_line.h"
#include "util/path.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"

namespace qae {

namespace {

namespace fs = std::filesystem;

// A folder given without its trailing separator is made a prefix; anything
// else (a prefix such as "/data/run1_") is kept as it is.
std::string AsPrefix(const std::string& dir) {
  if (dir.empty()) return dir;
  const char last = dir.back();
  if (last == '/' || last == '\\') return dir;
  std::error_code ec;
  return fs::is_directory(PathOf(dir), ec) ? dir + "/" : dir;
}

// "  Loading <prefix>NNNNNN.sg2..." of an event-file run: the prefix.
bool EventPrefixOfLine(const std::string& line, std::string* prefix) {
  static const std::string kLoading = "  Loading ";
  if (line.rfind(kLoading, 0) != 0) return false;
  const std::size_t end = line.find(".sg2...", kLoading.size());
  if (end == std::string::npos || end < kLoading.size() + 6) return false;
  for (std::size_t i = end - 6; i < end; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  *prefix = line.substr(kLoading.size(), end - 6 - kLoading.size());
  return true;
}

// "  Loading <recording>: <segment>..." of a continuous run.
bool IsSegmentLine(const std::string& line) {
  return line.rfind("  Loading ", 0) == 0 && line.find(".sg2...") == std::string::npos &&
         line.find(": ") != std::string::npos;
}

struct LoadedFile {
  bool exists = false;
  bool loaded = false;
  bool hasLine = false;
  DetectionLine line;
  std::unique_ptr<XL_WaveDataSeg2> record;
  std::string message;
};

class FileCache {
 public:
  LoadedFile& Get(const std::string& path) {
    auto it = files_.find(path);
    if (it != files_.end()) return it->second;
    LoadedFile& f = files_[path];
    std::error_code ec;
    f.exists = fs::is_regular_file(PathOf(path), ec);
    if (!f.exists) return f;
    f.record = std::make_unique<XL_WaveDataSeg2>();
    f.loaded = f.record->Load(path, 1, 0, 0) >= 1;
    f.message = f.record->LastLoadMessage();
    if (f.loaded) f.hasLine = ParseDetectionLine(TextOf(f.record->header.comments), &f.line);
    // Only the headers and picks are needed; an export may look at
    // thousands of records.
    for (auto& t : f.record->traces) {
      t->samples.clear();
      t->samples.shrink_to_fit();
    }
    return f;
  }

 private:
  std::map<std::string, LoadedFile> files_;
};

std::string CopyPath(const std::string& prefix, int32_t ae, int copy) {
  return copy == 0 ? StrPrintf("%s%06d.sg2", prefix.c_str(), ae)
                   : StrPrintf("%s%06d_%02d.sg2", prefix.c_str(), ae, copy);
}

// Microseconds of an offset, when it is a time at all: a table edited by
// hand or a forged header may hold NaN or values beyond any calendar.
bool OffsetMicros(double value, double unit_us, int64_t* micros) {
  const double us = value * unit_us;
  if (!std::isfinite(us) || std::fabs(us) > 1e15) return false;  // about 30 years
  *micros = std::llround(us);
  return true;
}

void FillFromFile(const LoadedFile& file, double unit_us, CatalogueEntry* e) {
  const XL_WaveDataSeg2& rec = *file.record;
  e->stations = file.line.stations;
  const bool has_start = RecordStartMicros(rec.header, &e->recordStartUs);
  int64_t t0_us = 0;
  e->hasTime = has_start && OffsetMicros(e->row.t0, unit_us, &t0_us);
  if (e->hasTime) {
    e->originUs = e->recordStartUs + t0_us;
    e->originTime = IsoTimeFromMicros(e->originUs);
  }
  for (int i = 0; i < rec.TraceCount(); ++i) {
    const XL_WaveTrace& t = rec.Trace(i);
    if (!IsDetectionPick(t)) continue;
    CataloguePick p;
    p.trace = i;
    p.lineId = std::string(TextOf(t.lineId));
    p.channelCode = std::string(TextOf(t.channelCode));
    p.sample = t.pickup[0];
    p.offset = static_cast<double>(t.pickup[0]) * t.samplingInterval;
    p.nsRatio = static_cast<float>(t.nsRatio);
    p.ampPickup = t.ampPickup;
    for (int k = 0; k < 3; ++k) p.receiver[k] = static_cast<float>(t.receiverLocation[k]);
    int64_t offset_us = 0;
    if (has_start && OffsetMicros(p.offset, unit_us, &offset_us)) {
      p.hasTime = true;
      p.timeUs = e->recordStartUs + offset_us;
      p.time = IsoTimeFromMicros(p.timeUs);
    }
    e->picks.push_back(std::move(p));
  }
}

}  // namespace

bool IsDetectionPick(const XL_WaveTrace& t) {
  return t.pickup[0] > 0 || t.nsRatio != 0.0 || t.ampPickup != 0.0;
}

std::string TemplateFileOf(const std::string& templateDir, int32_t ae) {
  const std::string prefix = AsPrefix(templateDir);
  const std::string exact = StrPrintf("%s%06d.sg2", prefix.c_str(), ae);
  std::error_code ec;
  if (fs::is_regular_file(PathOf(exact), ec)) return exact;
  const fs::path dir = PathOf(prefix).parent_path().empty() ? fs::path(".")
                                                             : PathOf(prefix).parent_path();
  const std::string start = PathText(PathOf(prefix).filename()) + StrPrintf("%06d", ae);
  std::vector<std::string> found;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = PathText(it->path().filename());
    if (name.rfind(start, 0) == 0 && name.size() >= 4 &&
        name.compare(name.size() - 4, 4, ".sg2") == 0) {
      found.push_back(PathText(it->path()));
    }
  }
  std::sort(found.begin(), found.end());
  return found.empty() ? std::string() : found.front();
}

RunFolders DiscoverRunFolders(const std::string& outDir) {
  RunFolders folders;
  const std::string prefix = AsPrefix(outDir);
  const fs::path dir = PathOf(prefix).parent_path().empty() ? fs::path(".")
                                                             : PathOf(prefix).parent_path();
  const std::string name_start = PathText(PathOf(prefix).filename()) + "Log_";
  std::vector<std::pair<fs::file_time_type, std::string>> logs;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = PathText(it->path().filename());
    if (name.rfind(name_start, 0) != 0 || name.size() < 4 ||
        name.compare(name.size() - 4, 4, ".txt") != 0) {
      continue;
    }
    std::error_code tec;
    logs.emplace_back(fs::last_write_time(it->path(), tec), PathText(it->path()));
  }
  // Newest first: a folder reused by several runs names the latest data first.
  std::sort(logs.begin(), logs.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  for (const auto& [time, path] : logs) {
    folders.logs.push_back(path);
    std::ifstream in(PathOf(path), std::ios::binary);
    std::string line;
    bool has_data = false;
    // The folders are named near the top of a log; a long log is not read
    // to its end for them.
    for (int n = 0; n < 20000 && !has_data && std::getline(in, line); ++n) {
      // Older Windows programs ended their lines "\r\n".
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string data;
      static const std::string kTemplates = " Load templates from ";
      if (line.rfind(kTemplates, 0) == 0 && folders.templateDir.empty()) {
        folders.templateDir = line.substr(kTemplates.size());
      } else if (EventPrefixOfLine(line, &data)) {
        has_data = true;
      } else if (IsSegmentLine(line)) {
        data = prefix;
        has_data = true;
      }
      if (has_data &&
          std::find(folders.dataPrefixes.begin(), folders.dataPrefixes.end(), data) ==
              folders.dataPrefixes.end()) {
        folders.dataPrefixes.push_back(data);
      }
    }
  }
  std::sort(folders.logs.begin(), folders.logs.end());
  if (!folders.dataPrefixes.empty()) folders.dataPrefix = folders.dataPrefixes.front();
  return folders;
}

bool BuildCatalogue(const std::string& outDir, const CatalogueOptions& options, Catalogue* cat,
                    std::string* error) {
  Catalogue c;
  c.outDir = AsPrefix(outDir);
  c.tablePath = c.outDir + "ML_detect.ps0";
  ResultTable table;
  if (!ReadResultTable(c.tablePath, &table, error)) return false;
  c.warnings = table.warnings;
  c.timeUnit = options.timeUnit.empty() ? table.timeUnit : options.timeUnit;
  const double unit_us = MicrosecondsPerUnit(c.timeUnit);
  if (unit_us == 0) {
    *error = "unknown time unit \"" + c.timeUnit + "\" (us, ms or s)";
    return false;
  }
  if (!options.dataPrefix.empty()) {
    c.dataPrefixes.push_back(AsPrefix(options.dataPrefix));
  } else {
    c.dataPrefixes = DiscoverRunFolders(c.outDir).dataPrefixes;
    if (std::find(c.dataPrefixes.begin(), c.dataPrefixes.end(), c.outDir) ==
        c.dataPrefixes.end()) {
      c.dataPrefixes.push_back(c.outDir);
    }
  }

  FileCache files;
  std::set<std::string> claimed;
  std::map<int32_t, int> seen_of_ae;  // rows of each record so far
  for (const ResultRow& row : table.rows) {
    CatalogueEntry e;
    e.row = row;
    const int ordinal = seen_of_ae[row.ae]++;
    // The k-th row of a record is normally in its k-th file (the event file,
    // then the copies _01, _02, ...); a record detected again since, or a
    // table shared by several runs, may place it elsewhere, so the detection
    // line decides.
    std::string found;
    int found_copy = -1;
    std::string seen_other;
    for (const std::string& prefix : c.dataPrefixes) {
      std::vector<int> order;
      if (ordinal <= 99) order.push_back(ordinal);
      for (int k = 0; k <= 99; ++k) {
        if (k != ordinal) order.push_back(k);
      }
      for (int k : order) {
        const std::string path = CopyPath(prefix, row.ae, k);
        if (claimed.count(path)) continue;
        LoadedFile& f = files.Get(path);
        if (!f.exists) {
          if (k > ordinal) break;  // copies are numbered without gaps
          continue;
        }
        if (f.loaded && f.hasLine && DetectionLineMatchesRow(f.line, row)) {
          found = path;
          found_copy = k;
          break;
        }
        if (seen_other.empty()) seen_other = path;
      }
      if (!found.empty()) break;
    }
    if (found.empty()) {
      c.warnings.push_back(StrPrintf(
          "AE %d (table line %d): %s; exported without origin time, stations and picks",
          row.ae, row.lineNumber,
          seen_other.empty()
              ? StrPrintf("no event file %s (or copy) found",
                          CopyPath(c.dataPrefixes.front(), row.ae, 0).c_str())
                    .c_str()
              : StrPrintf("no file holds this detection (%s holds another; detected again since?)",
                          seen_other.c_str())
                    .c_str()));
    } else {
      claimed.insert(found);
      e.eventFile = found;
      e.copyNumber = found_copy;
      const LoadedFile& f = files.Get(found);
      FillFromFile(f, unit_us, &e);
      if (!e.hasTime) {
        c.warnings.push_back(StrPrintf(
            "AE %d (table line %d): %s has no readable start date and time (\"%s\" \"%s\"), "
            "or t0 is no time; exported without origin time",
            row.ae, row.lineNumber, found.c_str(),
            std::string(TextOf(f.record->header.acquisitionDate)).c_str(),
            std::string(TextOf(f.record->header.acquisitionTime)).c_str()));
      }
    }
    c.entries.push_back(std::move(e));
  }
  *cat = std::move(c);
  return true;
}

}  // namespace qae
