#include "bridge/bridge.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vx {

// ---------------------------------------------------------------------------------
// Late binding

void Namespace::bind(py::module_ m) {
  mod_ = m.ptr();
  Py_INCREF(mod_);  // modules live until interpreter shutdown; never released
  name_ = py::cast<std::string>(m.attr("__name__"));
}

void Namespace::lazy(const char* name, const char* module, const char* attr, bool keep) {
  bool first = lazy_.empty();
  lazy_.push_back({name, module, attr ? attr : "", keep});
  if (!first) return;
  // PEP 562: module __getattr__ is consulted only for names missing from the dict.
  const Namespace* self = this;
  py::cpp_function hook(
      [self](py::str attr_name) -> py::object {
        return self->resolve_lazy(py::cast<std::string>(attr_name));
      },
      py::name("__getattr__"));
  this->module().attr("__getattr__") = hook;
}

py::object Namespace::resolve_lazy(const std::string& name) const {
  for (const auto& l : lazy_) {
    if (l.name != name) continue;
    py::object value = py::module_::import(l.module.c_str());
    if (!l.attr.empty()) value = value.attr(l.attr.c_str());
    // Keep it in the namespace: later lookups are plain dict hits, and a patch of
    // the attribute replaces exactly what the module uses.
    if (l.keep) module().attr(name.c_str()) = value;
    return value;
  }
  PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%s'", name_.c_str(), name.c_str());
  throw py::error_already_set();
}

py::object Namespace::get(const char* name) const {
  PyObject* dict = PyModule_GetDict(mod_);         // borrowed
  PyObject* v = PyDict_GetItemString(dict, name);  // borrowed, no exception
  if (v) return py::reinterpret_borrow<py::object>(v);
  return resolve_lazy(name);
}

void Namespace::set(const char* name, py::handle value) const { module().attr(name) = value; }

py::module_ import(const char* module) { return py::module_::import(module); }

py::object late(const char* module, const char* name) { return py::module_::import(module).attr(name); }

// ---------------------------------------------------------------------------------
// Logging

py::object Logger::logger() const { return py::module_::import("logging").attr("getLogger")(name_); }

bool Logger::enabled_for(int level) const { return logger().attr("isEnabledFor")(level).cast<bool>(); }

// ---------------------------------------------------------------------------------
// Errors

py::object error_class(const char* name) { return late("vorlex.exceptions", name); }

void raise(py::handle type, const std::string& message) {
  py::object exc = type(py::str(message));
  PyErr_SetObject(type.ptr(), exc.ptr());
  throw py::error_already_set();
}

void raise_from(py::handle type, const std::string& message, py::handle cause) {
  py::object exc = type(py::str(message));
  if (cause && !cause.is_none()) {
    PyException_SetCause(exc.ptr(), cause.inc_ref().ptr());  // steals a reference
    // __context__ is what "During handling..." shows; keep it equal to the cause.
    PyException_SetContext(exc.ptr(), cause.inc_ref().ptr());
  }
  PyErr_SetObject(type.ptr(), exc.ptr());
  throw py::error_already_set();
}

void raise_vorlex(const char* name, const std::string& message) { raise(error_class(name), message); }

std::string type_name(py::handle obj) {
  return py::cast<std::string>(py::type::handle_of(obj).attr("__name__"));
}

void raise_type_error(const char* arg, const char* expected, py::handle got) {
  std::string msg = std::string("argument '") + arg + "' must be " + expected + ", not " +
                    (got ? type_name(got) : std::string("NULL"));
  throw py::type_error(msg);
}

void raise_value_error(const std::string& message) { throw py::value_error(message); }

py::object exception_value(const py::error_already_set& e) { return e.value(); }

std::string safe_str(py::handle obj) {
  PyObject* s = PyObject_Str(obj.ptr());
  if (!s) {
    PyErr_Clear();
    return "<" + type_name(obj) + ">";
  }
  py::object owned = py::reinterpret_steal<py::object>(s);
  return to_utf8(owned);
}

py::object fetch_error() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return py::none();
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return py::reinterpret_steal<py::object>(value);
}

// ---------------------------------------------------------------------------------
// Scopes

namespace {
void call_quietly_impl(py::handle obj, const char* method, PyObject* arg) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* name = PyUnicode_FromString(method);
  PyObject* r = name ? (arg ? PyObject_CallMethodOneArg(obj.ptr(), name, arg)
                            : PyObject_CallMethodNoArgs(obj.ptr(), name))
                     : nullptr;
  Py_XDECREF(name);
  if (r) Py_DECREF(r);
  else PyErr_Clear();
  PyErr_Restore(type, value, tb);
}
}  // namespace

void call_quietly(py::handle obj, const char* method) { call_quietly_impl(obj, method, nullptr); }
void call_quietly(py::handle obj, const char* method, py::handle arg) {
  call_quietly_impl(obj, method, arg.ptr());
}

// ---------------------------------------------------------------------------------
// Mappings

bool is_mapping(py::handle h) {
  if (PyDict_Check(h.ptr())) return true;
  py::object mapping = late("collections.abc", "Mapping");
  int r = PyObject_IsInstance(h.ptr(), mapping.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::object mapping_get(py::handle mapping, const char* key, py::handle dflt) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* v = PyDict_GetItemString(mapping.ptr(), key);  // borrowed
    return py::reinterpret_borrow<py::object>(v ? v : dflt.ptr());
  }
  return mapping.attr("get")(key, dflt);
}

// ---------------------------------------------------------------------------------
// Argument checks

bool is_str(py::handle h) { return PyUnicode_Check(h.ptr()); }
bool is_bytes_like(py::handle h) {
  return PyBytes_Check(h.ptr()) || PyByteArray_Check(h.ptr()) || PyMemoryView_Check(h.ptr());
}
bool is_int(py::handle h) { return PyLong_Check(h.ptr()) && !PyBool_Check(h.ptr()); }
bool is_real(py::handle h) {
  if (PyBool_Check(h.ptr())) return false;
  return PyLong_Check(h.ptr()) || PyFloat_Check(h.ptr()) || PyIndex_Check(h.ptr()) ||
         (Py_TYPE(h.ptr())->tp_as_number && Py_TYPE(h.ptr())->tp_as_number->nb_float);
}

std::string arg_str(py::handle h, const char* name) {
  if (!is_str(h)) raise_type_error(name, "str", h);
  return to_utf8(h);
}

std::optional<std::string> arg_opt_str(py::handle h, const char* name) {
  if (!h || h.is_none()) return std::nullopt;
  if (!is_str(h)) raise_type_error(name, "str or None", h);
  return to_utf8(h);
}

long long arg_int(py::handle h, const char* name) {
  if (!is_int(h)) raise_type_error(name, "int", h);
  long long v = PyLong_AsLongLong(h.ptr());
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

long long arg_int_trunc(py::handle h, const char* name) {
  if (is_int(h)) return arg_int(h, name);
  if (PyFloat_Check(h.ptr())) {
    double d = PyFloat_AsDouble(h.ptr());
    if (std::isnan(d) || std::isinf(d)) {
      throw py::value_error(std::string("argument '") + name + "' must be a finite number");
    }
    d = std::trunc(d);
    if (d > static_cast<double>(std::numeric_limits<long long>::max()) ||
        d < static_cast<double>(std::numeric_limits<long long>::min())) {
      throw py::value_error(std::string("argument '") + name + "' is out of range");
    }
    return static_cast<long long>(d);
  }
  if (!is_real(h)) raise_type_error(name, "a number", h);
  // Other numbers (Decimal, Fraction, numpy scalars): int() truncates toward zero.
  py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Long(h.ptr()));
  if (!as_int) throw py::error_already_set();
  long long v = PyLong_AsLongLong(as_int.ptr());
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

double arg_float(py::handle h, const char* name) {
  if (!is_real(h)) raise_type_error(name, "a number", h);
  double d = PyFloat_AsDouble(h.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

bool arg_bool(py::handle h, const char* name) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::list arg_list(py::handle h, const char* name) {
  // A copy in both cases: the caller walks it while running Python code.
  if (PyList_Check(h.ptr()) || PyTuple_Check(h.ptr())) return list_copy(h);
  raise_type_error(name, "list", h);
}

std::vector<std::string> arg_str_list(py::handle h, const char* name) {
  py::list l = arg_list(h, name);
  std::vector<std::string> out;
  out.reserve(l.size());
  for (py::handle item : l) {
    if (!is_str(item)) {
      throw py::type_error(std::string("argument '") + name + "' must be a list of str, found " +
                           type_name(item));
    }
    out.push_back(to_utf8(item));
  }
  return out;
}

std::string arg_bytes(py::handle h, const char* name) {
  if (PyBytes_Check(h.ptr())) {
    char* buf;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(h.ptr(), &buf, &n) < 0) throw py::error_already_set();
    return std::string(buf, static_cast<size_t>(n));
  }
  if (PyByteArray_Check(h.ptr())) {
    return std::string(PyByteArray_AsString(h.ptr()), static_cast<size_t>(PyByteArray_Size(h.ptr())));
  }
  if (PyMemoryView_Check(h.ptr())) {
    py::bytes b = py::reinterpret_steal<py::bytes>(PyObject_Bytes(h.ptr()));
    if (!b) throw py::error_already_set();
    return std::string(b);
  }
  raise_type_error(name, "bytes", h);
}

std::string to_utf8(py::handle str_obj) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str_obj.ptr(), &n);
  if (p) return std::string(p, static_cast<size_t>(n));
  // Lone surrogates: keep them (surrogatepass) rather than failing on user text.
  PyErr_Clear();
  PyObject* b = PyUnicode_AsEncodedString(str_obj.ptr(), "utf-8", "surrogatepass");
  if (!b) throw py::error_already_set();
  py::object owned = py::reinterpret_steal<py::object>(b);
  return std::string(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
}

py::str from_utf8(std::string_view s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

// ---------------------------------------------------------------------------------
// Classes

PyClass::PyClass(py::module_ m, const char* name, const char* doc, py::tuple bases) {
  if (bases.empty()) bases = py::make_tuple(py::module_::import("builtins").attr("object"));
  py::dict ns;
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = py::str(name);
  if (doc) ns["__doc__"] = py::str(doc);
  cls_ = py::module_::import("builtins").attr("type")(py::str(name), bases, ns);
  m.attr(name) = cls_;
}

PyClass::PyClass(py::object existing) : cls_(std::move(existing)) {}

const char* PyClass::internal_name(const char* name) {
  std::string_view n(name);
  if (n == "__init__") return "_init_";
  if (n == "__setstate__") return "_setstate_";
  return name;
}

void PyClass::add_method(const char* name, py::cpp_function& fn) {
  // A builtin function is not a descriptor; instancemethod makes it bind to the
  // instance like a def in a class body.
  PyObject* im = PyInstanceMethod_New(fn.ptr());
  if (!im) throw py::error_already_set();
  py::object method = py::reinterpret_steal<py::object>(im);
  setattr(cls_, name, method);
}

py::object make_enum(py::module_ m, const char* name,
                     const std::vector<std::pair<std::string, py::object>>& members) {
  py::list items;
  for (const auto& [k, v] : members) items.append(py::make_tuple(k, v));
  py::object e = py::module_::import("enum").attr("Enum")(
      py::str(name), items, py::arg("module") = m.attr("__name__"), py::arg("qualname") = py::str(name));
  m.attr(name) = e;
  return e;
}

py::list run_on_threads(py::object futures, const py::list& calls, long long width, const char* name) {
  if (!py::hasattr(futures, "ThreadPoolExecutor")) futures = futures.attr("futures");
  const long long count = static_cast<long long>(calls.size());
  py::object pool = futures.attr("ThreadPoolExecutor")(
      py::arg("max_workers") = std::max(1LL, std::min(width, count)), py::arg("thread_name_prefix") = name);
  py::list pending;
  try {
    for (py::handle call : calls) {
      py::tuple parts = py::reinterpret_borrow<py::tuple>(call);
      pending.append(pool.attr("submit")(*parts));
    }
    futures.attr("wait")(pending);  // a condition wait: the GIL is released meanwhile
  } catch (...) {
    try {
      pool.attr("shutdown")(py::arg("wait") = false, py::arg("cancel_futures") = true);
    } catch (py::error_already_set&) {
      // the first error is the one to report
    }
    throw;
  }
  pool.attr("shutdown")(py::arg("wait") = false);
  return pending;
}

}  // namespace vx
