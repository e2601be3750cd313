// vorlex.config: model names, prices and service settings read by the reader and OCR.
//
//   DEFAULT_MODEL, MODELS          the default model and the table of known models
//   resolve_model(model, provider) the name to send to a provider
//   get_grok_base_url()            xAI's OpenAI-compatible address (XAI_BASE_URL wins)
//   calculate_cost(model, p, c)    US dollars for a call, from PRICES
//   price_known(model)             whether PRICES prices the model
//   get_azure_config()             (endpoint, key) of the cloud OCR service
//   VISION_FALLBACK_PROMPT         system prompt of the vision fallback
//
// The tables are module attributes read at each call, so callers may patch them.
#include <cctype>
#include <cstdlib>
#include <set>
#include <string>

#include "bridge/signatures.hpp"
#include "bridge/bridge.hpp"

namespace {

vx::Namespace ns;
vx::Logger logger("vorlex.config");

constexpr const char* kDefaultModel = "gpt-4o-mini";
constexpr const char* kGrokBaseUrl = "https://api.x.ai/v1";
constexpr const char* kDefaultGrokModel = "grok-3-mini";
constexpr const char* kDefaultGoogleModel = "gemini-2.0-flash";

// name -> what it is; the keys are what a caller may pass as `model`.
const std::pair<const char*, const char*> kModels[] = {
    {"gpt-4o-mini", "OpenAI GPT-4o mini"},
    {"gpt-4o", "OpenAI GPT-4o"},
    {"gpt-4.1", "OpenAI GPT-4.1"},
    {"gpt-4.1-mini", "OpenAI GPT-4.1 mini"},
    {"gpt-4.1-nano", "OpenAI GPT-4.1 nano"},
    {"o4-mini", "OpenAI o4-mini"},
    {"grok-3", "xAI Grok 3"},
    {"grok-3-mini", "xAI Grok 3 mini"},
    {"grok-4", "xAI Grok 4"},
    {"gemini-2.0-flash", "Google Gemini 2.0 Flash"},
    {"gemini-2.5-flash", "Google Gemini 2.5 Flash"},
    {"gemini-2.5-pro", "Google Gemini 2.5 Pro"},
};

// US dollars per million tokens: (prompt, completion).
struct Price {
  const char* model;
  double prompt, completion;
};
const Price kPrices[] = {
    {"gpt-4o-mini", 0.15, 0.60},   {"gpt-4o", 2.50, 10.00},
    {"gpt-4.1", 2.00, 8.00},       {"gpt-4.1-mini", 0.40, 1.60},
    {"gpt-4.1-nano", 0.10, 0.40},  {"o4-mini", 1.10, 4.40},
    {"grok-3", 3.00, 15.00},       {"grok-3-mini", 0.30, 0.50},
    {"grok-4", 3.00, 15.00},       {"gemini-2.0-flash", 0.10, 0.40},
    {"gemini-2.5-flash", 0.30, 2.50}, {"gemini-2.5-pro", 1.25, 10.00},
};

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// The model name to send to `provider`. A name that belongs to another provider's
// family (the OpenAI default given to Grok, say) becomes that provider's default.
py::object resolve_model(py::object model_obj, py::object provider_obj) {
  std::string model = model_obj.is_none() ? std::string() : vx::arg_str(model_obj, "model");
  std::string provider =
      provider_obj.is_none() ? std::string("openai") : vx::arg_str(provider_obj, "provider");
  if (model.empty()) model = py::cast<std::string>(ns.get("DEFAULT_MODEL"));
  if (provider == "grok") {
    if (!starts_with(model, "grok")) return py::str(kDefaultGrokModel);
  } else if (provider == "google") {
    if (!starts_with(model, "gemini") && !starts_with(model, "models/"))
      return py::str(kDefaultGoogleModel);
  }
  return vx::from_utf8(model);
}

py::object get_grok_base_url() {
  std::string v = env("XAI_BASE_URL");
  if (!v.empty()) return vx::from_utf8(v);
  return py::str(kGrokBaseUrl);
}

// Cost of a call: tokens times the per-million prices of PRICES; 0.0 for a model
// without a price.
// The price entry of a model name: the name itself; a dated snapshot
// ("gpt-4o-mini-2024-07-18") as its model; else the longest known name the given one
// starts with, up to a separator (an Azure deployment "gpt-4o-prod"). None when none.
py::object price_entry(py::object prices, const py::object& model) {
  py::object entry = prices.attr("get")(model);
  if (!entry.is_none()) return entry;
  std::string name = vx::to_utf8(model);
  auto digits = [&](size_t from, size_t n) {
    for (size_t i = from; i < from + n; ++i)
      if (name[i] < '0' || name[i] > '9') return false;
    return true;
  };
  const size_t n = name.size();
  if (n > 11 && name[n - 11] == '-' && digits(n - 10, 4) && name[n - 6] == '-' && digits(n - 5, 2) &&
      name[n - 3] == '-' && digits(n - 2, 2)) {
    entry = prices.attr("get")(vx::from_utf8(name.substr(0, n - 11)));
    if (!entry.is_none()) return entry;
  }
  py::object best = py::none();
  size_t best_len = 0;
  for (py::handle key : py::list(prices)) {
    if (!vx::is_str(key)) continue;
    std::string k = vx::to_utf8(key);
    if (k.empty() || k.size() <= best_len || k.size() >= n || name.compare(0, k.size(), k) != 0) continue;
    // A letter or digit right after the name (any script, as str.isalnum) or a dot
    // continues it: "gpt-4o0" and "gpt-4.10" are other models.
    unsigned char next = static_cast<unsigned char>(name[k.size()]);
    if (next >= 0x80 || std::isalnum(next) || next == '.') continue;
    best = prices.attr("get")(key);
    best_len = k.size();
  }
  return best;
}

bool price_known(py::object model) {
  return vx::is_str(model) && !price_entry(ns.get("PRICES"), model).is_none();
}

double calculate_cost(py::object model, py::object prompt_tokens, py::object completion_tokens) {
  double p = vx::arg_float(prompt_tokens, "prompt_tokens");
  double c = vx::arg_float(completion_tokens, "completion_tokens");
  if (!vx::is_str(model)) return 0.0;
  py::object entry = price_entry(ns.get("PRICES"), model);
  if (entry.is_none()) {
    // Once per name: a batch on an unpriced deployment should not repeat it per call.
    static std::set<std::string>* warned = new std::set<std::string>();
    if (warned->insert(vx::to_utf8(model)).second) {
      logger.warning("Modelo sem preço conhecido: %s; custo registrado como 0.0", model);
    }
    return 0.0;
  }
  py::sequence pair = entry.cast<py::sequence>();
  double pp = py::cast<double>(pair[0]);
  double cp = py::cast<double>(pair[1]);
  return (p * pp + c * cp) / 1'000'000.0;
}

py::tuple get_azure_config() {
  std::string endpoint = env("AZURE_AI_VISION_ENDPOINT");
  std::string key = env("AZURE_AI_VISION_KEY");
  return py::make_tuple(vx::from_utf8(endpoint), vx::from_utf8(key));
}

}  // namespace

PYBIND11_MODULE(config, m) {
  m.doc() = "Model names, prices and service settings.";
  ns.bind(m);
  m.attr("DEFAULT_MODEL") = kDefaultModel;
  py::dict models;
  for (const auto& [k, v] : kModels) models[k] = v;
  m.attr("MODELS") = models;
  py::dict prices;
  for (const auto& pr : kPrices) prices[pr.model] = py::make_tuple(pr.prompt, pr.completion);
  m.attr("PRICES") = prices;
  m.attr("GROK_BASE_URL") = kGrokBaseUrl;
  m.attr("VISION_FALLBACK_PROMPT") =
      "Você é um sistema de OCR. Transcreva fielmente todo o texto visível nesta imagem de "
      "página de documento, na ordem natural de leitura, preservando quebras de linha, "
      "números, datas e pontuação. Não resuma, não traduza e não acrescente comentários. "
      "Se a página não contiver texto legível, responda com uma resposta vazia.";
  m.def("resolve_model", &resolve_model, py::arg("model"), py::arg("provider") = "openai",
        "The model name to send to the provider ('openai', 'grok' or 'google').");
  m.def("get_grok_base_url", &get_grok_base_url,
        "Base address of xAI's OpenAI-compatible service; XAI_BASE_URL overrides it.");
  m.def("calculate_cost", &calculate_cost, py::arg("model"), py::arg("prompt_tokens"),
        py::arg("completion_tokens"), "Cost in US dollars; 0.0 for a model without a price.");
  m.def("price_known", &price_known, py::arg("model"), "Whether PRICES has a price for the model.");
  m.def("get_azure_config", &get_azure_config,
        "(endpoint, key) of the Azure AI Vision resource, from AZURE_AI_VISION_ENDPOINT and "
        "AZURE_AI_VISION_KEY; an empty key means OCR is not configured.");
  vx::python_signatures(m);
}
