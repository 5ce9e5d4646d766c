// `Quorvex_AE run PARFILE RANGE`: one detection run over an AE range in this
// process, as the dialog's "Go" performs it with a step of 0.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/cli/commands.h"
#include "app/run_range.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/crt_random.h"
#include "util/text.h"

namespace qae::cli {

namespace {

struct AeRange {
  int first = 0;
  int last = 0;
  int step = 0;
};

// Reads an integer as "%d" does (leading blanks, optional sign, digits) from
// `text` at `*pos`. Values beyond the int range count as no number.
std::optional<int> ScanInt(std::string_view text, std::size_t* pos) {
  std::size_t i = *pos;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digits = i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (i == digits) return std::nullopt;
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  *pos = i;
  return static_cast<int>(value);
}

bool ScanLiteral(std::string_view text, std::size_t* pos, std::string_view literal) {
  if (text.substr(*pos, literal.size()) != literal) return false;
  *pos += literal.size();
  return true;
}

// "first,last,+=step" as typed in the dialog, or "first,last" followed by
// anything (the form a launched instance receives), which means step 0.
std::optional<AeRange> ParseAeRange(std::string_view text) {
  AeRange range;
  std::size_t pos = 0;
  const auto first = ScanInt(text, &pos);
  if (!first || !ScanLiteral(text, &pos, ",")) return std::nullopt;
  const auto last = ScanInt(text, &pos);
  if (!last) return std::nullopt;
  range.first = *first;
  range.last = *last;
  if (ScanLiteral(text, &pos, ",+=")) {
    if (const auto step = ScanInt(text, &pos)) range.step = *step;
  }
  return range;
}

std::string CompletedLogPath(const std::string& log_path) {
  return log_path.substr(0, log_path.size() - 4) + "_OK.txt";
}

}  // namespace

void RegisterRunCommand(CLI::App& app) {
  auto par_file = std::make_shared<std::string>();
  auto range_text = std::make_shared<std::string>();
  CLI::App* cmd = app.add_subcommand(
      "run", "Scan the event files of an AE range against the templates, in this process.");
  cmd->footer(
      "RANGE is written as in the dialog: first,last,+=step (for example 0,1500,+=0).\n"
      "With step 0 (or less) the AE numbers first to last, both included, are scanned\n"
      "in this process; first,last without a step means the same. A step of 1 or more\n"
      "(one further instance per sub-range) is not available yet.\n"
      "\n"
      "Progress and errors go to the log <outDir>Log_<first>_<last>.txt, which is\n"
      "renamed to ..._OK.txt when the run completes; detections are appended to\n"
      "<outDir>ML_detect.ps0 and written into the event files. On success one line\n"
      "goes to stdout: detected=<records with a detection> log=<log path>.\n"
      "\n"
      "Exit status: 0 after a complete run; 1 when the run stopped early (no\n"
      "templates, an unusable reference template; the reason goes to stderr and to\n"
      "the log); 2 for a parameter file that cannot be opened or a malformed RANGE.");
  cmd->add_option("PARFILE", *par_file, "Parameter file (*ML_CC_AE_pars.txt) path or URL")
      ->required();
  cmd->add_option("RANGE", *range_text, "AE range first,last,+=step")->required();
  cmd->callback([par_file, range_text] {
    const std::optional<AeRange> range = ParseAeRange(*range_text);
    if (!range) {
      throw CommandError("malformed RANGE '" + *range_text +
                             "': expected first,last,+=step, for example 0,1500,+=0",
                         2);
    }
    if (range->step >= 1) {
      throw CommandError(
          "multiple runs (step >= 1) are not available yet; use step 0 for a single run", 2);
    }

    // The log's directory comes from the parameter file; reading it here also
    // turns an unreadable file into a usage error before anything runs.
    AePars pars;
    ParameterFileInfo info;
    if (!ReadParameterFile(*par_file, &pars, &info)) {
      throw CommandError("cannot open parameter file " + *par_file + ": " + info.open_error, 2);
    }
    const std::string log_path =
        StrPrintf("%sLog_%06d_%06d.txt", pars.outDir.c_str(), range->first, range->last);

    // The dialog draws two values for its window placement before any run;
    // taking them here keeps the dithered offsets equal to a dialog run's.
    CrtRand();
    CrtRand();

    const RunRangeResult result = RunRange(*par_file, range->first, range->last);
    if (!result.parametersRead) throw CommandError(result.error, 2);
    if (!result.error.empty()) throw CommandError(result.error + " (log: " + log_path + ")", 1);

    std::error_code ec;
    const std::string done = CompletedLogPath(log_path);
    const std::string shown = std::filesystem::exists(done, ec) ? done : log_path;
    if (!std::filesystem::exists(shown, ec)) {
      // Typically a missing output directory, which the result table shares.
      std::fprintf(stderr, "Quorvex_AE: warning: the log could not be written at %s\n",
                   log_path.c_str());
    }
    std::printf("detected=%d log=%s\n", result.detected, shown.c_str());
    std::fflush(stdout);
  });
}

}  // namespace qae::cli
