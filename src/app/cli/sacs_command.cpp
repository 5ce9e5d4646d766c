// "sacs dump" and "sacs split": look inside a SAC record container and turn
// it into standard single-record SAC files that any SAC reader opens.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/json_output.h"
#include "util/file_io.h"
#include "util/path.h"
#include "util/text.h"
#include "writers/sac_container.h"

namespace qae::cli {

namespace {

using Json = nlohmann::ordered_json;

std::vector<SacRecord> ReadOrThrow(const std::string& path, bool* is_container) {
  std::vector<SacRecord> records;
  std::string error;
  if (!ReadSacRecords(path, &records, is_container, &error)) throw CommandError(error);
  return records;
}

Json RecordJson(const SacRecord& r) {
  const SacHeader& h = r.header;
  Json j;
  j["npts"] = h.ints[SacHeader::kNpts];
  j["delta"] = ShortestFloat(h.floats[SacHeader::kDelta]);
  j["b"] = ShortestFloat(h.floats[SacHeader::kB]);
  j["e"] = ShortestFloat(h.floats[SacHeader::kE]);
  j["o"] = ShortestFloat(h.floats[SacHeader::kO]);
  j["nzyear"] = h.ints[SacHeader::kNzYear];
  j["nzjday"] = h.ints[SacHeader::kNzJday];
  j["nzhour"] = h.ints[SacHeader::kNzHour];
  j["nzmin"] = h.ints[SacHeader::kNzMin];
  j["nzsec"] = h.ints[SacHeader::kNzSec];
  j["nzmsec"] = h.ints[SacHeader::kNzMsec];
  j["nvhdr"] = h.ints[SacHeader::kNvhdr];
  j["iftype"] = h.ints[SacHeader::kIftype];
  j["idep"] = h.ints[SacHeader::kIdep];
  j["iztype"] = h.ints[SacHeader::kIztype];
  j["leven"] = h.ints[SacHeader::kLeven];
  j["t1"] = ShortestFloat(h.floats[SacHeader::kT1]);
  j["user1"] = ShortestFloat(h.floats[SacHeader::kUser1]);
  j["kstnm"] = SacText(h, SacHeader::kKstnm);
  j["kcmpnm"] = SacText(h, SacHeader::kKcmpnm);
  j["knetwk"] = SacText(h, SacHeader::kKnetwk);
  j["kuser1"] = SacText(h, SacHeader::kKuser1);
  j["byteOrder"] = r.bigEndian ? "big" : "little";
  // NaN samples say nothing about the range; a record of nothing else has
  // null limits, as has an empty one.
  float lo = INFINITY;
  float hi = -INFINITY;
  for (float v : r.data) {
    if (std::isnan(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  if (lo <= hi) {
    j["min"] = ShortestFloat(lo);
    j["max"] = ShortestFloat(hi);
  } else {
    j["min"] = nullptr;
    j["max"] = nullptr;
  }
  return j;
}

// A header text usable in a file name: letters, digits, '-' and '_' kept,
// anything else (blanks, separators, odd bytes) turned into '_'; an
// undefined field gives an empty part.
std::string FileNamePart(const SacHeader& h, int offset) {
  std::string text = SacText(h, offset);
  if (text == "-12345") return {};
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) && u < 0x80) && c != '-' && c != '_') c = '_';
  }
  return text;
}

void RegisterDump(CLI::App& sacs) {
  auto file = std::make_shared<std::string>();
  CLI::App* cmd = sacs.add_subcommand(
      "dump",
      "Print a SAC record container (.sacs) as JSON: \"recordCount\" and, per record,\n"
      "npts, delta, b, e, o, nzyear..nzmsec, nvhdr, iftype, idep, iztype, leven, t1,\n"
      "user1, kstnm, kcmpnm, knetwk, kuser1 (without trailing blanks), the byte order\n"
      "and the min and max of the samples. A single SAC file is shown as one record.");
  cmd->add_option("FILE", *file, "SAC container or SAC file")->required();
  cmd->callback([file] {
    bool is_container = false;
    const std::vector<SacRecord> records = ReadOrThrow(*file, &is_container);
    Json out;
    out["format"] = is_container ? "sacs" : "sac";
    out["recordCount"] = records.size();
    Json list = Json::array();
    for (const SacRecord& r : records) list.push_back(RecordJson(r));
    out["records"] = std::move(list);
    std::printf("%s\n", DumpJson(out).c_str());
  });
}

void RegisterSplit(CLI::App& sacs) {
  struct Options {
    std::string file;
    std::string dir;
    bool force = false;
    bool seconds = false;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = sacs.add_subcommand(
      "split",
      "Write every record of a SAC container as a standard single-record SAC file\n"
      "(little-endian) in DIR, named <index>_<knetwk>.<kstnm>.<kcmpnm>.sac with the\n"
      "1-based record index and undefined fields left empty. DIR is created if\n"
      "needed. If any of the files exists, nothing is written unless --force is\n"
      "given. The names of the written files are printed, one a line.\n"
      "The container keeps the times of the traces' own unit (microseconds for AE\n"
      "data): with --seconds, delta and every time word (b, e, o, a, t0-t9, f) are\n"
      "converted from microseconds to seconds, as ObsPy and SAC expect; the\n"
      "reference time (nzyear..nzmsec) is already a calendar time and stays.");
  cmd->add_option("FILE", opt->file, "SAC container")->required();
  cmd->add_option("DIR", opt->dir, "Directory for the SAC files")->required();
  cmd->add_flag("--force", opt->force, "Replace existing files");
  cmd->add_flag("--seconds", opt->seconds,
                "Write delta and times in seconds (the container's are in microseconds)");
  cmd->callback([opt] {
    namespace fs = std::filesystem;
    bool is_container = false;
    const std::vector<SacRecord> records = ReadOrThrow(opt->file, &is_container);
    if (!is_container) throw CommandError(opt->file + ": a single SAC file, not a container");
    const int width = std::max(3, static_cast<int>(std::to_string(records.size()).size()));
    std::vector<fs::path> targets;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const SacHeader& h = records[i].header;
      const std::string name =
          StrPrintf("%0*zu_%s.%s.%s.sac", width, i + 1, FileNamePart(h, SacHeader::kKnetwk).c_str(),
                    FileNamePart(h, SacHeader::kKstnm).c_str(),
                    FileNamePart(h, SacHeader::kKcmpnm).c_str());
      targets.push_back(PathOf(opt->dir) / PathOf(name));
    }
    std::error_code ec;
    fs::create_directories(PathOf(opt->dir), ec);
    if (ec || !fs::is_directory(PathOf(opt->dir))) {
      throw CommandError(opt->dir + ": cannot create directory" +
                         (ec ? ": " + ec.message() : std::string()), 1);
    }
    if (!opt->force) {
      for (const fs::path& target : targets) {
        if (fs::exists(target, ec)) {
          throw CommandError(PathText(target) + ": exists; give --force to replace it");
        }
      }
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
      const SacRecord& r = records[i];
      SacHeader header = r.header;
      if (opt->seconds) ScaleSacTimes(&header, 1e-6);
      const std::vector<uint8_t> bytes =
          EncodeSacFile(header, r.data.data(), static_cast<int32_t>(r.data.size()));
      std::string error;
      if (!WriteFileAtomically(PathText(targets[i]), bytes.data(), bytes.size(), &error)) {
        throw CommandError(error, 1);
      }
      std::printf("%s\n", PathText(targets[i]).c_str());
    }
  });
}

}  // namespace

void RegisterSacsCommands(CLI::App& app) {
  CLI::App* sacs = app.add_subcommand("sacs", "Inspect and split SAC record containers");
  sacs->require_subcommand(1);
  RegisterDump(*sacs);
  RegisterSplit(*sacs);
}

}  // namespace qae::cli
