"""The checker on a local model server that takes only json_object (llama.cpp's
OpenAI-compatible servers), its structured mode and token settings, and the model it must
be told when it talks to a server of the caller's own."""

from __future__ import annotations

import pytest

from contract.contracts import contrato_exemplo, registros_exemplo
from servers.chat import ChatServer
from vorlex.contract.checker import ContractChecker

MODELO_LOCAL = "smollm2-135m-instruct"


@pytest.fixture
def llama():
    with ChatServer.llama_cpp() as server:
        yield server


def test_verify_reaches_its_verdict_on_a_json_object_server(llama, registry, tmp_path):
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    llama.responder = contrato.responder()
    checker = ContractChecker(
        "BR",
        openai_api_key="not-needed",
        model=MODELO_LOCAL,
        verbose=False,
        base_url=llama.base_url,
        max_tokens=512,
        timeout=30,
    )
    r = checker.verificar(contrato.write(tmp_path / "contrato.pdf"))
    assert (r["resultado_final"], r["total_aprovados"]) == ("APROVADO", 11)
    kinds = [q["body"].get("response_format", {}).get("type") for q in llama.requests]
    # One refusal for the reader, then every question in json_object.
    assert kinds == ["json_schema", "json_object", "json_object", "json_object"]
    assert {q["body"]["max_tokens"] for q in llama.requests} == {512}
    assert checker._client._timeout == 30.0
    assert checker._client._openai_client.timeout == 30.0
    # A local model without a price costs nothing.
    assert r["metricas"]["custo_usd"] == 0.0
    assert r["metricas"]["tokens"] == 500 + 500 + 234  # the three answers' usage


def test_a_chosen_structured_mode_reaches_the_reader(llama, registry, tmp_path):
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    llama.responder = contrato.responder()
    checker = ContractChecker(
        "BR",
        openai_api_key="not-needed",
        model=MODELO_LOCAL,
        verbose=False,
        base_url=llama.base_url,
        structured_output="json_object",
    )
    assert checker.verificar(contrato.write(tmp_path / "c.pdf"))["resultado_final"] == "APROVADO"
    assert [q["body"]["response_format"]["type"] for q in llama.requests] == ["json_object"] * 3


def test_a_base_url_needs_a_model_named():
    with pytest.raises(ValueError, match=r"^model é obrigatório com base_url"):
        ContractChecker("BR", openai_api_key="k", base_url="http://127.0.0.1:1/v1")
    with pytest.raises(ValueError, match=r"^model "):
        ContractChecker("BR", openai_api_key="k", base_url="http://127.0.0.1:1/v1", model="")
    named = ContractChecker(
        "BR", openai_api_key="k", base_url="http://127.0.0.1:1/v1", model="gpt-4o"
    )  # a cloud name behind a gateway, named on purpose
    assert named.model == "gpt-4o"
    assert ContractChecker("BR", openai_api_key="k").model == "gpt-4o"


def test_bad_structured_settings_fail_at_construction():
    with pytest.raises(ValueError, match=r"^structured_output inválido"):
        ContractChecker("BR", openai_api_key="k", structured_output="yaml")
    with pytest.raises(TypeError, match="max_tokens"):
        ContractChecker("BR", openai_api_key="k", max_tokens="100")
    with pytest.raises(TypeError, match="timeout"):
        ContractChecker("BR", openai_api_key="k", timeout="lento")


@pytest.mark.parametrize(
    "setting",
    [
        {"max_tokens": 0},
        {"max_tokens": -5},
        {"timeout": 0},
        {"timeout": -1},
        {"timeout": float("nan")},
        {"structured_output": "yaml"},
        {"structured_output": "AUTO"},
    ],
    ids=repr,
)
def test_answer_settings_out_of_range_are_refused_at_construction_as_the_reader_refuses(setting):
    from vorlex.reader import Vorlex

    with pytest.raises(ValueError) as do_leitor:
        Vorlex(openai_api_key="k", **setting)
    with pytest.raises(ValueError) as do_verificador:
        ContractChecker("BR", openai_api_key="k", verbose=False, **setting)
    assert str(do_verificador.value) == str(do_leitor.value)
    assert str(do_verificador.value).startswith(next(iter(setting)))


def test_an_empty_structured_mode_is_auto_for_the_checker_as_for_the_reader():
    checker = ContractChecker(
        "BR", openai_api_key="k", verbose=False, structured_output="", max_tokens=1, timeout=0.5
    )
    assert checker._init_vorlex() is True
    leitor = checker._client
    assert (leitor._structured_output, leitor._max_tokens, leitor._timeout) == ("auto", 1, 0.5)


def test_a_base_url_from_the_environment_needs_a_model_named_too(monkeypatch):
    monkeypatch.setenv("VORLEX_BASE_URL", "http://127.0.0.1:1/v1")
    monkeypatch.delenv("VORLEX_MODEL", raising=False)
    with pytest.raises(ValueError, match=r"^model é obrigatório com base_url \(VORLEX_BASE_URL\)"):
        ContractChecker("BR", openai_api_key="k")
    with pytest.raises(ValueError, match=r"^model é obrigatório com base_url"):
        ContractChecker("BR", openai_api_key="k", model="")
    assert ContractChecker("BR", openai_api_key="k", model=MODELO_LOCAL).model == MODELO_LOCAL


def test_the_model_of_the_environment_names_a_local_server_s_model(monkeypatch):
    """VORLEX_MODEL names the model as it does for the reader, and the reader the checker
    builds asks the server of VORLEX_BASE_URL for that model, with no key."""
    monkeypatch.setenv("VORLEX_BASE_URL", "http://127.0.0.1:1/v1")
    monkeypatch.setenv("VORLEX_MODEL", MODELO_LOCAL)
    checker = ContractChecker("BR", verbose=False)
    assert checker.model == MODELO_LOCAL
    assert checker._init_vorlex() is True
    assert (checker._client.model, checker._client._base_url) == (MODELO_LOCAL, "http://127.0.0.1:1/v1")
    assert checker._client._openai_api_key == "not-needed"
    # A model named as an argument wins over the environment's.
    assert ContractChecker("BR", model="llama3.2:3b").model == "llama3.2:3b"
    monkeypatch.delenv("VORLEX_BASE_URL")
    assert ContractChecker("BR", openai_api_key="k").model == MODELO_LOCAL
    monkeypatch.delenv("VORLEX_MODEL")
    assert ContractChecker("BR", openai_api_key="k").model == "gpt-4o"


@pytest.mark.parametrize("where", ["argument", "environment"])
def test_a_local_server_needs_no_key(llama, registry, tmp_path, monkeypatch, where):
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    llama.responder = contrato.responder()
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    if where == "environment":
        monkeypatch.setenv("VORLEX_BASE_URL", llama.base_url)
        checker = ContractChecker("BR", model=MODELO_LOCAL, verbose=False, structured_output="json_object")
    else:
        monkeypatch.setenv("OPENAI_API_KEY", "")  # an empty variable is no key
        checker = ContractChecker(
            "BR", model=MODELO_LOCAL, verbose=False, base_url=llama.base_url, structured_output="json_object"
        )
    assert checker.verificar(contrato.write(tmp_path / "c.pdf"))["resultado_final"] == "APROVADO"
    assert {q["headers"]["authorization"] for q in llama.requests} == {"Bearer not-needed"}
    assert {q["body"]["model"] for q in llama.requests} == {MODELO_LOCAL}


def test_azure_still_needs_its_credentials_with_a_base_url(monkeypatch):
    monkeypatch.setenv("VORLEX_BASE_URL", "http://127.0.0.1:1/v1")
    with pytest.raises(ValueError, match=r"^Credenciais Azure não configuradas"):
        ContractChecker("BR", provider="azure", model=MODELO_LOCAL)
    with pytest.raises(ValueError, match=r"^Credenciais Azure não configuradas"):
        ContractChecker("BR", provider="azure", base_url="http://127.0.0.1:1/v1")
