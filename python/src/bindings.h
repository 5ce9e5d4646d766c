// The parts of the quorvex_ae._core module, one per area of the library.
#pragma once

#include <pybind11/pybind11.h>

namespace qae::py_binding {

void BindSeg2(pybind11::module_& m);
void BindRun(pybind11::module_& m);
void BindCatalogue(pybind11::module_& m);

}  // namespace qae::py_binding
