// One web call of a registry lookup, and how it fails: what the lookups by number
// (services.cpp) and the search by name (search.cpp) share.
//
//   last_failure()                    why the last lookup on this thread gave None
//   guarded(lines, subject, body)     runs a lookup's web work; any failure becomes
//                                     None, a log line and the last failure
//   answered(resp, service)           whether the service answered 200
//   json_object(data, what)           a decoded answer that must be a JSON object
//
// A lookup answers None for every failure of the network or of the data and never
// raises for one. consultar_cnpj must answer None both when the registry does not know
// the number and when it could not be asked, so the reason for the second is kept per
// thread, where falha_ultima_consulta reads it for the checker and the command line.
#pragma once

#include <optional>
#include <string>

#include "contract/countries/br/cnpj/module.hpp"

namespace vx::cnpj {

// nullopt when the service answered (found the company, or found nothing), else the
// failure that kept it from answering: "BrasilAPI: HTTP 503", "ReceitaWS: Timeout".
std::optional<std::string>& last_failure();

// What a failed lookup writes: the service's name for the last failure, and two
// %-formats: the warning for a request or data error (subject, exception) and the
// error line, with the traceback, for any other error (subject).
struct FailureLines {
  const char* service;
  const char* request_failed;
  const char* unexpected;
};

// Records and logs `exc`, caught while `subject` was being looked up.
void report_failure(const FailureLines& lines, py::handle subject, py::object exc);

// body() or, when it raises an exception of the Exception family, None after
// report_failure. KeyboardInterrupt and SystemExit pass through.
template <class Body>
py::object guarded(const FailureLines& lines, py::handle subject, Body&& body) {
  py::object exc;
  try {
    return body();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    exc = e.value();
  } catch (py::builtin_exception& e) {
    e.set_error();
    exc = py::error_already_set().value();
  }
  report_failure(lines, subject, std::move(exc));
  return py::none();
}

// Whether the status is 200. A status that says the service could not answer now
// (5xx, 429), as opposed to an answer about the number, is kept as the last failure.
bool answered(const py::object& resp, const char* service);

// A decoded JSON object; anything else is outside the services' contract (TypeError
// "<what> is not a JSON object but <type>").
py::dict json_object(py::handle data, const char* what);

}  // namespace vx::cnpj
