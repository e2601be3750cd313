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
    reader = Vorlex(base_url=chat_server.base_url)
    assert reader._openai_api_key == "sk-env"  # a key, when there is one, is sent
    assert reader.model == Vorlex(openai_api_key="x").model  # no model: the default
    with pytest.raises(TypeError, match="base_url"):
        Vorlex(openai_api_key="x", base_url=8080)
    assert Vorlex(openai_api_key="x")._base_url is None
    assert Vorlex(openai_api_key="x", base_url="")._base_url is None
