// vorlex.contract.auth: the provider credentials of the contract checker.
//
//   VorlexAuth   settles the provider ("openai" or "azure") and its credentials from
//                the arguments, then the environment, once, at construction; tells the
//                checker whether they are complete and hands the reader's keyword
//                arguments over
//
// Settling the provider: an explicit `provider` wins; then OPENAI_PROVIDER when it
// names one of the two; then Azure when its credentials are complete and no OpenAI key
// is given anywhere; else OpenAI. An empty argument counts as absent, as everywhere
// in the reader's configuration.
#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"

namespace {

vx::Namespace ns;

std::string env(const char* name) {
  py::object v = ns.get("os").attr("environ").attr("get")(name);
  return v.is_none() ? std::string() : vx::to_utf8(v);
}

std::string arg_or_env(py::handle h, const char* arg, const char* var) {
  auto v = vx::arg_opt_str(h, arg);
  if (v && !v->empty()) return *v;
  return env(var);
}

// str.strip().lower() of a provider name, as the reader reads OPENAI_PROVIDER.
std::string provider_name(const std::string& s) {
  return vx::to_utf8(vx::from_utf8(s).attr("strip")().attr("lower")());
}

void auth_init(py::object self, py::object openai_api_key, py::object provider, py::object azure_api_key,
               py::object azure_endpoint, py::object azure_deployment, py::object azure_api_version) {
  std::string openai_key = arg_or_env(openai_api_key, "openai_api_key", "OPENAI_API_KEY");
  std::string az_key = arg_or_env(azure_api_key, "azure_api_key", "AZURE_API_KEY");
  std::string az_endpoint = arg_or_env(azure_endpoint, "azure_endpoint", "AZURE_API_ENDPOINT");
  std::string az_deployment = arg_or_env(azure_deployment, "azure_deployment", "AZURE_DEPLOYMENT_NAME");
  std::string az_version = arg_or_env(azure_api_version, "azure_api_version", "AZURE_API_VERSION");
  if (az_version.empty()) az_version = "2024-02-15-preview";
  auto chosen = vx::arg_opt_str(provider, "provider");

  std::string name;
  if (chosen && !chosen->empty()) {
    name = provider_name(*chosen);
    if (name != "openai" && name != "azure") {
      vx::raise_value_error("provider deve ser 'openai' ou 'azure', não " + vx::safe_str(py::repr(provider)));
    }
  } else {
    std::string from_env = provider_name(env("OPENAI_PROVIDER"));
    if (from_env == "openai" || from_env == "azure") {
      name = from_env;
    } else if (openai_key.empty() && !az_key.empty() && !az_endpoint.empty() && !az_deployment.empty()) {
      name = "azure";
    } else {
      name = "openai";
    }
  }
  self.attr("_provider") = name;
  self.attr("_openai_api_key") = openai_key;
  self.attr("_azure_api_key") = az_key;
  self.attr("_azure_endpoint") = az_endpoint;
  self.attr("_azure_deployment") = az_deployment;
  self.attr("_azure_api_version") = az_version;
}

bool filled(py::handle self, const char* field) { return vx::truthy(self.attr(field)); }

bool is_azure(py::object self) { return py::str(self.attr("_provider")).equal(py::str("azure")); }

bool has_api_key(py::object self) {
  if (py::cast<bool>(self.attr("is_azure"))) {
    return filled(self, "_azure_api_key") && filled(self, "_azure_endpoint") &&
           filled(self, "_azure_deployment");
  }
  return filled(self, "_openai_api_key");
}

bool is_vorlex_available(py::object) {
  try {
    return !py::module_::import("importlib.util").attr("find_spec")("vorlex.reader").is_none();
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ImportError) || e.matches(PyExc_ValueError)) return false;
    throw;
  }
}

py::dict get_vorlex_kwargs(py::object self) {
  py::dict kw;
  if (py::cast<bool>(self.attr("is_azure"))) {
    kw["provider"] = "azure";
    kw["azure_api_key"] = self.attr("_azure_api_key");
    kw["azure_endpoint"] = self.attr("_azure_endpoint");
    kw["azure_deployment"] = self.attr("_azure_deployment");
    kw["azure_api_version"] = self.attr("_azure_api_version");
  } else {
    kw["provider"] = "openai";
    kw["openai_api_key"] = self.attr("_openai_api_key");
  }
  return kw;
}

py::str auth_repr(py::object self) {
  // Never the keys themselves.
  return py::str("<VorlexAuth provider=" + vx::safe_str(py::repr(self.attr("_provider"))) +
                 " has_api_key=" + (has_api_key(self) ? "True" : "False") + ">");
}

}  // namespace

PYBIND11_MODULE(auth, m) {
  m.doc() = "Provider credentials of the contract checker.";
  ns.bind(m);
  ns.lazy("os", "os");
  vx::PyClass(m, "VorlexAuth",
              "The provider (openai or azure) and its credentials, from the arguments or "
              "the environment.")
      .def("__init__", &auth_init, py::arg("self"), py::arg("openai_api_key") = py::none(),
           py::arg("provider") = py::none(), py::arg("azure_api_key") = py::none(),
           py::arg("azure_endpoint") = py::none(), py::arg("azure_deployment") = py::none(),
           py::arg("azure_api_version") = "2024-02-15-preview")
      .def_property_readonly(
          "provider", [](py::object self) { return self.attr("_provider"); }, "'openai' or 'azure'.")
      .def_property_readonly("is_azure", &is_azure, "Whether Azure OpenAI is the provider.")
      .def_property_readonly("has_api_key", &has_api_key, "Whether the provider's credentials are complete.")
      .def_property_readonly("is_vorlex_available", &is_vorlex_available,
                             "Whether the reader module can be loaded.")
      .def("get_vorlex_kwargs", &get_vorlex_kwargs, py::arg("self"),
           "Keyword arguments of Vorlex(...) selecting and configuring the provider.")
      .def("__repr__", &auth_repr, py::arg("self"));
  py::list all;
  all.append("VorlexAuth");
  m.attr("__all__") = all;
  vx::python_signatures(m);
}
