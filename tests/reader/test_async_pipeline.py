"""The asynchronous pipeline: the coroutine twins against the local chat server with the
real async client, their differences from the synchronous path, the batch under its
semaphore and breaker, cancellation and timeouts, and the coroutine objects themselves."""

from __future__ import annotations

import asyncio
import collections.abc
import gc
import json
import re
import sys
import time
import types
from typing import ClassVar

import pytest
from pydantic import BaseModel

import vorlex.reader as reader_mod
from components.docgen import text_page_pdf
from servers.chat import ChatServer, InFlight
from vorlex.models import Classification, PageRange
from vorlex.reader import Vorlex
from vorlex.resilience import CircuitState

OPEN_ANSWER = "Processamento interrompido: muitas falhas consecutivas"


class Tipo(BaseModel):
    tipo: str


class Partes(BaseModel):
    partes: list[str]


def ask(qid="q1", **kw):
    return Vorlex.create_question(qid, "Pergunta " + qid, "Leia: {texto}", **kw)


def doc(i: int, pages: int = 1) -> bytes:
    return text_page_pdf([f"Documento DOC-{i} pagina {p} com texto suficiente." for p in range(pages)])


def doc_number(text: str) -> int:
    return int(re.search(r"DOC-(\d+)", text).group(1))


def statuses(results):
    return [[r.status for r in res.results] for res in results]


def reader_lines(caplog, level=None):
    return [
        r.getMessage()
        for r in caplog.records
        if r.name == "vorlex.reader" and (level is None or r.levelname == level)
    ]


@pytest.fixture
def areader(chat_server, monkeypatch):
    """Readers whose own asynchronous client (built on first use) talks to the local
    server."""
    monkeypatch.setenv("OPENAI_BASE_URL", chat_server.base_url)

    def make(**kwargs):
        kwargs.setdefault("openai_api_key", "sk-test")
        kwargs.setdefault("model", "gpt-4o-mini")
        return Vorlex(**kwargs)

    return make


# -- the twins -------------------------------------------------------------------------


def test_extract_and_process_answer_like_their_twins(areader, chat_server):
    reader = areader().add_question(ask("q1")).add_question(ask("q2", response_model=Partes))
    got = asyncio.run(reader.extract_from_text_async("um texto", ask("solta")))
    assert (got.question_id, got.status, got.answer) == ("solta", "OK", "Resposta do modelo")
    assert got.metrics.tokens == got.metrics.prompt_tokens + got.metrics.completion_tokens > 0

    pdf = doc(1, pages=2)
    res = asyncio.run(reader.process_async(pdf, filename="a.pdf"))
    sync = reader.process(pdf, filename="a.pdf")
    assert statuses([res]) == statuses([sync]) == [["OK", "OK"]]
    assert res.results[1].answer == sync.results[1].answer == ["valor de partes"]
    assert [r.pages_used for r in res.results] == [2, 2]
    assert res.document == sync.document
    assert res.total_metrics.tokens == sync.total_metrics.tokens
    # Structured questions go through the async client's parse with the schema.
    body = chat_server.requests[-3]["body"]
    assert body["response_format"]["type"] == "json_schema"


def test_async_model_call_makes_one_attempt(areader, chat_server):
    chat_server.push(ChatServer.error(429), ChatServer.text("depois"))
    reader = areader(max_retries=3)
    got = asyncio.run(reader.extract_from_text_async("texto", ask()))
    assert got.status == "PROVIDER_UNAVAILABLE"
    assert got.answer.startswith("RateLimitError: ")
    assert len(chat_server.requests) == 1


def test_refusal_and_empty_text_follow_the_twin(areader, chat_server, vorlex_logs):
    reader = areader()
    chat_server.push(
        ChatServer.raw(
            200,
            json.dumps(
                {
                    "id": "x",
                    "object": "chat.completion",
                    "created": 0,
                    "model": "gpt-4o-mini",
                    "choices": [
                        {
                            "index": 0,
                            "finish_reason": "stop",
                            "message": {"role": "assistant", "content": None, "refusal": "Não posso ajudar."},
                        }
                    ],
                    "usage": {"prompt_tokens": 3, "completion_tokens": 2, "total_tokens": 5},
                }
            ),
        )
    )
    got = asyncio.run(reader.extract_from_text_async("texto", ask(response_model=Partes)))
    assert (got.status, got.answer) == ("REFUSED", "ModelRefusalError: Não posso ajudar.")
    empty = asyncio.run(reader.extract_from_text_async(" \n---\n ", ask()))
    assert (empty.status, empty.answer) == ("NO_DATA", "Documento sem texto extraível")
    assert any("texto vazio apos filtragem" in line for line in reader_lines(vorlex_logs))
    assert len(chat_server.requests) == 1


def test_question_run_writes_no_log_lines(areader, chat_server, vorlex_logs):
    reader = areader(verbose=True).add_questions(
        [
            ask("longe", page_range=PageRange(start=5, end=9)),
            ask("perto", page_range=PageRange(start=2, end=2)),
        ]
    )
    pdf = doc(1, pages=3)
    vorlex_logs.clear()
    res = asyncio.run(reader.process_async(pdf))
    assert statuses([res]) == [["OK", "OK"]]
    assert [r.pages_used for r in res.results] == [3, 1]  # a range that does not fit reads all
    # Loading still reports the document; the question run says nothing.
    assert reader_lines(vorlex_logs) == ["Processando: document.pdf"]
    reader.process(pdf)
    sync_lines = reader_lines(vorlex_logs)
    assert any("page range ignorado" in line for line in sync_lines)
    assert any("Page range aplicado" in line for line in sync_lines)


def test_cache_hit_returns_the_stored_result_silently(areader, chat_server, vorlex_logs):
    reader = areader(verbose=True, enable_cache=True).add_question(ask())
    pdf = doc(1)
    first = asyncio.run(reader.process_async(pdf))
    vorlex_logs.clear()
    again = asyncio.run(reader.process_async(pdf))
    assert again.from_cache and not first.from_cache
    assert again.model_copy(update={"from_cache": False}) == first and again is not first
    assert len(chat_server.requests) == 1
    assert reader_lines(vorlex_logs) == []
    reader.process(pdf)
    assert any(line.startswith("Cache hit para ") for line in reader_lines(vorlex_logs))


def test_classification_and_its_failure_line(areader, chat_server, vorlex_logs):
    reader = areader().add_question(ask())
    reader.set_classification(
        Classification(system_prompt="Classifique.", user_prompt="{dados}", response_model=Tipo)
    )
    res = asyncio.run(reader.process_async(doc(1), classify=True))
    assert set(res.classification) == {"tipo"}
    assert "- _documento: document.pdf" in chat_server.requests[-1]["body"]["messages"][1]["content"]
    # Classification usage is part of the document's totals.
    assert res.total_metrics.tokens > res.results[0].metrics.tokens

    chat_server.push(ChatServer.text("resposta"), ChatServer.error(400))
    res = asyncio.run(reader.process_async(doc(2), classify=True))
    assert res.classification == {"error": "Erro na classificacao", "error_type": "BadRequestError"}
    errors = reader_lines(vorlex_logs, "ERROR")
    assert any(line.startswith("Erro na classificação async: ") for line in errors)
    # Without classify the step does not run.
    n = len(chat_server.requests)
    assert asyncio.run(reader.process_async(doc(3))).classification is None
    assert len(chat_server.requests) == n + 1


def test_steps_are_late_bound_and_may_be_python_coroutines(areader, chat_server):
    reader = areader().add_question(ask())
    seen = []
    real = reader._execute_question_async

    async def spy(text, question):
        seen.append(question.config.id)
        await asyncio.sleep(0)
        return await real(text, question)

    reader._execute_question_async = spy
    res = asyncio.run(reader.process_async(doc(1)))
    assert seen == ["q1"] and res.results[0].status == "OK"


def test_structured_calls_use_chat_completions_parse_without_beta(areader):
    calls = []

    class Completions:
        async def parse(self, **kw):
            calls.append(("parse", sorted(kw)))
            return types.SimpleNamespace(
                choices=[
                    types.SimpleNamespace(
                        message=types.SimpleNamespace(parsed=Partes(partes=["a"]), refusal=None)
                    )
                ],
                usage=types.SimpleNamespace(prompt_tokens=1, completion_tokens=1, total_tokens=2),
            )

    client = types.SimpleNamespace(chat=types.SimpleNamespace(completions=Completions()))
    reader = areader()
    reader._async_openai_client = client
    got = asyncio.run(reader.extract_from_text_async("x", ask(response_model=Partes)))
    assert (got.status, got.answer) == ("OK", ["a"])
    assert calls == [("parse", ["messages", "model", "response_format"])]


def test_google_provider_awaits_its_async_calls(monkeypatch):
    import vorlex.providers.google as google

    monkeypatch.setenv("GOOGLE_API_KEY", "g-test")
    reader = Vorlex(provider="google", model="gemini-2.0-flash")
    calls = []

    async def acall_chat(client, model, messages):
        calls.append((client is reader._async_google_client, model, messages[-1]["content"]))
        return types.SimpleNamespace(
            choices=[types.SimpleNamespace(message=types.SimpleNamespace(content="oi"))],
            usage=types.SimpleNamespace(prompt_tokens=2, completion_tokens=1, total_tokens=3),
        )

    monkeypatch.setattr(google, "acall_chat", acall_chat)
    got = asyncio.run(reader.extract_from_text_async("texto", ask()))
    assert (got.status, got.answer) == ("OK", "oi")
    assert calls == [(True, reader._model, "Leia: texto")]


def test_reader_runs_under_one_event_loop_after_another(areader, chat_server):
    reader = areader()
    for _ in range(3):
        assert asyncio.run(reader.extract_from_text_async("x", ask())).status == "OK"
    # A client put in place by the caller is kept whatever the loop.
    mine = reader._async_openai_client.__class__(api_key="sk", base_url=chat_server.base_url)
    reader._async_openai_client = mine
    asyncio.run(reader.extract_from_text_async("x", ask()))
    asyncio.run(reader.extract_from_text_async("x", ask()))
    assert reader._async_openai_client is mine


def test_a_client_built_for_a_loop_closes_when_the_loop_shuts_down(areader, chat_server):
    import gc
    import warnings

    reader = areader()
    gc.collect()  # what earlier tests left behind is not this test's
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        clients = []
        for _ in range(3):
            assert asyncio.run(reader.extract_from_text_async("x", ask())).status == "OK"
            clients.append(reader._async_openai_client)
        # Each asyncio.run() closed the client it saw built, on its own loop.
        assert len({id(c) for c in clients}) == 3
        assert all(c.is_closed() for c in clients)
        del clients
        gc.collect()
    unclosed = [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)]
    assert unclosed == []


# -- batches ---------------------------------------------------------------------------


def test_batch_keeps_input_order_and_bounds_concurrency(areader, chat_server):
    n = 8
    flight = InFlight()

    def respond(body):
        with flight:
            i = doc_number(body["messages"][-1]["content"])
            time.sleep(0.02 * (n - i))  # later documents finish first
            return f"resposta DOC-{i}"

    chat_server.responder = respond
    reader = areader().add_question(ask())
    results = asyncio.run(reader.process_batch_async([doc(i) for i in range(n)], max_concurrency=3))
    assert [r.results[0].answer for r in results] == [f"resposta DOC-{i}" for i in range(n)]
    assert 1 < flight.peak <= 3
    flight.peak = 0
    asyncio.run(reader.process_batch_async([doc(i) for i in range(4)], max_concurrency=1))
    assert flight.peak == 1


def test_each_interleaved_document_reports_its_own_usage(areader, chat_server):
    def respond(body):
        i = doc_number(body["messages"][-1]["content"])
        time.sleep(0.01 * ((i * 5) % 4))
        if body["messages"][0]["content"] == "Classifique.":
            return ChatServer.json({"tipo": f"tipo-{i}"}, 1000 * (i + 1), 10 * (i + 1))
        return ChatServer.text(f"resposta DOC-{i}", 100 * (i + 1), i + 1)

    chat_server.responder = respond
    reader = areader().add_questions([ask("q1"), ask("q2")])
    reader.set_classification(
        Classification(system_prompt="Classifique.", user_prompt="{dados}", response_model=Tipo)
    )
    results = asyncio.run(
        reader.process_batch_async([doc(i) for i in range(6)], classify=True, max_concurrency=6)
    )
    for i, res in enumerate(results):
        k = i + 1
        assert res.classification == {"tipo": f"tipo-{i}"}
        assert res.total_metrics.tokens == 2 * 101 * k + 1010 * k


def test_document_errors_become_results_with_their_line(areader, chat_server, vorlex_logs, tmp_path):
    reader = areader(circuit_breaker=True).add_question(ask())
    missing = str(tmp_path / "nao-existe.pdf")
    results = asyncio.run(reader.process_batch_async([missing, doc(1), b"lixo" * 100]))
    assert statuses(results) == [["ERROR"], ["OK"], ["ERROR"]]
    assert results[0].document.filename == missing
    assert results[0].results[0].question_id == "error"
    assert results[2].document.filename == str(b"lixo" * 100)[:200]
    errors = reader_lines(vorlex_logs, "ERROR")
    assert f"Erro ao processar async {missing}: Documento não encontrado: {missing}" in errors
    # The two bad documents failed before any wait; the good one answered last.
    assert reader._circuit_breaker._failure_count == 0


def test_breaker_refuses_only_after_failures_that_never_waited(areader, chat_server):
    reader = areader(circuit_breaker=True).add_question(ask())
    long_name = "y" * 300
    docs = [b"quebrado"] * 5 + [doc(5), long_name]
    results = asyncio.run(reader.process_batch_async(docs))
    assert statuses(results) == [["ERROR"]] * 5 + [["CIRCUIT_OPEN"]] * 2
    assert results[6].document.filename == "y" * 200
    assert results[5].results[0].answer == OPEN_ANSWER
    assert chat_server.requests == []


def test_model_failures_admit_every_document_then_open_the_breaker(areader, chat_server):
    chat_server.push(*[ChatServer.error(400)] * 6)
    reader = areader(circuit_breaker=True, circuit_breaker_threshold=3).add_question(ask())
    results = asyncio.run(reader.process_batch_async([doc(i) for i in range(6)]))
    assert statuses(results) == [["ERROR"]] * 6
    assert reader._circuit_breaker.state == CircuitState.OPEN
    (again,) = asyncio.run(reader.process_batch_async([doc(9)]))  # reset at the start
    assert again.results[0].status == "OK"


def test_other_errors_end_the_batch_without_cancelling_the_rest(areader, chat_server):
    reader = areader().add_question(ask())
    real = reader.process_async
    done = []

    async def process_async(document, questions=None, classify=False, filename=None):
        if document == b"boom":
            raise RuntimeError("falha inesperada")
        result = await real(document, questions, classify)
        done.append(document)
        return result

    reader.process_async = process_async

    docs = [doc(0), b"boom", doc(2)]

    async def main():
        with pytest.raises(RuntimeError, match="falha inesperada"):
            await reader.process_batch_async(docs, max_concurrency=1)
        while len(done) < 2:  # the others go on while the loop runs
            await asyncio.sleep(0.01)

    asyncio.run(main())
    assert sorted(done) == sorted([docs[0], docs[2]])


def test_max_concurrency_checks(areader):
    reader = areader(circuit_breaker=True, circuit_breaker_threshold=1).add_question(ask())
    for value in (0, -1, 0.7, -2.5):
        reader._circuit_breaker.record_failure()
        assert reader._circuit_breaker.state == CircuitState.OPEN
        with pytest.raises(ValueError):
            asyncio.run(reader.process_batch_async([doc(1)], max_concurrency=value))
        assert reader._circuit_breaker.state == CircuitState.CLOSED  # reset came first
    assert asyncio.run(reader.process_batch_async([], max_concurrency=2.9)) == []


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda r: r.extract_from_text_async(b"texto", ask()), "text"),
        (lambda r: r._execute_question_async(None, ask()), "text"),
        (lambda r: r.process_async(b"%PDF", questions="q1"), "questions"),
        (lambda r: r.process_async(b"%PDF", filename=b"a.pdf"), "filename"),
        (lambda r: r.process_batch_async((b"x",)), "documents"),
        (lambda r: r.process_batch_async([], questions=("q1",)), "questions"),
        (lambda r: r.process_batch_async([], max_concurrency=None), "max_concurrency"),
        (lambda r: r.process_batch_async([], max_concurrency="5"), "max_concurrency"),
    ],
)
def test_bad_arguments_are_refused_before_anything_runs(call, name):
    reader = Vorlex(openai_api_key="sk-test", circuit_breaker=True, circuit_breaker_threshold=1).add_question(
        ask()
    )
    reader._circuit_breaker.record_failure()
    with pytest.raises(TypeError, match=name):
        call(reader)
    assert reader._circuit_breaker.state == CircuitState.OPEN


# -- cancellation, timeouts and the coroutine objects -----------------------------------


class CountingSemaphore(asyncio.Semaphore):
    made: ClassVar[list] = []

    def __init__(self, value=1):
        super().__init__(value)
        self.initial = value
        CountingSemaphore.made.append(self)


def test_cancelling_a_batch_cancels_the_calls_in_flight_and_frees_the_permits(
    areader, chat_server, monkeypatch
):
    chat_server.delay = 0.5
    CountingSemaphore.made = []
    monkeypatch.setattr(
        reader_mod,
        "asyncio",
        types.SimpleNamespace(
            Semaphore=CountingSemaphore, gather=asyncio.gather, get_running_loop=asyncio.get_running_loop
        ),
    )
    reader = areader().add_question(ask())
    real = reader._call_llm_async
    started, cancelled = [], []

    async def call(messages, response_model=None):
        started.append(1)
        try:
            return await real(messages, response_model)
        except asyncio.CancelledError:
            cancelled.append(1)
            raise

    reader._call_llm_async = call

    async def main():
        task = asyncio.ensure_future(
            reader.process_batch_async([doc(i) for i in range(5)], max_concurrency=2)
        )
        while len(started) < 2:
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    (sem,) = CountingSemaphore.made
    assert len(started) == 2 and len(cancelled) == 2
    assert sem._value == sem.initial == 2 and not sem.locked()


def test_timeout_around_process_async(areader, chat_server):
    chat_server.delay = 1.0
    reader = areader().add_question(ask())

    async def main():
        async with asyncio.timeout(0.1):
            await reader.process_async(doc(1))

    with pytest.raises(TimeoutError):
        asyncio.run(main())


class Unwound:
    """A step that waits until it is interrupted, recording what reached it."""

    def __init__(self):
        self.seen = []
        self.waiting = asyncio.Event()

    async def call(self, messages, response_model=None):
        self.waiting.set()
        try:
            await asyncio.Event().wait()
        except BaseException as exc:
            self.seen.append(type(exc).__name__)
            raise


def test_an_exception_thrown_in_reaches_the_frames_and_unwinds_them(vorlex_logs):
    reader = Vorlex(openai_api_key="sk-test").add_question(ask())

    async def main():
        step = Unwound()
        reader._call_llm_async = step.call
        coro = reader.process_async(doc(1))
        assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
        coro.send(None)  # runs to the wait inside the step
        # An Exception thrown in becomes the question's failure result in the C++ frame...
        with pytest.raises(StopIteration) as stop:
            coro.throw(KeyError("injetado"))
        res = stop.value.value
        assert res.results[0].status == "ERROR"
        assert res.results[0].answer == "KeyError: 'injetado'"
        assert step.seen == ["KeyError"]
        # ...and a GeneratorExit (close) unwinds every frame.
        step2 = Unwound()
        reader._call_llm_async = step2.call
        coro = reader.process_batch_async([doc(2)], max_concurrency=1)
        task = asyncio.ensure_future(coro)
        await step2.waiting.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert step2.seen == ["CancelledError"]

    asyncio.run(main())
    # The failure line carries the traceback of the step, through the C++ frames.
    (record,) = [r for r in vorlex_logs.records if r.getMessage().startswith("Pergunta q1")]
    frames = []
    tb = record.exc_info[2]
    while tb is not None:
        frames.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert "call" in frames


async def instant_answer(messages, response_model=None):
    """A model call that answers "ok" at the loop's next turn."""
    await asyncio.sleep(0)
    return types.SimpleNamespace(
        choices=[types.SimpleNamespace(message=types.SimpleNamespace(content="ok"))],
        usage=types.SimpleNamespace(prompt_tokens=1, completion_tokens=1, total_tokens=2),
    )


def test_coroutine_protocol_edges():
    reader = Vorlex(openai_api_key="sk-test")

    reader._call_llm_async = instant_answer

    async def main():
        coro = reader.extract_from_text_async("x", ask())
        with pytest.raises(TypeError):
            coro.send(1)  # a just-started coroutine takes None only
        assert (await coro).answer == "ok"
        with pytest.raises(RuntimeError, match="already awaited"):
            await coro
        # throw into a coroutine that never started: raised there, nothing runs.
        fresh = reader.extract_from_text_async("x", ask())
        with pytest.raises(ValueError, match="antes"):
            fresh.throw(ValueError("antes"))
        fresh.close()
        # close() of a suspended coroutine ends it; closing again is harmless.
        coro = reader.extract_from_text_async("x", ask())
        coro.send(None)
        coro.close()
        coro.close()
        with pytest.raises(RuntimeError):
            coro.send(None)
        # create_task takes it as a coroutine.
        assert (await asyncio.create_task(reader.extract_from_text_async("y", ask()))).status == "OK"

    asyncio.run(main())


def test_coroutines_never_awaited_or_dropped_midway_leak_nothing(recwarn):
    reader = Vorlex(openai_api_key="sk-test").add_question(ask())

    reader._call_llm_async = instant_answer
    question = ask()

    async def run_many(n):
        for _ in range(n):
            await reader.extract_from_text_async("texto", question)
        for _ in range(n // 10):
            coro = reader.extract_from_text_async("texto", question)
            coro.send(None)
            del coro  # dropped while waiting

    asyncio.run(run_many(200))
    gc.collect()
    refs = sys.getrefcount(reader)
    objects = len(gc.get_objects())
    for _ in range(1000):
        reader.process_async(b"%PDF")  # created, never awaited
    asyncio.run(run_many(500))
    gc.collect()
    assert sys.getrefcount(reader) == refs
    assert len(gc.get_objects()) < objects + 200
    assert not [w for w in recwarn if "never awaited" in str(w.message)]


def test_the_coroutine_tells_asyncio_and_inspect_what_a_coroutine_does(areader):
    """Names, cr_running, cr_await, and no frame or code object: asyncio's debug output
    and task reprs name it as they name an async def's coroutine."""
    from asyncio import coroutines

    reader = areader().add_question(Vorlex.create_question("q", "q", "Leia: {texto}"))
    coro = reader.process_async(b"%PDF-1.4")
    assert (coro.__name__, coro.__qualname__) == ("process_async", "Vorlex.process_async")
    assert coro.cr_running is False and coro.cr_await is None
    assert coro.cr_frame is None and coro.cr_code is None
    assert coroutines._format_coroutine(coro) == "Vorlex.process_async()"
    coro.close()

    release = None
    seen = {}

    async def model_call(messages, response_model=None):
        await release.wait()
        raise RuntimeError("sem modelo")

    reader._call_llm_async = model_call

    async def main():
        nonlocal release
        release = asyncio.Event()
        pdf = text_page_pdf(["Contrato de prestação de serviços com texto bastante."])
        coro = reader.process_async(pdf)
        task = asyncio.ensure_future(coro)
        await asyncio.sleep(0.05)
        seen["await"], seen["running"], seen["repr"] = coro.cr_await, coro.cr_running, repr(task)
        release.set()
        return await task

    result = asyncio.run(main(), debug=True)
    assert result.results[0].status != "OK"
    assert seen["await"] is not None and seen["running"] is False
    assert "coro=<Vorlex.process_async()" in seen["repr"], seen["repr"]
