// vorlex.exceptions: the package errors. Every module raises these by looking them
// up here, so `except DocumentError` works whichever module raised it.
//
//   VorlexError            reader configuration problems; base of the others
//     DocumentError        a document that cannot be resolved or read
//     ProcessingError      nothing to run
//     ModelError           a model call failed (retried)
//       RateLimitError     the provider refused for rate (retried)
//     ModelRefusalError    the model declined to answer (never retried)
//     ModelParseError      a structured answer came back without a structure
//     ResponseFormatError  the server refused the requested response format (never retried)
#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"

namespace {

py::object new_error(py::module_ m, const char* name, py::handle base, const char* doc) {
  std::string qualified = std::string("vorlex.exceptions.") + name;
  PyObject* t = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base.ptr(), nullptr);
  if (!t) throw py::error_already_set();
  py::object type = py::reinterpret_steal<py::object>(t);
  m.attr(name) = type;
  return type;
}

}  // namespace

PYBIND11_MODULE(exceptions, m) {
  m.doc() = "Errors raised by Vorlex. Each is built from one message, which is also its text.";
  py::object base = new_error(m, "VorlexError", PyExc_Exception,
                              "Reader configuration problem; base of every Vorlex error.");
  new_error(m, "DocumentError", base, "A document that cannot be resolved or read.");
  new_error(m, "ProcessingError", base, "Nothing to run (no question selected).");
  py::object model = new_error(m, "ModelError", base, "A model call failed; it is retried.");
  new_error(m, "RateLimitError", model, "The provider refused the call for rate; it is retried.");
  // Not ModelError: asking again does not change a refusal, and the retry policy
  // repeats ModelError.
  new_error(m, "ModelRefusalError", base, "The model declined to answer; the text is its refusal.");
  new_error(m, "ModelParseError", base,
            "A structured answer came back with neither a parsed value nor a refusal.");
  // Not ModelError either: the server refuses the format itself, whatever the moment.
  new_error(m, "ResponseFormatError", base,
            "The server refused the structured response format asked for; it is not retried.");
  m.attr("__all__") = py::make_tuple("VorlexError", "DocumentError", "ProcessingError", "ModelError",
                                     "RateLimitError", "ModelRefusalError", "ModelParseError",
                                     "ResponseFormatError");
  vx::python_signatures(m);
}
