"""Registry lookups through the real `requests` client against the local fake
registry: records, fallbacks, failures and their log lines, request shapes."""

import sys
import types

import pytest
import requests
from hypothesis import HealthCheck, given, settings, strategies as st

import vorlex.contract.countries.br.cnpj as m
from servers.registry import (
    CNPJ_A,
    CNPJ_B,
    CNPJ_C,
    Reply,
    brasil_api_record,
    fmt,
    receita_ws_record,
)

LOGGER = "vorlex.contract.countries.br.cnpj"


def lines(caplog):
    return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == LOGGER]


# -- lookups by number ---------------------------------------------------------------------
def test_brasil_api_record_mapping(registry, spy, vorlex_logs):
    registry.brasil_api[CNPJ_A] = brasil_api_record()
    rec = m.consultar_cnpj(fmt(CNPJ_A))
    assert list(rec) == [
        "fonte",
        "cnpj",
        "razao_social",
        "nome_fantasia",
        "situacao",
        "data_situacao",
        "data_abertura",
        "natureza_juridica",
        "porte",
        "capital_social",
        "endereco",
        "email",
        "socios",
    ]
    assert rec == {
        "fonte": "BrasilAPI",
        "cnpj": "11.222.333/0001-81",
        "razao_social": "ACME INDUSTRIA E COMERCIO LTDA",
        "nome_fantasia": "ACME",
        "situacao": "ATIVA",
        "data_situacao": "2005-11-03",
        "data_abertura": "1999-01-15",
        "natureza_juridica": "Sociedade Empresária Limitada",
        "porte": "DEMAIS",
        "capital_social": 250000.5,
        "endereco": {
            "logradouro": "AV PAULISTA",
            "numero": "1000",
            "complemento": "ANDAR 10",
            "bairro": "BELA VISTA",
            "cidade": "SAO PAULO",
            "uf": "SP",
            "cep": "01310100",
        },
        "email": "contato@acme.com.br",
        "socios": [
            {
                "nome": "MARIA DA SILVA SANTOS",
                "qualificacao": "Sócio-Administrador",
                "data_entrada": "1999-01-15",
                "cpf_representante": "***000000**",
                "nome_representante": "",
                "qualificacao_representante": "Não informada",
            }
        ],
    }
    assert list(rec["endereco"]) == ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]
    assert list(rec["socios"][0]) == [
        "nome",
        "qualificacao",
        "data_entrada",
        "cpf_representante",
        "nome_representante",
        "qualificacao_representante",
    ]
    # one GET of the clean number, with the module's time-out, and nothing else
    assert [r.path for r in registry.requests] == [f"/brasilapi/api/cnpj/v1/{CNPJ_A}"]
    assert spy.calls == [("get", registry.brasil_api_url.replace("{cnpj}", CNPJ_A), {"timeout": 10})]
    assert lines(vorlex_logs) == []
    assert m.consultar_cnpj_online is m.consultar_cnpj


def test_missing_keys_take_defaults_and_present_values_are_copied(registry):
    rec = brasil_api_record(complemento=None, email=None)
    for key in ("capital_social", "qsa", "porte", "municipio"):
        del rec[key]
    registry.brasil_api[CNPJ_A] = rec
    out = m.consultar_cnpj(CNPJ_A)
    assert out["capital_social"] == 0 and out["socios"] == []
    assert out["porte"] == "" and out["endereco"]["cidade"] == ""
    # address values are text (null counts as absent); other fields are copied as sent
    assert out["endereco"]["complemento"] == "" and out["email"] is None


@pytest.mark.parametrize("status", [404, 429, 500])
def test_brasil_api_failure_status_falls_back_silently(registry, spy, vorlex_logs, status):
    registry.brasil_api[CNPJ_A] = Reply(status, {"message": "x"})
    registry.receita_ws[CNPJ_A] = receita_ws_record()
    rec = m.consultar_cnpj(CNPJ_A)
    assert rec["fonte"] == "ReceitaWS"
    assert [r.service for r in registry.requests] == ["brasilapi", "receitaws"]
    assert registry.calls("receitaws")[0].headers["Accept"] == "application/json"
    assert spy.calls[1][2] == {"headers": {"Accept": "application/json"}, "timeout": 10}
    assert lines(vorlex_logs) == []


def test_receita_ws_record_mapping(registry):
    registry.receita_ws[CNPJ_A] = receita_ws_record()
    rec = m._consultar_receita_ws(CNPJ_A)
    assert rec == {
        "fonte": "ReceitaWS",
        "cnpj": "11.222.333/0001-81",
        "razao_social": "ACME INDUSTRIA E COMERCIO LTDA",
        "nome_fantasia": "ACME",
        "situacao": "ATIVA",
        "data_situacao": "03/11/2005",
        "data_abertura": "15/01/1999",
        "natureza_juridica": "206-2 - Sociedade Empresária Limitada",
        "porte": "DEMAIS",
        "capital_social": 250000.5,
        "endereco": {
            "logradouro": "AV PAULISTA",
            "numero": "1000",
            "complemento": "ANDAR 10",
            "bairro": "BELA VISTA",
            "cidade": "SAO PAULO",
            "uf": "SP",
            "cep": "01.310-100",
        },
        "email": "contato@acme.com.br",
        "socios": [
            {
                "nome": "MARIA DA SILVA SANTOS",
                "qualificacao": "49-Sócio-Administrador",
                "data_entrada": "",
                "cpf_representante": "",
                "nome_representante": "",
                "qualificacao_representante": "",
            }
        ],
    }


@pytest.mark.parametrize(
    "text, value",
    [
        ("1.000.000,00", 1000000.0),
        ("10000.00", 10000.0),  # dot decimal: not a hundred times the amount
        ("10000.5", 10000.5),
        ("1.000.50", 1000.5),
        ("1.000.000", 1000000.0),
        ("1.000", 1000.0),
        ("250000", 250000.0),
        ("0", 0.0),
        (" 10000.00 ", 10000.0),
    ],
)
def test_receita_ws_capital_text(registry, text, value):
    registry.receita_ws[CNPJ_A] = receita_ws_record(capital_social=text)
    got = m._consultar_receita_ws(CNPJ_A)["capital_social"]
    assert type(got) is float and got == value


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.integers(0, 10**12))
def test_receita_ws_capital_both_layouts(registry, cents):
    value = cents / 100
    inteiro, frac = divmod(cents, 100)
    brazilian = f"{inteiro:,}".replace(",", ".") + f",{frac:02d}"
    dotted = f"{inteiro}.{frac:02d}"
    for text in (brazilian, dotted):
        registry.receita_ws[CNPJ_A] = receita_ws_record(capital_social=text)
        assert m._consultar_receita_ws(CNPJ_A)["capital_social"] == value


def test_receita_ws_capital_other_forms(registry):
    registry.receita_ws[CNPJ_A] = receita_ws_record(capital_social="")
    got = m._consultar_receita_ws(CNPJ_A)["capital_social"]
    assert got == 0 and type(got) is int
    registry.receita_ws[CNPJ_A] = receita_ws_record(capital_social=1234)
    assert m._consultar_receita_ws(CNPJ_A)["capital_social"] == 1234
    rec = receita_ws_record()
    del rec["capital_social"]
    registry.receita_ws[CNPJ_A] = rec
    assert m._consultar_receita_ws(CNPJ_A)["capital_social"] == 0.0


@pytest.mark.parametrize("text", ["abc", "R$ 1.000,00", "1,000,00", "1.0.0,0,0", "--5", "   ", "1e5", "nan"])
def test_receita_ws_capital_not_a_number_fails_with_warning(registry, vorlex_logs, text):
    registry.receita_ws[CNPJ_A] = receita_ws_record(capital_social=text)
    assert m._consultar_receita_ws(CNPJ_A) is None
    [(level, msg, args)] = lines(vorlex_logs)
    assert level == "WARNING" and msg == "ReceitaWS request failed for %s: %s"
    assert args[0] == CNPJ_A and isinstance(args[1], ValueError)


def test_receita_ws_error_status_is_silent(registry, vorlex_logs):
    assert m._consultar_receita_ws(CNPJ_A) is None  # the fake answers {"status": "ERROR"}
    registry.receita_ws[CNPJ_A] = Reply(429, {"status": "ERROR"})
    assert m._consultar_receita_ws(CNPJ_A) is None
    assert lines(vorlex_logs) == []


def test_invalid_number_makes_no_request(registry):
    assert m.consultar_cnpj("12.345.678/0001-99") is None
    assert m.consultar_cnpj("") is None
    assert registry.requests == []


def test_both_services_without_the_company(registry):
    assert m.consultar_cnpj(CNPJ_B) is None
    assert [r.service for r in registry.requests] == ["brasilapi", "receitaws"]


@pytest.mark.parametrize(
    "reply, kind",
    [
        (Reply(drop=True), requests.ConnectionError),
        (Reply(200, body=b"<html>manutencao</html>", content_type="text/html"), ValueError),
        (Reply(200, {"x": 1}, delay=3.0), requests.Timeout),
    ],
    ids=["dropped", "not-json", "slow"],
)
def test_brasil_api_network_and_data_failures(registry, vorlex_logs, monkeypatch, reply, kind):
    monkeypatch.setattr(m, "REQUEST_TIMEOUT", 0.5)
    registry.brasil_api[CNPJ_A] = reply
    registry.receita_ws[CNPJ_A] = receita_ws_record()
    rec = m.consultar_cnpj(fmt(CNPJ_A))
    assert rec["fonte"] == "ReceitaWS"  # the fallback is still asked
    [(level, msg, args)] = lines(vorlex_logs)
    assert level == "WARNING" and msg == "BrasilAPI request failed for %s: %s"
    assert args[0] == CNPJ_A and isinstance(args[1], kind)


def test_receita_ws_network_failure(registry, vorlex_logs):
    registry.receita_ws[CNPJ_A] = Reply(drop=True)
    assert m.consultar_cnpj(CNPJ_A) is None
    [(level, msg, args)] = lines(vorlex_logs)
    assert (level, msg, args[0]) == ("WARNING", "ReceitaWS request failed for %s: %s", CNPJ_A)
    assert isinstance(args[1], requests.ConnectionError)


def test_unreachable_service(monkeypatch, vorlex_logs):
    # A port nobody listens on: connection refused.
    import socket

    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    monkeypatch.setattr(m, "BRASIL_API_URL", f"http://127.0.0.1:{port}/api/cnpj/v1/{{cnpj}}")
    monkeypatch.setattr(m, "RECEITA_WS_URL", f"http://127.0.0.1:{port}/v1/cnpj/{{cnpj}}")
    assert m.consultar_cnpj(CNPJ_A) is None
    assert [x[1] for x in lines(vorlex_logs)] == [
        "BrasilAPI request failed for %s: %s",
        "ReceitaWS request failed for %s: %s",
    ]


@pytest.mark.parametrize(
    "answer",
    [brasil_api_record(qsa="MARIA"), brasil_api_record(qsa=["MARIA"]), [brasil_api_record()]],
    ids=["qsa-text", "qsa-entry-text", "json-list"],
)
def test_unexpected_answer_shape_logs_error_with_trace(registry, vorlex_logs, answer):
    registry.brasil_api[CNPJ_A] = answer
    assert m._consultar_brasil_api(CNPJ_A) is None
    [rec] = [r for r in vorlex_logs.records if r.name == LOGGER]
    assert rec.levelname == "ERROR"
    assert rec.msg == "Unexpected error in _consultar_brasil_api for %s" and rec.args == (CNPJ_A,)
    assert rec.exc_info and isinstance(rec.exc_info[1], TypeError)
    assert "Traceback (most recent call last)" in vorlex_logs.text and "TypeError" in vorlex_logs.text


def test_receita_ws_unexpected_error(registry, vorlex_logs):
    registry.receita_ws[CNPJ_A] = receita_ws_record(qsa={"nome": "X"})
    assert m._consultar_receita_ws(CNPJ_A) is None
    [rec] = [r for r in vorlex_logs.records if r.name == LOGGER]
    assert rec.levelname == "ERROR" and rec.msg == "Unexpected error in _consultar_receita_ws for %s"
    assert rec.exc_info is not None and "Traceback (most recent call last)" in vorlex_logs.text


def test_error_raised_inside_the_client_keeps_its_traceback(monkeypatch, vorlex_logs):
    class Broken:
        RequestException = requests.RequestException

        @staticmethod
        def get(url, **kw):
            raise RuntimeError("client bug")

    monkeypatch.setattr(m, "requests", Broken)
    assert m._consultar_brasil_api(CNPJ_A) is None
    [rec] = [r for r in vorlex_logs.records if r.name == LOGGER]
    assert rec.msg == "Unexpected error in _consultar_brasil_api for %s"
    assert rec.exc_info[2] is not None and "client bug" in vorlex_logs.text


def test_interrupts_are_not_swallowed(monkeypatch):
    class Interrupted:
        RequestException = requests.RequestException

        @staticmethod
        def get(url, **kw):
            raise KeyboardInterrupt

    monkeypatch.setattr(m, "requests", Interrupted)
    with pytest.raises(KeyboardInterrupt):
        m._consultar_brasil_api(CNPJ_A)


def test_consultar_cnpj_calls_the_current_siblings(monkeypatch):
    seen = []
    monkeypatch.setattr(m, "_consultar_brasil_api", lambda c: seen.append(("b", c)))
    monkeypatch.setattr(m, "_consultar_receita_ws", lambda c: seen.append(("r", c)) or {"fonte": "X"})
    assert m.consultar_cnpj(fmt(CNPJ_A)) == {"fonte": "X"}
    assert seen == [("b", fmt(CNPJ_A)), ("r", fmt(CNPJ_A))]


# -- lookups by name ----------------------------------------------------------------------------
def expected_body(nome, uf=None):
    query = {"termo": [nome], "situacao_cadastral": "ATIVA"}
    if uf:
        query["uf"] = [uf]
    return {
        "query": query,
        "range_query": {},
        "extras": dict.fromkeys(
            (
                "somente_mei",
                "excluir_mei",
                "com_email",
                "incluir_atividade_secundaria",
                "com_contato_telefonico",
                "somente_fixo",
                "somente_celular",
                "somente_matriz",
                "somente_filial",
            ),
            False,
        ),
        "page": 1,
    }


def test_search_by_name(registry, spy):
    registry.casa_dos_dados = [{"cnpj": CNPJ_A, "razao_social": "ACME INDUSTRIA E COMERCIO LTDA", "uf": "SP"}]
    registry.brasil_api[CNPJ_A] = brasil_api_record()
    rec = m.buscar_cnpj_por_nome("Acme")
    assert rec["fonte"] == "BrasilAPI" and rec["busca_por_nome"] is True and rec["termo_busca"] == "Acme"
    [search] = registry.calls("casadosdados")
    assert search.method == "POST" and search.body == expected_body("Acme")
    assert list(search.body) == ["query", "range_query", "extras", "page"]
    assert list(search.body["extras"]) == list(expected_body("x")["extras"])
    assert search.headers["Content-Type"] == "application/json"
    assert search.headers["Accept"] == "application/json"
    method, url, kwargs = spy.calls[0]
    assert (method, url) == ("post", registry.casa_dos_dados_url)
    assert kwargs["timeout"] == 15 and kwargs["json"] == expected_body("Acme")
    assert kwargs["headers"] == {"Content-Type": "application/json", "Accept": "application/json"}


@pytest.mark.parametrize("uf, key", [(None, False), ("", False), ("RJ", True)])
def test_search_body_state(registry, uf, key):
    m.buscar_cnpj_por_nome("Padaria", uf)
    [search] = registry.calls("casadosdados")
    assert ("uf" in search.body["query"]) is key
    assert search.body == expected_body("Padaria", uf)


def test_short_name_makes_no_request(registry):
    assert m.buscar_cnpj_por_nome("AB") is None
    assert m.buscar_cnpj_por_nome("") is None
    assert registry.requests == []


def test_only_the_first_hit_is_used(registry):
    registry.casa_dos_dados = [
        {"cnpj": "", "razao_social": "ACME ALFA"},
        {"cnpj": CNPJ_A, "razao_social": "ACME BETA"},
    ]
    registry.brasil_api[CNPJ_A] = brasil_api_record()
    assert m.buscar_cnpj_por_nome("ACME") is None
    assert registry.calls("brasilapi") == []
    registry.casa_dos_dados = [{"razao_social": "ACME ALFA"}]
    assert m.buscar_cnpj_por_nome("ACME") is None


def test_search_without_hits_or_with_failure_status_is_silent(registry, vorlex_logs):
    assert m.buscar_cnpj_por_nome("Inexistente") is None
    registry.casa_dos_dados_reply = Reply(200, {"data": {"count": 1, "cnpj": []}})
    assert m.buscar_cnpj_por_nome("Inexistente") is None
    registry.casa_dos_dados_reply = Reply(500, {"error": "x"})
    assert m.buscar_cnpj_por_nome("Inexistente") is None
    registry.casa_dos_dados_reply = Reply(200, {})
    assert m.buscar_cnpj_por_nome("Inexistente") is None
    assert lines(vorlex_logs) == []


def test_search_failures(registry, vorlex_logs, monkeypatch, make_spy):
    registry.casa_dos_dados_reply = Reply(200, body=b"not json", content_type="text/plain")
    assert m.buscar_cnpj_por_nome("Acme Ltda") is None
    registry.casa_dos_dados_reply = Reply(drop=True)
    assert m.buscar_cnpj_por_nome("Acme Ltda") is None
    # A slow answer: the call asks for 15 s; the spy shortens it to provoke the time-out.
    spy = make_spy(timeout_override=0.3)
    registry.casa_dos_dados_reply = Reply(200, {"data": {"count": 0}}, delay=3.0)
    assert m.buscar_cnpj_por_nome("Acme Ltda") is None
    assert spy.calls[0][2]["timeout"] == 15
    got = lines(vorlex_logs)
    assert [(lv, msg) for lv, msg, _ in got] == [("WARNING", "Casa dos Dados search failed for %r: %s")] * 3
    assert all(args[0] == "Acme Ltda" for _, _, args in got)
    assert [type(args[1]) for _, _, args in got][1:] == [requests.ConnectionError, requests.ReadTimeout]
    assert isinstance(got[0][2][1], ValueError)
    assert "failed for 'Acme Ltda'" in vorlex_logs.records[0].getMessage()


def test_search_unexpected_error(registry, vorlex_logs):
    registry.casa_dos_dados_reply = Reply(200, {"data": {"count": "muitos", "cnpj": []}})
    assert m.buscar_cnpj_por_nome("Acme Ltda") is None
    [rec] = [r for r in vorlex_logs.records if r.name == LOGGER]
    assert rec.levelname == "ERROR" and rec.msg == "Unexpected error in buscar_cnpj_por_nome for %r"
    assert rec.args == ("Acme Ltda",) and rec.exc_info is not None
    assert "Traceback (most recent call last)" in vorlex_logs.text


# -- combined searches ------------------------------------------------------------------------------
@pytest.fixture
def acme(registry):
    registry.brasil_api[CNPJ_A] = brasil_api_record()
    registry.brasil_api[CNPJ_B] = brasil_api_record(cnpj=CNPJ_B, razao_social="BETA SERVICOS LTDA")
    registry.casa_dos_dados = [{"cnpj": CNPJ_A, "razao_social": "ACME INDUSTRIA E COMERCIO LTDA", "uf": "SP"}]
    return registry


def test_buscar_empresa(acme):
    assert m.buscar_empresa(cnpj=fmt(CNPJ_A))["cnpj"] == fmt(CNPJ_A)
    assert acme.calls("casadosdados") == []
    # wrong check digits: straight to the name
    rec = m.buscar_empresa(cnpj="11.222.333/0001-00", nome="ACME")
    assert rec["busca_por_nome"] is True and rec["cnpj"] == fmt(CNPJ_A)
    # a valid number the registry does not know also goes on to the name
    acme.requests.clear()
    rec = m.buscar_empresa(cnpj=CNPJ_C, nome="ACME", uf="SP")
    assert rec["termo_busca"] == "ACME"
    assert [r.service for r in acme.requests] == ["brasilapi", "receitaws", "casadosdados", "brasilapi"]
    assert acme.calls("casadosdados")[0].body["query"]["uf"] == ["SP"]
    assert m.buscar_empresa() is None and m.buscar_empresa(cnpj="", nome="") is None


def test_buscar_empresa_calls_the_current_consultar_cnpj(monkeypatch):
    seen = []
    monkeypatch.setattr(m, "consultar_cnpj", lambda c: seen.append(c) or {"ok": 1})
    assert m.buscar_empresa(cnpj=fmt(CNPJ_A)) == {"ok": 1}
    assert seen == [CNPJ_A]  # the clean number


def test_buscar_empresa_completo_methods(acme):
    rec = m.buscar_empresa_completo(cnpj=fmt(CNPJ_B))
    assert rec["_metodo_busca"] == "cnpj_direto" and "busca_por_nome" not in rec
    rec = m.buscar_empresa_completo(cnpj="123", nome="Acme")
    assert rec["_metodo_busca"] == "api_nome" and rec["busca_por_nome"] is True
    assert rec["termo_busca"] == "Acme" and "_cnpj_buscado_por_ai" not in rec
    assert m.buscar_empresa_completo(nome="Ninguem") is None


def fake_ai_module(monkeypatch, fn):
    mod = types.ModuleType("vorlex.contract.countries.br.ai_search")
    mod.buscar_cnpj_via_ai = fn
    monkeypatch.setitem(sys.modules, "vorlex.contract.countries.br.ai_search", mod)


def test_ai_strategy(acme, monkeypatch):
    calls = []
    fake_ai_module(monkeypatch, lambda nome, key: calls.append((nome, key)) or f"CNPJ: {fmt(CNPJ_B)}")
    rec = m.buscar_empresa_completo(nome="Beta Servicos", usar_ai_search=True, openai_api_key="sk-1")
    assert calls == [("Beta Servicos", "sk-1")]
    assert rec["_metodo_busca"] == "ai_web_search" and rec["_cnpj_buscado_por_ai"] is True
    assert rec["razao_social"] == "BETA SERVICOS LTDA"
    # nothing found by the AI: None
    fake_ai_module(monkeypatch, lambda nome, key: "")
    assert m.buscar_empresa_completo(nome="Beta Servicos", usar_ai_search=True, openai_api_key="sk") is None


def test_ai_strategy_needs_flag_name_and_key(acme, monkeypatch):
    def never(nome, key):
        raise AssertionError("the AI component must not be used")

    fake_ai_module(monkeypatch, never)
    assert m.buscar_empresa_completo(nome="Beta Servicos", usar_ai_search=True) is None
    assert m.buscar_empresa_completo(nome="Beta Servicos", usar_ai_search=True, openai_api_key="") is None
    assert m.buscar_empresa_completo(nome="Beta Servicos", openai_api_key="sk") is None
    assert (
        m.buscar_empresa_completo(cnpj=CNPJ_B, usar_ai_search=True, openai_api_key="sk")["_metodo_busca"]
        == "cnpj_direto"
    )


def test_ai_component_missing_is_silent(acme, monkeypatch, vorlex_logs):
    monkeypatch.setitem(sys.modules, "vorlex.contract.countries.br.ai_search", None)
    assert m.buscar_empresa_completo(nome="Beta", usar_ai_search=True, openai_api_key="sk") is None

    # a component whose own import fails deep inside is swallowed the same way
    def needs_missing(nome, key):
        import vorlex_module_that_does_not_exist  # noqa: F401

    fake_ai_module(monkeypatch, needs_missing)
    assert m.buscar_empresa_completo(nome="Beta", usar_ai_search=True, openai_api_key="sk") is None
    assert lines(vorlex_logs) == []


def test_ai_component_other_errors_reach_the_caller(acme, monkeypatch):
    def broken(nome, key):
        raise RuntimeError("ai down")

    fake_ai_module(monkeypatch, broken)
    with pytest.raises(RuntimeError, match="ai down"):
        m.buscar_empresa_completo(nome="Beta", usar_ai_search=True, openai_api_key="sk")


# -- argument types ----------------------------------------------------------------------------------
@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: m.consultar_cnpj(None), "cnpj"),
        (lambda: m.consultar_cnpj(11222333000181), "cnpj"),
        (lambda: m._consultar_brasil_api(None), "cnpj"),
        (lambda: m._consultar_receita_ws(1), "cnpj"),
        (lambda: m.buscar_cnpj_por_nome(None), "nome_empresa"),
        (lambda: m.buscar_cnpj_por_nome("ACME", uf=35), "uf"),
        (lambda: m.buscar_empresa(cnpj=1), "cnpj"),
        (lambda: m.buscar_empresa(nome=["x"]), "nome"),
        (lambda: m.buscar_empresa(uf=b"SP"), "uf"),
        (lambda: m.buscar_empresa_completo(nome=1), "nome"),
        (lambda: m.buscar_empresa_completo(openai_api_key=1), "openai_api_key"),
    ],
)
def test_type_errors(registry, call, name):
    with pytest.raises(TypeError, match=name):
        call()
    assert registry.requests == []


def test_public_names_and_constants():
    assert m.__all__ == [
        "limpar_cnpj",
        "validar_cnpj",
        "formatar_cnpj",
        "consultar_cnpj",
        "buscar_cnpj_por_nome",
        "buscar_empresa",
        "comparar_enderecos",
    ]
    assert m.REQUEST_TIMEOUT == 10
    assert m.BRASIL_API_URL.startswith("https://") and m.BRASIL_API_URL.endswith("/api/cnpj/v1/{cnpj}")
    assert m.RECEITA_WS_URL.startswith("https://") and m.RECEITA_WS_URL.endswith("/v1/cnpj/{cnpj}")
    assert m.CASADOSDADOS_API.startswith("https://") and m.CASADOSDADOS_API.endswith("/v2/public/cnpj/search")


def test_replaced_client_without_error_classes(monkeypatch, vorlex_logs):
    # A stand-in client that does not carry RequestException: its request errors are
    # still recognised as the request-error family of the real library.
    class Bare:
        @staticmethod
        def get(url, **kw):
            raise requests.ConnectionError("refused")

    monkeypatch.setattr(m, "requests", Bare)
    assert m._consultar_brasil_api(CNPJ_A) is None
    assert [x[:2] for x in lines(vorlex_logs)] == [("WARNING", "BrasilAPI request failed for %s: %s")]


# -- why a lookup found nothing ---------------------------------------------------------------


def test_the_failure_of_the_last_lookup_is_kept_per_thread(registry):
    import threading

    registry.brasil_api[CNPJ_A] = brasil_api_record()
    assert m.consultar_cnpj(CNPJ_A) and m.falha_ultima_consulta() is None
    # not known by either service: an answer, not a failure
    assert m.consultar_cnpj(CNPJ_B) is None and m.falha_ultima_consulta() is None
    # neither could answer
    registry.brasil_api[CNPJ_B] = Reply(500, {"message": "erro"})
    registry.receita_ws[CNPJ_B] = Reply(429, {"message": "Too many requests"})
    assert m.consultar_cnpj(CNPJ_B) is None
    assert m.falha_ultima_consulta() == "BrasilAPI: HTTP 500; ReceitaWS: HTTP 429"
    # another thread's lookups leave this thread's reason alone
    seen = []
    t = threading.Thread(
        target=lambda: seen.append((m.consultar_cnpj(CNPJ_A) is not None, m.falha_ultima_consulta()))
    )
    t.start()
    t.join(30)
    assert seen == [(True, None)] and m.falha_ultima_consulta().startswith("BrasilAPI: HTTP 500")
    # BrasilAPI saying it does not know the number is evidence, whatever ReceitaWS does
    registry.brasil_api[CNPJ_B] = Reply(404, {"message": "CNPJ não encontrado"})
    assert m.consultar_cnpj(CNPJ_B) is None and m.falha_ultima_consulta() is None
    # an invalid number asks nobody
    m.consultar_cnpj(CNPJ_B[:13] + "0")
    assert m.falha_ultima_consulta() is None
    # the name search
    registry.casa_dos_dados_reply = Reply(502, {"message": "Bad Gateway"})
    assert m.buscar_cnpj_por_nome("ACME Indústria") is None
    assert m.falha_ultima_consulta() == "Casa dos Dados: HTTP 502"
