// A catalogue written for other tools: CSV, JSON and QuakeML 1.2.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "catalogue/catalogue.h"

namespace qae {

// Header line and one row per detection (RFC 4180 quoting).
std::string CatalogueCsv(const Catalogue& cat);

// {"outDir", "table", "dataPrefix", "timeUnit", "detections": [...], "warnings": [...]};
// each detection carries the CSV fields and its picks.
nlohmann::ordered_json CatalogueJson(const Catalogue& cat);

struct QuakeMlOptions {
  std::string networkCode = "XX";  // FDSN network code of the picks' stream ids
};

// QuakeML 1.2 BED, one event per detection. False (with `error`) when the
// XML library fails.
bool CatalogueQuakeMl(const Catalogue& cat, const QuakeMlOptions& options, std::string* xml,
                      std::string* error);

}  // namespace qae
