// Cloud OCR through Azure AI Vision (Image Analysis, Read), with a retry policy of its
// own: three attempts at most, transient failures only, a log line before each retry.
#include <vector>

#include "core/ocr_rules.hpp"
#include "core/unicode.hpp"
#include "ocr/ocr.hpp"

namespace vx::ocr {
namespace {

namespace rules = core::ocr;

py::object attr_or_none(py::handle obj, const char* name) {
  if (obj.is_none()) return py::none();
  PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
  if (v) return py::reinterpret_steal<py::object>(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::none();
}

// A failure is worth another attempt when it carries no HTTP status at all (a lost
// connection, a time-out, a missing client library) or a status of 429 or 5xx.
// Everything else (a refused image, a wrong key) would fail again the same way.
bool is_transient_azure_error(py::object exc) {
  py::object status = attr_or_none(exc, "status_code");
  if (status.is_none()) status = attr_or_none(attr_or_none(exc, "response"), "status_code");
  if (status.is_none()) return true;
  if (is_int(status)) {
    int overflow = 0;
    long long s = PyLong_AsLongLongAndOverflow(status.ptr(), &overflow);
    if (!overflow) return rules::transient_status(s);
    return overflow > 0;  // beyond any real status, but >= 500 all the same
  }
  // Any other kind of number compares the way Python compares it.
  return status.equal(py::int_(429)) || status >= py::int_(500);
}

// Each attempt builds its own client; its connection pool is released as soon as the
// answer is in, rather than whenever the garbage collector gets to it.
void close_client(py::handle client) {
  py::object close = attr_or_none(client, "close");
  if (!close.is_none()) close();
}

// One OCR attempt: a new client, the Read feature only, the text of every line.
py::object call_ocr_once(py::object endpoint, py::object key, py::object img_data) {
  py::object client_cls = ns.get("ImageAnalysisClient");
  py::object features = ns.get("VisualFeatures");
  py::object credential = ns.call("AzureKeyCredential", key);
  py::dict options;
  py::object configured = ns.get("AZURE_CLIENT_OPTIONS");
  if (!configured.is_none()) options = py::dict(configured);
  options["endpoint"] = endpoint;
  options["credential"] = credential;
  py::object client = client_cls(**options);
  py::object timeout = ns.get("AZURE_OCR_TIMEOUT_SECONDS");
  py::list wanted;
  wanted.append(features.attr("READ"));
  py::object result;
  try {
    result = client.attr("analyze")(py::arg("image_data") = img_data, py::arg("visual_features") = wanted,
                                    py::arg("language") = "pt", py::arg("connection_timeout") = timeout,
                                    py::arg("read_timeout") = timeout);
  } catch (py::error_already_set&) {
    // The analysis failure is what the retry policy must see, not a failed close.
    try {
      close_client(client);
    } catch (py::error_already_set&) {
    }
    throw;
  }
  close_client(client);

  std::string text;
  py::object read = attr_or_none(result, "read");
  if (!read.is_none() && truthy(read)) {
    for (py::handle block : read.attr("blocks")) {
      for (py::handle line : block.attr("lines")) {
        py::object t = line.attr("text");
        if (!is_str(t)) {
          throw py::type_error("OCR line text must be str, not " + type_name(t));
        }
        text += to_utf8(t);
        text += '\n';
      }
    }
  }
  std::u32string all = uni::decode(text);
  std::u32string_view s = uni::strip(all);
  if (s.empty()) return py::none();
  return from_utf8(uni::encode(s));
}

// before_sleep of the policy: which attempt failed, and with what.
void log_ocr_retry(py::object retry_state) {
  py::object attempt = retry_state.attr("attempt_number");
  std::string name = "unknown";
  py::object outcome = attr_or_none(retry_state, "outcome");
  if (!outcome.is_none() && truthy(outcome.attr("failed"))) {
    py::object exc = outcome.attr("exception")();
    if (!exc.is_none()) name = type_name(exc);
  }
  log.warning("OCR retry %d/3: %s", attempt, name);
}

py::object perform_azure_ocr(py::object image_bytes, py::object image_format) {
  if (!is_bytes_like(image_bytes)) raise_type_error("image_bytes", "bytes", image_bytes);
  std::string format = arg_str(image_format, "image_format");

  std::vector<py::object> config;
  for (py::handle item : ns.call("get_azure_config")) {
    config.push_back(py::reinterpret_borrow<py::object>(item));
  }
  if (config.size() != 2) {
    throw py::value_error("get_azure_config() must return (endpoint, key), got " +
                          std::to_string(config.size()) + " values");
  }
  py::object endpoint = config[0], key = config[1];
  if (key.is_none() || !truthy(key)) {
    log.warning("AZURE_AI_VISION_KEY não configurada!");
    return py::none();
  }

  // The attempt and its policy are built for this call only: nothing (client,
  // configuration, retry state) is shared between calls or threads.
  py::cpp_function attempt(
      [endpoint, key](py::object img_data) { return call_ocr_once(endpoint, key, img_data); },
      py::name("_call_ocr"), py::arg("img_data"));
  py::cpp_function before_sleep(&log_ocr_retry, py::name("_log_ocr_retry"), py::arg("retry_state"));
  py::object policy = ns.call(
      "retry", py::arg("stop") = ns.call("stop_after_attempt", rules::kOcrAttempts),
      py::arg("wait") = ns.call("wait_random_exponential", py::arg("multiplier") = 1, py::arg("max") = 16),
      py::arg("retry") = ns.call("retry_if_exception", ns.get("_is_transient_azure_error")),
      py::arg("before_sleep") = before_sleep, py::arg("reraise") = true);
  py::object call_ocr = policy(attempt);

  try {
    py::object image =
        ns.get("Image").attr("open")(ns.get("io").attr("BytesIO")(image_bytes)).attr("convert")("RGB");
    py::tuple size = image.attr("size");
    long long w = size[0].cast<long long>(), h = size[1].cast<long long>();
    if (rules::too_small(w, h, ns.get("MIN_DIM").cast<long long>())) return py::none();
    long long max_dim = ns.get("MAX_DIM").cast<long long>();
    auto [nw, nh] = rules::scaled_size(w, h, max_dim);
    if (nw != w || nh != h) {
      image = image.attr("resize")(py::make_tuple(nw, nh), ns.get("Image").attr("LANCZOS"));
    }
    std::u32string lowered = uni::lower(uni::decode(format));
    py::object buffer = ns.get("io").attr("BytesIO")();
    image.attr("save")(buffer, py::arg("format") = rules::encoding_for(lowered));
    return call_ocr(buffer.attr("getvalue")());
  } catch (...) {
    std::string why = failure_text_or_rethrow();
    log_text("error", "Azure OCR falhou após retries: " + why);
    return py::none();
  }
}

}  // namespace

void init_cloud_ocr(py::module_& m) {
  m.def("_is_transient_azure_error", &is_transient_azure_error, py::arg("exc"),
        "True when repeating the OCR call may succeed: no HTTP status, 429 or 5xx.");
  m.def("perform_azure_ocr", &perform_azure_ocr, py::arg("image_bytes"), py::arg("image_format") = "png",
        "Text of an image read by Azure AI Vision, or None. Never raises for bad images "
        "or service failures: they are logged and give None.");
}

}  // namespace vx::ocr
