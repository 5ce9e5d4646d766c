// Conversions between the JSON values the command-line tools print and
// Python objects, so that the binding returns exactly what the commands show.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <pybind11/pybind11.h>

namespace qae::py_binding {

namespace py = pybind11;

// A Python str of `text`; bytes that are not UTF-8 (possible in the text
// fields of foreign files) become U+FFFD, as in the commands' JSON.
py::str TextToPython(std::string_view text);

// JSON to Python: objects to dicts in their key order, arrays to lists.
// Non-finite numbers, which JSON prints as null, stay float nan/inf here.
py::object JsonToPython(const nlohmann::ordered_json& value);

// Python to JSON, for values a caller built: None, bool, int, float, str,
// mappings with str keys, and sequences (lists, tuples, NumPy arrays and
// scalars). Throws py::type_error naming `where` for anything else.
nlohmann::ordered_json PythonToJson(py::handle value, const std::string& where);

// The file-system path of a str or os.PathLike argument.
std::string PathArgument(py::handle value);

}  // namespace qae::py_binding
