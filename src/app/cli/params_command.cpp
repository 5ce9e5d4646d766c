// `Quorvex_AE params PARFILE`: reads a parameter file as a run would and
// prints the resulting settings as one JSON object, so a file can be checked
// before a run of hours is started with it.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/cli/commands.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"

namespace qae::cli {

namespace {

// A float as the JSON number of its shortest round-trip decimal, so 0.3f
// prints as 0.3 rather than as the double 0.30000001192092896.
nlohmann::ordered_json FloatJson(float value) {
  char text[64];
  const auto [end, ec] = std::to_chars(text, text + sizeof(text) - 1, value);
  if (ec != std::errc()) return static_cast<double>(value);
  *end = '\0';
  // Non-finite values come back as inf/nan, which JSON writes as null.
  return std::strtod(text, nullptr);
}

nlohmann::ordered_json ParsJson(const AePars& p) {
  nlohmann::ordered_json j;
  j["velX"] = FloatJson(p.velX);
  j["velY"] = FloatJson(p.velY);
  j["velZ"] = FloatJson(p.velZ);
  j["reserved1"] = FloatJson(p.reserved1);
  j["preWin"] = FloatJson(p.preWin);
  j["postWin"] = FloatJson(p.postWin);
  j["dupWin"] = FloatJson(p.dupWin);
  j["reserved2"] = FloatJson(p.reserved2);
  j["reserved3"] = FloatJson(p.reserved3);
  j["fLow"] = FloatJson(p.fLow);
  j["fHigh"] = FloatJson(p.fHigh);
  j["reserved4"] = FloatJson(p.reserved4);
  j["ccMin"] = FloatJson(p.ccMin);
  j["snrMin"] = FloatJson(p.snrMin);
  j["gridHalfX"] = FloatJson(p.gridHalfX);
  j["gridHalfY"] = FloatJson(p.gridHalfY);
  j["gridHalfZ"] = FloatJson(p.gridHalfZ);
  j["gridStepsX"] = p.gridStepsX;
  j["gridStepsY"] = p.gridStepsY;
  j["gridStepsZ"] = p.gridStepsZ;
  j["templateDir"] = p.templateDir;
  j["dataPath"] = p.dataPath;
  j["outDir"] = p.outDir;
  j["maxTemplates"] = p.maxTemplates;
  j["iTS"] = p.iTS;
  j["iTE"] = p.iTE;
  j["reserved5"] = p.reserved5;
  j["outLevel"] = p.outLevel;
  j["wellLocatedM"] = p.wellLocatedM;
  j["all"] = p.all;
  j["mean"] = p.mean;
  j["minStations"] = p.minStations;
  return j;
}

}  // namespace

void RegisterParamsCommand(CLI::App& app) {
  auto path = std::make_shared<std::string>();
  CLI::App* cmd = app.add_subcommand(
      "params", "Read a parameter file and print the settings a run would use, as JSON.");
  cmd->footer(
      "The parameter file (*ML_CC_AE_pars.txt) is positional: its significant lines\n"
      "give, in a fixed order, 27 values, each taken after the first '=' of its line\n"
      "(velocities, windows, filter corners, thresholds, search grid, the template,\n"
      "data and output directories, template range, output level). Blank lines and\n"
      "lines starting with ! # % * or / are skipped. Lines with \"all\" or \"mean\"\n"
      "follow; a line starting with [END] ends the values. A missing value takes\n"
      "its default. PARFILE may also be an http:// or ftp:// URL.");
  cmd->add_option("PARFILE", *path, "Parameter file path or URL")->required();
  cmd->callback([path] {
    AePars pars;
    ParameterFileInfo info;
    if (!ReadParameterFile(*path, &pars, &info)) {
      throw CommandError("cannot open parameter file " + *path + ": " + info.open_error, 2);
    }
    if (info.value_lines_present < kParameterValueLines) {
      std::fprintf(stderr,
                   "%s: only %d of the %d value lines present; the rest take their defaults\n",
                   path->c_str(), info.value_lines_present, kParameterValueLines);
    }
    std::cout << ParsJson(pars).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
              << '\n';
    std::cout.flush();
  });
}

}  // namespace qae::cli
