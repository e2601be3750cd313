// Signatures read from a module's stub (<module>.pyi beside the extension).
//
// A C++ function compiled by pybind11 knows its parameters only as `object`; the stub
// says what its users see: names, kinds, defaults and annotations. The stub is parsed
// with the interpreter's own `ast` when a signature is first asked for, once per module,
// and the parsed tree is kept for the life of the process. Annotations and defaults that
// are not plain literals are shown as the stub's source text.
#include "bridge/stubs.hpp"

#include <cstddef>
#include <string>

namespace vx {
namespace {

using namespace pybind11::literals;

// Text shown as it is where inspect shows repr(): annotations and defaults of a stub
// ("Optional[str]", "...") are source text, not values.
py::object source_text(const std::string& text) {
  static PyObject* cls = [] {
    py::dict body;
    body["__slots__"] = py::tuple();
    body["__repr__"] = py::module_::import("builtins").attr("str").attr("__str__");
    body["__module__"] = py::str("vorlex");
    py::object t = py::module_::import("builtins")
                       .attr("type")("source_text", py::make_tuple(py::type::of(py::str())), body);
    return t.release().ptr();  // kept for the life of the process
  }();
  return py::reinterpret_borrow<py::object>(cls)(py::str(text));
}

// The stub file of a loaded module (a pathlib.Path), or None when it has none.
py::object stub_path(const std::string& module) {
  py::object mod = py::module_::import("sys").attr("modules").attr("get")(py::str(module));
  py::object file = mod.is_none() ? py::object(py::none()) : py::getattr(mod, "__file__", py::none());
  if (file.is_none()) return py::none();
  py::object path = py::module_::import("pathlib").attr("Path")(file);
  std::string last = module.substr(module.rfind('.') + 1);
  py::object stub = path.attr("with_name")(py::str(last + ".pyi"));
  return py::bool_(stub.attr("is_file")()) ? stub : py::object(py::none());
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
    py::object stub = stub_path(module);
    if (!stub.is_none()) {
      tree = py::module_::import("ast").attr("parse")(stub.attr("read_text")("encoding"_a = "utf-8"));
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
  return inspect.attr("Signature")(params, "return_annotation"_a = annotation_of(fn.attr("returns"), ast));
}

}  // namespace

StubDef stub_def(const std::string& module, const std::string& owner, const std::string& name) {
  StubDef out;
  py::object tree = stub_tree(module);
  if (tree.is_none()) return out;
  py::object body = tree.attr("body");
  if (!owner.empty()) {
    py::object cls = find_def(body, owner, "ClassDef");
    if (cls.is_none()) return out;
    body = cls.attr("body");
  }
  py::object fn = find_def(body, name, "FunctionDef");
  if (fn.is_none()) return out;
  out.signature = build_signature(fn);
  py::object path = stub_path(module);
  if (!path.is_none()) out.path = py::str(path);
  out.line = py::cast<int>(fn.attr("lineno"));
  return out;
}

}  // namespace vx
