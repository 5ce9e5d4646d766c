// "filter": band-pass a SEG-2 file the way the scan filters its records, so
// that users can look at what the scan sees.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "app/cli/commands.h"
#include "dsp/iir_filter.h"
#include "util/path.h"
#include "util/text.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace qae::cli {

namespace {

// "FL,FH" as two floats, nothing else around them.
void ParseBand(const std::string& text, float* fl, float* fh) {
  char tail = 0;
  if (std::sscanf(text.c_str(), "%f,%f%c", fl, fh, &tail) != 2) {
    throw CommandError("--band wants FL,FH (two numbers separated by a comma), got \"" + text +
                       "\"");
  }
}

}  // namespace

void RegisterFilterCommand(CLI::App& app) {
  struct Options {
    std::string in;
    std::string out;
    std::string band;
    int format = 4;
    bool force = false;
  };
  auto opt = std::make_shared<Options>();
  CLI::App* cmd = app.add_subcommand(
      "filter",
      "Band-pass every trace of the SEG-2 file IN with the scan's filter (order-4\n"
      "Butterworth, one causal pass, designed for the sampling interval of the first\n"
      "trace) and write the result to OUT as SEG-2. Corners are in cycles per unit of\n"
      "the sampling interval: MHz for intervals in microseconds, Hz for seconds.\n"
      "OUT is written atomically and never replaced unless --force is given.");
  cmd->add_option("IN", opt->in, "SEG-2 file to read")->required();
  cmd->add_option("OUT", opt->out, "SEG-2 file to write")->required();
  cmd->add_option("--band", opt->band,
                  "Low and high corner FL,FH, with 0 < FL < FH < half the sampling rate")
      ->required();
  cmd->add_option("--format", opt->format, "Data format of OUT: 1 int16, 2 int32, 4 float32")
      ->check(CLI::IsMember({1, 2, 4}))
      ->capture_default_str();
  cmd->add_flag("--force", opt->force, "Replace OUT if it exists");
  cmd->callback([opt] {
    float fl = 0.0f;
    float fh = 0.0f;
    ParseBand(opt->band, &fl, &fh);
    std::error_code ec;
    if (!opt->force && std::filesystem::exists(PathOf(opt->out), ec)) {
      throw CommandError(opt->out + ": exists; give --force to replace it");
    }
    XL_WaveDataSeg2 record;
    if (record.Load(opt->in, 1, 0, 0) < 1) {
      const std::string why = record.LastLoadMessage();
      throw CommandError(why.empty() ? opt->in + ": cannot be loaded as SEG-2" : why);
    }
    if (!record.LastLoadMessage().empty()) {
      std::fprintf(stderr, "Quorvex_AE: warning: %s\n", record.LastLoadMessage().c_str());
    }
    std::string message;
    if (FilterRecordBandpass(record, fl, fh, &message) != 1) {
      throw CommandError(opt->in + ": " + message);
    }
    std::string error;
    if (WriteSeg2(opt->out, record, 0, 0, opt->format, &error) != 1) {
      throw CommandError(error, 1);
    }
  });
}

}  // namespace qae::cli
