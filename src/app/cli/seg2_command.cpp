// "seg2 dump" and "seg2 write": look inside a SEG-2 file and write one.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/json_output.h"
#include "app/cli/seg2_json.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace qae::cli {

namespace {

using Json = nlohmann::ordered_json;

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
    const Seg2SampleOutput samples_out{opt->samples || opt->max_samples >= 0, opt->max_samples};
    const Json out = Seg2RecordJson(record, samples_out);
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
