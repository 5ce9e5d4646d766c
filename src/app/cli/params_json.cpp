#include "app/cli/params_json.h"

#include <charconv>
#include <cstdlib>
#include <utility>

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

}  // namespace

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

nlohmann::ordered_json ParsSourceJson(const ParameterFileInfo& info) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (const FieldSource& source : info.sources) {
    nlohmann::ordered_json entry;
    if (source.is_default()) {
      entry["default"] = true;
    } else {
      entry["line"] = source.line;
      entry["text"] = source.text;
    }
    j[source.field] = std::move(entry);
  }
  return j;
}

nlohmann::ordered_json ParamsJson(const AePars& p, const ParameterFileInfo& info,
                                  const std::vector<std::string>& warnings,
                                  const std::vector<std::string>& errors) {
  nlohmann::ordered_json json = ParsJson(p);
  json["source"] = ParsSourceJson(info);
  json["warnings"] = warnings;
  json["errors"] = errors;
  return json;
}

}  // namespace qae::cli
