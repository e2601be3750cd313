// One web call of a registry lookup, and how it fails (see web_call.hpp).
#include "contract/countries/br/cnpj/web_call.hpp"

#include "contract/countries/br/web.hpp"

namespace vx::cnpj {

namespace {

// A status that says the service could not answer now (overloaded, down, rate
// limited), as opposed to an answer about the number.
std::optional<std::string> unavailable_status(const py::object& resp) {
  py::object code = resp.attr("status_code");
  if (!PyLong_Check(code.ptr())) return std::nullopt;
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(code.ptr(), &overflow);
  if (overflow || !(n >= 500 || n == 429)) return std::nullopt;
  return "HTTP " + std::to_string(n);
}

// A failure of the request (the current `requests` module's RequestException family)
// or of the data (ValueError: a body that is not JSON, a capital that is not a number).
bool is_request_or_data_error(py::handle exc) {
  if (PyObject_IsInstance(exc.ptr(), PyExc_ValueError) == 1) return true;
  int r = PyObject_IsInstance(exc.ptr(), br_web::request_error_class(ns.get("requests")).ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// An error raised here in C++ (an answer of the wrong shape, a failed comparison)
// has no Python frames; the caller's frame is added so that the logged trace says
// where the lookup ran.
void add_caller_frame(py::object& exc) {
  PyObject* current = PyException_GetTraceback(exc.ptr());
  if (current) {
    Py_DECREF(current);
    return;
  }
  PyFrameObject* frame = PyEval_GetFrame();
  if (!frame) return;
  PyErr_Restore(py::type::handle_of(exc).inc_ref().ptr(), exc.inc_ref().ptr(), nullptr);
  PyTraceBack_Here(frame);
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  exc = py::reinterpret_steal<py::object>(value);
  Py_XDECREF(type);
  Py_XDECREF(tb);
}

bool status_ok(const py::object& resp) {
  int r = PyObject_RichCompareBool(resp.attr("status_code").ptr(), py::int_(200).ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

}  // namespace

std::optional<std::string>& last_failure() {
  thread_local std::optional<std::string> failure;
  return failure;
}

void report_failure(const FailureLines& lines, py::handle subject, py::object exc) {
  add_caller_frame(exc);
  const bool expected = is_request_or_data_error(exc);
  last_failure() = std::string(lines.service) + ": " +
                   vx::safe_str(py::type::handle_of(exc).attr("__name__"));
  if (expected) {
    logger.warning(lines.request_failed, subject, exc);
  } else {
    logger.error_exc(exc, lines.unexpected, subject);
  }
}

bool answered(const py::object& resp, const char* service) {
  if (status_ok(resp)) return true;
  if (auto status = unavailable_status(resp)) last_failure() = std::string(service) + ": " + *status;
  return false;
}

py::dict json_object(py::handle data, const char* what) {
  if (!PyDict_Check(data.ptr())) {
    throw py::type_error(std::string(what) + " is not a JSON object but " + type_name(data));
  }
  return py::reinterpret_borrow<py::dict>(data);
}

}  // namespace vx::cnpj
