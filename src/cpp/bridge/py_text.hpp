// Python str <-> UTF-32 for the Brazilian modules. The kernels in core/br_*.hpp work
// on code points, as Python indexes text; these copies read the str's own storage
// (any kind, lone surrogates included) without a UTF-8 round trip.
#pragma once

#include <cmath>
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

// A value that a registry service sent where text belongs, read as text: a str as it
// is; an int in decimal (an integer postal code, `cep`, with the leading zeros that
// JSON dropped: 1422000 is "01422000"); an integral float as that int, another finite
// float as repr() writes it. Anything else (None, a bool, a list, an object, inf, nan)
// counts as absent: "".
inline py::str registry_text(py::handle v, bool cep = false) {
  auto novo = [](PyObject* r) {
    if (!r) throw py::error_already_set();
    return r;
  };
  PyObject* o = v.ptr();
  if (!o || o == Py_None || PyBool_Check(o)) return py::str("");
  if (PyUnicode_Check(o)) return py::reinterpret_borrow<py::str>(v);
  py::object inteiro;
  if (PyFloat_Check(o)) {
    double d = PyFloat_AsDouble(o);
    if (!std::isfinite(d)) return py::str("");
    if (d != std::floor(d)) return py::reinterpret_steal<py::str>(novo(PyObject_Repr(o)));
    inteiro = py::reinterpret_steal<py::object>(novo(PyLong_FromDouble(d)));
  } else if (PyLong_Check(o)) {
    inteiro = py::reinterpret_steal<py::object>(novo(PyNumber_Long(o)));
  } else {
    return py::str("");
  }
  py::str texto = py::reinterpret_steal<py::str>(novo(PyObject_Str(inteiro.ptr())));
  if (cep) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(inteiro.ptr(), &overflow);
    if (!overflow && n >= 0 && n <= 99999999 && PyUnicode_GET_LENGTH(texto.ptr()) < 8) {
      return py::str(std::string(static_cast<size_t>(8 - PyUnicode_GET_LENGTH(texto.ptr())), '0') +
                     std::to_string(n));
    }
  }
  return texto;
}

}  // namespace vx::br_py
