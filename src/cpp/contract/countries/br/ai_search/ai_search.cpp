// vorlex.contract.countries.br.ai_search: finds a company's CNPJ by name through an
// OpenAI model with web search, for the last strategy of buscar_empresa_completo.
//
//   AI_SEARCH_MODEL, AI_SEARCH_CHAT_MODEL, AI_SEARCH_TIMEOUT, AI_SEARCH_PROMPT
//   buscar_cnpj_via_ai(nome, openai_api_key)   formatted CNPJ, or None
//
// The OpenAI client (`OpenAI`, imported on first use) is asked through the
// Responses API with the web search tool; a client without that API is asked
// through chat completions with a search model. The first valid CNPJ written in the
// answer is returned; the answer is never trusted without the check digits.
// The client honours OPENAI_BASE_URL, like every OpenAI client.
#include <string>

#include "bridge/bridge.hpp"
#include "bridge/py_text.hpp"
#include "bridge/signatures.hpp"
#include "core/br_cnpj.hpp"
#include "core/unicode.hpp"

namespace {

vx::Namespace ns;
const vx::Logger logger("vorlex.contract.countries.br.ai_search");

// Filled with the company name (replacing "{nome}").
constexpr const char* kPrompt =
    "Pesquise na web o CNPJ da empresa brasileira \"{nome}\". Prefira fontes oficiais "
    "(Receita Federal, site da própria empresa) e cadastros públicos de CNPJ. Responda apenas "
    "com o CNPJ da matriz no formato XX.XXX.XXX/XXXX-XX. Se não encontrar, responda "
    "NAO_ENCONTRADO.";

std::string fill_in(const std::string& tmpl, const std::string& name) {
  std::string out = tmpl;
  for (size_t at = out.find("{nome}"); at != std::string::npos; at = out.find("{nome}", at + name.size())) {
    out.replace(at, 6, name);
  }
  return out;
}

// The assistant's text: Response.output_text, or the first choice's message content.
py::object ask(const py::object& client, const std::string& prompt) {
  if (py::hasattr(client, "responses")) {
    py::list tools;
    py::dict web;
    web["type"] = "web_search";
    tools.append(web);
    py::object resp = client.attr("responses")
                          .attr("create")(py::arg("model") = ns.get("AI_SEARCH_MODEL"),
                                          py::arg("tools") = tools, py::arg("input") = vx::from_utf8(prompt));
    return resp.attr("output_text");
  }
  py::list messages;
  py::dict msg;
  msg["role"] = "user";
  msg["content"] = vx::from_utf8(prompt);
  messages.append(msg);
  py::object resp = client.attr("chat")
                        .attr("completions")
                        .attr("create")(py::arg("model") = ns.get("AI_SEARCH_CHAT_MODEL"),
                                        py::arg("messages") = messages,
                                        py::arg("web_search_options") = py::dict());
  return resp.attr("choices")[py::int_(0)].attr("message").attr("content");
}

py::object buscar_cnpj_via_ai(py::object nome, py::object openai_api_key) {
  std::string name_text = vx::arg_str(nome, "nome");
  std::string api_key = vx::arg_str(openai_api_key, "openai_api_key");
  if (vx::uni::strip(vx::uni::decode(name_text)).empty() || api_key.empty()) return py::none();

  py::object tmpl = ns.get("AI_SEARCH_PROMPT");
  std::string prompt = fill_in(vx::arg_str(tmpl, "AI_SEARCH_PROMPT"), name_text);
  py::object answer;
  try {
    py::object client = ns.call("OpenAI", py::arg("api_key") = openai_api_key,
                                py::arg("timeout") = ns.get("AI_SEARCH_TIMEOUT"));
    answer = ask(client, prompt);
  } catch (py::error_already_set& e) {
    // Failures of the service (connection, time-out, HTTP status) end in "not found";
    // anything else is a fault and is raised.
    py::object openai_error = vx::late("openai", "OpenAIError");
    if (PyObject_IsInstance(e.value().ptr(), openai_error.ptr()) != 1) throw;
    logger.warning("AI web search failed for %r: %s", nome, e.value());
    return py::none();
  }
  std::u32string answer_text = vx::is_str(answer) ? vx::br_py::to_u32(answer) : std::u32string();
  std::u32string found = vx::br::find_cnpj(answer_text);
  if (found.empty()) {
    logger.info("AI web search found no valid CNPJ for %r", nome);
    return py::none();
  }
  py::str formatted = vx::br_py::from_u32(vx::br::format_clean_cnpj(found));
  logger.info("AI web search found CNPJ %s for %r", formatted, nome);
  return formatted;
}

}  // namespace

PYBIND11_MODULE(ai_search, m) {
  m.doc() = "CNPJ of a company by name, through an OpenAI model with web search.";
  ns.bind(m);
  ns.lazy("OpenAI", "openai", "OpenAI");
  m.attr("AI_SEARCH_MODEL") = "gpt-4o-mini";
  m.attr("AI_SEARCH_CHAT_MODEL") = "gpt-4o-mini-search-preview";
  m.attr("AI_SEARCH_TIMEOUT") = 60;
  m.attr("AI_SEARCH_PROMPT") = kPrompt;
  m.def("buscar_cnpj_via_ai", &buscar_cnpj_via_ai, py::arg("nome"), py::arg("openai_api_key"),
        "The CNPJ (XX.XXX.XXX/XXXX-XX) an OpenAI web search finds for the company `nome`, "
        "or None; only a number with valid check digits is returned.");
  py::list all;
  all.append("buscar_cnpj_via_ai");
  m.attr("__all__") = all;
  vx::python_signatures(m);
}
