// vorlex._records: the rules behind the package records (vorlex.models), which are
// declarative pydantic classes that call in here.
//
//   page_indices(start, end, from_position, total_pages)  PageRange.get_page_indices
//   question_fingerprint(question)                         Question.cache_fingerprint
#include "bridge/bridge.hpp"
#include "bridge/hashing.hpp"
#include "bridge/signatures.hpp"
#include "core/page_range.hpp"

namespace {

bool fits_64(py::handle v) {
  int overflow = 0;
  PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (PyErr_Occurred()) throw py::error_already_set();
  return overflow == 0;
}

// The same arithmetic on Python ints, for numbers beyond 64 bits.
py::tuple page_indices_big(py::object s, py::object e, bool from_end, py::object total) {
  py::int_ one(1), zero(0);
  if (s > e) std::swap(s, e);
  if (s < one) s = one;
  if (e < one) e = one;
  py::list out;
  if (total <= zero) return py::make_tuple(out, false);
  const bool fits = e <= total;
  py::object last = e < total ? e : total;
  if (s > last) return py::make_tuple(out, false);
  if (!from_end) {
    for (py::object p = s; p <= last; p = p + one) out.append(p - one);
  } else {
    for (py::object k = last; k >= s; k = k - one) out.append(total - k);
  }
  return py::make_tuple(out, fits);
}

py::tuple page_indices(py::object start, py::object end, py::object from_position, py::object total_pages) {
  for (auto [v, name] : {std::pair{start, "start"}, {end, "end"}, {total_pages, "total_pages"}}) {
    if (!vx::is_int(v)) vx::raise_type_error(name, "int", v);
  }
  std::string pos = vx::arg_str(from_position, "from_position");
  if (pos != "start" && pos != "end") {
    throw py::value_error("from_position must be 'start' or 'end', not '" + pos + "'");
  }
  if (!fits_64(start) || !fits_64(end) || !fits_64(total_pages)) {
    return page_indices_big(start, end, pos == "end", total_pages);
  }
  long long s = vx::arg_int(start, "start");
  long long e = vx::arg_int(end, "end");
  long long total = vx::arg_int(total_pages, "total_pages");
  auto [idx, fits] = vx::core::page_indices(s, e, pos == "end", total);
  py::list out;
  for (long long i : idx) out.append(i);
  return py::make_tuple(out, fits);
}

// A stable digest of everything that changes a question's answer: ids, prompts,
// keywords, page range and the response model's qualified name and JSON schema.
std::string question_fingerprint(py::object q) {
  py::object json = vx::import("json");
  py::object cfg = q.attr("config");
  py::dict d;
  d["id"] = cfg.attr("id");
  d["name"] = cfg.attr("name");
  d["tag"] = py::getattr(cfg, "tag", py::none());
  // A token limit shapes the answer (it may be cut short); keys of questions without
  // one stay as they were.
  py::object max_tokens = py::getattr(cfg, "max_tokens", py::none());
  if (!max_tokens.is_none()) d["max_tokens"] = max_tokens;
  d["system_prompt"] = q.attr("system_prompt");
  d["user_prompt"] = q.attr("user_prompt");
  d["keywords"] = vx::list_copy(q.attr("keywords"));
  py::object pr = q.attr("page_range");
  if (pr.is_none()) {
    d["page_range"] = py::none();
  } else {
    d["page_range"] = py::make_tuple(pr.attr("start"), pr.attr("end"), pr.attr("from_position"));
  }
  py::object rm = q.attr("response_model");
  if (rm.is_none()) {
    d["response_model"] = py::none();
  } else {
    py::object schema = py::none();
    if (py::hasattr(rm, "model_json_schema")) {
      try {
        schema = rm.attr("model_json_schema")();
      } catch (py::error_already_set&) {
        schema = py::none();  // a model without a schema is still told apart by name
      }
    }
    d["response_model"] = py::make_tuple(
        py::str(py::getattr(rm, "__module__", py::str(""))) + py::str(".") +
            py::str(py::getattr(rm, "__qualname__", py::str(vx::type_name(rm)))),
        schema);
  }
  std::string text = py::cast<std::string>(
      json.attr("dumps")(d, py::arg("sort_keys") = true, py::arg("ensure_ascii") = true,
                         py::arg("default") = py::module_::import("builtins").attr("repr")));
  return vx::sha256_hex(text);
}

}  // namespace

PYBIND11_MODULE(_records, m) {
  m.doc() = "Rules behind the package records.";
  m.def("page_indices", &page_indices, py::arg("start"), py::arg("end"), py::arg("from_position"),
        py::arg("total_pages"),
        "(0-based page indices in reading order, whether the range fits the document)");
  m.def("question_fingerprint", &question_fingerprint, py::arg("question"),
        "SHA-256 hex digest of a question's settings, for cache keys.");
  vx::python_signatures(m);
}
