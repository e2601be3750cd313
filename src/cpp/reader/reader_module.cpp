// vorlex.reader: the Vorlex document reader.
//
//   Vorlex      construction and provider configuration    construction.cpp
//               question registry                           registry.cpp
//               model calls and usage accounting            calls.cpp
//               question execution                          execution.cpp
//               document resolution and loading             documents.cpp
//               the URL guard and the download of a URL     url_guard.cpp, download.cpp
//               processing and classification               processing.cpp
//               batches and the circuit breaker             batch.cpp
//               pickling and batches on a Dask cluster      distributed.cpp
//               the asynchronous pipeline                   async.cpp
//
// Module-level names (client classes, components, records) live in the module
// namespace and are read at each call, so callers and tests can patch them.
#include "bridge/coro.hpp"
#include "bridge/signatures.hpp"
#include "reader/reader.hpp"

namespace vx::reader {

vx::Namespace ns;
vx::Logger logger("vorlex.reader");

py::list chat_messages(py::handle system_prompt, py::handle user_prompt) {
  py::dict system, user;
  system["role"] = "system";
  system["content"] = system_prompt;
  user["role"] = "user";
  user["content"] = user_prompt;
  py::list messages;
  messages.append(system);
  messages.append(user);
  return messages;
}

bool verbose(py::handle self) {
  py::object v = py::getattr(self, "_verbose", py::bool_(false));
  return PyObject_IsTrue(v.ptr()) == 1;
}

}  // namespace vx::reader

using namespace vx::reader;

PYBIND11_MODULE(reader, m) {
  m.doc() = "The Vorlex document reader.";
  ns.bind(m);

  // The reader loads the resilience and OCR modules with itself (neither imports
  // PyMuPDF or a provider library at load).
  py::module_ resilience = py::module_::import("vorlex.resilience");
  py::module_ ocr = py::module_::import("vorlex.ocr");
  py::module_ config = py::module_::import("vorlex.config");
  m.attr("create_retry_decorator") = resilience.attr("create_retry_decorator");
  m.attr("CircuitBreaker") = resilience.attr("CircuitBreaker");
  m.attr("process_pdf_smart") = ocr.attr("process_pdf_smart");
  for (const char* name :
       {"DEFAULT_MODEL", "MODELS", "resolve_model", "get_grok_base_url", "calculate_cost", "price_known"}) {
    m.attr(name) = config.attr(name);
  }
  py::module_ exceptions = py::module_::import("vorlex.exceptions");
  for (const char* name : {"VorlexError", "DocumentError", "ProcessingError"}) {
    m.attr(name) = exceptions.attr(name);
  }
  py::module_ models = py::module_::import("vorlex.models");
  for (const char* name : {"Question", "QuestionConfig", "PageRange", "Classification", "Result",
                           "ProcessingResult", "ProcessingMetrics", "DocumentMetadata"}) {
    m.attr(name) = models.attr(name);
  }

  // Imported on first use: the OpenAI library takes a while to import.
  ns.lazy("OpenAIClient", "openai", "OpenAI");
  ns.lazy("AzureOpenAIClient", "openai", "AzureOpenAI");
  ns.lazy("AsyncOpenAIClient", "openai", "AsyncOpenAI");
  ns.lazy("AsyncAzureOpenAIClient", "openai", "AsyncAzureOpenAI");
  ns.lazy("DocumentCache", "vorlex.cache", "DocumentCache");
  ns.lazy("extract_main_response", "vorlex.utils", "extract_main_response");
  ns.lazy("ensure_pdf_bytes", "vorlex.utils", "ensure_pdf_bytes");
  ns.lazy("is_image_bytes", "vorlex.utils", "is_image_bytes");
  ns.lazy("get_document_metadata", "vorlex.utils", "get_document_metadata");
  ns.lazy("load_pdf", "vorlex.utils", "load_pdf");
  ns.lazy("load_pdf_lazy", "vorlex.utils", "load_pdf_lazy");
  ns.lazy("filter_relevant_pages", "vorlex.utils", "filter_relevant_pages");
  ns.lazy("requests", "requests");
  ns.lazy("socket", "socket");
  ns.lazy("urlsplit", "urllib.parse", "urlsplit");
  ns.lazy("urljoin", "urllib.parse", "urljoin");
  ns.lazy("parse_url", "urllib3.util", "parse_url");
  ns.lazy("ipaddress", "ipaddress");
  ns.lazy("os", "os");
  ns.lazy("time", "time");
  ns.lazy("asyncio", "asyncio");
  ns.lazy("concurrent", "concurrent.futures");
  ns.lazy("contextvars", "contextvars");
  ns.lazy("traceback", "traceback");
  ns.lazy("ValidationError", "pydantic", "ValidationError");
  ns.lazy("tqdm", "tqdm", "tqdm");
  ns.lazy("distributed", "distributed");  // the optional extra vorlex[dask]

  m.attr("logger") = py::module_::import("logging").attr("getLogger")("vorlex.reader");
  // The TLS context the readers' HTTP clients share, built on first use (construction.cpp).
  m.attr("_tls_context") = py::none();

  vx::PyClass cls(m, "Vorlex",
                  "Reads documents (PDF, images, URLs, bytes, streams) by asking a large "
                  "language model the registered questions.");
  cls.attr("MAX_FILE_SIZE_MB", py::int_(50));
  cls.attr("MAX_PAGES", py::int_(500));
  cls.attr("REQUEST_TIMEOUT_SECONDS", py::float_(120.0));

  init_construction(cls);
  init_loop_client_closer(m);
  init_registry(cls);
  init_calls(cls);
  init_execution(cls);
  init_documents(cls);
  init_processing(cls);
  init_batch(cls);
  init_distributed(cls);
  vx::aio::init(m, "Coroutine",
                "A coroutine of the reader's asynchronous operations: await it, or hand it to "
                "asyncio as any coroutine.");
  init_async(cls);
  vx::python_signatures(m);
}
