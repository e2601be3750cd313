// Structured answers on any OpenAI-compatible server: how a structured question is
// asked in each mode, how a server's refusal of a response format is recognised, and
// how an answer's text becomes the question's response model.
#pragma once

#include <string>

#include "bridge/bridge.hpp"

namespace vx::reader {

// The modes, in the order "auto" tries them:
//   json_schema  response_format json_schema (the client's parse path; OpenAI, Azure,
//                vLLM, Ollama, llama-server)
//   json_object  response_format {"type": "json_object", "schema": ...} and the schema in
//                the system message (llama-cpp-python, LM Studio's JSON mode)
//   prompt       the schema in the system message only; the first JSON object of the
//                plain answer is taken
std::string next_structured_mode(const std::string& mode);  // "" after "prompt"

// One model request of a reader: the messages, the response model and the token limit,
// sent in a given mode through a given client (synchronous or asynchronous alike:
// `start` returns the response, or the awaitable of it).
class ModelRequest {
 public:
  ModelRequest(py::handle self, py::handle messages, py::handle response_model, py::handle max_tokens);
  bool structured() const { return structured_; }
  // The token limit that applies: the question's, else the reader's (None: no limit).
  const py::object& max_tokens() const { return max_tokens_; }
  // The mode the reader asks in first: its structured_output, or for "auto" the mode
  // remembered for this server and model (json_schema when none is).
  std::string first_mode() const;
  bool automatic() const { return automatic_; }
  // For "auto": whether a mode is already remembered for this server and model.
  bool mode_known() const;
  // Remembers, for "auto", the mode that the server accepted.
  void remember(const std::string& mode) const;
  py::object start(py::handle client, const std::string& mode);
  // After a request in `mode` failed with `error`: the mode to ask in next, when "auto"
  // meets a refused response format (logged, and remembered at once, so that an
  // attempt retried after a transient failure does not ask in the refused mode
  // again); else "". An answer cut short that the client's parse refused is handed back
  // in `cut` (its completion; the mode is remembered); any other failure is the
  // caller's to rethrow, except a refusal in a mode the caller chose, which raises
  // ResponseFormatError here.
  std::string after_failure(const std::string& mode, py::handle error, py::object& cut) const;

 private:
  py::list messages_with_schema();
  py::object json_schema();  // the response model's, built once per request

  py::object self_, messages_, response_model_, max_tokens_, model_, key_;
  py::object with_schema_;  // the messages with the schema in the system message
  py::object schema_;
  bool structured_ = false;
  bool automatic_ = false;
};

// Whether asking `question` (a Question record) would first have to learn the server's
// structured mode: a structured question of an "auto" reader with a base_url (a server
// of the caller's own, which may refuse json_schema) whose server and model have no
// remembered mode yet. Questions asked side by side wait for the first such one, so that
// a refusal of the response format costs one request per reader, not one per question
// in flight. A provider's own service takes json_schema: its questions never wait.
bool learns_structured_mode(py::handle self, py::handle question);

// True when a server answered a request with a refusal of its response format: an HTTP
// 400, 422 or 500 whose message or body names response_format or the schema. Asking
// again in the same mode would be refused again.
bool refuses_response_format(py::handle error);

// The structured value of an answer: message.parsed when the client parsed it, else the
// first complete JSON object of the text validated with the response model
// (model_validate_json). A refusal raises ModelRefusalError; an empty answer
// ModelParseError; an answer that does not validate pydantic's ValidationError.
py::object structured_value(py::handle message, py::handle response_model);

// pydantic's error list of a ValidationError as compact JSON (type, loc, msg), and as
// one readable line ("campo: mensagem; ...").
py::str compact_errors_json(py::handle error);
std::string readable_errors(py::handle error);

// The text a failed structured answer was read from, when the error carries it (the
// client's own parse keeps only the error): the input of a JSON error, or the object at
// the root of the failed validation. None when it cannot be told.
py::object text_of_validation_error(py::handle error);

// The completion of an answer that the client's parse refused for being cut short
// (openai's LengthFinishReasonError carries it), or a null object.
py::object cut_short_completion(py::handle error);

}  // namespace vx::reader
