"""Structured answers on servers that do not take response_format json_schema, answers
mended by asking again, answers cut short by the token limit, and client timeouts:
through the real openai client against the fake server in its llama.cpp mode."""

from __future__ import annotations

import asyncio
import json
import logging
import time

import pytest
from pydantic import BaseModel, ValidationError

from servers.chat import ChatServer, _bpe_tokens
from vorlex import Question, QuestionConfig
from vorlex.reader import Vorlex

MODEL = "smollm2-135m-instruct"
LONG_TEXT = " ".join(f"palavra{i}" for i in range(200))


class Partes(BaseModel):
    contratante: str
    contratada: str


class Valor(BaseModel):
    valor_total: float


@pytest.fixture(scope="module")
def _llama():
    with ChatServer.llama_cpp() as server:
        yield server


@pytest.fixture
def llama(_llama):
    _llama.reset()
    _llama.delay = 0.0
    _llama.token_limit = None
    _llama.context_size = 2048
    yield _llama
    _llama.reset()


def reader_for(server, **kwargs):
    kwargs.setdefault("model", MODEL)
    return Vorlex(base_url=server.base_url, **kwargs)


def ask(response_model=None, qid="q1", max_tokens=None):
    return Question(
        config=QuestionConfig(id=qid, name="Pergunta", max_tokens=max_tokens),
        system_prompt="Você lê contratos.",
        user_prompt="Leia: {texto}",
        response_model=response_model,
    )


def formats(server):
    return [(r["body"].get("response_format") or {}).get("type") for r in server.requests]


def completion_tokens(*texts):
    """What the llama.cpp fake reports for answers that ended by themselves."""
    return sum(_bpe_tokens(t) + 1 for t in texts)


# -- modes -------------------------------------------------------------------------------


def test_auto_falls_back_to_json_object_once_per_reader(llama, vorlex_logs):
    reader = reader_for(llama, max_retries=3)
    first = reader.extract_from_text("ACME contrata BETA", ask(Partes))
    second = reader.extract_from_text("ACME contrata BETA", ask(Partes, "q2"))
    assert (first.status, second.status) == ("OK", "OK")
    assert first.raw_result == {"contratante": "valor de contratante", "contratada": "valor de contratada"}
    assert first.raw_text == json.dumps(first.raw_result, ensure_ascii=False)
    assert first.finish_reason == "stop"
    # One refused request (never retried), then json_object for every question.
    assert formats(llama) == ["json_schema", "json_object", "json_object"]
    assert reader._structured_modes == {(llama.base_url, MODEL): "json_object"}
    body = llama.requests[1]["body"]
    assert body["response_format"]["schema"] == Partes.model_json_schema()
    assert '"contratante"' in body["messages"][0]["content"]  # the schema in the system message
    assert any("recusou o formato de resposta json_schema" in r.getMessage() for r in vorlex_logs.records)
    # The refused request is not billed: the result counts the answer it got.
    assert first.metrics.prompt_tokens == llama._llama_prompt_tokens(body)
    # Another reader learns it anew: one more refusal.
    reader_for(llama).extract_from_text("ACME contrata BETA", ask(Partes))
    assert formats(llama)[3:] == ["json_schema", "json_object"]


def test_a_chosen_mode_that_the_server_refuses_is_not_retried(llama):
    reader = reader_for(llama, structured_output="json_schema", max_retries=3)
    result = reader.extract_from_text("texto", ask(Partes))
    assert result.status == "ERROR"
    assert result.answer.startswith(
        "ResponseFormatError: O servidor recusou o formato de resposta 'json_schema'"
    )
    assert "Input should be 'text' or 'json_object'" in result.answer
    assert len(llama.requests) == 1
    assert result.raw_text is None and result.finish_reason is None


def test_an_error_in_prompt_mode_is_the_server_s_own_not_a_refused_format(llama):
    # "prompt" sends no response format: a 400 that speaks of a schema is not a refusal
    # of one, and ends the question with the server's own error.
    llama.responder = lambda body: ChatServer.error(400, "invalid schema for tool 'x'")
    reader = reader_for(llama, structured_output="prompt", max_retries=1)
    result = reader.extract_from_text("texto", ask(Partes))
    assert result.status == "ERROR"
    assert result.answer.startswith("BadRequestError: ")
    assert "invalid schema for tool 'x'" in result.answer
    assert len(llama.requests) == 1


def test_json_object_mode_asks_so_from_the_first_request(llama):
    reader = reader_for(llama, structured_output="json_object")
    assert reader.extract_from_text("texto", ask(Partes)).status == "OK"
    assert formats(llama) == ["json_object"]


def test_prompt_mode_takes_the_first_json_object_of_the_text(llama):
    llama.responder = lambda body: (
        'Claro! Aqui está:\n```json\n{"contratante": "ACME {SA}", '
        '"contratada": "BETA \\"Ltda\\""}\n```\nMais algo? {x}'
    )
    reader = reader_for(llama, structured_output="prompt")
    result = reader.extract_from_text("texto", ask(Partes))
    assert result.status == "OK", result.answer
    assert result.raw_result == {"contratante": "ACME {SA}", "contratada": 'BETA "Ltda"'}
    assert result.raw_text.startswith("Claro! Aqui está:")
    body = llama.requests[0]["body"]
    assert "response_format" not in body
    assert "JSON Schema" in body["messages"][0]["content"]
    assert body["messages"][1]["content"] == "Leia: texto"


def test_json_schema_mode_stays_the_parse_path_on_a_server_that_takes_it(make_reader, chat_server):
    reader = make_reader()
    result = reader.extract_from_text("texto", ask(Partes))
    assert result.status == "OK"
    assert formats(chat_server) == ["json_schema"]
    assert reader._structured_modes == {("openai", reader.model): "json_schema"}
    assert result.raw_text == json.dumps(result.raw_result)


def test_a_plain_answer_keeps_its_text_and_finish_reason(llama):
    llama.default_text = "O valor é R$ 10,00."
    try:
        result = reader_for(llama).extract_from_text("texto", ask())
    finally:
        llama.default_text = "Resposta do modelo"
    assert (result.status, result.answer) == ("OK", "O valor é R$ 10,00.")
    assert (result.raw_text, result.finish_reason) == ("O valor é R$ 10,00.", "stop")
    assert "response_format" not in llama.requests[0]["body"]


# -- asking again ------------------------------------------------------------------------


def test_an_invalid_answer_is_mended_by_one_re_ask(llama):
    llama.push(ChatServer.json({"valor_total": "mil reais"}), ChatServer.json({"valor_total": 1000}))
    reader = reader_for(llama, structured_output="json_object")
    result = reader.extract_from_text("Total: mil reais", ask(Valor))
    assert result.status == "OK" and result.answer == 1000
    assert result.raw_text == '{"valor_total": 1000}'
    assert len(llama.requests) == 2
    # The second request is the same conversation, with the answer and the errors.
    again = llama.requests[1]["body"]["messages"]
    assert again[:2] == llama.requests[0]["body"]["messages"]
    assert again[2] == {"role": "assistant", "content": '{"valor_total": "mil reais"}'}
    assert again[3]["role"] == "user"
    errors = json.loads(again[3]["content"].split("Erros: ", 1)[1].split("\n", 1)[0])
    assert errors[0]["loc"] == ["valor_total"] and errors[0]["type"] == "float_parsing"
    # Both answers' tokens count.
    prompts = sum(llama._llama_prompt_tokens(r["body"]) for r in llama.requests)
    completions = completion_tokens('{"valor_total": "mil reais"}', '{"valor_total": 1000}')
    assert result.metrics.prompt_tokens == prompts
    assert result.metrics.completion_tokens == completions == 15
    assert result.metrics.tokens == prompts + completions


def test_answers_that_never_validate_end_parse_error_with_the_text(llama):
    bad = [ChatServer.text("não sei"), ChatServer.json({"valor": 1}), ChatServer.json({"x": 2})]
    llama.push(*bad)
    reader = reader_for(llama, structured_output="json_object", validation_retries=2)
    result = reader.extract_from_text("Total", ask(Valor))
    assert result.status == "PARSE_ERROR"
    assert result.answer == "ValidationError: valor_total: Field required"
    assert result.raw_text == '{"x": 2}'
    assert result.raw_result is None
    assert len(llama.requests) == 3
    assert result.metrics.completion_tokens == completion_tokens("não sei", '{"valor": 1}', '{"x": 2}') == 10
    assert result.metrics.tokens == result.metrics.prompt_tokens + result.metrics.completion_tokens
    assert result.metrics.prompt_tokens == sum(llama._llama_prompt_tokens(r["body"]) for r in llama.requests)


def test_no_re_ask_with_validation_retries_zero(llama):
    llama.push(ChatServer.text("nada de JSON aqui"))
    reader = reader_for(llama, structured_output="json_object", validation_retries=0)
    result = reader.extract_from_text("Total", ask(Valor))
    assert result.status == "PARSE_ERROR" and result.answer.startswith("ValidationError: ")
    assert result.raw_text == "nada de JSON aqui"
    assert len(llama.requests) == 1


# -- answers cut short, token limits and timeouts ------------------------------------------


def test_a_cut_plain_answer_stays_ok_with_its_finish_reason(llama, vorlex_logs):
    llama.default_text = LONG_TEXT
    try:
        reader = reader_for(llama, max_tokens=5)
        result = reader.extract_from_text("texto", ask())
    finally:
        llama.default_text = "Resposta do modelo"
    assert result.status == "OK" and result.finish_reason == "length"
    assert result.raw_text == result.answer == LONG_TEXT[:20]
    assert result.metrics.completion_tokens == 5
    assert llama.requests[0]["body"]["max_tokens"] == 5
    warnings = [r.getMessage() for r in vorlex_logs.records if r.levelno == logging.WARNING]
    assert "Resposta truncada (limite de tokens): q1" in warnings


def test_a_question_limit_wins_over_the_reader_limit(llama):
    reader = reader_for(llama, max_tokens=50)
    reader.extract_from_text("texto", ask(max_tokens=7))
    reader.extract_from_text("texto", ask())
    assert [r["body"]["max_tokens"] for r in llama.requests] == [7, 50]
    reader_for(llama).extract_from_text("texto", ask())
    assert "max_tokens" not in llama.requests[-1]["body"]  # the server's own limit


def test_a_cut_structured_answer_says_so_and_is_not_re_asked(llama, vorlex_logs):
    llama.token_limit = 6
    reader = reader_for(llama, structured_output="json_object", validation_retries=2)
    result = reader.extract_from_text("texto", ask(Partes))
    assert result.status == "PARSE_ERROR"
    assert "truncada (limite de tokens)" in result.answer
    assert result.finish_reason == "length" and len(result.raw_text) == 24
    assert len(llama.requests) == 1
    assert any(r.getMessage() == "Resposta truncada (limite de tokens): q1" for r in vorlex_logs.records)


def test_a_cut_answer_in_json_schema_mode_keeps_its_text(make_reader, chat_server):
    cut = '{"contratante": "AC'
    chat_server.push(
        ChatServer.raw(
            200,
            json.dumps(
                {
                    "id": "c",
                    "object": "chat.completion",
                    "created": 1,
                    "model": "gpt-4o-mini",
                    "choices": [
                        {
                            "index": 0,
                            "finish_reason": "length",
                            "message": {"role": "assistant", "content": cut, "refusal": None},
                        }
                    ],
                    "usage": {"prompt_tokens": 9, "completion_tokens": 4, "total_tokens": 13},
                }
            ),
        )
    )
    result = make_reader().extract_from_text("texto", ask(Partes))
    assert result.status == "PARSE_ERROR" and "truncada" in result.answer
    assert (result.raw_text, result.finish_reason) == (cut, "length")
    assert result.metrics.tokens == 13
    assert len(chat_server.requests) == 1


def test_the_context_window_error_is_an_error_not_a_refused_format(llama):
    llama.context_size = 40
    reader = reader_for(llama, max_retries=2)
    result = reader.extract_from_text(LONG_TEXT, ask(Partes))
    assert result.status == "ERROR"
    assert result.answer.startswith("BadRequestError: ")
    assert "maximum context length is 40 tokens" in result.answer
    assert formats(llama) == ["json_schema", "json_object"]


def test_timeout_reaches_both_clients_and_ends_a_slow_answer(llama):
    reader = reader_for(llama, timeout=0.3, max_retries=0)
    assert reader._openai_client.timeout == 0.3
    llama.delay = 1.0
    started = time.monotonic()
    result = reader.extract_from_text("texto", ask())
    assert result.status == "PROVIDER_UNAVAILABLE" and result.answer.startswith("APITimeoutError")
    assert time.monotonic() - started < 0.9

    async def run():
        assert reader._get_async_client().timeout == 0.3
        return await reader.extract_from_text_async("texto", ask())

    assert asyncio.run(run()).status == "PROVIDER_UNAVAILABLE"
    assert Vorlex(openai_api_key="x")._openai_client.timeout == Vorlex.REQUEST_TIMEOUT_SECONDS


def test_the_fake_answers_one_request_at_a_time(llama):
    from concurrent.futures import ThreadPoolExecutor

    llama.delay = 0.2
    readers = [reader_for(llama), reader_for(llama)]
    started = time.monotonic()
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda r: r.extract_from_text("texto", ask()), readers))
    assert [r.status for r in results] == ["OK", "OK"]
    assert time.monotonic() - started >= 0.4  # the second waited for the first
    assert llama.peak >= 2  # both were in flight together, one waiting


# -- the asynchronous twins ----------------------------------------------------------------


def test_async_falls_back_once_and_mends_an_answer(llama):
    reader = reader_for(llama)
    # Answers for the requests after the refusal: one for Partes, two for Valor.
    llama.push(
        ChatServer.json({"contratante": "A", "contratada": "B"}),
        ChatServer.json({"valor_total": "muito"}),
        ChatServer.json({"valor_total": 5}),
    )

    async def run():
        first = await reader.extract_from_text_async("Total", ask(Partes))
        second = await reader.extract_from_text_async("Total", ask(Valor))
        return first, second

    first, second = asyncio.run(run())
    assert formats(llama) == ["json_schema", "json_object", "json_object", "json_object"]
    assert first.raw_result == {"contratante": "A", "contratada": "B"}
    assert (second.status, second.answer) == ("OK", 5)
    assert second.metrics.prompt_tokens == sum(
        llama._llama_prompt_tokens(r["body"]) for r in llama.requests[2:]
    )
    assert second.metrics.completion_tokens == completion_tokens(
        '{"valor_total": "muito"}', '{"valor_total": 5}'
    )


def test_async_parse_error_length_and_refused_mode(llama, vorlex_logs):
    reader = reader_for(llama, structured_output="json_object", validation_retries=1, max_tokens=4)

    async def run():
        llama.push(ChatServer.json({"a": 1}), ChatServer.json({"b": 2}))
        failed = await reader.extract_from_text_async("Total", ask(Valor))
        llama.default_text = LONG_TEXT
        try:
            cut = await reader.extract_from_text_async("texto", ask())
        finally:
            llama.default_text = "Resposta do modelo"
        refused = await reader_for(llama, structured_output="json_schema").extract_from_text_async(
            "texto", ask(Valor)
        )
        return failed, cut, refused

    failed, cut, refused = asyncio.run(run())
    assert failed.status == "PARSE_ERROR" and failed.raw_text == '{"b": 2}'
    assert failed.metrics.prompt_tokens == sum(
        llama._llama_prompt_tokens(r["body"]) for r in llama.requests[:2]
    )
    assert (cut.status, cut.finish_reason, cut.raw_text) == ("OK", "length", LONG_TEXT[:16])
    assert [r["body"]["max_tokens"] for r in llama.requests[:3]] == [4, 4, 4]
    assert refused.status == "ERROR" and refused.answer.startswith("ResponseFormatError: ")
    assert len(llama.requests) == 4
    assert "Resposta truncada (limite de tokens): q1" in [r.getMessage() for r in vorlex_logs.records]


# -- bad settings ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"structured_output": "xml"}, "structured_output"),
        ({"validation_retries": -1}, "validation_retries"),
        ({"max_tokens": 0}, "max_tokens"),
        ({"timeout": 0}, "timeout"),
        ({"timeout": -2.5}, "timeout"),
    ],
)
def test_bad_settings_are_value_errors_naming_the_argument(kwargs, name):
    with pytest.raises(ValueError, match=f"^{name} "):
        Vorlex(openai_api_key="x", **kwargs)


def test_settings_are_stored_and_have_their_defaults():
    reader = Vorlex(openai_api_key="x")
    assert (reader._structured_output, reader._validation_retries, reader._max_tokens, reader._timeout) == (
        "auto",
        1,
        None,
        None,
    )
    reader = Vorlex(
        openai_api_key="x", structured_output="prompt", validation_retries=0, max_tokens=256, timeout=30
    )
    assert (reader._structured_output, reader._validation_retries, reader._max_tokens, reader._timeout) == (
        "prompt",
        0,
        256,
        30.0,
    )
    with pytest.raises(TypeError, match="max_tokens"):
        Vorlex(openai_api_key="x", max_tokens="100")
    with pytest.raises(ValidationError):
        QuestionConfig(id="q", name="n", max_tokens=0)


def test_a_token_limit_is_part_of_a_question_cache_key():
    assert ask().cache_fingerprint() != ask(max_tokens=64).cache_fingerprint()
    assert ask(max_tokens=64).cache_fingerprint() == ask(max_tokens=64).cache_fingerprint()


def test_a_transient_failure_after_a_refusal_does_not_ask_the_refused_mode_again(llama):
    from vorlex.resilience import create_retry_decorator

    reader = reader_for(llama, max_retries=1)
    reader._retry = create_retry_decorator(max_retries=1, min_wait=0, max_wait=0)
    # The refusal comes from the server itself; the next request (json_object) meets a
    # passing 503, and the retry asks in json_object straight away.
    answers = iter([ChatServer.error(503)])

    def responder(body):
        return next(answers, None) or ChatServer.json({"valor_total": 2})

    llama.responder = responder
    result = reader.extract_from_text("Total", ask(Valor))
    assert result.status == "OK" and result.answer == 2
    assert formats(llama) == ["json_schema", "json_object", "json_object"]


def test_a_response_of_another_shape_leaves_raw_text_and_finish_reason_none():
    import types

    reader = Vorlex(openai_api_key="x")
    message = types.SimpleNamespace(content=["parte"], refusal=None)
    choice = types.SimpleNamespace(message=message, finish_reason=object())
    usage = types.SimpleNamespace(prompt_tokens=1, completion_tokens=1, total_tokens=2)
    reader._call_llm = lambda messages, response_model=None: types.SimpleNamespace(
        choices=[choice], usage=usage
    )
    result = reader.extract_from_text("texto", ask())
    assert (result.status, result.answer) == ("OK", ["parte"])
    assert (result.raw_text, result.finish_reason) == (None, None)


def _cut_short_error():
    import openai
    from openai.types.chat import ChatCompletion

    completion = ChatCompletion.model_validate(
        {
            "id": "c",
            "object": "chat.completion",
            "created": 1,
            "model": MODEL,
            "choices": [
                {
                    "index": 0,
                    "finish_reason": "length",
                    "message": {"role": "assistant", "content": '{"contratante": "AC'},
                }
            ],
            "usage": {"prompt_tokens": 9, "completion_tokens": 4, "total_tokens": 13},
        }
    )
    return openai.LengthFinishReasonError(completion=completion)


@pytest.mark.parametrize("asynchronous", [False, True], ids=["sync", "async"])
def test_a_cut_short_answer_raised_by_the_call_ends_parse_error(asynchronous, vorlex_logs):
    reader = Vorlex(openai_api_key="x", validation_retries=2)
    calls = []

    def call_llm(messages, response_model=None, max_tokens=None):
        calls.append(messages)
        raise _cut_short_error()

    async def call_llm_async(messages, response_model=None, max_tokens=None):
        return call_llm(messages, response_model, max_tokens)

    reader._call_llm = call_llm
    reader._call_llm_async = call_llm_async
    if asynchronous:
        result = asyncio.run(asyncio.wait_for(reader.extract_from_text_async("texto", ask(Partes)), 30))
    else:
        result = reader.extract_from_text("texto", ask(Partes))
    assert result.status == "PARSE_ERROR"
    assert "truncada (limite de tokens)" in result.answer
    assert (result.raw_text, result.finish_reason) == ('{"contratante": "AC', "length")
    assert (result.metrics.prompt_tokens, result.metrics.completion_tokens, result.metrics.tokens) == (
        9,
        4,
        13,
    )
    assert len(calls) == 1  # not asked again: the same limit would cut it again
    assert any(r.getMessage() == "Resposta truncada (limite de tokens): q1" for r in vorlex_logs.records)
