// CNPJ number rules: thin shims over core/br_cnpj.
#include <vector>

#include "contract/countries/br/cnpj/module.hpp"
#include "core/br_cnpj.hpp"

namespace vx::cnpj {

namespace {

py::str limpar_cnpj(py::object cnpj) {
  return br_py::from_u32(br::clean_cnpj(arg_text_or_none(cnpj, "cnpj")));
}

bool validar_cnpj(py::object cnpj) { return br::is_valid_cnpj(arg_text_or_none(cnpj, "cnpj")); }

py::object formatar_cnpj(py::object cnpj) {
  std::u32string text = arg_text_or_none(cnpj, "cnpj");
  std::u32string cleaned = br::clean_cnpj(text);
  if (cleaned.size() != 14) {
    if (text.empty()) return py::str("");
    return cnpj;  // the caller's text, punctuation and all
  }
  return br_py::from_u32(br::format_clean_cnpj(cleaned));
}

py::str limpar_cnpj_alfanumerico(py::object cnpj) {
  return br_py::from_u32(br::clean_alphanumeric_cnpj(arg_text_or_none(cnpj, "cnpj")));
}

bool validar_cnpj_alfanumerico(py::object cnpj) {
  return br::is_valid_alphanumeric_cnpj(arg_text_or_none(cnpj, "cnpj"));
}

py::object formatar_cnpj_alfanumerico(py::object cnpj) {
  std::u32string text = arg_text_or_none(cnpj, "cnpj");
  std::u32string cleaned = br::clean_alphanumeric_cnpj(text);
  if (cleaned.size() != 14) {
    if (text.empty()) return py::str("");
    return cnpj;
  }
  return br_py::from_u32(br::format_clean_cnpj(cleaned));
}

py::str limpar_para_consulta(py::object cnpj) {
  return br_py::from_u32(br::clean_for_lookup(arg_text_or_none(cnpj, "cnpj")));
}

py::str calcular_digito_cnpj(py::object base, py::object pesos) {
  if (!is_str(base)) raise_type_error("base", "str", base);
  if (!PyList_Check(pesos.ptr())) raise_type_error("pesos", "list", pesos);
  std::vector<int> mod11;
  py::list weights_copy = vx::list_copy(pesos);  // a weight's arithmetic may run Python
  mod11.reserve(weights_copy.size());
  py::int_ eleven(11);
  for (py::handle w : weights_copy) {
    if (!PyLong_Check(w.ptr())) {
      throw py::type_error("argument 'pesos' must be a list of int, found " + type_name(w));
    }
    // Reduced with Python's %, so weights of any size and sign give the digit the
    // plain sum would.
    py::object r = py::reinterpret_steal<py::object>(PyNumber_Remainder(w.ptr(), eleven.ptr()));
    if (!r) throw py::error_already_set();
    // An int subclass may answer % with anything: only a remainder of 0..10 counts.
    int overflow = 0;
    long rem = PyLong_Check(r.ptr()) ? PyLong_AsLongAndOverflow(r.ptr(), &overflow) : -1;
    if (rem == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) rem = -1;
    if (rem < 0 || rem > 10) {
      throw py::value_error("weight " + to_utf8(py::repr(w)) + " % 11 gave " + to_utf8(py::repr(r)) +
                            ", not a remainder of 11");
    }
    mod11.push_back(static_cast<int>(rem));
  }
  std::u32string text = br_py::to_u32(base);
  size_t bad_index = 0;
  auto d = br::check_digit(text, mod11, &bad_index);
  if (!d) {
    py::str ch = br_py::from_u32(std::u32string_view(text).substr(bad_index, 1));
    throw py::value_error("invalid literal for int() with base 10: " + to_utf8(py::repr(ch)));
  }
  return py::str(std::string(1, *d));
}

}  // namespace

void init_numbers(py::module_& m) {
  m.def("limpar_cnpj", &limpar_cnpj, py::arg("cnpj"),
        "The decimal digits of `cnpj`, everything else dropped; '' for None or ''.");
  m.def("_calcular_digito_cnpj", &calcular_digito_cnpj, py::arg("base"), py::arg("pesos"),
        "Modulus-11 check digit of the digits of `base` under the weights `pesos`.");
  m.def("validar_cnpj", &validar_cnpj, py::arg("cnpj"),
        "True when `cnpj` cleans to 14 digits, not all equal, with matching check digits.");
  m.def("formatar_cnpj", &formatar_cnpj, py::arg("cnpj"),
        "The CNPJ as XX.XXX.XXX/XXXX-XX; the input unchanged when it does not clean to "
        "14 digits ('' for None or '').");
  m.def("limpar_cnpj_alfanumerico", &limpar_cnpj_alfanumerico, py::arg("cnpj"),
        "`cnpj` upper-cased with only 0-9 and A-Z kept; '' for None or ''.");
  m.def("validar_cnpj_alfanumerico", &validar_cnpj_alfanumerico, py::arg("cnpj"),
        "True for a valid CNPJ in the alphanumeric format (twelve characters of 0-9 and "
        "A-Z, two numeric check digits); numeric CNPJs are valid as by validar_cnpj.");
  m.def("_limpar_para_consulta", &limpar_para_consulta, py::arg("cnpj"),
        "The CNPJ as the registry is asked for it: a valid alphanumeric CNPJ with letters "
        "by the alphanumeric rule, any other as its digits (limpar_cnpj).");
  m.def("formatar_cnpj_alfanumerico", &formatar_cnpj_alfanumerico, py::arg("cnpj"),
        "XX.XXX.XXX/XXXX-XX of the cleaned 14 characters; the input unchanged otherwise "
        "('' for None).");
}

}  // namespace vx::cnpj
