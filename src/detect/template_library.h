// The template library: every "*.sg2" file of the template directory gets a
// numbered slot holding its AE number (from the file name) and its path; the
// slots that the parameters ask for are loaded up front.
#pragma once

#include <string>
#include <vector>

#include "detect/run_context.h"
#include "params/ae_pars.h"
#include "wave/formats/seg2_reader.h"

namespace qae {

struct TemplateLibrary {
  // Slot i: `aeNumber`, `sourceName` (templateDir + file name), and traces
  // only when it was loaded.
  std::vector<XL_WaveDataSeg2> slots;

  int size() const { return static_cast<int>(slots.size()); }
  XL_WaveDataSeg2& operator[](int i) { return slots[static_cast<std::size_t>(i)]; }
  const XL_WaveDataSeg2& operator[](int i) const { return slots[static_cast<std::size_t>(i)]; }
};

// Enumerates `template_dir` (a prefix ending with a separator) in sorted
// name order, so slot numbers are the same on every machine, and loads the
// slots selected by `maxTemplates`, `iTS` and `iTE`. Writes the loader's
// lines to the run's log and re-opens it after each file. Afterwards
// `pars.maxTemplates` holds the number of slots filled.
TemplateLibrary LoadTemplates(const std::string& template_dir, AePars& pars, RunContext& ctx);

// The AE number at the start of a template file name: decimal digits of at
// most its first six characters, 0 when there are none.
int TemplateAeNumber(const std::string& file_name);

}  // namespace qae
