// Shared declarations of the vorlex.reader extension module.
//
// The Vorlex class is an ordinary Python class (vx::PyClass). Its parts are bound by
// the init functions below, each in its own file, in the order reader_module.cpp calls
// them. Every collaborator (client classes, utilities, records, the OCR loader) is read
// from the module namespace `ns` at call time; every internal operation is called
// through attribute lookup on `self`.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::reader {

extern vx::Namespace ns;   // the vorlex.reader module namespace
extern vx::Logger logger;  // logging.getLogger("vorlex.reader")

// The message list of one model call: the system message, then the user message.
py::list chat_messages(py::handle system_prompt, py::handle user_prompt);

// True when the reader was built with verbose (its info lines are written only then).
bool verbose(py::handle self);

void init_construction(vx::PyClass& cls);      // constructor, model, available_models, _get_async_client
void init_loop_client_closer(py::module_& m);  // _LoopClientCloser (construction.cpp)
void init_registry(vx::PyClass& cls);          // questions, create_question, _select_questions, cache
void init_calls(vx::PyClass& cls);             // _call_llm, _classify_failure, side usage, metrics
void init_execution(vx::PyClass& cls);         // extract_from_text, _execute_question, ...
void init_documents(vx::PyClass& cls);         // _is_safe_url, _resolve_document, _load_documents
void init_processing(vx::PyClass& cls);        // process, _run_questions, _classify_results
void init_batch(vx::PyClass& cls);             // process_batch and its runners
void init_distributed(vx::PyClass& cls);       // pickling, process_batch_distributed
void init_async(vx::PyClass& cls);             // the coroutine twins (async.cpp)

}  // namespace vx::reader
