// quorvex_ae._core: the compiled half of the Python package. Every file is
// read, parsed and run by qae_core; the package's Python modules only shape
// the results (structured arrays, frames, warnings).
#include <pybind11/pybind11.h>

#include "bindings.h"

PYBIND11_MODULE(_core, m) {
  m.doc() = "Quorvex_AE library binding; use the quorvex_ae package rather than this module.";
  m.attr("__version__") = QAE_VERSION;
  qae::py_binding::BindSeg2(m);
  qae::py_binding::BindRun(m);
  qae::py_binding::BindCatalogue(m);
}
