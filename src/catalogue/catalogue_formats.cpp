#include "catalogue/catalogue_formats.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include "util/text.h"

namespace qae {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kCsvColumns[] = {
    "ae",     "event_file", "origin_time", "x_mm",        "y_mm",        "z_mm",
    "mw",     "cc",         "snr1",        "snr2",        "dx_mm",       "dy_mm",
    "dz_mm",  "dmw",        "template_ae", "template_mw", "stations"};

// Table columns 3..15 (X .. Mw_T) as exported, after ae, event_file, origin_time.
constexpr int kFirstNumericColumn = 2;

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// Text that XML 1.0 can hold: invalid UTF-8 and control characters (other
// than tab and line ends) become '?'. Foreign files may carry any bytes in
// their text fields.
std::string XmlSafe(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    int len = 0;
    if (c < 0x80) {
      len = 1;
    } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
      len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
    } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
      len = 4;
    }
    bool ok = len > 0 && i + static_cast<std::size_t>(len) <= s.size();
    for (int k = 1; ok && k < len; ++k) {
      ok = (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0xC0) == 0x80;
    }
    if (ok && len == 1 && c < 0x20 && c != '\t' && c != '\n' && c != '\r') ok = false;
    if (!ok) {
      out += '?';
      ++i;
      continue;
    }
    out.append(s, i, static_cast<std::size_t>(len));
    i += static_cast<std::size_t>(len);
  }
  return out;
}

// A number as the table wrote it, for JSON: null when it is not finite.
Json NumberOfText(const std::string& text) {
  const double v = std::strtod(text.c_str(), nullptr);
  return std::isfinite(v) ? Json(v) : Json(nullptr);
}

// Station and channel codes of a pick's stream: LINE_ID is "station:channel"
// in this system's files; a separate channel code wins. QuakeML allows at
// most 8 characters each.
void StreamCodes(const CataloguePick& p, std::string* station, std::string* channel) {
  const std::size_t colon = p.lineId.find(':');
  *station = p.lineId.substr(0, colon);
  *channel = colon == std::string::npos ? std::string() : p.lineId.substr(colon + 1);
  if (!p.channelCode.empty()) *channel = p.channelCode;
  if (station->empty()) *station = StrPrintf("T%03d", p.trace + 1);
  *station = XmlSafe(station->substr(0, 8));
  *channel = XmlSafe(channel->substr(0, 8));
}

constexpr const char* kQuakeMlNs = "http://quakeml.org/xmlns/quakeml/1.2";
constexpr const char* kBedNs = "http://quakeml.org/xmlns/bed/1.2";
// Our own elements (the local position), which QuakeML readers keep as extras.
constexpr const char* kOwnNs = "urn:x-quorvex-ae:quakeml:1";

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

class XmlWriter {
 public:
  explicit XmlWriter(xmlNsPtr bed) : bed_(bed) {}
  xmlNodePtr Child(xmlNodePtr parent, const char* name) {
    return xmlNewChild(parent, bed_, X(name), nullptr);
  }
  xmlNodePtr Text(xmlNodePtr parent, const char* name, const std::string& text) {
    return xmlNewTextChild(parent, bed_, X(name), X(XmlSafe(text).c_str()));
  }
  xmlNodePtr Value(xmlNodePtr parent, const char* name, const std::string& value) {
    xmlNodePtr q = Child(parent, name);
    Text(q, "value", value);
    return q;
  }
  void Comment(xmlNodePtr parent, const std::string& id, const std::string& text) {
    xmlNodePtr c = Child(parent, "comment");
    Text(c, "text", text);
    xmlNewProp(c, X("id"), X(id.c_str()));
  }
  static void Id(xmlNodePtr node, const std::string& id) {
    xmlNewProp(node, X("publicID"), X(id.c_str()));
  }

 private:
  xmlNsPtr bed_;
};

}  // namespace

std::string CatalogueCsv(const Catalogue& cat) {
  std::string out;
  for (const char* name : kCsvColumns) {
    if (!out.empty()) out += ',';
    out += name;
  }
  out += '\n';
  for (const CatalogueEntry& e : cat.entries) {
    out += e.row.text[0];
    out += ',' + CsvField(e.eventFile);
    out += ',' + e.originTime;
    for (int i = kFirstNumericColumn; i < kResultColumns; ++i) {
      out += ',' + CsvField(e.row.text[static_cast<std::size_t>(i)]);
    }
    out += ',';
    if (e.stations >= 0) out += std::to_string(e.stations);
    out += '\n';
  }
  return out;
}

Json CatalogueJson(const Catalogue& cat) {
  Json j;
  j["outDir"] = cat.outDir;
  j["table"] = cat.tablePath;
  j["dataPrefixes"] = cat.dataPrefixes;
  j["timeUnit"] = cat.timeUnit;
  Json detections = Json::array();
  for (const CatalogueEntry& e : cat.entries) {
    Json d;
    d["ae"] = e.row.ae;
    d["event_file"] = e.eventFile.empty() ? Json(nullptr) : Json(e.eventFile);
    d["copy"] = e.copyNumber >= 0 ? Json(e.copyNumber) : Json(nullptr);
    d["origin_time"] = e.hasTime ? Json(e.originTime) : Json(nullptr);
    d["record_start"] = e.hasTime ? Json(IsoTimeFromMicros(e.recordStartUs)) : Json(nullptr);
    d["t0"] = NumberOfText(e.row.text[1]);
    for (int i = kFirstNumericColumn; i < kResultColumns; ++i) {
      const std::string& text = e.row.text[static_cast<std::size_t>(i)];
      d[kCsvColumns[i + 1]] = i == 13 ? Json(e.row.templateAe) : NumberOfText(text);
    }
    d["stations"] = e.stations >= 0 ? Json(e.stations) : Json(nullptr);
    d["table_line"] = e.row.lineNumber;
    Json picks = Json::array();
    for (const CataloguePick& p : e.picks) {
      Json pj;
      pj["trace"] = p.trace;
      pj["line_id"] = p.lineId;
      pj["channel_code"] = p.channelCode;
      pj["sample"] = p.sample;
      pj["offset"] = std::isfinite(p.offset) ? Json(p.offset) : Json(nullptr);
      pj["time"] = p.hasTime ? Json(p.time) : Json(nullptr);
      pj["receiver"] = {p.receiver[0], p.receiver[1], p.receiver[2]};
      picks.push_back(std::move(pj));
    }
    d["picks"] = std::move(picks);
    detections.push_back(std::move(d));
  }
  j["detections"] = std::move(detections);
  j["warnings"] = cat.warnings;
  return j;
}

bool CatalogueQuakeMl(const Catalogue& cat, const QuakeMlOptions& options, std::string* xml,
                      std::string* error) {
  const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(xmlNewDoc(X("1.0")), xmlFreeDoc);
  if (!doc) {
    *error = "the XML library could not create a document";
    return false;
  }
  xmlNodePtr root = xmlNewNode(nullptr, X("quakeml"));
  xmlDocSetRootElement(doc.get(), root);
  xmlSetNs(root, xmlNewNs(root, X(kQuakeMlNs), X("q")));
  xmlNsPtr bed = xmlNewNs(root, X(kBedNs), nullptr);
  xmlNsPtr own = xmlNewNs(root, X(kOwnNs), X("qae"));
  XmlWriter w(bed);
  const std::string base = "smi:local/quorvex_ae/";
  const std::string network = XmlSafe(options.networkCode.substr(0, 8));

  xmlNodePtr params = w.Child(root, "eventParameters");
  XmlWriter::Id(params, base + "catalogue");
  w.Text(params, "description",
         "Detections of " + cat.tablePath +
             "; positions in the local Cartesian frame of the templates, in millimetres");
  for (const CatalogueEntry& e : cat.entries) {
    const ResultRow& r = e.row;
    const std::string key = StrPrintf("ae%06d/line%d", r.ae, r.lineNumber);
    const std::string origin_id = base + "origin/" + key;
    const std::string mag_id = base + "magnitude/" + key;
    const std::string position = "x=" + r.text[2] + " mm, y=" + r.text[3] + " mm, z=" +
                                 r.text[4] + " mm (local Cartesian frame of the templates)";

    xmlNodePtr event = w.Child(params, "event");
    XmlWriter::Id(event, base + "event/" + key);
    xmlNodePtr description = w.Child(event, "description");
    w.Text(description, "text",
           StrPrintf("AE %d", r.ae) + (e.eventFile.empty() ? "" : ", " + e.eventFile));
    w.Comment(event, base + "comment/" + key + "/correlation",
              "CC=" + r.text[6] + " (correlation with template AE " + r.text[13] + "), SNR1=" +
                  r.text[7] + ", SNR2=" + r.text[8]);
    if (e.hasTime) w.Text(event, "preferredOriginID", origin_id);
    w.Text(event, "preferredMagnitudeID", mag_id);
    if (!e.hasTime) {
      w.Comment(event, base + "comment/" + key + "/position",
                position + "; no origin: the event file holding this detection was not found");
    }
    xmlNodePtr info = w.Child(event, "creationInfo");
    w.Text(info, "author", std::string("Quorvex_AE ") + QAE_VERSION);

    std::vector<std::string> pick_ids;
    for (const CataloguePick& p : e.picks) {
      if (!p.hasTime) continue;
      const std::string pick_id = base + "pick/" + key + StrPrintf("/trace%d", p.trace);
      pick_ids.push_back(pick_id);
      xmlNodePtr pick = w.Child(event, "pick");
      XmlWriter::Id(pick, pick_id);
      w.Value(pick, "time", p.time);
      std::string station;
      std::string channel;
      StreamCodes(p, &station, &channel);
      xmlNodePtr stream = w.Child(pick, "waveformID");
      xmlNewProp(stream, X("networkCode"), X(network.c_str()));
      xmlNewProp(stream, X("stationCode"), X(station.c_str()));
      if (!channel.empty()) xmlNewProp(stream, X("channelCode"), X(channel.c_str()));
      w.Text(pick, "phaseHint", "P");
      w.Text(pick, "evaluationMode", "automatic");
      w.Comment(pick, pick_id + "/sample",
                StrPrintf("sample %d of trace %d (%s)", p.sample, p.trace + 1, p.lineId.c_str()));
    }

    if (e.hasTime) {
      xmlNodePtr origin = w.Child(event, "origin");
      XmlWriter::Id(origin, origin_id);
      w.Value(origin, "time", e.originTime);
      // QuakeML has no local Cartesian position: latitude and longitude are
      // 0, the reference system says so, and the position is in the comment
      // and in our own elements.
      w.Value(origin, "latitude", "0");
      w.Value(origin, "longitude", "0");
      w.Text(origin, "referenceSystemID", base + "local_cartesian_mm");
      w.Text(origin, "methodID", base + "template_matching");
      xmlNodePtr quality = w.Child(origin, "quality");
      w.Text(quality, "associatedPhaseCount", std::to_string(pick_ids.size()));
      w.Text(quality, "usedPhaseCount", std::to_string(pick_ids.size()));
      if (e.stations >= 0) w.Text(quality, "usedStationCount", std::to_string(e.stations));
      w.Text(origin, "evaluationMode", "automatic");
      w.Comment(origin, origin_id + "/position",
                position + "; offset from template AE " + r.text[13] + ": dX=" + r.text[9] +
                    " mm, dY=" + r.text[10] + " mm, dZ=" + r.text[11] + " mm");
      for (std::size_t k = 0; k < pick_ids.size(); ++k) {
        xmlNodePtr arrival = w.Child(origin, "arrival");
        XmlWriter::Id(arrival, origin_id + StrPrintf("/arrival%zu", k));
        w.Text(arrival, "pickID", pick_ids[k]);
        w.Text(arrival, "phase", "P");
      }
      // Extras come after every QuakeML element of the origin.
      for (int i = 0; i < 3; ++i) {
        xmlNodePtr c = xmlNewTextChild(origin, own, X(i == 0 ? "x" : i == 1 ? "y" : "z"),
                                       X(XmlSafe(r.text[static_cast<std::size_t>(2 + i)]).c_str()));
        xmlNewProp(c, X("unit"), X("mm"));
      }
    }

    xmlNodePtr magnitude = w.Child(event, "magnitude");
    XmlWriter::Id(magnitude, mag_id);
    w.Value(magnitude, "mag", r.text[5]);
    w.Text(magnitude, "type", "Mw");
    if (e.hasTime) w.Text(magnitude, "originID", origin_id);
    w.Text(magnitude, "methodID", base + "amplitude_ratio_to_template");
    if (e.stations >= 0) w.Text(magnitude, "stationCount", std::to_string(e.stations));
    w.Text(magnitude, "evaluationMode", "automatic");
    w.Comment(magnitude, mag_id + "/template",
              "dMw=" + r.text[12] + " from template AE " + r.text[13] + " (Mw " + r.text[14] +
                  "): log10 of the median amplitude ratio");
  }

  xmlChar* buffer = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc.get(), &buffer, &size, "UTF-8", 1);
  if (buffer == nullptr || size <= 0) {
    if (buffer) xmlFree(buffer);
    *error = "the XML library could not write the document";
    return false;
  }
  xml->assign(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size));
  xmlFree(buffer);
  return true;
}

}  // namespace qae
