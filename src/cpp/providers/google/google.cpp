// vorlex.providers.google: Gemini models through google-genai, answering in the
// chat-completion shape the reader reads from every provider.
//
//   build_client(api_key="")                       one client for sync and async calls
//   call_chat(client, model, messages)             text answer
//   call_structured(client, model, messages, response_model)   parsed answer
//                                                  (both: max_tokens= caps the answer,
//                                                  as max_output_tokens)
//   acall_chat, acall_structured                   coroutine twins (GoogleCall)
//   call_vision(client, model, image_bytes=, prompt=, mime=)   page text or None
//
// `genai` is imported on first use (`import google.genai`) and read from the module
// namespace at each call; requests are built as the library's plain mappings. The
// coroutine twins check their arguments and start the library's call when they are
// called, then await it as coroutines of the bridge (bridge/coro.hpp), whose type is
// registered here as GoogleCall.
#include "bridge/coro.hpp"
#include "bridge/signatures.hpp"

namespace vx::google {

namespace {

vx::Namespace ns;

// Finish reasons of a Gemini candidate, as the chat-completion vocabulary names them.
std::string finish_reason_name(py::handle reason) {
  if (reason.is_none()) return "";
  py::object name = py::getattr(reason, "name", py::none());
  std::string n = name.is_none() ? vx::safe_str(reason) : vx::safe_str(name);
  if (n == "STOP") return "stop";
  if (n == "MAX_TOKENS") return "length";
  if (n == "SAFETY" || n == "RECITATION" || n == "BLOCKLIST" || n == "PROHIBITED_CONTENT" || n == "SPII" ||
      n == "IMAGE_SAFETY")
    return "content_filter";
  std::string lower;
  for (char c : n) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lower;
}

// ---------------------------------------------------------------------------------
// Arguments

void check_client(py::handle client, const char* needed) {
  if (client.is_none() || !py::hasattr(client, needed)) {
    vx::raise_type_error("client", "a google-genai client (build_client)", client);
  }
}

// One part of an OpenAI-style content list: {"type": "text", "text": ...} or
// {"type": "image_url", "image_url": {"url": "data:<mime>;base64,<data>"}}.
py::dict convert_part(py::handle part) {
  if (vx::is_str(part)) {
    py::dict d;
    d["text"] = part;
    return d;
  }
  if (!PyDict_Check(part.ptr())) {
    throw py::type_error("message content parts must be mappings, not " + vx::type_name(part));
  }
  py::dict p = py::reinterpret_borrow<py::dict>(part);
  std::string type = p.contains("type") ? vx::arg_str(p["type"], "type") : std::string("text");
  if (type == "text") {
    py::dict d;
    d["text"] = vx::from_utf8(
        vx::arg_str(p.contains("text") ? py::object(p["text"]) : py::object(py::str("")), "text"));
    return d;
  }
  if (type == "image_url") {
    py::object image = p.contains("image_url") ? py::object(p["image_url"]) : py::object(py::none());
    py::object url_obj = PyDict_Check(image.ptr()) && py::reinterpret_borrow<py::dict>(image).contains("url")
                             ? py::object(image["url"])
                             : image;
    std::string url = vx::arg_str(url_obj, "image_url");
    py::dict d;
    if (url.rfind("data:", 0) == 0) {
      size_t semi = url.find(';');
      size_t comma = url.find(',');
      if (semi == std::string::npos || comma == std::string::npos || semi > comma) {
        throw py::value_error("image_url data URL must be data:<mime>;base64,<data>");
      }
      py::dict inline_data;
      inline_data["mime_type"] = vx::from_utf8(url.substr(5, semi - 5));
      inline_data["data"] = vx::late("base64", "b64decode")(py::bytes(url.substr(comma + 1)));
      d["inline_data"] = inline_data;
    } else {
      py::dict file_data;
      file_data["file_uri"] = vx::from_utf8(url);
      d["file_data"] = file_data;
    }
    return d;
  }
  throw py::value_error("unsupported message content part type '" + type + "'");
}

struct Request {
  py::list contents;
  std::string system;  // system messages, joined
  bool has_system = false;
};

// Chat messages -> Gemini contents: system messages become the system instruction,
// "assistant" turns become "model" turns, everything else is a user turn.
Request convert_messages(py::handle messages_obj) {
  py::list messages = vx::arg_list(messages_obj, "messages");
  Request req;
  for (py::handle msg : messages) {
    if (!PyDict_Check(msg.ptr())) {
      throw py::type_error("argument 'messages' must be a list of mappings, found " + vx::type_name(msg));
    }
    py::dict m = py::reinterpret_borrow<py::dict>(msg);
    std::string role = m.contains("role") ? vx::arg_str(m["role"], "role") : std::string("user");
    py::object content = m.contains("content") ? py::object(m["content"]) : py::object(py::none());
    if (role == "system") {
      if (content.is_none()) continue;
      std::string text = vx::arg_str(content, "content");
      if (req.has_system) req.system += "\n\n";
      req.system += text;
      req.has_system = true;
      continue;
    }
    py::list parts;
    if (content.is_none()) {
      continue;
    } else if (vx::is_str(content)) {
      parts.append(convert_part(content));
    } else if (PyList_Check(content.ptr()) || PyTuple_Check(content.ptr())) {
      for (py::handle part : content) parts.append(convert_part(part));
    } else {
      throw py::type_error("message content must be str or a list of parts, not " + vx::type_name(content));
    }
    py::dict turn;
    turn["role"] = py::str(role == "assistant" || role == "model" ? "model" : "user");
    turn["parts"] = parts;
    req.contents.append(turn);
  }
  return req;
}

py::object config_for(const Request& req, py::handle response_model, py::handle max_tokens) {
  py::dict config;
  if (req.has_system) config["system_instruction"] = vx::from_utf8(req.system);
  if (!response_model.is_none()) {
    config["response_mime_type"] = py::str("application/json");
    config["response_schema"] = response_model;
  }
  if (!max_tokens.is_none()) config["max_output_tokens"] = max_tokens;
  if (config.empty()) return py::none();
  return config;
}

void check_response_model(py::handle response_model) {
  if (!PyType_Check(response_model.ptr())) {
    vx::raise_type_error("response_model", "a pydantic model class", response_model);
  }
}

// The library's keyword arguments for a call, after the arguments' checks; `needed`
// is the client attribute the call goes through ("models", or "aio" for the twins).
py::dict request_kwargs(py::handle client, const char* needed, py::handle model, py::handle messages,
                        py::handle response_model, py::handle max_tokens) {
  check_client(client, needed);
  vx::arg_str(model, "model");
  if (!response_model.is_none()) check_response_model(response_model);
  if (!max_tokens.is_none() && !vx::is_int(max_tokens)) {
    vx::raise_type_error("max_tokens", "int or None", max_tokens);
  }
  Request req = convert_messages(messages);
  py::dict kw;
  kw["model"] = model;
  kw["contents"] = req.contents;
  kw["config"] = config_for(req, response_model, max_tokens);
  return kw;
}

// ---------------------------------------------------------------------------------
// The answer in the chat-completion shape

// Text of a response, or None when it has none (blocked prompt, no candidates).
py::object response_text(py::handle resp) {
  py::object text = py::none();
  try {
    text = py::getattr(resp, "text", py::none());
  } catch (py::error_already_set&) {
    text = py::none();  // a candidate without text parts
  }
  return text;
}

long long usage_count(py::handle usage, const char* field) {
  if (usage.is_none()) return 0;
  py::object v = py::getattr(usage, field, py::none());
  if (v.is_none()) return 0;
  return py::cast<long long>(py::int_(v));
}

py::object adapt_response(py::object resp, py::object model, py::object response_model) {
  py::object ns_cls = vx::late("types", "SimpleNamespace");
  py::object text = response_text(resp);

  // Blocked before any answer: a refusal the caller can tell from a failure.
  py::list candidates;
  py::object cands = py::getattr(resp, "candidates", py::none());
  if (!cands.is_none()) candidates = vx::list_copy(cands);
  if (candidates.empty() && text.is_none()) {
    py::object feedback = py::getattr(resp, "prompt_feedback", py::none());
    py::object reason = feedback.is_none() ? py::none() : py::getattr(feedback, "block_reason", py::none());
    if (!reason.is_none()) {
      py::object name = py::getattr(reason, "name", reason);
      vx::raise(ns.get("ContentFilterError"), "Google bloqueou o pedido: " + vx::safe_str(name));
    }
  }
  std::string finish;
  if (!candidates.empty())
    finish = finish_reason_name(py::getattr(candidates[0], "finish_reason", py::none()));

  py::object parsed = py::none();
  if (!response_model.is_none()) {
    py::object p = py::getattr(resp, "parsed", py::none());
    if (!p.is_none() && py::isinstance(p, response_model)) {
      parsed = p;
    } else {
      // The library leaves parsed empty when the JSON does not fit the model; the
      // model's own validation then reports why (a pydantic ValidationError).
      std::string json = text.is_none() ? std::string() : vx::arg_str(text, "text");
      parsed = response_model.attr("model_validate_json")(vx::from_utf8(json));
    }
  }

  py::object usage_md = py::getattr(resp, "usage_metadata", py::none());
  long long prompt = usage_count(usage_md, "prompt_token_count");
  // Thinking tokens are billed as output, as reasoning tokens are in completions.
  long long completion = usage_count(usage_md, "candidates_token_count") +
                         usage_count(usage_md, "thoughts_token_count");
  long long total = usage_count(usage_md, "total_token_count");
  if (total == 0) total = prompt + completion;

  py::object usage = ns_cls(py::arg("prompt_tokens") = prompt, py::arg("completion_tokens") = completion,
                            py::arg("total_tokens") = total);
  py::object message = ns_cls(py::arg("role") = "assistant", py::arg("content") = text,
                              py::arg("parsed") = parsed, py::arg("refusal") = py::none());
  py::object choice = ns_cls(
      py::arg("index") = 0, py::arg("message") = message,
      py::arg("finish_reason") = finish.empty() ? py::object(py::none()) : py::object(py::str(finish)));
  py::list choices;
  choices.append(choice);
  return ns_cls(py::arg("id") = py::getattr(resp, "response_id", py::none()),
                py::arg("object") = "chat.completion", py::arg("model") = model, py::arg("choices") = choices,
                py::arg("usage") = usage, py::arg("raw_response") = resp);
}

// ---------------------------------------------------------------------------------
// Calls

py::object call(py::object client, py::object model, py::object messages, py::object response_model,
                py::object max_tokens) {
  py::dict kw = request_kwargs(client, "models", model, messages, response_model, max_tokens);
  py::object resp = client.attr("models").attr("generate_content")(**kw);
  return adapt_response(resp, model, response_model);
}

// The library's pending call, held as the coroutine's argument (where the garbage
// collector sees it) until the coroutine awaits it. A coroutine closed, thrown into or
// dropped before its first step frees its frame without running it; the call is then
// closed with it, so that it is not left behind as a coroutine never awaited.
class PendingCall : public py::object {
 public:
  explicit PendingCall(py::object call) : py::object(std::move(call)) {}
  PendingCall(PendingCall&& other) noexcept : py::object(std::move(other)) {}
  PendingCall(const PendingCall&) = delete;
  PendingCall& operator=(const PendingCall&) = delete;
  ~PendingCall() {
    if (*this) vx::call_quietly(*this, "close");
  }
  // The call, handed over to the wait that runs it.
  py::object take() { return std::move(static_cast<py::object&>(*this)); }
};

vx::aio::Task await_and_adapt(PendingCall pending, py::object model, py::object response_model) {
  py::object resp = co_await vx::aio::wait(pending.take());
  co_return adapt_response(std::move(resp), model, response_model);
}

// The arguments are checked and the library's call started now; awaiting the returned
// coroutine (GoogleCall) runs the call and adapts its answer.
py::object acall(const char* qualname, py::object client, py::object model, py::object messages,
                 py::object response_model, py::object max_tokens) {
  py::dict kw = request_kwargs(client, "aio", model, messages, response_model, max_tokens);
  PendingCall pending(client.attr("aio").attr("models").attr("generate_content")(**kw));
  return vx::aio::coroutine(await_and_adapt(std::move(pending), model, response_model), qualname);
}

py::object call_chat(py::object client, py::object model, py::object messages, py::object max_tokens) {
  return call(client, model, messages, py::none(), max_tokens);
}
py::object call_structured(py::object client, py::object model, py::object messages, py::object rm,
                           py::object max_tokens) {
  if (rm.is_none()) vx::raise_type_error("response_model", "a pydantic model class", rm);
  return call(client, model, messages, rm, max_tokens);
}
py::object acall_chat(py::object client, py::object model, py::object messages, py::object max_tokens) {
  return acall("acall_chat", client, model, messages, py::none(), max_tokens);
}
py::object acall_structured(py::object client, py::object model, py::object messages, py::object rm,
                            py::object max_tokens) {
  if (rm.is_none()) vx::raise_type_error("response_model", "a pydantic model class", rm);
  return acall("acall_structured", client, model, messages, rm, max_tokens);
}

// The page image with the prompt; the page text, or None when the model read nothing.
// Errors of the client reach the caller (the OCR fallback logs them).
py::object call_vision(py::object client, py::object model, py::object image_bytes, py::object prompt,
                       py::object mime) {
  check_client(client, "models");
  vx::arg_str(model, "model");
  if (!vx::is_bytes_like(image_bytes)) vx::raise_type_error("image_bytes", "bytes", image_bytes);
  std::optional<std::string> p = vx::arg_opt_str(prompt, "prompt");
  std::string mime_type = vx::arg_str(mime, "mime");
  py::object prompt_text = p ? py::object(vx::from_utf8(*p))
                             : vx::late("vorlex.config", "VISION_FALLBACK_PROMPT");

  py::dict inline_data;
  inline_data["mime_type"] = vx::from_utf8(mime_type);
  PyObject* b = PyBytes_FromObject(image_bytes.ptr());
  if (!b) throw py::error_already_set();
  inline_data["data"] = py::reinterpret_steal<py::bytes>(b);
  py::dict image_part, text_part;
  image_part["inline_data"] = inline_data;
  text_part["text"] = prompt_text;
  py::list parts;
  parts.append(image_part);
  parts.append(text_part);
  py::dict turn;
  turn["role"] = py::str("user");
  turn["parts"] = parts;
  py::list contents;
  contents.append(turn);

  py::object resp = client.attr("models").attr("generate_content")(py::arg("model") = model,
                                                                   py::arg("contents") = contents);
  py::object text = response_text(resp);
  if (text.is_none() || !vx::is_str(text)) return py::none();
  py::object stripped = text.attr("strip")();
  if (PyUnicode_GetLength(stripped.ptr()) == 0) return py::none();
  return stripped;
}

// ---------------------------------------------------------------------------------
// Client

// A client whose construction waits for its first use. Without any key the library
// refuses to build a client, but a reader configured for Google must still be
// constructible (the key may be set before the first call); the first call then
// raises the library's own error.
void deferred_init(py::object self, py::object api_key) {
  self.attr("_api_key") = api_key;
  self.attr("_client") = py::none();
}

py::object deferred_getattr(py::object self, py::str name) {
  std::string n = vx::to_utf8(name);
  if (!n.empty() && n[0] == '_') {
    PyErr_SetObject(PyExc_AttributeError, name.ptr());
    throw py::error_already_set();
  }
  py::dict d = self.attr("__dict__");
  py::object client = d.contains("_client") ? py::object(d["_client"]) : py::object(py::none());
  if (client.is_none()) {
    py::object key = d.contains("_api_key") ? py::object(d["_api_key"]) : py::object(py::none());
    bool empty = key.is_none() || (vx::is_str(key) && PyUnicode_GetLength(key.ptr()) == 0);
    client = ns.get("genai").attr("Client")(py::arg("api_key") = empty ? py::object(py::none()) : key);
    d["_client"] = client;
  }
  return client.attr(name);
}

py::object build_client(py::object api_key) {
  std::optional<std::string> key = vx::arg_opt_str(api_key, "api_key");
  bool empty = !key || key->empty();
  py::object client_cls = ns.get("genai").attr("Client");
  if (!empty) return client_cls(py::arg("api_key") = api_key);
  try {
    // No key given: the library reads GOOGLE_API_KEY / GEMINI_API_KEY itself.
    return client_cls(py::arg("api_key") = py::none());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return ns.get("_DeferredClient")(api_key);
  }
}

}  // namespace

}  // namespace vx::google

PYBIND11_MODULE(google, m) {
  using namespace vx::google;
  m.doc() = "Google Gemini models through google-genai, answering in the chat-completion shape.";
  ns.bind(m);
  ns.lazy("genai", "google.genai");

  vx::aio::init(m, "GoogleCall",
                "The coroutine of a Google call (acall_chat, acall_structured), resolving to a "
                "chat-completion shaped response.");

  // Raised when Google blocks a prompt; the name marks it as a refusal for the reader.
  py::object base = vx::error_class("VorlexError");
  py::dict body;
  body["__module__"] = m.attr("__name__");
  body["__doc__"] = py::str("Google blocked the request (safety or policy filters).");
  m.attr("ContentFilterError") = vx::late("builtins", "type")(py::str("ContentFilterError"),
                                                              py::make_tuple(base), body);

  vx::PyClass(m, "_DeferredClient", "A google-genai client built on first use.")
      .def("__init__", &deferred_init, py::arg("self"), py::arg("api_key"))
      .def("__getattr__", &deferred_getattr, py::arg("self"), py::arg("name"));

  m.def("build_client", &build_client, py::kw_only(), py::arg("api_key") = py::str(""),
        "One google-genai client, used for synchronous and asynchronous calls.");
  m.def("call_chat", &call_chat, py::arg("client"), py::arg("model"), py::arg("messages"), py::kw_only(),
        py::arg("max_tokens") = py::none(),
        "Text answer in the chat-completion shape; max_tokens caps its length "
        "(max_output_tokens).");
  m.def("call_structured", &call_structured, py::arg("client"), py::arg("model"), py::arg("messages"),
        py::arg("response_model"), py::kw_only(), py::arg("max_tokens") = py::none(),
        "Structured answer: choices[0].message.parsed is a response_model.");
  m.def("acall_chat", &acall_chat, py::arg("client"), py::arg("model"), py::arg("messages"), py::kw_only(),
        py::arg("max_tokens") = py::none(), "Awaitable of call_chat's answer.");
  m.def("acall_structured", &acall_structured, py::arg("client"), py::arg("model"), py::arg("messages"),
        py::arg("response_model"), py::kw_only(), py::arg("max_tokens") = py::none(),
        "Awaitable of call_structured's answer.");
  m.def("call_vision", &call_vision, py::arg("client"), py::arg("model"), py::kw_only(),
        py::arg("image_bytes"), py::arg("prompt") = py::none(), py::arg("mime") = py::str("image/png"),
        "Text read from a page image, or None.");
  vx::python_signatures(m);
}
