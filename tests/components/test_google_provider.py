"""vorlex.providers.google with the real google-genai client against a local Gemini
stand-in (and a patched `genai` where the client's construction is the subject)."""

from __future__ import annotations

import asyncio
import base64
import json
from unittest import mock

import pytest
from google.genai import errors as genai_errors
from pydantic import BaseModel, ValidationError

import vorlex.providers.google as google
from servers.gemini import gemini_answer

MODEL = "gemini-2.0-flash"


def b64(data: str) -> bytes:
    """The library may send standard or URL-safe Base64, padded or not."""
    data = data.replace("-", "+").replace("_", "/")
    return base64.b64decode(data + "=" * (-len(data) % 4))


MESSAGES = [
    {"role": "system", "content": "Você extrai dados."},
    {"role": "user", "content": "Qual o valor? Texto: R$ 10,00"},
]


class Valor(BaseModel):
    valor: float
    moeda: str


def test_call_chat_answers_in_chat_completion_shape(gemini, gemini_client):
    gemini.answers = [(200, gemini_answer("R$ 10,00", prompt_tokens=21, completion_tokens=4))]
    resp = google.call_chat(gemini_client, MODEL, MESSAGES)
    msg = resp.choices[0].message
    assert msg.content == "R$ 10,00" and msg.parsed is None and msg.role == "assistant"
    assert resp.choices[0].finish_reason == "stop"
    assert (resp.usage.prompt_tokens, resp.usage.completion_tokens, resp.usage.total_tokens) == (21, 4, 25)
    assert resp.model == MODEL

    req = gemini.requests[-1]
    assert req["path"].endswith(f"/models/{MODEL}:generateContent")
    assert req["key"] == "test-key"
    body = req["body"]
    assert body["systemInstruction"]["parts"] == [{"text": "Você extrai dados."}]
    assert body["contents"] == [{"role": "user", "parts": [{"text": "Qual o valor? Texto: R$ 10,00"}]}]
    assert "responseSchema" not in body.get("generationConfig", {})


def test_conversation_roles_and_several_system_messages(gemini, gemini_client):
    messages = [
        {"role": "system", "content": "A"},
        {"role": "system", "content": "B"},
        {"role": "user", "content": "pergunta"},
        {"role": "assistant", "content": "resposta"},
        {"role": "user", "content": "de novo"},
    ]
    google.call_chat(gemini_client, MODEL, messages)
    body = gemini.requests[-1]["body"]
    assert body["systemInstruction"]["parts"] == [{"text": "A\n\nB"}]
    assert [c["role"] for c in body["contents"]] == ["user", "model", "user"]


def test_image_parts_of_a_vision_message_become_inline_data(gemini, gemini_client):
    png = b"\x89PNG\r\n\x1a\nfake"
    messages = [
        {
            "role": "user",
            "content": [
                {
                    "type": "image_url",
                    "image_url": {"url": "data:image/png;base64," + base64.b64encode(png).decode()},
                },
                {"type": "text", "text": "Extraia o texto."},
            ],
        }
    ]
    google.call_chat(gemini_client, MODEL, messages)
    parts = gemini.requests[-1]["body"]["contents"][0]["parts"]
    inline = parts[0].get("inlineData") or parts[0].get("inline_data")
    assert b64(inline["data"]) == png
    assert (inline.get("mimeType") or inline.get("mime_type")) == "image/png"
    assert parts[1] == {"text": "Extraia o texto."}


def test_call_structured_parses_into_the_response_model(gemini, gemini_client):
    gemini.answers = [
        (
            200,
            gemini_answer(
                json.dumps({"valor": 10.0, "moeda": "BRL"}), prompt_tokens=30, completion_tokens=6, thoughts=9
            ),
        )
    ]
    resp = google.call_structured(gemini_client, MODEL, MESSAGES, Valor)
    parsed = resp.choices[0].message.parsed
    assert isinstance(parsed, Valor) and parsed.model_dump() == {"valor": 10.0, "moeda": "BRL"}
    # thinking tokens are billed as output: prompt + completion = total
    assert (resp.usage.prompt_tokens, resp.usage.completion_tokens, resp.usage.total_tokens) == (30, 15, 45)
    config = gemini.requests[-1]["body"]["generationConfig"]
    assert config["responseMimeType"] == "application/json"
    assert set(config["responseSchema"]["properties"]) == {"valor", "moeda"}


def test_structured_answer_that_does_not_fit_raises_validation_error(gemini, gemini_client):
    gemini.answers = [(200, gemini_answer(json.dumps({"valor": "muito"})))]
    with pytest.raises(ValidationError):
        google.call_structured(gemini_client, MODEL, MESSAGES, Valor)


def test_blocked_prompt_is_a_content_filter_refusal(gemini, gemini_client):
    gemini.answers = [(200, {"promptFeedback": {"blockReason": "SAFETY"}})]
    with pytest.raises(google.ContentFilterError, match="SAFETY") as info:
        google.call_chat(gemini_client, MODEL, MESSAGES)
    from vorlex.exceptions import ModelError, VorlexError

    assert isinstance(info.value, VorlexError) and not isinstance(info.value, ModelError)


def test_service_errors_pass_through(gemini, gemini_client):
    gemini.answers = [(400, {"error": {"code": 400, "message": "bad model", "status": "INVALID_ARGUMENT"}})]
    with pytest.raises(genai_errors.ClientError, match="bad model"):
        google.call_chat(gemini_client, MODEL, MESSAGES)


# -- asynchronous twins ------------------------------------------------------------------


def test_acall_chat_and_structured_resolve_to_the_adapted_answer(gemini, gemini_client):
    async def main():
        gemini.answers = [(200, gemini_answer("oi", prompt_tokens=3, completion_tokens=2))]
        chat = await google.acall_chat(gemini_client, MODEL, MESSAGES)
        gemini.answers = [(200, gemini_answer('{"valor": 1.5, "moeda": "USD"}'))]
        structured = await google.acall_structured(gemini_client, MODEL, MESSAGES, Valor)
        return chat, structured

    chat, structured = asyncio.run(main())
    assert chat.choices[0].message.content == "oi" and chat.usage.total_tokens == 5
    assert structured.choices[0].message.parsed == Valor(valor=1.5, moeda="USD")


def test_acall_works_with_gather_and_tasks(gemini, gemini_client):
    gemini.answers = [(200, gemini_answer("mesma"))]

    async def main():
        calls = [google.acall_chat(gemini_client, MODEL, MESSAGES) for _ in range(5)]
        task = asyncio.ensure_future(google.acall_chat(gemini_client, MODEL, MESSAGES))
        return await asyncio.gather(*calls, task)

    out = asyncio.run(main())
    assert [r.choices[0].message.content for r in out] == ["mesma"] * 6
    assert len(gemini.requests) == 6


def _fake_aio_client(coro_factory):
    client = mock.Mock()
    client.aio.models.generate_content = mock.Mock(side_effect=lambda **kw: coro_factory(kw))
    return client


def test_acall_forwards_errors_and_cancellation():
    cancelled = []

    async def slow(kw):
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            cancelled.append(kw["model"])
            raise

    async def failing(kw):
        await asyncio.sleep(0)
        raise RuntimeError("quota")

    async def main():
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(google.acall_chat(_fake_aio_client(slow), "m1", MESSAGES), 0.05)
        with pytest.raises(RuntimeError, match="quota"):
            await google.acall_chat(_fake_aio_client(failing), "m2", MESSAGES)

    asyncio.run(main())
    assert cancelled == ["m1"]


def test_awaitable_protocol_by_hand():
    from google.genai import types

    async def answer(kw):
        return types.GenerateContentResponse(
            candidates=[types.Candidate(content=types.Content(role="model", parts=[types.Part(text="x")]))]
        )

    call = google.acall_chat(_fake_aio_client(answer), "m", MESSAGES)
    it = call.__await__()
    with pytest.raises(StopIteration) as stop:
        it.send(None)
    assert stop.value.value.choices[0].message.content == "x"
    with pytest.raises(RuntimeError):
        it.send(None)  # an awaited call cannot be awaited again

    never = google.acall_chat(_fake_aio_client(answer), "m", MESSAGES)
    never.close()  # closing before the first step closes the inner coroutine quietly
    with pytest.raises(ValueError):
        google.acall_chat(_fake_aio_client(answer), "m", MESSAGES).throw(ValueError("x"))


# -- vision ------------------------------------------------------------------------------


def test_call_vision_sends_image_and_prompt_and_returns_stripped_text(gemini, gemini_client):
    gemini.answers = [(200, gemini_answer("\n  Texto da página \n"))]
    out = google.call_vision(
        gemini_client, MODEL, image_bytes=b"\xff\xd8\xffimg", prompt="Leia a página.", mime="image/jpeg"
    )
    assert out == "Texto da página"
    parts = gemini.requests[-1]["body"]["contents"][0]["parts"]
    inline = parts[0].get("inlineData") or parts[0].get("inline_data")
    assert b64(inline["data"]) == b"\xff\xd8\xffimg"
    assert parts[1] == {"text": "Leia a página."}


@pytest.mark.parametrize("answer", [gemini_answer("   \n"), {"promptFeedback": {"blockReason": "OTHER"}}])
def test_call_vision_returns_none_without_text(gemini, gemini_client, answer):
    gemini.answers = [(200, answer)]
    assert google.call_vision(gemini_client, MODEL, image_bytes=b"img", prompt="p", mime="image/png") is None


def test_call_vision_default_prompt_is_the_configured_one(gemini, gemini_client):
    from vorlex.config import VISION_FALLBACK_PROMPT

    google.call_vision(gemini_client, MODEL, image_bytes=b"img")
    assert gemini.requests[-1]["body"]["contents"][0]["parts"][1] == {"text": VISION_FALLBACK_PROMPT}


# -- client ------------------------------------------------------------------------------


def test_build_client_uses_the_current_genai(monkeypatch):
    fake = mock.Mock()
    monkeypatch.setattr(google, "genai", fake)
    assert google.build_client(api_key="k1") is fake.Client.return_value
    fake.Client.assert_called_once_with(api_key="k1")


def test_build_client_without_key_reads_environment_or_defers(monkeypatch):
    monkeypatch.delenv("GOOGLE_API_KEY", raising=False)
    monkeypatch.delenv("GEMINI_API_KEY", raising=False)
    client = google.build_client(api_key="")
    assert isinstance(client, google._DeferredClient)  # no key: nothing raised yet
    with pytest.raises(ValueError):
        _ = client.models  # the first use reports the missing key
    assert client._client is None
    monkeypatch.setenv("GOOGLE_API_KEY", "from-env")
    from google.genai.models import Models

    assert isinstance(client.models, Models)  # built now, from the environment
    assert client._client is not None and client.models is client._client.models
    assert not isinstance(google.build_client(api_key=""), google._DeferredClient)


def test_importing_the_provider_does_not_load_google_genai():
    import subprocess
    import sys

    code = (
        "import sys, vorlex.providers.google as g; a = 'google.genai' in sys.modules; "
        "g.genai; print(a, 'google.genai' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "True"]


def test_max_tokens_caps_the_answer_as_max_output_tokens(gemini, gemini_client):
    gemini.answers = [(200, gemini_answer("R$", finish="MAX_TOKENS"))]
    resp = google.call_chat(gemini_client, MODEL, MESSAGES, max_tokens=5)
    assert resp.choices[0].finish_reason == "length"
    gemini.answers = [(200, gemini_answer('{"valor": 1.5, "moeda": "USD"}'))]
    google.call_structured(gemini_client, MODEL, MESSAGES, Valor, max_tokens=40)
    google.call_chat(gemini_client, MODEL, MESSAGES)
    limits = [r["body"].get("generationConfig", {}).get("maxOutputTokens") for r in gemini.requests]
    assert limits == [5, 40, None]
    with pytest.raises(TypeError, match="max_tokens"):
        google.call_chat(gemini_client, MODEL, MESSAGES, max_tokens="5")


def test_a_google_reader_sends_the_token_limit_that_applies(gemini, gemini_client, monkeypatch):
    from vorlex import Question, QuestionConfig
    from vorlex.reader import Vorlex

    monkeypatch.setenv("GOOGLE_API_KEY", "test-key")
    reader = Vorlex(provider="google", model=MODEL, max_tokens=50)
    reader._google_client = gemini_client
    reader._async_google_client = gemini_client

    def ask(max_tokens=None, response_model=None):
        return Question(
            config=QuestionConfig(id="q", name="n", max_tokens=max_tokens),
            system_prompt="Você lê.",
            user_prompt="Leia: {texto}",
            response_model=response_model,
        )

    gemini.answers = [(200, gemini_answer('{"valor": 1.5, "moeda": "USD"}'))]
    assert reader.extract_from_text("texto", ask()).status == "OK"
    assert reader.extract_from_text("texto", ask(7, Valor)).status == "OK"
    got = asyncio.run(reader.extract_from_text_async("texto", ask(None, Valor)))
    assert got.status == "OK"
    limits = [r["body"].get("generationConfig", {}).get("maxOutputTokens") for r in gemini.requests]
    assert limits == [50, 7, 50]
