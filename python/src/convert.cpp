#include "convert.h"

#include <Python.h>

#include <cstdint>

namespace qae::py_binding {

using Json = nlohmann::ordered_json;

py::str TextToPython(std::string_view text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

py::object JsonToPython(const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean:
      return py::bool_(value.get<bool>());
    case Json::value_t::number_integer:
      return py::int_(value.get<int64_t>());
    case Json::value_t::number_unsigned:
      return py::int_(value.get<uint64_t>());
    case Json::value_t::number_float:
      return py::float_(value.get<double>());
    case Json::value_t::string:
      return TextToPython(value.get_ref<const std::string&>());
    case Json::value_t::array: {
      py::list list(value.size());
      std::size_t i = 0;
      for (const Json& item : value) list[i++] = JsonToPython(item);
      return list;
    }
    case Json::value_t::object: {
      py::dict dict;
      for (const auto& [key, item] : value.items()) dict[TextToPython(key)] = JsonToPython(item);
      return dict;
    }
    default:
      return py::none();
  }
}

Json PythonToJson(py::handle value, const std::string& where) {
  if (value.is_none()) return nullptr;
  if (PyBool_Check(value.ptr())) return value.cast<bool>();
  // NumPy arrays and scalars: their Python equivalents say what they hold.
  if (py::hasattr(value, "dtype") && py::hasattr(value, "tolist")) {
    return PythonToJson(value.attr("tolist")(), where);
  }
  if (PyLong_Check(value.ptr()) || PyIndex_Check(value.ptr())) {
    py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!i) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow == 0) return static_cast<int64_t>(v);
    if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(i.ptr());
      if (!PyErr_Occurred()) return static_cast<uint64_t>(u);
      PyErr_Clear();
    }
    throw py::value_error(where + ": integer out of range");
  }
  if (PyFloat_Check(value.ptr())) return value.cast<double>();
  if (PyUnicode_Check(value.ptr())) return value.cast<std::string>();
  if (PyDict_Check(value.ptr()) || py::hasattr(value, "keys")) {
    Json object = Json::object();
    py::object items = value.attr("items")();
    for (py::handle item : items) {
      py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
      if (!PyUnicode_Check(pair[0].ptr())) throw py::type_error(where + ": keys must be str");
      const std::string key = pair[0].cast<std::string>();
      object[key] = PythonToJson(pair[1], where + "." + key);
    }
    return object;
  }
  if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
    Json array = Json::array();
    for (py::handle item : value) array.push_back(PythonToJson(item, where));
    return array;
  }
  if (py::hasattr(value, "__float__")) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
  }
  throw py::type_error(where + ": cannot use a value of type " +
                       std::string(py::str(value.get_type().attr("__name__"))));
}

std::string PathArgument(py::handle value) {
  // str paths arrive as UTF-8, bytes paths as they are.
  return py::module_::import("os").attr("fspath")(value).cast<std::string>();
}

}  // namespace qae::py_binding
