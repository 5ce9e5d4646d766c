// "seg2 dump" and "seg2 write": look inside a SEG-2 file and write one.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/json_output.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace qae::cli {

namespace {

using Json = nlohmann::ordered_json;

Json HeaderJson(const WaveHeader& h) {
  Json j;
  j["traceCount"] = h.traceCount;
  j["timeSec"] = h.timeSec;
  j["timeUsec"] = h.timeUsec;
  j["acquisitionDate"] = std::string(TextOf(h.acquisitionDate));
  j["acquisitionTime"] = std::string(TextOf(h.acquisitionTime));
  j["instrument"] = std::string(TextOf(h.instrument));
  j["traceSort"] = std::string(TextOf(h.traceSort));
  j["timeUnits"] = std::string(TextOf(h.timeUnits));
  j["units"] = std::string(TextOf(h.units));
  j["waveUnits"] = std::string(TextOf(h.waveUnits));
  j["note"] = std::string(TextOf(h.note));
  j["comments"] = std::string(TextOf(h.comments));
  j["rcvNote"] = std::string(TextOf(h.rcvNote));
  j["numberSources"] = h.numberSources;
  j["numberReceivers"] = h.numberReceivers;
  j["rotation"] = {h.rotation[0], h.rotation[1]};
  j["windowStart"] = h.windowStart;
  return j;
}

// How much of each trace's samples a dump prints.
struct SampleOutput {
  bool enabled = false;
  int64_t max_per_trace = -1;  // -1: no cap
};

Json TraceJson(const XL_WaveTrace& t, const SampleOutput& samples_out,
               const Seg2ShortTrace* short_trace) {
  Json j;
  j["lineId"] = std::string(TextOf(t.lineId));
  j["note"] = std::string(TextOf(t.note));
  j["channelNumber"] = t.channelNumber;
  j["receiverLocation"] = {t.receiverLocation[0], t.receiverLocation[1], t.receiverLocation[2]};
  j["sourceLocation"] = {t.sourceLocation[0], t.sourceLocation[1], t.sourceLocation[2]};
  j["descalingFactor"] = t.descalingFactor;
  j["drawSizeFactor"] = t.drawSizeFactor;
  j["maxValue"] = t.maxValue;
  j["minValue"] = t.minValue;
  j["meanValue"] = t.meanValue;
  j["samplingInterval"] = t.samplingInterval;
  j["skew"] = t.skew;
  j["delay"] = t.delay;
  j["pickup"] = {t.pickup[0], t.pickup[1]};
  j["ampPickupSign"] = t.ampPickupSign;
  j["ampPickup"] = t.ampPickup;
  j["nsRatio"] = t.nsRatio;
  j["stack"] = t.stack;
  j["dataFormat"] = t.dataFormat;
  j["sampleCount"] = t.sampleCount;
  j["capacity"] = t.capacity;
  j["unit"] = std::string(TextOf(t.unit));
  j["channelCode"] = std::string(TextOf(t.channelCode));
  j["calib"] = t.calib;
  j["calper"] = t.calper;
  j["hang"] = t.hang;
  j["vang"] = t.vang;
  j["timeBegin"] = t.timeBegin;
  if (short_trace) {
    // The file ends before the samples its descriptor declares (or holds
    // them in a format that is not read): the rest are 0 in the trace and
    // are not printed.
    j["samplesDeclared"] = short_trace->declared;
    j["samplesPresent"] = short_trace->present;
  }
  if (samples_out.enabled) {
    Json samples = Json::array();
    int64_t n = std::min(t.sampleCount, t.AllocatedSlots());
    if (short_trace) n = std::min(n, short_trace->present);
    if (samples_out.max_per_trace >= 0) n = std::min(n, samples_out.max_per_trace);
    for (int64_t i = 0; i < n; ++i) {
      samples.push_back(ShortestFloat(t.samples[static_cast<std::size_t>(i)]));
    }
    j["samples"] = std::move(samples);
  }
  return j;
}

// "N" or "FIRST-LAST", 1-based and inclusive.
void ParseTraceRange(const std::string& text, int64_t* first, int64_t* last) {
  long long a = 0;
  long long b = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%lld-%lld%c", &a, &b, &tail) == 2 && a >= 1 && b >= a) {
    *first = a;
    *last = b;
    return;
  }
  if (std::sscanf(text.c_str(), "%lld%c", &a, &tail) == 1 && a >= 1) {
    *first = *last = a;
    return;
  }
  throw CommandError("--traces wants FIRST-LAST (1-based, FIRST <= LAST), got \"" + text + "\"");
}

void LoadOrThrow(XL_WaveDataSeg2& record, const std::string& path, int64_t first, int64_t last) {
  if (record.Load(path, 1, first, last) < 1) {
    const std::string why = record.LastLoadMessage();
    throw CommandError(why.empty() ? path + ": cannot be loaded as SEG-2" : why);
  }
  if (!record.LastLoadMessage().empty()) {
    std::fprintf(stderr, "Quorvex_AE: warning: %s\n", record.LastLoadMessage().c_str());
  }
}

void RegisterDump(CLI::App& seg2) {
  struct Options {
    std::string file;
    bool samples = false;
    int64_t max_samples = -1;
    std::string traces;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = seg2.add_subcommand(
      "dump",
      "Load a SEG-2 file and print its header and traces as JSON: \"header\" with every\n"
      "file-header field, \"traces\" with every trace field (samples only with --samples).\n"
      "A file that ends before the samples a trace declares (a truncated copy, a forged\n"
      "count) is reported on stderr; such a trace gets \"samplesDeclared\" and\n"
      "\"samplesPresent\", and only its present samples are printed.");
  cmd->add_option("FILE", opt->file, "SEG-2 file")->required();
  cmd->add_flag("--samples", opt->samples, "Include every trace's samples");
  cmd->add_option("--max-samples", opt->max_samples,
                  "Print at most N samples per trace (implies --samples)")
      ->check(CLI::NonNegativeNumber)
      ->type_name("N");
  cmd->add_option("--traces", opt->traces, "Only traces FIRST-LAST (1-based, inclusive)");
  cmd->callback([opt] {
    int64_t first = 0;
    int64_t last = 0;
    if (!opt->traces.empty()) ParseTraceRange(opt->traces, &first, &last);
    XL_WaveDataSeg2 record;
    LoadOrThrow(record, opt->file, first, last);
    if (!record.PartialRead().empty()) {
      std::fprintf(stderr, "Quorvex_AE: warning: %s: read in part: %s\n", opt->file.c_str(),
                   record.PartialRead().c_str());
    }
    const SampleOutput samples_out{opt->samples || opt->max_samples >= 0, opt->max_samples};
    std::vector<const Seg2ShortTrace*> short_of(record.traces.size(), nullptr);
    for (const Seg2ShortTrace& s : record.ShortTraces()) {
      if (s.index >= 0 && static_cast<std::size_t>(s.index) < short_of.size()) {
        short_of[static_cast<std::size_t>(s.index)] = &s;
      }
    }
    Json out;
    out["header"] = HeaderJson(record.header);
    Json traces = Json::array();
    for (std::size_t i = 0; i < record.traces.size(); ++i) {
      traces.push_back(TraceJson(*record.traces[i], samples_out, short_of[i]));
    }
    out["traces"] = std::move(traces);
    std::printf("%s\n", DumpJson(out).c_str());
  });
}

void RegisterWrite(CLI::App& seg2) {
  struct Options {
    std::string in;
    std::string out;
    int format = 4;
    int64_t first = 0;
    int32_t count = 0;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = seg2.add_subcommand(
      "write",
      "Load IN and write it to OUT as SEG-2 (the full keyword set when OUT ends in .sg2).\n"
      "OUT is replaced atomically; IN may be OUT.");
  cmd->add_option("IN", opt->in, "SEG-2 file to read")->required();
  cmd->add_option("OUT", opt->out, "SEG-2 file to write")->required();
  cmd->add_option("--format", opt->format, "Data format: 1 int16, 2 int32, 4 float32")
      ->check(CLI::IsMember({1, 2, 4}))
      ->capture_default_str();
  cmd->add_option("--first", opt->first, "First sample of the window (0-based)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  cmd->add_option("--count", opt->count, "Samples per trace; 0 writes whole traces")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  cmd->callback([opt] {
    if (opt->count == 0 && opt->first != 0) {
      throw CommandError("--first needs --count (a count of 0 writes whole traces)");
    }
    XL_WaveDataSeg2 record;
    LoadOrThrow(record, opt->in, 0, 0);
    if (opt->count > 0) {
      for (int i = 0; i < record.TraceCount(); ++i) {
        const int64_t n = record.Trace(i).sampleCount;
        if (opt->first + opt->count > n) {
          throw CommandError(StrPrintf("window %lld..%lld passes the end of trace %d (%lld samples)",
                                       static_cast<long long>(opt->first),
                                       static_cast<long long>(opt->first + opt->count - 1), i + 1,
                                       static_cast<long long>(n)));
        }
      }
    }
    std::string error;
    if (WriteSeg2(opt->out, record, opt->first, opt->count, opt->format, &error) != 1) {
      throw CommandError(error, 1);
    }
  });
}

}  // namespace

void RegisterSeg2Commands(CLI::App& app) {
  CLI::App* seg2 = app.add_subcommand("seg2", "Inspect and write SEG-2 files");
  seg2->require_subcommand(1);
  RegisterDump(*seg2);
  RegisterWrite(*seg2);
}

}  // namespace qae::cli
