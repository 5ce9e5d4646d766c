// The result table, the catalogue of a run's detections, the folders its
// logs name, and one detection seen station by station. Columns come back
// as NumPy arrays; the package turns them into structured arrays or frames.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "app/cli/json_output.h"
#include "bindings.h"
#include "catalogue/catalogue.h"
#include "catalogue/detection_view.h"
#include "catalogue/result_table_reader.h"
#include "convert.h"

namespace qae::py_binding {

namespace {

template <class T, class Rows, class Get>
py::array_t<T> Column(const Rows& rows, Get get) {
  py::array_t<T> out(static_cast<py::ssize_t>(rows.size()));
  auto v = out.template mutable_unchecked<1>();
  for (std::size_t i = 0; i < rows.size(); ++i) v(static_cast<py::ssize_t>(i)) = get(rows[i]);
  return out;
}

// The numeric columns of the table, in its order.
template <class Rows, class RowOf>
void PutRowColumns(const Rows& rows, RowOf row_of, py::dict* out) {
  auto f = [&](const char* name, float ResultRow::*field) {
    (*out)[name] = Column<float>(rows, [&](const auto& r) { return row_of(r).*field; });
  };
  (*out)["ae"] = Column<int32_t>(rows, [&](const auto& r) { return row_of(r).ae; });
  (*out)["t0"] = Column<double>(rows, [&](const auto& r) { return row_of(r).t0; });
  f("x", &ResultRow::x);
  f("y", &ResultRow::y);
  f("z", &ResultRow::z);
  f("mw", &ResultRow::mw);
  f("cc", &ResultRow::cc);
  f("snr1", &ResultRow::snr1);
  f("snr2", &ResultRow::snr2);
  f("dx", &ResultRow::dx);
  f("dy", &ResultRow::dy);
  f("dz", &ResultRow::dz);
  f("dmw", &ResultRow::dmw);
  (*out)["template_ae"] = Column<int32_t>(rows, [&](const auto& r) { return row_of(r).templateAe; });
  f("template_mw", &ResultRow::mwTemplate);
}

[[noreturn]] void RaiseOSError(const std::string& message) {
  PyErr_SetString(PyExc_OSError, message.c_str());
  throw py::error_already_set();
}

// `outdir` as the prefix the run wrote with: a folder gets its separator.
std::string OutPrefix(const std::string& outdir) {
  if (outdir.empty() || outdir.back() == '/') return outdir;
  std::error_code ec;
  return std::filesystem::is_directory(outdir, ec) ? outdir + "/" : outdir;
}

// An unreadable table is an OSError; one that reads but is no result table
// a ValueError.
[[noreturn]] void RaiseTableError(const std::string& path, const std::string& error) {
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
    throw py::value_error(error);
  }
  RaiseOSError(error);
}

py::dict ReadTable(py::handle outdir_arg) {
  const std::string path = OutPrefix(PathArgument(outdir_arg)) + "ML_detect.ps0";
  ResultTable table;
  std::string error;
  bool ok = false;
  {
    py::gil_scoped_release unlocked;
    ok = ReadResultTable(path, &table, &error);
  }
  if (!ok) RaiseTableError(path, error);
  py::dict out;
  PutRowColumns(table.rows, [](const ResultRow& r) -> const ResultRow& { return r; }, &out);
  py::dict meta;
  meta["path"] = TextToPython(table.path);
  meta["time_unit"] = TextToPython(table.timeUnit);
  meta["warnings"] = table.warnings;
  return py::dict(py::arg("columns") = out, py::arg("meta") = meta);
}

py::dict PickDict(const CataloguePick& p) {
  py::dict d;
  d["trace"] = p.trace;
  d["line_id"] = TextToPython(p.lineId);
  d["channel_code"] = TextToPython(p.channelCode);
  d["sample"] = p.sample;
  d["offset"] = p.offset;
  d["time_us"] = p.hasTime ? py::object(py::int_(p.timeUs)) : py::object(py::none());
  // Floats as their shortest decimal: the 13.9 the file holds, not the
  // float's double expansion 13.899999618530273.
  d["ns_ratio"] = cli::ShortestFloat(p.nsRatio);
  d["amp_pickup"] = p.ampPickup;
  d["receiver"] = py::make_tuple(cli::ShortestFloat(p.receiver[0]),
                                 cli::ShortestFloat(p.receiver[1]),
                                 cli::ShortestFloat(p.receiver[2]));
  return d;
}

bool BuildOrRaise(const std::string& outdir, const std::string& data_prefix,
                  const std::string& time_unit, Catalogue* cat) {
  CatalogueOptions options;
  options.dataPrefix = data_prefix;
  options.timeUnit = time_unit;
  std::string error;
  bool ok = false;
  {
    py::gil_scoped_release unlocked;
    ok = BuildCatalogue(outdir, options, cat, &error);
  }
  if (!ok) {
    if (!time_unit.empty() && MicrosecondsPerUnit(time_unit) == 0) throw py::value_error(error);
    RaiseTableError(OutPrefix(outdir) + "ML_detect.ps0", error);
  }
  return true;
}

py::dict ReadCatalogue(py::handle outdir_arg, const std::string& data_prefix,
                       const std::string& time_unit) {
  Catalogue cat;
  BuildOrRaise(PathArgument(outdir_arg), data_prefix, time_unit, &cat);
  const auto& e = cat.entries;
  py::dict columns;
  PutRowColumns(e, [](const CatalogueEntry& x) -> const ResultRow& { return x.row; }, &columns);
  py::list files;
  py::list picks;
  for (const CatalogueEntry& x : e) {
    files.append(TextToPython(x.eventFile));
    py::list these;
    for (const CataloguePick& p : x.picks) these.append(PickDict(p));
    picks.append(std::move(these));
  }
  columns["event_file"] = std::move(files);
  columns["origin_us"] = Column<int64_t>(e, [](const CatalogueEntry& x) { return x.originUs; });
  columns["has_time"] = Column<bool>(e, [](const CatalogueEntry& x) { return x.hasTime; });
  columns["stations"] = Column<int32_t>(e, [](const CatalogueEntry& x) { return x.stations; });
  columns["copy"] = Column<int32_t>(e, [](const CatalogueEntry& x) { return x.copyNumber; });
  py::dict meta;
  meta["out_dir"] = TextToPython(cat.outDir);
  meta["table"] = TextToPython(cat.tablePath);
  meta["data_prefixes"] = cat.dataPrefixes;
  meta["time_unit"] = TextToPython(cat.timeUnit);
  meta["warnings"] = cat.warnings;
  return py::dict(py::arg("columns") = columns, py::arg("picks") = picks, py::arg("meta") = meta);
}

py::dict RunFoldersOf(py::handle outdir_arg) {
  const std::string outdir = PathArgument(outdir_arg);
  RunFolders f;
  {
    py::gil_scoped_release unlocked;
    f = DiscoverRunFolders(outdir);
  }
  py::dict out;
  out["data_prefix"] = TextToPython(f.dataPrefix);
  out["data_prefixes"] = f.dataPrefixes;
  out["template_dir"] = TextToPython(f.templateDir);
  out["logs"] = f.logs;
  return out;
}

py::dict ViewDict(const DetectionView& v) {
  py::list stations;
  for (const StationView& s : v.stations) {
    py::dict d;
    d["trace"] = s.trace;
    d["line_id"] = TextToPython(s.lineId);
    d["pick"] = s.pick;
    d["template_pick"] = s.templatePick;
    d["first"] = s.first;
    d["record"] = py::array_t<float>(static_cast<py::ssize_t>(s.record.size()), s.record.data());
    d["template"] = py::array_t<float>(static_cast<py::ssize_t>(s.templ.size()), s.templ.data());
    d["cc"] = s.cc;
    stations.append(std::move(d));
  }
  py::dict out;
  out["event_file"] = TextToPython(v.eventFile);
  out["template_file"] = TextToPython(v.templateFile);
  out["dt"] = v.dt;
  out["before"] = v.before;
  out["after"] = v.after;
  out["pre_len"] = v.preLen;
  out["win_len"] = v.winLen;
  out["filtered"] = v.filtered;
  out["stations"] = std::move(stations);
  return out;
}

py::dict BuildView(const CatalogueEntry& entry, const DetectionViewOptions& options) {
  DetectionView view;
  std::string error;
  bool ok = false;
  {
    py::gil_scoped_release unlocked;
    ok = BuildDetectionView(entry, options, &view, &error);
  }
  if (!ok) throw py::value_error(error);
  return ViewDict(view);
}

DetectionViewOptions ViewOptions(const std::string& template_dir, float pre_win, float post_win,
                                 float f_low, float f_high, int mean, int32_t before,
                                 int32_t after) {
  DetectionViewOptions o;
  o.templateDir = template_dir;
  o.preWin = pre_win;
  o.postWin = post_win;
  o.fLow = f_low;
  o.fHigh = f_high;
  o.mean = mean;
  o.before = before;
  o.after = after;
  return o;
}

// Row `row` (table order, negative from the end) of the catalogue of `outdir`.
py::dict ViewOfRow(py::handle outdir_arg, int64_t row, const std::string& data_prefix,
                   const std::string& time_unit, const std::string& template_dir, float pre_win,
                   float post_win, float f_low, float f_high, int mean, int32_t before,
                   int32_t after) {
  Catalogue cat;
  BuildOrRaise(PathArgument(outdir_arg), data_prefix, time_unit, &cat);
  const auto n = static_cast<int64_t>(cat.entries.size());
  const int64_t i = row < 0 ? row + n : row;
  if (i < 0 || i >= n) {
    throw py::index_error("row " + std::to_string(row) + " of a catalogue of " +
                          std::to_string(n) + " detections");
  }
  py::dict view = BuildView(cat.entries[static_cast<std::size_t>(i)],
                            ViewOptions(template_dir, pre_win, post_win, f_low, f_high, mean,
                                        before, after));
  view["time_unit"] = TextToPython(cat.timeUnit);
  return view;
}

// A detection known by its record, template and file (a catalogue row).
py::dict ViewOfEntry(int32_t ae, int32_t template_ae, const std::string& event_file,
                     const std::string& template_dir, float pre_win, float post_win, float f_low,
                     float f_high, int mean, int32_t before, int32_t after) {
  CatalogueEntry entry;
  entry.row.ae = ae;
  entry.row.templateAe = template_ae;
  entry.eventFile = event_file;
  return BuildView(entry, ViewOptions(template_dir, pre_win, post_win, f_low, f_high, mean,
                                      before, after));
}

}  // namespace

void BindCatalogue(py::module_& m) {
  m.def("read_table", &ReadTable, py::arg("outdir"),
        "Reads <outdir>ML_detect.ps0: {\"columns\": {...}, \"meta\": {...}}.");
  m.def("build_catalogue", &ReadCatalogue, py::arg("outdir"), py::arg("data_prefix") = "",
        py::arg("time_unit") = "",
        "Builds the catalogue of a run's output folder: columns, picks, meta.");
  m.def("run_folders", &RunFoldersOf, py::arg("outdir"),
        "The event-file prefix and template folder a run's logs name.");
  m.def("detection_view_of_row", &ViewOfRow, py::arg("outdir"), py::arg("row"),
        py::arg("data_prefix"), py::arg("time_unit"), py::arg("template_dir"),
        py::arg("pre_win"), py::arg("post_win"), py::arg("f_low"), py::arg("f_high"),
        py::arg("mean"), py::arg("before"), py::arg("after"),
        "One catalogue row seen station by station.");
  m.def("detection_view_of_entry", &ViewOfEntry, py::arg("ae"), py::arg("template_ae"),
        py::arg("event_file"), py::arg("template_dir"), py::arg("pre_win"), py::arg("post_win"),
        py::arg("f_low"), py::arg("f_high"), py::arg("mean"), py::arg("before"),
        py::arg("after"), "One detection, given by its file and template, station by station.");
}

}  // namespace qae::py_binding
