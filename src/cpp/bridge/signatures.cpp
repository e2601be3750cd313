#include "bridge/signatures.hpp"

#include <cstddef>
#include <string>

namespace vx {
namespace {

using namespace pybind11::literals;

// ---------------------------------------------------------------------------------
// Signatures from the stub

// Text shown as it is where inspect shows repr(): annotations and defaults of a stub
// ("Optional[str]", "...") are source text, not values.
py::object source_text(const std::string& text) {
  static PyObject* cls = [] {
    py::dict body;
    body["__slots__"] = py::tuple();
    body["__repr__"] = py::module_::import("builtins").attr("str").attr("__str__");
    body["__module__"] = py::str("vorlex");
    py::object t = py::module_::import("builtins").attr("type")("source_text",
                                                                 py::make_tuple(py::type::of(py::str())),
                                                                 body);
    return t.release().ptr();  // kept for the life of the process
  }();
  return py::reinterpret_borrow<py::object>(cls)(py::str(text));
}

// Parsed stubs by module name (None where a module has none).
py::dict& stub_trees() {
  static auto* trees = new py::dict();  // kept for the life of the process
  return *trees;
}

py::object stub_tree(const std::string& module) {
  py::dict& trees = stub_trees();
  py::str key(module);
  if (trees.contains(key)) return trees[key];
  py::object tree = py::none();
  try {
    py::object mod = py::module_::import("sys").attr("modules").attr("get")(key);
    py::object file = mod.is_none() ? py::object(py::none()) : py::getattr(mod, "__file__", py::none());
    if (!file.is_none()) {
      py::object path = py::module_::import("pathlib").attr("Path")(file);
      std::string last = module.substr(module.rfind('.') + 1);
      py::object stub = path.attr("with_name")(py::str(last + ".pyi"));
      if (py::bool_(stub.attr("is_file")())) {
        tree = py::module_::import("ast").attr("parse")(
            stub.attr("read_text")("encoding"_a = "utf-8"));
      }
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    tree = py::none();  // an unreadable stub: no signature, the call still works
  }
  trees[key] = tree;
  return tree;
}

py::object find_def(py::handle body, const std::string& name, const char* kind) {
  py::object found = py::none();
  for (py::handle node : list_copy(body)) {
    std::string type = py::str(py::type::handle_of(node).attr("__name__"));
    if (type == kind || (std::string(kind) == "FunctionDef" && type == "AsyncFunctionDef")) {
      if (std::string(py::str(node.attr("name"))) == name) {
        found = py::reinterpret_borrow<py::object>(node);
        // Of several (@overload), the first describes the call well enough.
        break;
      }
    }
  }
  return found;
}

py::object annotation_of(py::handle node, const py::module_& ast) {
  if (node.is_none()) return py::module_::import("inspect").attr("Parameter").attr("empty");
  return source_text(py::str(ast.attr("unparse")(node)));
}

py::object default_of(py::handle node, const py::module_& ast) {
  try {
    py::object value = ast.attr("literal_eval")(node);
    if (value.is(py::ellipsis())) return source_text("...");  // a stub's "not said here"
    return value;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return source_text(py::str(ast.attr("unparse")(node)));
  }
}

py::object build_signature(const py::object& fn) {
  py::module_ ast = py::module_::import("ast");
  py::object inspect = py::module_::import("inspect");
  py::object Parameter = inspect.attr("Parameter");
  py::object a = fn.attr("args");
  py::list params;
  py::list positional;
  for (py::handle p : list_copy(a.attr("posonlyargs"))) positional.append(p);
  const size_t posonly = positional.size();
  for (py::handle p : list_copy(a.attr("args"))) positional.append(p);
  py::list defaults = list_copy(a.attr("defaults"));
  const size_t first_default = positional.size() - std::min(positional.size(), defaults.size());
  for (size_t i = 0; i < positional.size(); ++i) {
    py::handle p = positional[i];
    py::object kind = Parameter.attr(i < posonly ? "POSITIONAL_ONLY" : "POSITIONAL_OR_KEYWORD");
    py::dict kw;
    kw["annotation"] = annotation_of(p.attr("annotation"), ast);
    if (i >= first_default) kw["default"] = default_of(defaults[i - first_default], ast);
    params.append(Parameter(p.attr("arg"), kind, **kw));
  }
  if (!a.attr("vararg").is_none()) {
    py::object v = a.attr("vararg");
    params.append(Parameter(v.attr("arg"), Parameter.attr("VAR_POSITIONAL"),
                            "annotation"_a = annotation_of(v.attr("annotation"), ast)));
  }
  py::list kwonly = list_copy(a.attr("kwonlyargs"));
  py::list kwdefaults = list_copy(a.attr("kw_defaults"));
  for (size_t i = 0; i < kwonly.size(); ++i) {
    py::handle p = kwonly[i];
    py::dict kw;
    kw["annotation"] = annotation_of(p.attr("annotation"), ast);
    if (i < kwdefaults.size() && !kwdefaults[i].is_none()) kw["default"] = default_of(kwdefaults[i], ast);
    params.append(Parameter(p.attr("arg"), Parameter.attr("KEYWORD_ONLY"), **kw));
  }
  if (!a.attr("kwarg").is_none()) {
    py::object v = a.attr("kwarg");
    params.append(Parameter(v.attr("arg"), Parameter.attr("VAR_KEYWORD"),
                            "annotation"_a = annotation_of(v.attr("annotation"), ast)));
  }
  return inspect.attr("Signature")(params,
                                   "return_annotation"_a = annotation_of(fn.attr("returns"), ast));
}

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
  PyObject* weakrefs;   // weak references to it (functools caches, registries), or NULL
};

PyObject* signature_of(Routine* r) {
  if (r->signature) return r->signature;
  py::object sig = py::none();
  try {
    py::object tree = stub_tree(py::str(r->module));
    if (!tree.is_none()) {
      py::object body = tree.attr("body");
      if (r->owner != Py_None) {
        py::object cls = find_def(body, py::str(r->owner), "ClassDef");
        body = cls.is_none() ? py::object(py::none()) : py::object(cls.attr("body"));
      }
      if (!body.is_none()) {
        py::object fn = find_def(body, py::str(r->name), "FunctionDef");
        if (!fn.is_none()) sig = build_signature(fn);
      }
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    sig = py::none();  // a stub this code cannot read: no signature
  }
  r->signature = sig.release().ptr();
  return r->signature;
}

bool is_dispatch_failure(PyObject* value) {
  PyObject* text = PyObject_Str(value);
  if (!text) {
    PyErr_Clear();
    return false;
  }
  const char* s = PyUnicode_AsUTF8(text);
  bool found = s && (std::string_view(s).find("incompatible function arguments") != std::string_view::npos ||
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
        PyErr_SetString(PyExc_TypeError,
                        (std::string(py::str(r->qualname)) + "() " + why).c_str());
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

PyObject* get_signature(PyObject* self, void*) {
  try {
    return Py_NewRef(signature_of(reinterpret_cast<Routine*>(self)));
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

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
  PyObject* out = rest.empty() ? Py_NewRef(Py_None)
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
      if (mname.size() > 4 && mname.rfind("__", 0) == 0 && mname != "__init__" && mname != "__repr__") continue;
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
  return Py_TYPE(obj.ptr()) == routine_type() &&
         reinterpret_cast<Routine*>(obj.ptr())->func == func.ptr();
}

}  // namespace vx
