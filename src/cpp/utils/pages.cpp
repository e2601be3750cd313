// filter_relevant_pages: the pages a question reads, by its keywords. The text work
// (normalising every page and searching it) runs in core/relevance without the GIL.
#include <deque>

#include "core/relevance.hpp"
#include "utils/utils.hpp"

namespace vx::utils {

namespace {

// UTF-8 views of page texts. Most views point into the str objects themselves
// (CPython keeps their UTF-8 form), which `keep` holds alive; text with lone
// surrogates is copied into `copies`.
struct TextViews {
  std::vector<py::object> keep;
  std::deque<std::string> copies;
  std::vector<std::string_view> views;

  void add(py::handle text) {
    keep.push_back(py::reinterpret_borrow<py::object>(text));
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (p) {
      views.emplace_back(p, static_cast<size_t>(n));
      return;
    }
    PyErr_Clear();
    copies.push_back(vx::to_utf8(text));
    views.emplace_back(copies.back());
  }
};

py::tuple filter_relevant_pages(py::object pages_obj, py::object keywords_obj) {
  py::list pages = vx::arg_list(pages_obj, "pages");
  TextViews keywords;
  if (!keywords_obj.is_none()) {
    py::list kws = vx::arg_list(keywords_obj, "keywords");
    for (py::handle k : kws) {
      if (!vx::is_str(k)) {
        throw py::type_error("argument 'keywords' must be a list of str, found " + vx::type_name(k));
      }
      keywords.add(k);
    }
  }
  TextViews texts;
  texts.keep.reserve(pages.size());
  texts.views.reserve(pages.size());
  py::str empty("");
  for (py::handle page : pages) {
    if (!py::hasattr(page, "text")) {
      throw py::type_error("argument 'pages' must be a list of page documents with a text, found " +
                           vx::type_name(page));
    }
    py::object text = page.attr("text");
    if (text.is_none()) text = empty;
    if (!vx::is_str(text)) {
      throw py::type_error("page text must be str, not " + vx::type_name(text));
    }
    texts.add(text);
  }

  vx::core::Relevance r;
  {
    py::gil_scoped_release nogil;
    r = vx::core::select_relevant(texts.views, keywords.views);
  }

  py::list selected;
  for (size_t i : r.selected) selected.append(pages[i]);
  py::dict hits;
  for (size_t k = 0; k < keywords.keep.size(); ++k) {
    hits[keywords.keep[k]] = py::int_(r.hits[k]);
  }
  py::dict summary;
  summary["total_pages"] = py::int_(pages.size());
  summary["relevant_pages"] = py::int_(r.selected.size());
  summary["keyword_hits"] = hits;
  return py::make_tuple(selected, summary);
}

}  // namespace

void init_pages(py::module_& m) {
  m.def("filter_relevant_pages", &filter_relevant_pages, py::arg("pages"), py::arg("keywords") = py::none(),
        "(pages that contain at least one keyword, summary); no keywords selects every "
        "page. Text and keywords are compared without accents and in lower case.");
}

}  // namespace vx::utils
