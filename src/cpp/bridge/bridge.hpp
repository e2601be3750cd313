// The small layer every Vorlex extension module uses to talk to CPython.
//
//   Namespace   late-bound access to a module's own attributes (imports, sibling
//               functions, constants), with lazily imported names (PEP 562)
//   Logger      logging.getLogger(<module>) with %-style arguments left to logging
//   raise_*     raising the package errors (vorlex.exceptions) and TypeErrors
//   arg_*       argument checks that name the argument before any work is done
//   PyClass     ordinary Python classes (instances with a __dict__, subclassable,
//               patchable) whose methods are C++ functions
//
// Everything here expects the GIL to be held.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace vx {

// ---------------------------------------------------------------------------------
// Late binding

// A module's namespace, read at the moment of each call so that monkeypatching the
// module attribute (mock.patch("vorlex.utils.fitz", ...)) takes effect.
class Namespace {
 public:
  // Called once from PYBIND11_MODULE.
  void bind(py::module_ m);

  // Registers a name that is imported on first access: `import module` when attr is
  // empty, else `from module import attr`. The value is stored in the module dict on
  // first use, so it can be patched like any other attribute. With keep = false it is
  // imported anew at every access and never stored (a name the module imports inside
  // each call): a patch of the attribute here or in the source module takes effect.
  void lazy(const char* name, const char* module, const char* attr = "", bool keep = true);

  // Current value of the module attribute (resolving lazy names). Raises
  // AttributeError (as error_already_set) when it does not exist.
  py::object get(const char* name) const;
  template <class... A>
  py::object call(const char* name, A&&... args) const {
    return get(name)(std::forward<A>(args)...);
  }
  void set(const char* name, py::handle value) const;
  py::module_ module() const { return py::reinterpret_borrow<py::module_>(mod_); }
  const std::string& name() const { return name_; }

 private:
  struct Lazy {
    std::string name, module, attr;
    bool keep;
  };
  py::object resolve_lazy(const std::string& name) const;

  PyObject* mod_ = nullptr;  // strong reference, kept for the life of the process
  std::string name_;
  std::vector<Lazy> lazy_;
};

// import of a module by dotted name (cheap after the first time: sys.modules).
py::module_ import(const char* module);
// getattr(import(module), name): a late-bound lookup in another module.
py::object late(const char* module, const char* name);

// ---------------------------------------------------------------------------------
// Logging through the standard logging module.

class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}
  py::object logger() const;
  bool enabled_for(int level) const;
  template <class... A>
  void debug(const char* msg, A&&... a) const {
    emit("debug", 10, msg, std::forward<A>(a)...);
  }
  template <class... A>
  void info(const char* msg, A&&... a) const {
    emit("info", 20, msg, std::forward<A>(a)...);
  }
  template <class... A>
  void warning(const char* msg, A&&... a) const {
    emit("warning", 30, msg, std::forward<A>(a)...);
  }
  template <class... A>
  void error(const char* msg, A&&... a) const {
    emit("error", 40, msg, std::forward<A>(a)...);
  }
  // logger.error(msg, *args, exc_info=exc): the line carries exc's traceback.
  template <class... A>
  void error_exc(py::handle exc, const char* msg, A&&... a) const {
    logger().attr("error")(msg, std::forward<A>(a)..., py::arg("exc_info") = exc);
  }
  template <class... A>
  void warning_exc(py::handle exc, const char* msg, A&&... a) const {
    logger().attr("warning")(msg, std::forward<A>(a)..., py::arg("exc_info") = exc);
  }

 private:
  template <class... A>
  void emit(const char* method, int /*level*/, const char* msg, A&&... a) const {
    // The logger's own method is called (not logger.log), so that patching
    // logger.warning in a test sees the call; logging filters by level itself.
    logger().attr(method)(msg, std::forward<A>(a)...);
  }
  std::string name_;
};

// ---------------------------------------------------------------------------------
// Errors

// The class `name` of vorlex.exceptions (VorlexError, DocumentError, ...).
py::object error_class(const char* name);

// Sets the Python error and throws error_already_set; pybind11 hands it to Python.
[[noreturn]] void raise(py::handle type, const std::string& message);
[[noreturn]] void raise_from(py::handle type, const std::string& message, py::handle cause);
[[noreturn]] void raise_vorlex(const char* name, const std::string& message);
[[noreturn]] void raise_type_error(const char* arg, const char* expected, py::handle got);
[[noreturn]] void raise_value_error(const std::string& message);

// The exception instance held by an error_already_set (for logging, __cause__, ...).
py::object exception_value(const py::error_already_set& e);
// "ClassName" of an exception instance (type(e).__name__).
std::string type_name(py::handle obj);
// str(obj), never throwing (falls back to the type name).
std::string safe_str(py::handle obj);

// The Python error currently set, taken out of the interpreter as an exception object
// carrying its traceback (for results and logs built from a failed call).
py::object fetch_error();

// ---------------------------------------------------------------------------------
// Scopes that must end with a Python call (releasing a lock, closing a document or a
// response) also when the scope is left by an error.

// obj.method(*args) with its own failure ignored and any Python error already in
// flight kept aside while it runs.
void call_quietly(py::handle obj, const char* method);
void call_quietly(py::handle obj, const char* method, py::handle arg);

// Holds a Python lock (anything with acquire() and release()) for a scope; None holds
// nothing.
class ScopedLock {
 public:
  explicit ScopedLock(py::object lock) : lock_(std::move(lock)) {
    if (!lock_.is_none()) lock_.attr("acquire")();
  }
  ~ScopedLock() {
    if (!lock_.is_none()) call_quietly(lock_, "release");
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  py::object lock_;
};

// Calls close() on an object when the scope ends (a null handle closes nothing).
class ScopedClose {
 public:
  explicit ScopedClose(py::object obj) : obj_(std::move(obj)) {}
  ~ScopedClose() {
    if (obj_) call_quietly(obj_, "close");
  }
  ScopedClose(const ScopedClose&) = delete;
  ScopedClose& operator=(const ScopedClose&) = delete;

 private:
  py::object obj_;
};

// Calls each item of `calls` (a tuple: a callable, then its arguments) on a pool of at
// most `width` threads, waits for all of them without the GIL and returns their futures
// in order, each done (result() gives its value or raises what it raised). Interrupted
// while waiting (Ctrl-C), it drops the calls not started, leaves those in flight to end
// on their threads, and raises. `futures` is the caller's late-bound concurrent.futures
// (or the concurrent package that holds it); `name` prefixes the threads' names.
py::list run_on_threads(py::object futures, const py::list& calls, long long width, const char* name);

// list(seq): a private copy holding strong references to the items. A loop that runs
// Python code between items (a property, __hash__, __eq__, a callback) walks such a
// copy, or the container's own iterator: that code may change the caller's container,
// and pybind11's list iterator reads a borrowed item up to the length it saw first.
inline py::list list_copy(py::handle seq) {
  PyObject* l = PySequence_List(seq.ptr());
  if (!l) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

// bool(obj), errors of __bool__ / __len__ propagated.
inline bool truthy(py::handle h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// ---------------------------------------------------------------------------------
// Mappings as Python code reads them.

// isinstance(h, collections.abc.Mapping)
bool is_mapping(py::handle h);
// mapping.get(key, dflt), with a fast path for dicts.
py::object mapping_get(py::handle mapping, const char* key, py::handle dflt);

// ---------------------------------------------------------------------------------
// Argument checks. Each raises TypeError naming the argument before any work.

bool is_str(py::handle h);
bool is_bytes_like(py::handle h);  // bytes, bytearray or memoryview
bool is_int(py::handle h);         // int, not bool
bool is_real(py::handle h);        // int, float or anything with __index__/__float__, not bool

std::string arg_str(py::handle h, const char* name);
std::optional<std::string> arg_opt_str(py::handle h, const char* name);  // None -> nullopt
long long arg_int(py::handle h, const char* name);                       // integers only
long long arg_int_trunc(py::handle h, const char* name);                 // numbers, truncated
double arg_float(py::handle h, const char* name);                        // numbers
bool arg_bool(py::handle h, const char* name);                           // truthiness of anything
py::list arg_list(py::handle h, const char* name);                       // list (or tuple) -> list
std::vector<std::string> arg_str_list(py::handle h, const char* name);
// bytes-like -> std::string copy of the bytes
std::string arg_bytes(py::handle h, const char* name);

// Text conversions that never fail on lone surrogates: UTF-8 with surrogatepass.
std::string to_utf8(py::handle str_obj);
py::str from_utf8(std::string_view s);

// ---------------------------------------------------------------------------------
// Classes

// Builds an ordinary Python class (type(name, bases, {...})) in module `m` whose
// methods are C++ functions. Instances have a __dict__; methods are plain functions
// on the class, so patching Class.method or instance.method works as in Python, and
// C++ code calls its own methods through self.attr(...).
class PyClass {
 public:
  PyClass(py::module_ m, const char* name, const char* doc = nullptr, py::tuple bases = py::tuple());
  explicit PyClass(py::object existing);

  template <class F, class... Extra>
  PyClass& def(const char* name, F&& f, const Extra&... extra) {
    // pybind11 treats a function named __init__ or __setstate__ as a constructor of a
    // bound C++ type; ours are plain methods, so they get a name of their own.
    py::cpp_function fn(std::forward<F>(f), py::name(internal_name(name)), extra...);
    add_method(name, fn);
    return *this;
  }
  template <class F, class... Extra>
  PyClass& def_static(const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), extra...);
    setattr(cls_, name, py::module_::import("builtins").attr("staticmethod")(fn));
    return *this;
  }
  template <class F, class... Extra>
  PyClass& def_classmethod(const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), extra...);
    setattr(cls_, name, py::module_::import("builtins").attr("classmethod")(fn));
    return *this;
  }
  template <class G>
  PyClass& def_property_readonly(const char* name, G&& getter, const char* doc = nullptr) {
    py::cpp_function g(std::forward<G>(getter), py::name(name));
    setattr(cls_, name,
            py::module_::import("builtins")
                .attr("property")(g, py::none(), py::none(),
                                  doc ? py::object(py::str(doc)) : py::object(py::none())));
    return *this;
  }
  template <class G, class S>
  PyClass& def_property(const char* name, G&& getter, S&& setter, const char* doc = nullptr) {
    py::cpp_function g(std::forward<G>(getter), py::name(name));
    py::cpp_function s(std::forward<S>(setter), py::name(name));
    setattr(cls_, name,
            py::module_::import("builtins")
                .attr("property")(g, s, py::none(), doc ? py::object(py::str(doc)) : py::object(py::none())));
    return *this;
  }
  PyClass& attr(const char* name, py::handle value) {
    setattr(cls_, name, value);
    return *this;
  }
  py::object cls() const { return cls_; }

 private:
  static const char* internal_name(const char* name);
  void add_method(const char* name, py::cpp_function& fn);
  py::object cls_;
};

// A real enum.Enum subclass `name` in module m with members name -> value.
py::object make_enum(py::module_ m, const char* name,
                     const std::vector<std::pair<std::string, py::object>>& members);

}  // namespace vx
