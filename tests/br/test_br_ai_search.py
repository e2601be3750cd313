"""AI CNPJ search through the real `openai` client against a local OpenAI-compatible
server, alone and as the last strategy of buscar_empresa_completo."""

import openai
import pytest

import vorlex.contract.countries.br.ai_search as ai
import vorlex.contract.countries.br.cnpj as cnpj_mod
from servers.registry import CNPJ_A, CNPJ_B, brasil_api_record, fmt

LOGGER = "vorlex.contract.countries.br.ai_search"


def lines(caplog):
    return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == LOGGER]


def test_finds_a_valid_cnpj_through_web_search(openai_server, vorlex_logs):
    openai_server.answer = "Segundo a Receita Federal, o CNPJ da ACME é 11.222.333/0001-81."
    assert ai.buscar_cnpj_via_ai("ACME Indústria", "sk-test") == "11.222.333/0001-81"
    [(path, body)] = openai_server.bodies
    assert path == "/v1/responses"
    assert body["model"] == ai.AI_SEARCH_MODEL
    assert body["tools"] == [{"type": "web_search"}]
    assert '"ACME Indústria"' in body["input"] and "XX.XXX.XXX/XXXX-XX" in body["input"]
    assert openai_server.headers[0]["authorization"] == "Bearer sk-test"
    assert lines(vorlex_logs) == [
        ("INFO", "AI web search found CNPJ %s for %r", ("11.222.333/0001-81", "ACME Indústria"))
    ]


@pytest.mark.parametrize(
    "answer, found",
    [
        ("12.345.678/0001-99 (antigo) e 11222333000181 (atual)", fmt(CNPJ_A)),  # check digits decide
        (f"CNPJ {CNPJ_B}.", fmt(CNPJ_B)),
        ("NAO_ENCONTRADO", None),
        ("111222333000181", None),  # glued to another digit
        ("00.000.000/0000-00", None),
        ("", None),
    ],
)
def test_answer_parsing(openai_server, answer, found):
    openai_server.answer = answer
    assert ai.buscar_cnpj_via_ai("Empresa X", "sk") == found


def test_service_failure_ends_in_none(openai_server, vorlex_logs):
    openai_server.status = 400
    assert ai.buscar_cnpj_via_ai("Empresa X", "sk") is None
    [(level, msg, args)] = lines(vorlex_logs)
    assert (level, msg, args[0]) == ("WARNING", "AI web search failed for %r: %s", "Empresa X")
    assert isinstance(args[1], openai.BadRequestError)


def test_chat_completions_when_the_client_has_no_responses_api(openai_server, monkeypatch):
    class ChatOnly:
        def __init__(self, **kwargs):
            self.chat = openai.OpenAI(**kwargs).chat

    monkeypatch.setattr(ai, "OpenAI", ChatOnly)
    openai_server.answer = f"O CNPJ é {fmt(CNPJ_A)}"
    assert ai.buscar_cnpj_via_ai("ACME", "sk") == fmt(CNPJ_A)
    [(path, body)] = openai_server.bodies
    assert path == "/v1/chat/completions"
    assert body["model"] == ai.AI_SEARCH_CHAT_MODEL and body["web_search_options"] == {}
    assert body["messages"][0]["role"] == "user" and '"ACME"' in body["messages"][0]["content"]


def test_empty_name_or_key_asks_nothing(openai_server):
    assert ai.buscar_cnpj_via_ai("  ", "sk") is None
    assert ai.buscar_cnpj_via_ai("ACME", "") is None
    assert openai_server.bodies == []
    with pytest.raises(TypeError, match="nome"):
        ai.buscar_cnpj_via_ai(None, "sk")
    with pytest.raises(TypeError, match="openai_api_key"):
        ai.buscar_cnpj_via_ai("ACME", None)


def test_last_strategy_of_the_combined_search(openai_server, registry):
    registry.brasil_api[CNPJ_B] = brasil_api_record(cnpj=CNPJ_B, razao_social="BETA SERVICOS LTDA")
    openai_server.answer = f"CNPJ: {fmt(CNPJ_B)}"
    rec = cnpj_mod.buscar_empresa_completo(nome="Beta Serviços", usar_ai_search=True, openai_api_key="sk")
    assert rec["_metodo_busca"] == "ai_web_search" and rec["_cnpj_buscado_por_ai"] is True
    assert rec["cnpj"] == fmt(CNPJ_B)
    assert [r.service for r in registry.requests] == ["casadosdados", "brasilapi"]
