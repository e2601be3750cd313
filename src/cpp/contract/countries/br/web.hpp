// What the Brazilian registry modules share about their web client.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::br_web {

// The request-error family of the `requests` module a lookup currently uses; the real
// library's when the module attribute has been replaced by something whose
// RequestException is not an exception class (a bare mock, say).
inline py::object request_error_class(py::handle requests_module) {
  PyObject* cls = PyObject_GetAttrString(requests_module.ptr(), "RequestException");
  if (cls) {
    py::object c = py::reinterpret_steal<py::object>(cls);
    if (PyType_Check(c.ptr()) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(c.ptr()),
                         reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
      return c;
    }
  } else {
    PyErr_Clear();
  }
  return vx::import("requests.exceptions").attr("RequestException");
}

}  // namespace vx::br_web
