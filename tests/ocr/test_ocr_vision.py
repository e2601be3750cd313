"""perform_vision_fallback: the chat request for OpenAI-style providers, the Google
path through call_vision, and failures that end in None."""

import base64
import sys

import pytest
from hypothesis import given, settings, strategies as st

import vorlex.config
import vorlex.ocr as ocr

INSTRUCTION = "Extraia todo o texto visível nesta página do documento."


def test_the_request_is_a_system_and_a_user_message_with_a_data_url(caller, kit):
    img = kit.image(300, 300)
    call = caller("texto")
    ocr.perform_vision_fallback(img, call)
    ((messages, response_model),) = call.calls
    assert response_model is None
    assert messages == [
        {"role": "system", "content": vorlex.config.VISION_FALLBACK_PROMPT},
        {
            "role": "user",
            "content": [
                {
                    "type": "image_url",
                    "image_url": {"url": "data:image/png;base64," + base64.b64encode(img).decode()},
                },
                {"type": "text", "text": INSTRUCTION},
            ],
        },
    ]


@pytest.mark.parametrize(
    "fmt, mime",
    [
        ("JPG", "image/jpeg"),
        ("jpg", "image/jpeg"),
        ("JPEG", "image/jpeg"),
        ("PNG", "image/png"),
        ("webp", "image/webp"),
        ("Tiff", "image/tiff"),
    ],
)
def test_the_mime_type_follows_the_format(caller, fmt, mime):
    call = caller("x")
    ocr.perform_vision_fallback(b"\x00\x01", call, image_format=fmt)
    url = call.calls[0][0][1]["content"][0]["image_url"]["url"]
    assert url == f"data:{mime};base64,AAE="


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=300))
def test_the_data_url_carries_standard_base64(data):
    seen = []

    def call(messages, _):
        seen.append(messages[1]["content"][0]["image_url"]["url"])
        raise RuntimeError("stop")

    ocr.perform_vision_fallback(data, call)
    assert seen == ["data:image/png;base64," + base64.b64encode(data).decode("ascii")]


def test_bytearray_and_memoryview_images_are_encoded_alike(caller):
    urls = []
    for data in (b"abcde", bytearray(b"abcde"), memoryview(b"abcde")):
        call = caller("x")
        ocr.perform_vision_fallback(data, call)
        urls.append(call.calls[0][0][1]["content"][0]["image_url"]["url"])
    assert len(set(urls)) == 1


@pytest.mark.parametrize(
    "answer, text",
    [
        ("  texto da página \n", "texto da página"),
        ("linha 1\n\nlinha 2", "linha 1\n\nlinha 2"),
        ("", None),
        ("   \n\t ", None),
        ("\u3000\u2003", None),
        (None, None),
    ],
)
def test_the_answer_is_stripped_and_blank_counts_as_no_text(caller, answer, text):
    assert ocr.perform_vision_fallback(b"img", caller(answer)) == text


@pytest.mark.parametrize("provider", ["openai", "azure", "grok", "anything"])
def test_every_provider_but_google_uses_the_model_caller(caller, provider):
    call = caller("lido")
    assert ocr.perform_vision_fallback(b"img", call, provider=provider) == "lido"
    assert len(call.calls) == 1


def test_no_caller_gives_none_without_a_log_line(kit, ocr_logs):
    assert ocr.perform_vision_fallback(b"img", None) is None
    assert kit.records(ocr_logs) == []


def test_a_failing_caller_gives_none_and_an_error_line(caller, kit, ocr_logs):
    assert ocr.perform_vision_fallback(b"img", caller(RuntimeError("limite excedido"))) is None
    assert kit.messages(ocr_logs, "ERROR") == ["Vision fallback falhou: limite excedido"]


def test_an_answer_of_the_wrong_shape_gives_none_and_an_error_line(kit, ocr_logs):
    assert ocr.perform_vision_fallback(b"img", lambda m, r: {"choices": []}) is None
    (msg,) = kit.messages(ocr_logs, "ERROR")
    assert msg.startswith("Vision fallback falhou: ")


def test_a_percent_sign_in_the_error_is_logged_as_it_is(caller, kit, ocr_logs):
    ocr.perform_vision_fallback(b"img", caller(ValueError("100% %s falhou")))
    assert kit.messages(ocr_logs, "ERROR") == ["Vision fallback falhou: 100% %s falhou"]


def test_keyboard_interrupt_in_the_caller_is_not_swallowed(caller):
    with pytest.raises(KeyboardInterrupt):
        ocr.perform_vision_fallback(b"img", caller(KeyboardInterrupt()))


def test_the_prompt_is_read_at_call_time(caller, monkeypatch):
    monkeypatch.setattr(vorlex.config, "VISION_FALLBACK_PROMPT", "outro prompt")
    call = caller("x")
    ocr.perform_vision_fallback(b"img", call)
    assert call.calls[0][0][0]["content"] == "outro prompt"


# -- Google -----------------------------------------------------------------------------


class Recorded(list):
    pass


@pytest.fixture
def google_vision(monkeypatch):
    import vorlex.providers.google as google

    calls = Recorded()
    calls.answer = "  texto google  "

    def call_vision(client, model, **kwargs):
        calls.append((client, model, kwargs))
        if isinstance(calls.answer, BaseException):
            raise calls.answer
        return calls.answer

    monkeypatch.setattr(google, "call_vision", call_vision)
    return calls


def test_google_goes_through_call_vision_and_returns_its_answer_unchanged(google_vision, caller):
    client, call = object(), caller("não usado")
    got = ocr.perform_vision_fallback(
        b"img",
        call,
        image_format="JPG",
        provider="google",
        google_client=client,
        google_model="gemini-2.0-flash",
    )
    assert got == "  texto google  "
    assert google_vision == [
        (
            client,
            "gemini-2.0-flash",
            {"image_bytes": b"img", "prompt": vorlex.config.VISION_FALLBACK_PROMPT, "mime": "image/jpeg"},
        )
    ]
    assert call.calls == []


def test_google_works_without_a_model_caller(google_vision):
    assert (
        ocr.perform_vision_fallback(b"img", None, provider="google", google_client=1, google_model="m")
        == "  texto google  "
    )


@pytest.mark.parametrize("client, model", [(None, "m"), (object(), None), (object(), "")])
def test_google_without_client_or_model_warns(google_vision, kit, ocr_logs, client, model):
    assert (
        ocr.perform_vision_fallback(b"img", None, provider="google", google_client=client, google_model=model)
        is None
    )
    assert google_vision == []
    assert kit.messages(ocr_logs, "WARNING") == ["Google vision fallback requested without client/model"]


def test_a_google_failure_gives_none_and_an_error_line(google_vision, kit, ocr_logs):
    google_vision.answer = RuntimeError("quota")
    assert (
        ocr.perform_vision_fallback(b"img", None, provider="google", google_client=1, google_model="m")
        is None
    )
    assert kit.messages(ocr_logs, "ERROR") == ["Google vision fallback failed: quota"]


def test_a_google_module_that_cannot_be_imported_gives_none(kit, ocr_logs, monkeypatch):
    monkeypatch.setitem(sys.modules, "vorlex.providers.google", None)
    assert (
        ocr.perform_vision_fallback(b"img", None, provider="google", google_client=1, google_model="m")
        is None
    )
    (msg,) = kit.messages(ocr_logs, "ERROR")
    assert msg.startswith("Google vision fallback failed: ")


def test_wrong_argument_types_name_the_argument(caller):
    with pytest.raises(TypeError, match="image_bytes"):
        ocr.perform_vision_fallback("img", caller())
    with pytest.raises(TypeError, match="llm_caller"):
        ocr.perform_vision_fallback(b"img", "not callable")
    with pytest.raises(TypeError, match="provider"):
        ocr.perform_vision_fallback(b"img", caller(), provider=None)
    with pytest.raises(TypeError, match="google_model"):
        ocr.perform_vision_fallback(b"img", caller(), google_model=3)
    with pytest.raises(TypeError):
        ocr.perform_vision_fallback(b"img")  # llm_caller has no default


@settings(max_examples=200, deadline=None)
@given(
    st.text(
        alphabet=st.characters(codec="utf-8") | st.sampled_from(" \t\n\r\x0b\x0c\x1c\x85\xa0\u2028\u3000")
    )
)
def test_answers_are_stripped_as_str_strip_does(answer):
    expected = answer.strip() or None
    assert ocr.perform_vision_fallback(b"img", lambda m, r: _answer(answer)) == expected


@settings(max_examples=200, deadline=None)
@given(st.text(max_size=8))
def test_the_mime_type_is_the_lowered_format(fmt):
    urls = []

    def call(messages, _):
        urls.append(messages[1]["content"][0]["image_url"]["url"])
        return _answer("x")

    ocr.perform_vision_fallback(b"", call, image_format=fmt)
    mime = "image/" + fmt.lower()
    if mime == "image/jpg":
        mime = "image/jpeg"
    assert urls == ["data:" + mime + ";base64,"]


def _answer(text):
    from types import SimpleNamespace

    return SimpleNamespace(choices=[SimpleNamespace(message=SimpleNamespace(content=text))])
