// The refusals of the native types (see native.hpp).
#include "bridge/native.hpp"

namespace vx::native_detail {

namespace {

std::string type_label(py::handle type) {
  return safe_str(py::getattr(type, "__name__", py::str("?")));
}

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
  std::string full = safe_str(py::getattr(type, "__module__", py::str("vorlex"))) + "." +
                     type_label(type);
  py::cpp_function refuse(
      [full](py::args, py::kwargs) -> py::object {
        throw py::type_error("cannot create '" + full + "' instances");
      },
      py::name("__new__"));
  py::setattr(type, "__new__", py::module_::import("builtins").attr("staticmethod")(refuse));
}

}  // namespace vx::native_detail
