// vorlex.config: model names, prices and service settings read by the reader and OCR.
//
//   DEFAULT_MODEL, MODELS, PRICES  the default model and the tables of known models and
//                                  their prices, from the package's data/models.toml
//   PROVIDER_DEFAULT_MODELS        the model Grok and Google use when given another
//                                  family's name (models.toml's [provider_defaults])
//   resolve_model(model, provider) the name to send to a provider
//   get_grok_base_url()            xAI's OpenAI-compatible address (XAI_BASE_URL wins)
//   calculate_cost(model, p, c)    US dollars for a call, from PRICES
//   price_known(model)             whether PRICES prices the model
//   get_azure_config()             (endpoint, key) of the cloud OCR service
//   VISION_FALLBACK_PROMPT         system prompt of the vision fallback
//
// Models and prices change for reasons of their own (a provider's release, a new
// price list), so they are data, read once at import: a new price is an edit of
// models.toml, not a rebuild. The tables and defaults are module attributes read at each
// call, so callers may patch them (vorlex.config.PRICES["name"] = (prompt, completion)).
#include <cctype>
#include <cstdlib>
#include <set>
#include <string>

#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"

namespace {

vx::Namespace ns;
vx::Logger logger("vorlex.config");

constexpr const char* kGrokBaseUrl = "https://api.x.ai/v1";
constexpr const char* kModelTable = "models.toml";  // in the package vorlex.data

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// The model name to send to `provider`. A name that belongs to another provider's
// family (the OpenAI default given to Grok, say) becomes that provider's default.
py::object resolve_model(py::object model_obj, py::object provider_obj) {
  std::string model = model_obj.is_none() ? std::string() : vx::arg_str(model_obj, "model");
  std::string provider = provider_obj.is_none() ? std::string("openai")
                                                : vx::arg_str(provider_obj, "provider");
  if (model.empty()) model = py::cast<std::string>(ns.get("DEFAULT_MODEL"));
  if ((provider == "grok" && !starts_with(model, "grok")) ||
      (provider == "google" && !starts_with(model, "gemini") && !starts_with(model, "models/"))) {
    return ns.get("PROVIDER_DEFAULT_MODELS")[py::str(provider)];
  }
  return vx::from_utf8(model);
}

py::object get_grok_base_url() {
  std::string v = env("XAI_BASE_URL");
  if (!v.empty()) return vx::from_utf8(v);
  return py::str(kGrokBaseUrl);
}

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

// Cost of a call: tokens times the per-million prices of PRICES; 0.0 for a model
// without a price.
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

// The package data's models.toml, parsed (tomllib), and the file's path, for the errors
// that name it. importlib.resources finds the package vorlex.data wherever the package
// was installed from.
py::dict read_model_table(std::string& path) {
  py::object file =
      vx::import("importlib.resources").attr("files")("vorlex.data").attr("joinpath")(kModelTable);
  path = vx::safe_str(file);
  py::object text = file.attr("read_text")(py::arg("encoding") = "utf-8");
  return vx::import("tomllib").attr("loads")(text).cast<py::dict>();
}

// A table of models.toml, or ValueError naming the file and the table (the import
// fails with it, as ImportError).
py::dict section(const py::dict& table, const char* name, const std::string& path) {
  py::object v = vx::mapping_get(table, name, py::none());
  if (!PyDict_Check(v.ptr())) {
    vx::raise_value_error(path + ": [" + name + "] is missing or not a table");
  }
  return v.cast<py::dict>();
}

// A text entry of models.toml, or ValueError naming it.
py::object entry_text(const py::dict& table, const char* key, const char* where, const std::string& path) {
  py::object v = vx::mapping_get(table, key, py::none());
  if (!vx::is_str(v)) {
    vx::raise_value_error(path + ": " + where + key + " must be text");
  }
  return v;
}

// MODELS, PRICES, DEFAULT_MODEL and PROVIDER_DEFAULT_MODELS on the module, from
// models.toml. Prices become (prompt, completion) tuples of floats, as callers have
// always read them.
void load_model_table(py::module_& m) {
  std::string model_table_path;
  py::dict table = read_model_table(model_table_path);
  m.attr("DEFAULT_MODEL") = entry_text(table, "default_model", "", model_table_path);
  py::dict defaults = section(table, "provider_defaults", model_table_path);
  py::dict provider_defaults;
  for (const char* provider : {"grok", "google"}) {
    provider_defaults[provider] = entry_text(defaults, provider, "provider_defaults.", model_table_path);
  }
  m.attr("PROVIDER_DEFAULT_MODELS") = provider_defaults;

  py::dict models;
  for (auto [name, description] : section(table, "models", model_table_path)) {
    if (!vx::is_str(description)) {
      vx::raise_value_error(model_table_path + ": models." + vx::safe_str(name) +
                            " must be a description (text)");
    }
    models[name] = description;
  }
  m.attr("MODELS") = models;

  py::dict prices;
  for (auto [name, pair] : section(table, "prices", model_table_path)) {
    PyObject* list = pair.ptr();
    if (!PyList_Check(list) || PyList_GET_SIZE(list) != 2 || !vx::is_real(PyList_GET_ITEM(list, 0)) ||
        !vx::is_real(PyList_GET_ITEM(list, 1))) {
      vx::raise_value_error(model_table_path + ": prices." + vx::safe_str(name) +
                            " must be [prompt, completion] in US dollars per million tokens");
    }
    auto number = [&](Py_ssize_t i) {
      return py::float_(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, i)));
    };
    prices[name] = py::make_tuple(number(0), number(1));
  }
  m.attr("PRICES") = prices;
}

}  // namespace

PYBIND11_MODULE(config, m) {
  m.doc() = "Model names, prices and service settings.";
  ns.bind(m);
  load_model_table(m);
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
