// The reader's settings that the contract checker takes too and hands over to the
// reader it builds: one rule and one message each, for both constructors.
//
//   answer_settings       structured_output, validation_retries, max_tokens, timeout:
//                         checked and normalised before anything is built
//   local_server_url      base_url, else VORLEX_BASE_URL: the server a reader asks
//   named_model           model, else VORLEX_MODEL: a model the caller chose
//   raise_model_required  a local server with no model named
//
// The checker builds its reader only at the first verification; checking its settings
// here, at its own construction, makes a bad value fail where it was written instead of
// as a pending contract later.
#pragma once

#include <string>

#include "bridge/bridge.hpp"

namespace vx {

// The settings of structured answers, token limits and client timeouts.
struct AnswerSettings {
  py::object structured_output;   // "auto", "json_schema", "json_object" or "prompt"
  py::object validation_retries;  // null when the caller has no such setting
  py::object max_tokens;          // None: the server's own limit
  py::object timeout;             // None: the reader's REQUEST_TIMEOUT_SECONDS
};

// A value outside its range is a ValueError naming the argument, a value of the wrong
// kind a TypeError. None and "" for structured_output mean "auto". A null
// validation_retries handle (the checker has none) is not checked.
inline AnswerSettings answer_settings(py::handle structured_output, py::handle validation_retries,
                                      py::handle max_tokens, py::handle timeout) {
  AnswerSettings out;
  if (structured_output.is_none() || (is_str(structured_output) && py::len(structured_output) == 0)) {
    out.structured_output = py::str("auto");
  } else {
    if (!is_str(structured_output)) raise_type_error("structured_output", "str", structured_output);
    std::string mode = to_utf8(structured_output);
    if (mode != "auto" && mode != "json_schema" && mode != "json_object" && mode != "prompt") {
      raise_value_error("structured_output inválido: " + safe_str(py::repr(structured_output)) +
                        "; use 'auto', 'json_schema', 'json_object' ou 'prompt'");
    }
    out.structured_output = py::reinterpret_borrow<py::object>(structured_output);
  }
  if (validation_retries) {
    long long retries = arg_int(validation_retries, "validation_retries");
    if (retries < 0) {
      raise_value_error("validation_retries deve ser 0 ou mais, não " +
                        safe_str(py::repr(validation_retries)));
    }
    out.validation_retries = py::int_(retries);
  }
  out.max_tokens = py::none();
  if (!max_tokens.is_none()) {
    long long limit = arg_int(max_tokens, "max_tokens");
    if (limit < 1) {
      raise_value_error("max_tokens deve ser 1 ou mais, não " + safe_str(py::repr(max_tokens)));
    }
    out.max_tokens = py::int_(limit);
  }
  out.timeout = py::none();
  if (!timeout.is_none()) {
    if (!is_real(timeout)) raise_type_error("timeout", "a number of seconds or None", timeout);
    double seconds = arg_float(timeout, "timeout");
    if (!(seconds > 0)) {  // also NaN
      raise_value_error("timeout deve ser um número de segundos maior que 0, não " +
                        safe_str(py::repr(timeout)));
    }
    out.timeout = py::float_(seconds);
  }
  return out;
}

namespace reader_settings_detail {
inline bool filled(py::handle v) { return !v.is_none() && is_str(v) && PyUnicode_GET_LENGTH(v.ptr()) > 0; }
}  // namespace reader_settings_detail

// A text argument when it is non-empty, else the environment variable `var` when it is
// non-empty, else None. `environ` is os.environ as the caller's module sees it (a test's
// monkeypatch included); the argument's type is the caller's to have checked.
inline py::object setting_or_env(py::handle arg, py::handle environ, const char* var) {
  if (reader_settings_detail::filled(arg)) return py::reinterpret_borrow<py::object>(arg);
  py::object from_env = environ.attr("get")(var);
  return reader_settings_detail::filled(from_env) ? from_env : py::object(py::none());
}

// The OpenAI-compatible server of the caller's own that a reader asks: base_url, else
// VORLEX_BASE_URL (OPENAI_BASE_URL stays the OpenAI client's own affair).
inline py::object local_server_url(py::handle base_url, py::handle environ) {
  return setting_or_env(base_url, environ, "VORLEX_BASE_URL");
}

// The model the caller chose: model, else VORLEX_MODEL; None when neither names one.
inline py::object named_model(py::handle model, py::handle environ) {
  return setting_or_env(model, environ, "VORLEX_MODEL");
}

// A local server with no model named: the cloud default sent there would be a name the
// server does not serve, priced as the cloud model it is not. `from_environment` when
// the server came from VORLEX_BASE_URL, which the message then names. The command line
// recognises the message by its beginning, "model é obrigatório com base_url".
[[noreturn]] inline void raise_model_required(bool from_environment) {
  if (from_environment) {
    raise_value_error(
        "model é obrigatório com base_url (VORLEX_BASE_URL): nomeie o modelo como o servidor o "
        "chama (por exemplo model='llama3.2:3b' ou VORLEX_MODEL=llama3.2:3b)");
  }
  raise_value_error(
      "model é obrigatório com base_url: nomeie o modelo como o servidor o chama "
      "(por exemplo model='llama3.2:3b')");
}

}  // namespace vx
