// Python str <-> UTF-32 for the Brazilian modules. The kernels in core/br_*.hpp work
// on code points, as Python indexes text; these copies read the str's own storage
// (any kind, lone surrogates included) without a UTF-8 round trip.
#pragma once

#include <string>
#include <string_view>

#include "bridge/bridge.hpp"

namespace vx::br_py {

inline std::u32string to_u32(py::handle s) {
  PyObject* o = s.ptr();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(o);
  const int kind = PyUnicode_KIND(o);
  const void* data = PyUnicode_DATA(o);
  std::u32string out(static_cast<size_t>(n), U'\0');
  for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<size_t>(i)] = PyUnicode_READ(kind, data, i);
  return out;
}

inline py::str from_u32(std::u32string_view s) {
  PyObject* o = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

using vx::truthy;

}  // namespace vx::br_py
