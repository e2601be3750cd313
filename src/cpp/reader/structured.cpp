// Structured answers on any OpenAI-compatible server.
//
// OpenAI, Azure, vLLM, Ollama and llama-server accept response_format json_schema (the
// client's parse path); llama-cpp-python's server accepts only "text" and
// "json_object" (with an optional "schema") and refuses json_schema with a 500; some
// servers honour neither. A reader asks in its structured_output mode; in "auto" a
// refused response format is asked again at once in the next mode, and the mode that
// worked is remembered per reader, server and model, so the refusal costs one request
// per reader. A refusal is a property of the server, not a transient failure: in a mode
// the caller chose it ends the question (ResponseFormatError), never retried.
//
// Whatever the mode, the answer becomes the question's response model the same way:
// the client's parsed value, or the first complete JSON object of the text (code fences
// and words around it allowed) through model_validate_json.
#include "reader/structured.hpp"

#include <string_view>

#include "reader/calls.hpp"
#include "reader/reader.hpp"
#include "reader/steps.hpp"

namespace vx::reader {

namespace {

constexpr const char* kSchemaInstruction =
    "\n\nResponda somente com um objeto JSON válido, sem texto fora dele, que siga este "
    "JSON Schema:\n";

// The first complete JSON object of a text: from its first '{' to the brace that closes
// it, strings and escapes respected. The whole text when there is none (a cut answer),
// so that validation says what is wrong with it.
std::string_view first_json_object(std::string_view text) {
  const size_t open = text.find('{');
  if (open == std::string_view::npos) return text;
  int depth = 0;
  bool in_string = false, escaped = false;
  for (size_t i = open; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    else if (c == '{') ++depth;
    else if (c == '}' && --depth == 0) return text.substr(open, i - open + 1);
  }
  return text.substr(open);
}

// The warning of "auto" when a server refuses a response format and the next mode is
// asked.
void log_mode_change(const std::string& refused, const std::string& next) {
  logger.warning("O servidor recusou o formato de resposta %s; perguntando no modo %s", py::str(refused),
                 py::str(next));
}

// ResponseFormatError for a refusal in a mode the caller chose (never retried).
[[noreturn]] void raise_format_refused(const std::string& mode, py::handle cause) {
  vx::raise_from(vx::error_class("ResponseFormatError"),
                 "O servidor recusou o formato de resposta '" + mode + "' (" + vx::type_name(cause) + ": " +
                     vx::safe_str(cause) + "); use structured_output='auto', 'json_object' ou 'prompt'.",
                 cause);
}

py::object errors_of(py::handle error, bool with_input) {
  py::object errors = py::getattr(error, "errors", py::none());
  if (errors.is_none()) return py::none();
  if (with_input) return errors(py::arg("include_url") = false);
  return errors(py::arg("include_url") = false, py::arg("include_context") = false,
                py::arg("include_input") = false);
}

}  // namespace

std::string next_structured_mode(const std::string& mode) {
  if (mode == "json_schema") return "json_object";
  if (mode == "json_object") return "prompt";
  return "";
}

ModelRequest::ModelRequest(py::handle self, py::handle messages, py::handle response_model,
                           py::handle max_tokens)
    : self_(py::reinterpret_borrow<py::object>(self)),
      messages_(py::reinterpret_borrow<py::object>(messages)),
      response_model_(py::reinterpret_borrow<py::object>(response_model)) {
  structured_ = truthy(response_model);
  max_tokens_ = py::reinterpret_borrow<py::object>(max_tokens);
  if (max_tokens_.is_none()) max_tokens_ = py::getattr(self, "_max_tokens", py::none());
  model_ = self.attr("_model");  // read when the attempt runs
  // Google's calls take the response model directly: there is no mode to learn.
  if (structured_ && vx::safe_str(py::getattr(self, "_provider", py::none())) != "google") {
    py::object configured = py::getattr(self, "_structured_output", py::str("auto"));
    automatic_ = vx::safe_str(configured) == "auto";
  }
  if (automatic_) {
    py::object server = py::getattr(self, "_base_url", py::none());
    if (server.is_none()) server = self.attr("_provider");
    key_ = py::make_tuple(server, model_);
  }
}

std::string ModelRequest::first_mode() const {
  if (!structured_) return "";
  if (!automatic_) return vx::safe_str(self_.attr("_structured_output"));
  py::object modes = py::getattr(self_, "_structured_modes", py::none());
  if (!modes.is_none()) {
    py::object known = modes.attr("get")(key_);
    if (!known.is_none()) return vx::safe_str(known);
  }
  return "json_schema";
}

bool ModelRequest::mode_known() const {
  if (!automatic_ || !key_) return true;
  py::object modes = py::getattr(self_, "_structured_modes", py::none());
  return !modes.is_none() && !modes.attr("get")(key_).is_none();
}

bool learns_structured_mode(py::handle self, py::handle question) {
  py::object model = py::getattr(question, "response_model", py::none());
  if (!truthy(model)) return false;
  // The providers' own services take json_schema: only a server of the caller's own
  // (base_url) may refuse it, so only there is the first question asked alone.
  if (!truthy(py::getattr(self, "_base_url", py::none()))) return false;
  ModelRequest request(self, py::list(), model, py::none());
  return request.automatic() && !request.mode_known();
}

void ModelRequest::remember(const std::string& mode) const {
  if (!automatic_ || !key_) return;
  py::object modes = py::getattr(self_, "_structured_modes", py::none());
  if (modes.is_none()) return;
  modes[key_] = py::str(mode);
}

py::list ModelRequest::messages_with_schema() {
  if (with_schema_) return with_schema_;
  py::object schema = json_schema();
  py::object json = vx::import("json");
  py::str instruction = vx::from_utf8(kSchemaInstruction);
  py::object schema_text = json.attr("dumps")(schema, py::arg("ensure_ascii") = false);
  py::list out;
  bool placed = false;
  for (py::handle m : messages_) {
    if (!placed && vx::is_mapping(m) && py::str("system").equal(vx::mapping_get(m, "role", py::none()))) {
      // A new mapping: the caller's message list is left as it was.
      py::dict copy = py::module_::import("builtins").attr("dict")(m);
      py::object content = vx::mapping_get(m, "content", py::str(""));
      copy["content"] = py::str(content) + instruction + schema_text;
      out.append(copy);
      placed = true;
    } else {
      out.append(m);
    }
  }
  if (!placed) {  // no system message: the schema gets one of its own, first
    py::dict system;
    system["role"] = "system";
    system["content"] = instruction.attr("lstrip")() + schema_text;
    out.insert(0, system);
  }
  with_schema_ = out;
  return out;
}

py::object ModelRequest::json_schema() {
  if (!schema_) schema_ = response_model_.attr("model_json_schema")();
  return schema_;
}

py::object ModelRequest::start(py::handle client, const std::string& mode) {
  py::dict kw;
  kw["model"] = model_;
  if (!structured_ || mode == "json_schema") {
    kw["messages"] = messages_;
  } else {
    kw["messages"] = messages_with_schema();
  }
  if (structured_ && mode == "json_schema") {
    kw["response_format"] = response_model_;
  } else if (structured_ && mode == "json_object") {
    py::dict format;
    format["type"] = "json_object";
    format["schema"] = json_schema();
    kw["response_format"] = format;
  }
  if (!max_tokens_.is_none()) kw["max_tokens"] = max_tokens_;
  py::object fn = (structured_ && mode == "json_schema")
                      ? structured_parse(client)
                      : py::object(client.attr("chat").attr("completions").attr("create"));
  PyObject* r = PyObject_Call(fn.ptr(), py::tuple().ptr(), kw.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

std::string ModelRequest::after_failure(const std::string& mode, py::handle error, py::object& cut) const {
  if ((cut = cut_short_completion(error))) {
    remember(mode);
    return "";
  }
  // "prompt" sends no response format: nothing there can have been refused.
  if (mode == "prompt" || !refuses_response_format(error)) return "";
  std::string next = automatic_ ? next_structured_mode(mode) : std::string();
  if (next.empty()) raise_format_refused(mode, error);
  log_mode_change(mode, next);
  remember(next);
  return next;
}

bool refuses_response_format(py::handle error) {
  const long long status = http_status(error);
  if (status != 400 && status != 422 && status != 500) return false;
  std::string said = vx::safe_str(error);
  py::object body = py::getattr(error, "body", py::none());
  if (!body.is_none()) said += " " + vx::safe_str(py::repr(body));
  for (char& c : said) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return said.find("response_format") != std::string::npos || said.find("schema") != std::string::npos;
}

py::object structured_value(py::handle message, py::handle response_model) {
  py::object parsed = py::getattr(message, "parsed", py::none());
  if (!parsed.is_none()) return parsed;
  py::object refusal = py::getattr(message, "refusal", py::none());
  if (!refusal.is_none() && truthy(refusal)) {
    vx::raise(vx::error_class("ModelRefusalError"), vx::safe_str(refusal));
  }
  py::object content = py::getattr(message, "content", py::none());
  if (!vx::is_str(content) || !truthy(content.attr("strip")())) {
    vx::raise(vx::error_class("ModelParseError"),
              "Resposta estruturada vazia: o modelo não devolveu um valor no formato pedido.");
  }
  std::string text = vx::to_utf8(content);
  std::string_view json = first_json_object(text);
  return response_model.attr("model_validate_json")(vx::from_utf8(json));
}

py::str compact_errors_json(py::handle error) {
  py::object json = vx::import("json");
  py::object errors = errors_of(error, false);
  if (errors.is_none()) {
    py::dict only;
    only["msg"] = py::str(vx::from_utf8(vx::safe_str(error)));
    py::list one;
    one.append(only);
    errors = one;
  }
  return json.attr("dumps")(errors, py::arg("ensure_ascii") = false,
                            py::arg("default") = py::module_::import("builtins").attr("str"));
}

std::string readable_errors(py::handle error) {
  py::object errors = errors_of(error, false);
  if (errors.is_none()) return vx::safe_str(error);
  std::string out;
  for (py::handle e : errors) {
    std::string where;
    for (py::handle part : e["loc"]) {
      if (!where.empty()) where += ".";
      where += vx::safe_str(part);
    }
    if (!out.empty()) out += "; ";
    out += (where.empty() ? std::string("resposta") : where) + ": " + vx::safe_str(e["msg"]);
  }
  return out;
}

py::object text_of_validation_error(py::handle error) {
  py::object errors;
  try {
    errors = errors_of(error, true);
  } catch (py::error_already_set&) {
    return py::none();
  }
  if (errors.is_none()) return py::none();
  for (py::handle e : errors) {
    py::object input = vx::mapping_get(e, "input", py::none());
    const Py_ssize_t depth = py::len(e["loc"]);
    if (vx::safe_str(e["type"]).rfind("json_", 0) == 0 && vx::is_str(input)) return input;
    if (depth <= 1 && vx::is_mapping(input)) {
      return vx::import("json").attr("dumps")(
          input, py::arg("ensure_ascii") = false,
          py::arg("default") = py::module_::import("builtins").attr("str"));
    }
  }
  return py::none();
}

py::object cut_short_completion(py::handle error) {
  if (vx::type_name(error) != "LengthFinishReasonError") return py::object();
  py::object completion = py::getattr(error, "completion", py::none());
  if (completion.is_none()) return py::object();
  return completion;
}

}  // namespace vx::reader
