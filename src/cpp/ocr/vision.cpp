// perform_vision_fallback: a vision-capable chat model reads a page image.
//
// OpenAI-style providers get a chat-completions request through the reader's model
// caller (which also counts the call's tokens); Google goes through the provider
// module's call_vision with its own client. Every failure ends in None.
#include "core/ocr_rules.hpp"
#include "core/unicode.hpp"
#include "ocr/ocr.hpp"

namespace vx::ocr {
namespace {

namespace rules = core::ocr;

constexpr const char* kUserInstruction = "Extraia todo o texto visível nesta página do documento.";

// Base64 of the image without the GIL: the buffer export pins the bytes (a bytearray
// cannot be resized while exported), so other threads may run meanwhile.
std::string encode_image(py::handle image_bytes) {
  Py_buffer view;
  if (PyObject_GetBuffer(image_bytes.ptr(), &view, PyBUF_SIMPLE) < 0) {
    throw py::error_already_set();
  }
  std::string out;
  {
    py::gil_scoped_release nogil;
    out = rules::base64(std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)));
  }
  PyBuffer_Release(&view);
  return out;
}

py::list vision_messages(py::handle image_bytes, const std::string& mime) {
  py::dict system;
  system["role"] = "system";
  system["content"] = ns.get("VISION_FALLBACK_PROMPT");

  py::dict url;
  url["url"] = from_utf8("data:" + mime + ";base64," + encode_image(image_bytes));
  py::dict image_part;
  image_part["type"] = "image_url";
  image_part["image_url"] = url;
  py::dict text_part;
  text_part["type"] = "text";
  text_part["text"] = py::str(kUserInstruction);
  py::list content;
  content.append(image_part);
  content.append(text_part);
  py::dict user;
  user["role"] = "user";
  user["content"] = content;

  py::list messages;
  messages.append(system);
  messages.append(user);
  return messages;
}

// The answer's text, stripped; None when there is none or only blanks.
py::object answer_text(py::object text) {
  if (text.is_none()) return py::none();
  if (is_str(text)) {
    py::str s = py_strip(text);
    if (PyUnicode_GET_LENGTH(s.ptr()) == 0) return py::none();
    return s;
  }
  // Not a str: whatever its own strip() says, as a Python caller would see it.
  if (!truthy(text)) return py::none();
  py::object s = text.attr("strip")();
  if (!truthy(s)) return py::none();
  return s;
}

py::object perform_vision_fallback(py::object image_bytes, py::object llm_caller, py::object image_format,
                                   py::object provider, py::object google_client, py::object google_model) {
  if (!is_bytes_like(image_bytes)) raise_type_error("image_bytes", "bytes", image_bytes);
  if (!llm_caller.is_none() && !PyCallable_Check(llm_caller.ptr())) {
    raise_type_error("llm_caller", "callable or None", llm_caller);
  }
  std::string format = arg_str(image_format, "image_format");
  std::string prov = arg_str(provider, "provider");
  std::optional<std::string> model = arg_opt_str(google_model, "google_model");

  std::string mime = rules::mime_type(uni::lower(uni::decode(format)));

  if (prov == "google") {
    if (google_client.is_none() || !model || model->empty()) {
      log.warning("Google vision fallback requested without client/model");
      return py::none();
    }
    try {
      return ns.call("call_vision", google_client, google_model, py::arg("image_bytes") = image_bytes,
                     py::arg("prompt") = ns.get("VISION_FALLBACK_PROMPT"), py::arg("mime") = from_utf8(mime));
    } catch (...) {
      log_text("error", "Google vision fallback failed: " + failure_text_or_rethrow());
      return py::none();
    }
  }

  if (llm_caller.is_none()) return py::none();
  try {
    py::list messages = vision_messages(image_bytes, mime);
    py::object response = llm_caller(messages, py::none());
    py::object text = response.attr("choices")[py::int_(0)].attr("message").attr("content");
    return answer_text(text);
  } catch (...) {
    log_text("error", "Vision fallback falhou: " + failure_text_or_rethrow());
    return py::none();
  }
}

}  // namespace

void init_vision(py::module_& m) {
  m.def("perform_vision_fallback", &perform_vision_fallback, py::arg("image_bytes"), py::arg("llm_caller"),
        py::arg("image_format") = "png", py::arg("provider") = "openai",
        py::arg("google_client") = py::none(), py::arg("google_model") = py::none(),
        "Text of a page image read by a vision-capable model, or None. Never raises for "
        "model or data failures: they are logged and give None.");
}

}  // namespace vx::ocr
