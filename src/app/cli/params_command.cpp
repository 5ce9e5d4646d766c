// `Quorvex_AE params PARFILE [--strict]`: reads a parameter file as a run
// would and prints the resulting settings as one JSON object, with where
// each came from and what looks wrong, so a file can be checked before a
// run of hours is started with it.
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/params_json.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/text.h"

namespace qae::cli {

void RegisterParamsCommand(CLI::App& app) {
  auto path = std::make_shared<std::string>();
  auto strict = std::make_shared<bool>(false);
  CLI::App* cmd = app.add_subcommand(
      "params", "Read a parameter file and print the settings a run would use, as JSON.");
  cmd->footer(
      "The parameter file (*ML_CC_AE_pars.txt) is positional: its significant lines\n"
      "give, in a fixed order, 27 values, each taken after the first '=' of its line\n"
      "(velocities, windows, filter corners, thresholds, search grid, the template,\n"
      "data and output directories, template range, output level). Blank lines and\n"
      "lines starting with ! # % * or / are skipped. Lines with \"all\" or \"mean\"\n"
      "follow; a line starting with [END] ends the values. A missing value takes\n"
      "its default. PARFILE may also be an http:// or ftp:// URL.\n"
      "\n"
      "After the settings, \"source\" gives for each one the line it came from\n"
      "({\"line\": N, \"text\": ...}, N counting every line of the file) or\n"
      "{\"default\": true}, and \"warnings\" lists what the file probably does not\n"
      "mean: a number that stops early (\"0,6\" reads as 0), a value line without a\n"
      "number, a line whose text names another field than its place gives (a line\n"
      "missing or added above it), value lines missing at the end, folders that do\n"
      "not exist. Each warning also goes to stderr as \"PARFILE: warning: ...\".\n"
      "Values no run accepts (a NaN or infinite threshold, velocity, window, filter\n"
      "corner or grid half-width, a negative dupWin) are errors: they are listed\n"
      "under \"errors\" and on stderr, and the exit status is 2.\n"
      "\n"
      "Exit status: 0 read (warnings or not), 2 the file cannot be opened, holds an\n"
      "error, or, with --strict, gives any warning.");
  cmd->add_option("PARFILE", *path, "Parameter file path or URL")->required();
  cmd->add_flag("--strict", *strict, "Refuse (exit 2) a file that gives any warning");
  cmd->callback([path, strict] {
    AePars pars;
    ParameterFileInfo info;
    if (!ReadParameterFile(*path, &pars, &info)) {
      throw CommandError("cannot open parameter file " + *path + ": " + info.open_error, 2);
    }
    const std::vector<std::string> warnings = AllParameterWarnings(info, pars);
    const std::vector<std::string> errors = ParameterErrors(pars, &info);
    for (const std::string& w : warnings) {
      std::fprintf(stderr, "%s: warning: %s\n", path->c_str(), w.c_str());
    }
    for (const std::string& e : errors) {
      std::fprintf(stderr, "%s: error: %s\n", path->c_str(), e.c_str());
    }
    const nlohmann::ordered_json json = ParamsJson(pars, info, warnings, errors);
    std::cout << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    std::cout.flush();
    if (!errors.empty()) {
      throw CommandError(StrPrintf("%s: refused: %zu value%s no run can use", path->c_str(),
                                   errors.size(), errors.size() == 1 ? "" : "s"),
                         2);
    }
    if (*strict && !warnings.empty()) {
      throw CommandError(StrPrintf("%s: refused with --strict: %zu warning%s", path->c_str(),
                                   warnings.size(), warnings.size() == 1 ? "" : "s"),
                         2);
    }
  });
}

}  // namespace qae::cli
