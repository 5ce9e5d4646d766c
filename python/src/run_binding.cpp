// read_params and run: the parameter file as `params` prints it, and one
// detection run in this process as `run PARFILE FIRST,LAST,+=0` does it.
#include <mutex>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "app/cli/params_json.h"
#include "app/run_range.h"
#include "bindings.h"
#include "convert.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/crt_random.h"

namespace qae::py_binding {

namespace {

py::object ReadParams(py::handle path_arg) {
  const std::string path = PathArgument(path_arg);
  AePars pars;
  ParameterFileInfo info;
  bool opened = false;
  {
    // The path may be a URL: reading can wait on the network.
    py::gil_scoped_release unlocked;
    opened = ReadParameterFile(path, &pars, &info);
  }
  if (!opened) {
    PyErr_SetString(PyExc_OSError,
                    ("cannot open parameter file " + path + ": " + info.open_error).c_str());
    throw py::error_already_set();
  }
  const std::vector<std::string> warnings = AllParameterWarnings(info, pars);
  const std::vector<std::string> errors = ParameterErrors(pars, &info);
  return JsonToPython(cli::ParamsJson(pars, info, warnings, errors));
}

// A run uses process-wide state (the dither generator, the scan's thread
// pool): one at a time.
std::mutex g_run_mutex;

py::dict Run(py::handle par_arg, int first, int last, int threads, const std::string& kernel,
             bool strict) {
  const std::string par_file = PathArgument(par_arg);
  if (kernel != "fast" && kernel != "reference") {
    throw py::value_error("kernel: \"fast\" or \"reference\", got \"" + kernel + "\"");
  }
  if (threads < 0 || threads > 256) throw py::value_error("threads: 0 (every CPU) .. 256");
  if (first > last) {
    throw py::value_error("first (" + std::to_string(first) + ") is after last (" +
                          std::to_string(last) + ")");
  }
  std::vector<std::string> warnings;
  std::vector<std::string> losses;
  RunOptions options;
  options.scan = ScanOptions{kernel == "reference" ? RunContext::Kernel::kReference
                                                   : RunContext::Kernel::kFast,
                             threads};
  options.strict = strict;
  // Collected, not raised: the callbacks run without the GIL.
  options.onWarning = [&warnings](const std::string& w) { warnings.push_back(w); };
  options.onLoss = [&losses](const std::string& l) { losses.push_back(l); };
  RunRangeResult result;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> lock(g_run_mutex);
    // Each run starts the dither generator as a fresh `run` process does,
    // including the dialog's two draws, so a run from Python writes the
    // same bytes as the command, however many runs came before it.
    ResetCrtRandForTesting();
    CrtRand();
    CrtRand();
    result = RunRange(par_file, first, last, options);
  }
  const int status = RunExitStatus(result);
  if (!result.parametersRead) {
    PyErr_SetString(PyExc_OSError, result.error.c_str());
    throw py::error_already_set();
  }
  if (status == kRunBadInput) throw py::value_error(result.error);
  py::dict out;
  out["detected"] = result.detected;
  out["scanned"] = result.scanned;
  out["missing"] = result.missing;
  out["unwritten"] = result.unwritten;
  out["log"] = TextToPython(result.logPath);
  out["exit_status"] = status;
  out["error"] = TextToPython(result.error);
  out["data_path"] = TextToPython(result.dataPath);
  out["summary"] = TextToPython(RunSummaryLine(result));
  out["warnings"] = warnings;
  out["losses"] = losses;
  return out;
}

}  // namespace

void BindRun(py::module_& m) {
  m.def("read_params", &ReadParams, py::arg("path"),
        "Reads a parameter file: the dict `params` prints.");
  m.def("run", &Run, py::arg("parfile"), py::arg("first"), py::arg("last"),
        py::arg("threads") = 0, py::arg("kernel") = "fast", py::arg("strict") = false,
        "Runs the detection over AE numbers first..last in this process.");
  m.attr("RUN_COMPLETE") = kRunComplete;
  m.attr("RUN_INCOMPLETE") = kRunIncomplete;
  m.attr("RUN_BAD_INPUT") = kRunBadInput;
  m.attr("RUN_NOTHING_TO_SCAN") = kRunNothingToScan;
}

}  // namespace qae::py_binding
