// What the Brazilian registry modules (cnpj, ie) share about their web client.
//
//   request_error_class(requests)      the request-error family to catch
//   service_url(ns, constant, number)  a URL template of the module, number filled in
#pragma once

#include <string>

#include "bridge/bridge.hpp"

namespace vx::br_web {

// The request-error family of the `requests` module a lookup currently uses; the real
// library's when the module attribute has been replaced by something whose
// RequestException is not an exception class (a bare mock, say).
inline py::object request_error_class(py::handle requests_module) {
  PyObject* cls = PyObject_GetAttrString(requests_module.ptr(), "RequestException");
  if (cls) {
    py::object c = py::reinterpret_steal<py::object>(cls);
    if (PyType_Check(c.ptr()) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(c.ptr()),
                                                  reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
      return c;
    }
  } else {
    PyErr_Clear();
  }
  return vx::import("requests.exceptions").attr("RequestException");
}

// The module's URL template `constant`, read from its namespace at each call, with every
// "{cnpj}" replaced by the number; TypeError when the template is not text.
inline std::string service_url(const vx::Namespace& ns, const char* constant, const std::string& number) {
  py::object tmpl = ns.get(constant);
  if (!vx::is_str(tmpl))
    throw py::type_error(std::string(constant) + " must be str, not " + vx::type_name(tmpl));
  std::string url = vx::to_utf8(tmpl);
  const std::string mark = "{cnpj}";
  for (size_t at = url.find(mark); at != std::string::npos; at = url.find(mark, at + number.size())) {
    url.replace(at, mark.size(), number);
  }
  return url;
}

}  // namespace vx::br_web
