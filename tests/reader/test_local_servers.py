"""A local or self-hosted OpenAI-compatible server through base_url: both clients go
there, the model is named as the server names it, and no key is needed."""

from __future__ import annotations

import asyncio

import pytest

from vorlex.reader import Vorlex


def ask():
    return Vorlex.create_question("q1", "Pergunta", "Leia: {texto}")


def test_base_url_sends_both_clients_to_the_local_server(chat_server):
    reader = Vorlex(model="llama3.2:3b", base_url=chat_server.base_url)  # no key anywhere
    assert reader.model == "llama3.2:3b" and reader._base_url == chat_server.base_url
    assert reader.extract_from_text("um texto", ask()).status == "OK"
    got = asyncio.run(reader.extract_from_text_async("um texto", ask()))
    assert got.status == "OK"
    assert [r["body"]["model"] for r in chat_server.requests] == ["llama3.2:3b"] * 2
    assert all(r["path"] == "/v1/chat/completions" for r in chat_server.requests)


def test_base_url_is_keyword_only_and_text(chat_server, monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    reader = Vorlex(base_url=chat_server.base_url, model="llama3.2:3b")
    assert reader._openai_api_key == "sk-env"  # a key, when there is one, is sent
    with pytest.raises(TypeError, match="base_url"):
        Vorlex(openai_api_key="x", base_url=8080)
    assert Vorlex(openai_api_key="x")._base_url is None
    assert Vorlex(openai_api_key="x", base_url="")._base_url is None


def test_a_local_server_needs_its_model_named(monkeypatch):
    """The cloud default sent to a server of one's own would be a name it does not serve,
    priced as the cloud model it is not: a base_url (or VORLEX_BASE_URL) without a model
    (or VORLEX_MODEL) is refused before any client is built."""
    monkeypatch.delenv("VORLEX_BASE_URL", raising=False)
    monkeypatch.delenv("VORLEX_MODEL", raising=False)
    for model in (None, ""):
        with pytest.raises(ValueError, match=r"^model é obrigatório com base_url: "):
            Vorlex(base_url="http://127.0.0.1:1/v1", model=model)
    monkeypatch.setenv("VORLEX_BASE_URL", "http://127.0.0.1:1/v1")
    with pytest.raises(ValueError, match=r"^model é obrigatório com base_url \(VORLEX_BASE_URL\)"):
        Vorlex()
    monkeypatch.setenv("VORLEX_MODEL", "llama3.2:3b")
    assert Vorlex().model == "llama3.2:3b"
    assert Vorlex(model="qwen2.5:7b").model == "qwen2.5:7b"


def test_the_model_rule_is_the_openai_provider_s_alone(monkeypatch):
    """The other providers have their own addresses: VORLEX_BASE_URL is not theirs."""
    monkeypatch.delenv("VORLEX_MODEL", raising=False)
    monkeypatch.setenv("VORLEX_BASE_URL", "http://127.0.0.1:1/v1")
    grok = Vorlex(provider="grok", grok_api_key="g", grok_base_url="http://127.0.0.1:1/v1")
    assert grok._base_url is None and grok.model
    azure = Vorlex(
        provider="azure", azure_api_key="a", azure_endpoint="https://127.0.0.1:1", azure_deployment="producao"
    )
    assert azure.model == "producao"
