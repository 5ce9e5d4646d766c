// The checks of a parameter record that do not need the file's text:
// FolderWarnings, ParameterErrors and AllParameterWarnings.
#include <charconv>
#include <cmath>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "params/parameter_file.h"
#include "util/path.h"
#include "util/text.h"

namespace qae {

namespace {

namespace fs = std::filesystem;

// "line 21: templateDir: ", or "templateDir: " when the line is unknown.
std::string Head(const ParameterFileInfo* info, std::string_view field) {
  std::string head;
  if (info) {
    const FieldSource* source = info->Source(field);
    if (source && !source->is_default()) head = StrPrintf("line %d: ", source->line);
  }
  return head + std::string(field) + ": ";
}

std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted.append(text);
  quoted += '"';
  return quoted;
}

// A file written on another system may carry prefixes such as D:\data\ or
// templates\ ; where a backslash separates no folders, they name none.
constexpr bool kBackslashSeparates = fs::path::preferred_separator == '\\';

bool IsSeparator(char c) { return c == '/' || (kBackslashSeparates && c == '\\'); }

enum class PathKind { kMissing, kFolder, kOther };

PathKind KindOf(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(PathOf(path), ec);
  if (ec || !fs::exists(status)) return PathKind::kMissing;
  return fs::is_directory(status) ? PathKind::kFolder : PathKind::kOther;
}

// `folder` without its trailing separators, but a root stays a root.
std::string WithoutTrailingSeparators(std::string folder) {
  while (folder.size() > 1 && IsSeparator(folder.back())) folder.pop_back();
  return folder;
}

// One prefix directory: `use` says what the run does with it, for the
// message on an empty prefix.
void CheckPrefix(const ParameterFileInfo* info, std::string_view field, const std::string& path,
                 std::string_view use, std::vector<std::string>* out) {
  const std::string head = Head(info, field);
  if (path.empty()) {
    out->push_back(head + "empty, so " + std::string(use) + " the current directory");
    return;
  }
  if (path.back() == '\\' && !kBackslashSeparates) {
    out->push_back(head + Quoted(path) +
                   " ends with '\\', which does not separate folders on this system");
    return;
  }
  if (IsSeparator(path.back())) {
    switch (KindOf(WithoutTrailingSeparators(path))) {
      case PathKind::kMissing:
        out->push_back(head + "folder " + Quoted(path) + " does not exist");
        break;
      case PathKind::kOther:
        out->push_back(head + Quoted(path) + " is not a folder");
        break;
      case PathKind::kFolder:
        break;
    }
    return;
  }
  // A prefix such as "data/run1_": the files are "data/run1_000001.sg2",
  // so "data/" must exist.
  if (KindOf(path) == PathKind::kFolder) {
    out->push_back(head + Quoted(path) +
                   " is a folder but has no final '/': the file names are that text followed by "
                   "the name, beside the folder, not in it");
    return;
  }
  const std::size_t last_separator = path.find_last_of(kBackslashSeparates ? "/\\" : "/");
  if (last_separator == std::string::npos) return;  // In the current directory.
  const std::string folder = path.substr(0, last_separator + 1);
  switch (KindOf(WithoutTrailingSeparators(folder))) {
    case PathKind::kMissing:
      out->push_back(head + "folder " + Quoted(folder) + " of the prefix " + Quoted(path) +
                     " does not exist");
      break;
    case PathKind::kOther:
      out->push_back(head + Quoted(folder) + " of the prefix " + Quoted(path) +
                     " is not a folder");
      break;
    case PathKind::kFolder:
      break;
  }
}

std::string FloatText(float value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof(text), value);
  return ec == std::errc() ? std::string(text, end) : StrPrintf("%g", static_cast<double>(value));
}

struct FiniteField {
  std::string_view name;
  float AePars::*field;
};

// In file order; dupWin has a rule of its own.
constexpr FiniteField kFiniteFields[] = {
    {"velX", &AePars::velX},           {"velY", &AePars::velY},
    {"velZ", &AePars::velZ},           {"preWin", &AePars::preWin},
    {"postWin", &AePars::postWin},     {"fLow", &AePars::fLow},
    {"fHigh", &AePars::fHigh},         {"ccMin", &AePars::ccMin},
    {"snrMin", &AePars::snrMin},       {"gridHalfX", &AePars::gridHalfX},
    {"gridHalfY", &AePars::gridHalfY}, {"gridHalfZ", &AePars::gridHalfZ},
};

}  // namespace

std::vector<std::string> FolderWarnings(const AePars& pars, const ParameterFileInfo* info) {
  std::vector<std::string> warnings;
  CheckPrefix(info, "templateDir", pars.templateDir, "template files are read from", &warnings);
  if (pars.dataPath.find(".lng") != std::string::npos) {
    switch (KindOf(pars.dataPath)) {
      case PathKind::kMissing:
        warnings.push_back(Head(info, "dataPath") + "recording " + Quoted(pars.dataPath) +
                           " does not exist");
        break;
      case PathKind::kFolder:
        warnings.push_back(Head(info, "dataPath") + Quoted(pars.dataPath) +
                           " is a folder, not a recording");
        break;
      case PathKind::kOther:
        break;
    }
  } else {
    CheckPrefix(info, "dataPath", pars.dataPath, "event files are read from", &warnings);
  }
  CheckPrefix(info, "outDir", pars.outDir, "the log and the results are written to", &warnings);
  return warnings;
}

std::vector<std::string> ParameterErrors(const AePars& pars, const ParameterFileInfo* info) {
  std::vector<std::string> errors;
  auto check_finite = [&](const FiniteField& f) {
    const float value = pars.*f.field;
    if (std::isnan(value)) {
      errors.push_back(Head(info, f.name) + "nan is not a number a run can use");
    } else if (std::isinf(value)) {
      errors.push_back(Head(info, f.name) + FloatText(value) + " is not a finite number");
    }
  };
  for (const FiniteField& f : kFiniteFields) {
    if (f.name == "fLow") {
      // dupWin comes before fLow in the file.
      if (std::isnan(pars.dupWin)) {
        errors.push_back(Head(info, "dupWin") + "nan is not a number a run can use");
      } else if (pars.dupWin < 0) {
        errors.push_back(Head(info, "dupWin") + FloatText(pars.dupWin) +
                         " is negative, which turns the removal of duplicate detections off");
      }
    }
    check_finite(f);
  }
  return errors;
}

std::vector<std::string> AllParameterWarnings(const ParameterFileInfo& info, const AePars& pars) {
  std::vector<std::string> warnings = info.warnings;
  for (std::string& w : FolderWarnings(pars, &info)) warnings.push_back(std::move(w));
  return warnings;
}

}  // namespace qae
