// Evaluation half of the str.format rules; the grammar is core/str_format.
#include "reader/template.hpp"

#include <string>

#include "core/str_format.hpp"

namespace vx::reader {

namespace sf = vx::core::strfmt;

namespace {

[[noreturn]] void throw_py(PyObject* type, py::handle value) {
  PyErr_SetObject(type, value.ptr());
  throw py::error_already_set();
}

[[noreturn]] void value_error(sf::Err e) { throw_py(PyExc_ValueError, py::str(sf::message(e))); }

// A template that mixes automatic ("{}") and manual ("{0}") field numbering: formats
// a minimal template with the same mix, which raises the interpreter's ValueError.
[[noreturn]] void numbering_switch_error(const char* mix) {
  py::str(mix).attr("format")(0);
  throw py::value_error("field numbering mixes automatic and manual fields");
}

py::object check(PyObject* r) {
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// Automatic ("{}") and manual ("{0}") numbering may not be mixed in one template.
struct AutoNumber {
  enum { Init, Auto, Manual } state = Init;
  int64_t next = 0;
};

struct Formatter {
  std::string_view field;
  py::handle value;
  AutoNumber numbering;

  // The object a field name designates; positional fields have no arguments to read.
  py::object field_object(std::string_view name) {
    sf::FieldSplit split = sf::split_field_name(name);
    int64_t index = sf::get_integer(split.first);
    if (index == -2) value_error(sf::Err::TooManyDigits);
    bool empty = split.first.empty();
    bool numeric = empty || index != -1;
    if (numeric) {
      if (numbering.state == AutoNumber::Init) {
        numbering.state = empty ? AutoNumber::Auto : AutoNumber::Manual;
      }
      // Mixing "{0}" and "{}" fails with the interpreter's own ValueError: the same
      // two-field mix is handed to str.format, so the text is exactly Python's.
      if (numbering.state == AutoNumber::Manual && empty) numbering_switch_error("{0}{}");
      if (numbering.state == AutoNumber::Auto && !empty) numbering_switch_error("{}{0}");
      if (empty) index = numbering.next++;
      std::string msg = "Replacement index " + std::to_string(index) +
                        " out of range for positional args tuple";
      throw_py(PyExc_IndexError, py::str(msg));
    }
    if (split.first != field) throw_py(PyExc_KeyError, vx::from_utf8(split.first));
    py::object obj = py::reinterpret_borrow<py::object>(value);
    sf::FieldNameIterator rest(split.rest);
    sf::Accessor acc;
    int r;
    while ((r = rest.next(acc)) == 2) {
      py::str key = vx::from_utf8(acc.name);
      if (acc.is_attribute) {
        obj = check(PyObject_GetAttr(obj.ptr(), key.ptr()));
        continue;
      }
      int64_t idx = sf::get_integer(acc.name);
      if (idx == -2) value_error(sf::Err::TooManyDigits);
      if (idx == -1) {
        obj = check(PyObject_GetItem(obj.ptr(), key.ptr()));
      } else if (PySequence_Check(obj.ptr())) {
        obj = check(PySequence_GetItem(obj.ptr(), static_cast<Py_ssize_t>(idx)));
      } else {
        py::int_ i(static_cast<Py_ssize_t>(idx));
        obj = check(PyObject_GetItem(obj.ptr(), i.ptr()));
      }
    }
    if (r == 0) value_error(rest.error());
    return obj;
  }

  static py::object convert(py::object obj, char32_t conversion) {
    switch (conversion) {
      case U'r': return check(PyObject_Repr(obj.ptr()));
      case U's': return check(PyObject_Str(obj.ptr()));
      case U'a': return check(PyObject_ASCII(obj.ptr()));
      default: break;
    }
    char buf[64];
    if (conversion > 32 && conversion < 127) {
      std::snprintf(buf, sizeof buf, "Unknown conversion specifier %c", static_cast<char>(conversion));
    } else {
      std::snprintf(buf, sizeof buf, "Unknown conversion specifier \\x%x",
                    static_cast<unsigned>(conversion));
    }
    throw_py(PyExc_ValueError, py::str(buf));
  }

  // CPython's build_string: nested fields of a format spec are expanded one level deep.
  void build(std::string_view tmpl, int depth, std::string& out) {
    if (depth <= 0) throw_py(PyExc_ValueError, py::str("Max string recursion exceeded"));
    sf::MarkupIterator it(tmpl);
    sf::Chunk chunk;
    int r;
    while ((r = it.next(chunk)) == 2) {
      out.append(chunk.literal);
      if (!chunk.field_present) continue;
      py::object obj = field_object(chunk.field_name);
      if (chunk.conversion != 0) obj = convert(obj, chunk.conversion);
      std::string spec;
      if (chunk.spec_needs_expanding) {
        build(chunk.format_spec, depth - 1, spec);
      } else {
        spec.assign(chunk.format_spec);
      }
      if (spec.empty() && PyUnicode_CheckExact(obj.ptr())) {
        out += vx::to_utf8(obj);
      } else {
        py::str spec_obj = vx::from_utf8(spec);
        py::object s = check(PyObject_Format(obj.ptr(), spec_obj.ptr()));
        out += vx::to_utf8(s);
      }
    }
    if (r == 0) value_error(it.error());
  }
};

}  // namespace

py::str format_template(py::handle tmpl, std::string_view field, py::handle value) {
  if (!PyUnicode_Check(tmpl.ptr())) {
    // What template.format(...) raises on an object that is not text.
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute 'format'",
                 Py_TYPE(tmpl.ptr())->tp_name);
    throw py::error_already_set();
  }
  std::string source = vx::to_utf8(tmpl);
  Formatter f{field, value, {}};
  std::string out;
  out.reserve(source.size() + (PyUnicode_Check(value.ptr()) ? PyUnicode_GET_LENGTH(value.ptr()) : 0));
  f.build(source, 2, out);
  return vx::from_utf8(out);
}

}  // namespace vx::reader
