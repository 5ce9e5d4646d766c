// read_seg2 / write_seg2: SEG-2 records as the dicts of `seg2 dump --samples`,
// with the samples as NumPy arrays built from the trace's floats.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "app/cli/seg2_json.h"
#include "bindings.h"
#include "catalogue/record_time.h"
#include "convert.h"
#include "wave/formats/seg2_reader.h"
#include "wave/formats/seg2_writer.h"

namespace qae::py_binding {

namespace {

using Json = nlohmann::ordered_json;

// OSError (FileNotFoundError, PermissionError, ... by errno) when `path`
// cannot be opened for reading at all; the loader's own message is kept for
// files that open but are not SEG-2.
void CheckReadable(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    errno = EISDIR;
  } else if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
    return;
  }
  const int err = errno;
  PyErr_SetObject(PyExc_OSError, py::make_tuple(err, std::strerror(err), path).ptr());
  throw py::error_already_set();
}

py::tuple ReadSeg2(py::handle path_arg) {
  const std::string path = PathArgument(path_arg);
  CheckReadable(path);
  XL_WaveDataSeg2 record;
  int loaded = 0;
  {
    py::gil_scoped_release unlocked;
    loaded = record.Load(path, 1, 0, 0);
  }
  if (loaded < 1) {
    const std::string why = record.LastLoadMessage();
    throw py::value_error(why.empty() ? path + ": cannot be loaded as SEG-2" : why);
  }

  const std::vector<const Seg2ShortTrace*> short_of = cli::Seg2ShortTraceOfEach(record);
  py::dict out;
  out["header"] = JsonToPython(cli::Seg2HeaderJson(record.header));
  py::list traces;
  py::array_t<int32_t> picks(static_cast<py::ssize_t>(record.traces.size()));
  auto pick = picks.mutable_unchecked<1>();
  for (std::size_t i = 0; i < record.traces.size(); ++i) {
    const XL_WaveTrace& t = *record.traces[i];
    py::dict trace = JsonToPython(cli::Seg2TraceJson(t, {}, short_of[i]));
    const int64_t n = cli::Seg2SamplesPresent(t, short_of[i]);
    py::array_t<float> samples(static_cast<py::ssize_t>(n));
    if (n > 0) std::memcpy(samples.mutable_data(), t.samples.data(), sizeof(float) * n);
    trace["samples"] = std::move(samples);
    traces.append(std::move(trace));
    pick(static_cast<py::ssize_t>(i)) = t.pickup[0];
  }
  out["traces"] = std::move(traces);
  out["picks"] = std::move(picks);
  out["partial"] = TextToPython(record.PartialRead());
  // A file read with a complaint (LastLoadMessage) still gives a record;
  // the caller turns the message into a warning.
  return py::make_tuple(std::move(out), TextToPython(record.LastLoadMessage()));
}

// Builds a record from a dict shaped like ReadSeg2's.
void FillRecord(py::handle record_arg, XL_WaveData* record) {
  if (!PyDict_Check(record_arg.ptr()) && !py::hasattr(record_arg, "keys")) {
    throw py::type_error("record: wants a dict with \"header\" and \"traces\"");
  }
  py::object rec = py::reinterpret_borrow<py::object>(record_arg);
  try {
    if (rec.contains("header") && !rec["header"].is_none()) {
      cli::Seg2HeaderFromJson(PythonToJson(rec["header"], "header"), &record->header);
    }
  } catch (const std::invalid_argument& e) {
    throw py::value_error(std::string("header.") + e.what());
  }
  if (!rec.contains("traces")) throw py::value_error("record: no \"traces\"");
  py::object traces = rec["traces"];
  int index = 0;
  for (py::handle trace_arg : traces) {
    const std::string where = "traces[" + std::to_string(index++) + "]";
    if (!PyDict_Check(trace_arg.ptr()) && !py::hasattr(trace_arg, "keys")) {
      throw py::type_error(where + ": wants a dict");
    }
    py::object trace = py::reinterpret_borrow<py::object>(trace_arg);
    // Samples go straight into the float array; every other field through
    // the JSON the dump uses, minus the samples.
    py::array_t<float, py::array::c_style | py::array::forcecast> samples;
    if (trace.contains("samples") && !trace["samples"].is_none()) {
      samples = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(
          trace["samples"]);
      if (!samples) {
        PyErr_Clear();
        throw py::type_error(where + ".samples: wants a numeric array");
      }
      if (samples.ndim() != 1) throw py::value_error(where + ".samples: wants one dimension");
    }
    const py::ssize_t n = samples ? samples.shape(0) : 0;
    if (n > INT32_MAX) throw py::value_error(where + ".samples: too many samples");
    py::dict fields;
    for (auto item : py::dict(trace)) {
      if (py::str(item.first).cast<std::string>() != "samples") fields[item.first] = item.second;
    }
    auto t = std::make_unique<XL_WaveTrace>(static_cast<int32_t>(n));
    if (n > 0 && t->AllocatedSlots() < n) throw std::bad_alloc();
    try {
      cli::Seg2TraceFromJson(PythonToJson(fields, where), t.get());
    } catch (const std::invalid_argument& e) {
      throw py::value_error(where + "." + e.what());
    }
    if (n > 0) std::memcpy(t->samples.data(), samples.data(), sizeof(float) * n);
    record->AddTrace(std::move(t));
  }
}

void WriteSeg2File(py::handle path_arg, py::handle record_arg, int format) {
  const std::string path = PathArgument(path_arg);
  if (format != 1 && format != 2 && format != 4 && format != 5) {
    throw py::value_error("format: 1 (int16), 2 (int32), 4 (float32) or 5 (float64), got " +
                          std::to_string(format));
  }
  XL_WaveDataSeg2 record;
  FillRecord(record_arg, &record);
  if (record.TraceCount() == 0) throw py::value_error("record: no traces to write");
  std::string error;
  int written = 0;
  {
    py::gil_scoped_release unlocked;
    written = WriteSeg2(path, record, 0, 0, format, &error);
  }
  if (written != 1) {
    PyErr_SetString(PyExc_OSError, (error.empty() ? path + ": cannot be written" : error).c_str());
    throw py::error_already_set();
  }
}

// Microseconds since 1970 UTC of the record start a header gives, or None.
py::object RecordStart(py::handle header_arg) {
  WaveHeader header;
  try {
    cli::Seg2HeaderFromJson(PythonToJson(header_arg, "header"), &header);
  } catch (const std::invalid_argument& e) {
    throw py::value_error(std::string("header.") + e.what());
  }
  int64_t micros = 0;
  if (!RecordStartMicros(header, &micros)) return py::none();
  return py::int_(micros);
}

}  // namespace

void BindSeg2(py::module_& m) {
  m.def("read_seg2", &ReadSeg2, py::arg("path"),
        "Loads a SEG-2 file: (record dict, load message).");
  m.def("write_seg2", &WriteSeg2File, py::arg("path"), py::arg("record"), py::arg("format") = 4,
        "Writes a record dict as SEG-2, atomically.");
  m.def("record_start_us", &RecordStart, py::arg("header"),
        "Record start of a header dict in microseconds since 1970 UTC, or None.");
}

}  // namespace qae::py_binding
