// The question registry: questions by id in insertion order (a dict, so replacing a
// question keeps its first position), the optional classification, and the cache's
// two maintenance operations. Mutators return the reader so that calls chain.
#include "reader/reader.hpp"
#include "reader/template.hpp"

namespace vx::reader {

namespace {

py::list questions(py::object self) { return py::list(self.attr("_questions").attr("values")()); }

std::string question_label(py::handle id) { return "Pergunta " + vx::safe_str(py::repr(id)); }

py::object add_question(py::object self, py::object question) {
  // Read the id and check the prompt before touching the registry: a question without
  // config.id, or whose prompt could never carry the document, leaves it unchanged.
  py::object id = question.attr("config").attr("id");
  check_template(py::getattr(question, "user_prompt", py::none()), "texto", question_label(id));
  self.attr("_questions")[id] = question;
  if (verbose(self)) logger.info(("Pergunta adicionada: " + vx::safe_str(id)).c_str());
  return self;
}

py::object add_questions(py::object self, py::object items) {
  if (!PyList_Check(items.ptr())) vx::raise_type_error("questions", "list", items);
  py::list snapshot = vx::list_copy(items);  // walked as given, whatever add_question does
  py::object add = self.attr("add_question");
  for (py::handle q : snapshot) add(q);
  return self;
}

py::object remove_question(py::object self, py::object question_id) {
  self.attr("_questions").attr("pop")(question_id, py::none());
  return self;
}

py::object clear_questions(py::object self) {
  self.attr("_questions").attr("clear")();
  return self;
}

py::object set_classification(py::object self, py::object classification) {
  check_template(py::getattr(classification, "user_prompt", py::none()), "dados", "Classificação");
  self.attr("_classification") = classification;
  return self;
}

py::object clear_cache(py::object self) {
  py::object cache = py::getattr(self, "_cache", py::none());
  if (!cache.is_none()) cache.attr("clear")();
  return self;
}

py::object cache_stats(py::object self) {
  py::object cache = py::getattr(self, "_cache", py::none());
  if (!cache.is_none()) return cache.attr("stats")();
  py::dict d;
  d["hits"] = 0;
  d["misses"] = 0;
  d["size"] = 0;
  return d;
}

py::object create_question(py::object question_id, py::object name, py::object user_prompt,
                           py::object system_prompt, py::object keywords, py::object page_range,
                           py::object response_model) {
  vx::arg_str(question_id, "question_id");
  vx::arg_str(name, "name");
  vx::arg_str(user_prompt, "user_prompt");
  vx::arg_str(system_prompt, "system_prompt");
  if (!keywords.is_none() && !PyList_Check(keywords.ptr()))
    vx::raise_type_error("keywords", "list or None", keywords);
  py::object kw = (keywords.is_none() || py::len(keywords) == 0) ? py::list() : keywords;
  check_template(user_prompt, "texto", question_label(question_id));
  py::object config = ns.call("QuestionConfig", py::arg("id") = question_id, py::arg("name") = name);
  return ns.call("Question", py::arg("config") = config, py::arg("system_prompt") = system_prompt,
                 py::arg("user_prompt") = user_prompt, py::arg("keywords") = kw,
                 py::arg("page_range") = page_range, py::arg("response_model") = response_model);
}

py::list select_questions(py::object self, py::object question_ids) {
  if (!question_ids.is_none() && !PyList_Check(question_ids.ptr()))
    vx::raise_type_error("question_ids", "list or None", question_ids);
  py::object registry = self.attr("_questions");
  py::list selected;
  if (!question_ids.is_none() && py::len(question_ids) > 0) {
    py::list ids = vx::list_copy(question_ids);  // an id's __hash__ / __eq__ runs Python
    std::string unknown;
    for (py::handle id : ids) {
      int has = PySequence_Contains(registry.ptr(), id.ptr());
      if (has < 0) throw py::error_already_set();
      if (has) selected.append(registry[id]);
      else unknown += (unknown.empty() ? "" : ", ") + vx::safe_str(py::repr(id));
    }
    // A typo in an id is not "no question configured": the registry has questions.
    if (!unknown.empty() && py::len(registry) > 0) {
      std::string known;
      for (py::handle k : py::list(registry.attr("keys")()))
        known += (known.empty() ? "" : ", ") + vx::safe_str(py::repr(k));
      vx::raise_value_error("Pergunta(s) desconhecida(s): " + unknown + ". Registradas: " + known);
    }
  } else {
    for (py::handle q : registry.attr("values")()) selected.append(q);
  }
  if (selected.empty())
    vx::raise_vorlex("ProcessingError", "Nenhuma pergunta configurada. Use add_question() primeiro.");
  return selected;
}

}  // namespace

void init_registry(vx::PyClass& cls) {
  cls.def_property_readonly("questions", &questions,
                            "The registered questions, in registry order (a new list).");
  cls.def("add_question", &add_question, py::arg("self"), py::arg("question"),
          "Registers the question under its config.id (replacing one with the same id).");
  cls.def("add_questions", &add_questions, py::arg("self"), py::arg("questions"),
          "Registers every question of the list, in order.");
  cls.def("remove_question", &remove_question, py::arg("self"), py::arg("question_id"),
          "Removes the question with that id, if registered.");
  cls.def("clear_questions", &clear_questions, py::arg("self"), "Empties the registry.");
  cls.def("set_classification", &set_classification, py::arg("self"), py::arg("classification"),
          "Sets the classification run after the questions.");
  cls.def("clear_cache", &clear_cache, py::arg("self"), "Empties the result cache, if any.");
  cls.def("cache_stats", &cache_stats, py::arg("self"),
          "The result cache's statistics (hits, misses, size); zeros without a cache.");
  cls.def_static("create_question", &create_question, py::arg("question_id"), py::arg("name"),
                 py::arg("user_prompt"),
                 py::arg("system_prompt") = "Você é um especialista em extração de informações.",
                 py::arg("keywords") = py::none(), py::arg("page_range") = py::none(),
                 py::arg("response_model") = py::none(),
                 "Builds a Question; the template's {texto} receives the document text.");
  cls.def("_select_questions", &select_questions, py::arg("self"), py::arg("question_ids") = py::none());
}

}  // namespace vx::reader
