#include "bridge/signatures.hpp"

#include <cstddef>
#include <string>

#include "bridge/stubs.hpp"

namespace vx {
namespace {

using namespace pybind11::literals;

// ---------------------------------------------------------------------------------
// The routine type

struct Routine {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* func;       // the C++ function
  PyObject* name;       // str
  PyObject* qualname;   // str
  PyObject* module;     // str
  PyObject* owner;      // the class's name, or None for a module function
  PyObject* signature;  // inspect.Signature or None once looked up; NULL before
  PyObject* code;       // the code object shown as __code__; NULL before it is asked for
  PyObject* weakrefs;   // weak references to it (functools caches, registries), or NULL
};

// Looks the routine up in its stub once: its signature, and the file and line of its
// declaration for __code__.
void look_up(Routine* r) {
  if (r->signature) return;
  StubDef def;
  try {
    std::string owner = r->owner == Py_None ? std::string() : std::string(py::str(r->owner));
    def = stub_def(py::str(r->module), owner, py::str(r->name));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    def = StubDef();  // a stub this code cannot read: no signature
  }
  std::string file = def.path.empty() ? "<" + std::string(py::str(r->module)) + ">" : def.path;
  const char* name = PyUnicode_AsUTF8(r->name);
  if (!name) throw py::error_already_set();
  PyCodeObject* code = PyCode_NewEmpty(file.c_str(), name, def.line);
  if (!code) throw py::error_already_set();
  py::object named = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(code));
  named = named.attr("replace")("co_qualname"_a = py::handle(r->qualname));
  r->code = named.release().ptr();
  r->signature = def.signature.release().ptr();
}

PyObject* signature_of(Routine* r) {
  look_up(r);
  return r->signature;
}

bool is_dispatch_failure(PyObject* value) {
  PyObject* text = PyObject_Str(value);
  if (!text) {
    PyErr_Clear();
    return false;
  }
  const char* s = PyUnicode_AsUTF8(text);
  bool found = s &&
               (std::string_view(s).find("incompatible function arguments") != std::string_view::npos ||
                std::string_view(s).find("incompatible constructor arguments") != std::string_view::npos);
  if (!s) PyErr_Clear();
  Py_DECREF(text);
  return found;
}

// pybind11 found no way to call the function with these arguments: the signature says
// why, in Python's words. When it accepts them (a value pybind11 could not convert),
// pybind11's own message stays.
PyObject* reword(Routine* r, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  // (PyErr_Fetch rather than PyErr_GetRaisedException: the package supports 3.11.)
  PyObject *type = nullptr, *raised = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &raised, &tb);
  PyErr_NormalizeException(&type, &raised, &tb);
  auto put_back = [&]() { PyErr_Restore(type, raised, tb); };
  auto drop = [&]() {
    Py_XDECREF(type);
    Py_XDECREF(raised);
    Py_XDECREF(tb);
  };
  if (!raised || !is_dispatch_failure(raised)) {
    put_back();
    return nullptr;
  }
  try {
    PyObject* sig = signature_of(r);
    if (sig != Py_None) {
      Py_ssize_t n = PyVectorcall_NARGS(nargsf);
      py::tuple positional(n);
      for (Py_ssize_t i = 0; i < n; ++i) {
        positional[i] = py::reinterpret_borrow<py::object>(args[i]);
      }
      py::dict keywords;
      Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
      for (Py_ssize_t i = 0; i < nk; ++i) {
        keywords[PyTuple_GET_ITEM(kwnames, i)] = py::reinterpret_borrow<py::object>(args[n + i]);
      }
      try {
        // Called with the tuple and dict as they are: pybind11's own unpacking of
        // **keywords checks each name against those before it (quadratic in their number).
        py::object bind = py::handle(sig).attr("bind");
        PyObject* bound = PyObject_Call(bind.ptr(), positional.ptr(), keywords.ptr());
        if (!bound) throw py::error_already_set();
        Py_DECREF(bound);
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        std::string why = py::str(e.value());
        drop();
        PyErr_SetString(PyExc_TypeError, (std::string(py::str(r->qualname)) + "() " + why).c_str());
        return nullptr;
      }
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) {
      drop();
      e.restore();
      return nullptr;
    }
  }
  put_back();
  return nullptr;
}

// Whether the function takes **kwargs (by its signature; unknown counts as no).
bool takes_any_keyword(Routine* r) {
  PyObject* sig = signature_of(r);
  if (sig == Py_None) return false;
  py::object var_keyword = py::module_::import("inspect").attr("Parameter").attr("VAR_KEYWORD");
  for (py::handle p : list_copy(py::handle(sig).attr("parameters").attr("values")())) {
    if (py::object(p.attr("kind")).is(var_keyword)) return true;
  }
  return false;
}

// A keyword whose name UTF-8 cannot hold (a lone surrogate) names no parameter of a C++
// function; pybind11 would fail on it while writing its own message, with no way to
// report that error. Refused here, in Python's words.
bool refuse_unreadable_keyword(Routine* r, PyObject* kwnames) {
  Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nk; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_AsUTF8AndSize(name, nullptr)) continue;
    PyErr_Clear();
    try {
      if (takes_any_keyword(r)) return false;
    } catch (py::error_already_set& e) {
      e.restore();
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument %R", r->qualname, name);
    return true;
  }
  return false;
}

PyObject* routine_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* r = reinterpret_cast<Routine*>(self);
  if (refuse_unreadable_keyword(r, kwnames)) return nullptr;
  PyObject* result = PyObject_Vectorcall(r->func, args, nargsf, kwnames);
  if (result || !PyErr_ExceptionMatches(PyExc_TypeError)) return result;
  return reword(r, args, nargsf, kwnames);
}

void routine_dealloc(PyObject* self) {
  auto* r = reinterpret_cast<Routine*>(self);
  if (r->weakrefs) PyObject_ClearWeakRefs(self);
  Py_XDECREF(r->func);
  Py_XDECREF(r->name);
  Py_XDECREF(r->qualname);
  Py_XDECREF(r->module);
  Py_XDECREF(r->owner);
  Py_XDECREF(r->signature);
  Py_XDECREF(r->code);
  Py_TYPE(self)->tp_free(self);
}

PyObject* routine_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* routine_repr(PyObject* self) {
  auto* r = reinterpret_cast<Routine*>(self);
  return PyUnicode_FromFormat("<function %U.%U>", r->module, r->qualname);
}

template <PyObject* Routine::*field>
PyObject* get_field(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<Routine*>(self)->*field);
}

// The stub's signature; a routine the stub does not declare takes (*args, **kwargs), as
// far as anyone can tell from outside.
PyObject* get_signature(PyObject* self, void*) {
  try {
    PyObject* sig = signature_of(reinterpret_cast<Routine*>(self));
    if (sig != Py_None) return Py_NewRef(sig);
    py::object inspect = py::module_::import("inspect");
    py::object Parameter = inspect.attr("Parameter");
    py::list params;
    params.append(Parameter("args", Parameter.attr("VAR_POSITIONAL")));
    params.append(Parameter("kwargs", Parameter.attr("VAR_KEYWORD")));
    return inspect.attr("Signature")(params).release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

// A code object with the routine's names, pointing at its declaration in the stub, and
// no flags: tools that read a function's code (inspect.iscoroutinefunction, mock's
// autospec, pydoc) see an ordinary function.
PyObject* get_code(PyObject* self, void*) {
  try {
    auto* r = reinterpret_cast<Routine*>(self);
    look_up(r);
    return Py_NewRef(r->code);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

// A routine presents itself as a function to isinstance(), as mock's specs do, so that
// what is keyed on types.FunctionType treats it as one: mock.patch.object(Cls, "method",
// autospec=True) checks calls against the signature and records `self`, and
// inspect.isfunction() is true. type() still tells the truth.
PyObject* get_class(PyObject*, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type)); }

// The function's docstring without the line of pybind11's own signature.
PyObject* get_doc(PyObject* self, void*) {
  auto* r = reinterpret_cast<Routine*>(self);
  PyObject* doc = PyObject_GetAttrString(r->func, "__doc__");
  if (!doc || !PyUnicode_Check(doc)) return doc;
  const char* s = PyUnicode_AsUTF8(doc);
  if (!s) {  // text UTF-8 cannot hold (a lone surrogate): shown as it is
    PyErr_Clear();
    return doc;
  }
  std::string_view text(s);
  PyObject* own_name = PyObject_GetAttrString(r->func, "__name__");
  std::string prefix;
  if (own_name && PyUnicode_Check(own_name)) {
    const char* n = PyUnicode_AsUTF8(own_name);
    if (n) prefix = std::string(n) + "(";
  }
  Py_XDECREF(own_name);
  PyErr_Clear();
  if (prefix.empty() || text.substr(0, prefix.size()) != prefix) return doc;
  auto end = text.find("\n\n");
  std::string_view rest = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.remove_suffix(1);
  PyObject* out = rest.empty()
                      ? Py_NewRef(Py_None)
                      : PyUnicode_FromStringAndSize(rest.data(), static_cast<Py_ssize_t>(rest.size()));
  Py_DECREF(doc);
  return out;
}

PyObject* get_none(PyObject*, void*) { return Py_NewRef(Py_None); }

PyObject* routine_reduce(PyObject* self, PyObject*) {
  // Pickled by reference, as functions are: the qualified name in its module.
  return Py_NewRef(reinterpret_cast<Routine*>(self)->qualname);
}

PyGetSetDef routine_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__name__", get_field<&Routine::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&Routine::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&Routine::module>, nullptr, nullptr, nullptr},
    {"__wrapped__", get_field<&Routine::func>, nullptr, nullptr, nullptr},
    {"__text_signature__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef routine_methods[] = {
    {"__reduce__", routine_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* routine_type() {
  static PyTypeObject* type = [] {
    static PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "vorlex.routine";
    t.tp_basicsize = sizeof(Routine);
    t.tp_dealloc = routine_dealloc;
    t.tp_vectorcall_offset = offsetof(Routine, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_repr = routine_repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function of Vorlex written in C++.";
    t.tp_getset = routine_getset;
    t.tp_methods = routine_methods;
    t.tp_descr_get = routine_get;
    t.tp_weaklistoffset = offsetof(Routine, weakrefs);
    if (PyType_Ready(&t) < 0) throw py::error_already_set();
    return &t;
  }();
  return type;
}

py::object make_routine(py::handle func, const std::string& name, const std::string& qualname,
                        py::handle module, py::handle owner) {
  PyTypeObject* t = routine_type();
  auto* r = PyObject_New(Routine, t);
  if (!r) throw py::error_already_set();
  r->vectorcall = routine_call;
  r->func = Py_NewRef(func.ptr());
  r->name = py::str(name).release().ptr();
  r->qualname = py::str(qualname).release().ptr();
  r->module = Py_NewRef(module.ptr());
  r->owner = Py_NewRef(owner.ptr());
  r->signature = nullptr;
  r->code = nullptr;
  r->weakrefs = nullptr;
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(r));
}

bool is_cpp_function(py::handle f) { return PyCFunction_Check(f.ptr()); }

}  // namespace

void python_signatures(py::module_ m) {
  py::object modname = m.attr("__name__");
  py::object builtins = py::module_::import("builtins");
  py::object staticmethod = builtins.attr("staticmethod");
  py::object classmethod = builtins.attr("classmethod");
  py::dict module_dict = m.attr("__dict__");
  // A function held under two names (an alias) stays one object.
  py::dict made;
  for (py::handle item : list_copy(module_dict.attr("items")())) {
    py::object key = item[py::int_(0)];
    py::object value = item[py::int_(1)];
    std::string name = py::str(key);
    if (name.size() > 4 && name.rfind("__", 0) == 0) continue;  // __getattr__ and kin
    if (is_cpp_function(value)) {
      // Only the module's own functions: re-exported ones belong to their module.
      py::object own = py::getattr(value, "__module__", py::none());
      if (!own.is_none() && !own.equal(modname)) continue;
      if (!made.contains(value)) {
        std::string own_name = py::str(py::getattr(value, "__name__", key));
        made[value] = make_routine(value, own_name, own_name, modname, py::none());
      }
      m.attr(key) = made[value];
      continue;
    }
    if (!PyType_Check(value.ptr()) || !py::getattr(value, "__module__", py::none()).equal(modname)) {
      continue;
    }
    // A class of this module: its C++ methods.
    std::string cls_name = py::str(value.attr("__name__"));
    py::object owner = py::str(cls_name);
    for (py::handle entry : list_copy(value.attr("__dict__").attr("items")())) {
      py::object mkey = entry[py::int_(0)];
      py::object member = entry[py::int_(1)];
      std::string mname = py::str(mkey);
      if (mname.size() > 4 && mname.rfind("__", 0) == 0 && mname != "__init__" && mname != "__repr__")
        continue;
      if (mname.rfind("_pybind11_", 0) == 0) continue;  // pybind11's own
      py::object wrapped;
      std::string qual = cls_name + "." + mname;
      if (PyInstanceMethod_Check(member.ptr()) &&
          is_cpp_function(PyInstanceMethod_GET_FUNCTION(member.ptr()))) {
        wrapped = make_routine(PyInstanceMethod_GET_FUNCTION(member.ptr()), mname, qual, modname, owner);
      } else if (py::isinstance(member, staticmethod) || py::isinstance(member, classmethod)) {
        py::object inner = member.attr("__func__");
        if (!is_cpp_function(inner)) continue;
        py::object decorator = py::isinstance(member, staticmethod) ? staticmethod : classmethod;
        wrapped = decorator(make_routine(inner, mname, qual, modname, owner));
      } else {
        continue;
      }
      py::setattr(value, mkey, wrapped);
    }
  }
}

bool calls_cpp_function(py::handle obj, py::handle func) {
  if (obj.is(func)) return true;
  return Py_TYPE(obj.ptr()) == routine_type() && reinterpret_cast<Routine*>(obj.ptr())->func == func.ptr();
}

}  // namespace vx
