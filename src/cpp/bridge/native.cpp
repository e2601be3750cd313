// The refusals of the native types (see native.hpp).
#include "bridge/native.hpp"

namespace vx::native_detail {

namespace {

std::string type_label(py::handle type) { return safe_str(py::getattr(type, "__name__", py::str("?"))); }

}  // namespace

void wrong_self(py::handle type, py::handle self, const char* method) {
  std::string got = self ? type_name(self) : std::string("NULL");
  throw py::type_error("descriptor '" + std::string(method) + "' for '" + type_label(type) +
                       "' objects doesn't apply to a '" + got + "' object");
}

void empty_self(py::handle type, const char* method) {
  throw py::type_error("'" + type_label(type) + "' object is not initialized: " + method +
                       "() needs one made by the library");
}

void refuse_new(py::handle type) {
  std::string full = safe_str(py::getattr(type, "__module__", py::str("vorlex"))) + "." + type_label(type);
  py::cpp_function refuse(
      [full](py::args, py::kwargs) -> py::object {
        throw py::type_error("cannot create '" + full + "' instances");
      },
      py::name("__new__"));
  py::setattr(type, "__new__", py::module_::import("builtins").attr("staticmethod")(refuse));
}

void guard_keywords(py::handle type) {
  py::object dict = type.attr("__dict__");
  for (py::handle entry : py::list(dict.attr("items")())) {
    py::object name = entry[py::int_(0)];
    PyObject* member = py::handle(entry[py::int_(1)]).ptr();
    if (PyInstanceMethod_Check(member)) member = PyInstanceMethod_GET_FUNCTION(member);
    // Ordinary methods, __init__ and __repr__ become routines, which check keyword names
    // themselves; the other special methods and pybind11's own are guarded here.
    const std::string n = safe_str(name);
    const bool special = n.size() > 4 && n.rfind("__", 0) == 0 && n != "__init__" && n != "__repr__";
    if (!special && n.rfind("_pybind11_", 0) != 0) continue;
    if (!PyCFunction_Check(member)) continue;
    py::object original = py::reinterpret_borrow<py::object>(member);
    std::string label = type_label(type) + "." + safe_str(name);
    py::cpp_function guarded(
        [original, label](py::args args, py::kwargs kwargs) -> py::object {
          for (auto item : kwargs) {
            if (!PyUnicode_AsUTF8AndSize(item.first.ptr(), nullptr)) {
              PyErr_Clear();
              throw py::type_error(label + "() got an unexpected keyword argument " +
                                   safe_str(py::repr(item.first)));
            }
          }
          return original(*args, **kwargs);
        },
        py::name(safe_str(name).c_str()), py::is_method(type),
        py::doc(safe_str(py::getattr(original, "__doc__", py::str(""))).c_str()));
    py::setattr(type, name, guarded);
  }
}

}  // namespace vx::native_detail
