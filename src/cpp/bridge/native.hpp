// Native types: C++ objects that Python code is handed but never makes (a coroutine,
// a Google call's awaitable, a PDF's page iterator).
//
//   native_class<T>(scope, name, doc)   py::class_<T>, final, whose __new__ refuses to
//                                       make an instance: the only instances are the
//                                       ones C++ fills (py::cast of a T)
//   method<T>(name, &T::fn)             the bound method as a function of `self`,
//                                       which native_self checks
//   native_self<T>(self, method)        the T behind `self`
//
// pybind11 hands a bound member function a null `this` when `self` is None (it lets
// None through for a pointer argument) and an instance made by `T.__new__(T)` holds
// no object at all: either way the C++ method would run on nothing. Every method of
// a native type therefore takes `self` as a plain handle and reaches its object
// through native_self, which raises TypeError for anything but a filled T, as
// CPython's own method descriptors do.
#pragma once

#include <string>
#include <utility>

#include "bridge/bridge.hpp"

namespace vx {

namespace native_detail {
[[noreturn]] void wrong_self(py::handle type, py::handle self, const char* method);
[[noreturn]] void empty_self(py::handle type, const char* method);
// Sets type.__new__ to a function raising "cannot create '<module>.<name>' instances".
void refuse_new(py::handle type);
// Puts each special C++ method of the type (__next__, __await__, ...; the others are
// routines) behind a check of its keyword names: pybind11's
// dispatcher aborts the interpreter on a keyword that UTF-8 cannot hold (a lone
// surrogate) while it words its error. Called once the type's methods are defined.
void guard_keywords(py::handle type);
}  // namespace native_detail

template <class T>
T& native_self(py::handle self, const char* method) {
  if (!self || !py::isinstance<T>(self)) {
    native_detail::wrong_self(py::type::of<T>(), self, method);
  }
  if (!py::detail::is_holder_constructed(self.ptr())) {
    native_detail::empty_self(py::type::of<T>(), method);
  }
  T* value = self.cast<T*>();
  if (!value) native_detail::empty_self(py::type::of<T>(), method);
  return *value;
}

template <class T, class... Extra>
py::class_<T> native_class(py::handle scope, const char* name, const char* doc, const Extra&... extra) {
  py::class_<T> cls(scope, name, doc, py::is_final(), extra...);
  native_detail::refuse_new(cls);
  return cls;
}

// The collector's view of a native type that holds Python objects: T offers
// `int traverse(visitproc, void*) const` and `void clear()`; an instance whose holder
// was never filled holds nothing. For py::custom_type_setup.
template <class T>
void gc_slots(PyHeapTypeObject* heap) {
  PyTypeObject* type = &heap->ht_type;
  type->tp_flags |= Py_TPFLAGS_HAVE_GC;
  type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
    Py_VISIT(Py_TYPE(self));
    if (!py::detail::is_holder_constructed(self)) return 0;
    return py::handle(self).cast<const T&>().traverse(visit, arg);
  };
  type->tp_clear = [](PyObject* self) -> int {
    if (py::detail::is_holder_constructed(self)) py::handle(self).cast<T&>().clear();
    return 0;
  };
}

// A member function as a function of a checked `self`.
template <class T, class R, class... A>
auto method(const char* name, R (T::*fn)(A...)) {
  return [name, fn](py::handle self, A... args) -> R {
    return (native_self<T>(self, name).*fn)(std::forward<A>(args)...);
  };
}
template <class T, class R, class... A>
auto method(const char* name, R (T::*fn)(A...) const) {
  return [name, fn](py::handle self, A... args) -> R {
    return (native_self<T>(self, name).*fn)(std::forward<A>(args)...);
  };
}

// A method that hands back `self` (__iter__, __await__), after the same check.
template <class T>
auto returns_self(const char* name) {
  return [name](py::object self) {
    native_self<T>(self, name);
    return self;
  };
}

}  // namespace vx
