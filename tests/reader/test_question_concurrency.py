"""The questions of one document side by side (`question_concurrency`), against the local
chat server answering each question after a delay: the server sees them in flight
together, and the results, their order, statuses, tokens, the cache and the log lines are
those of one question at a time."""

from __future__ import annotations

import asyncio
import re
import time

import pytest

from components.docgen import text_page_pdf
from servers.chat import ChatServer, InFlight
from vorlex.models import Classification
from vorlex.reader import Vorlex

pytestmark = pytest.mark.timeout(120)

IDS = ["q1", "q2", "q3", "q4", "q5"]
PAGES = ["Contrato de prestacao de servicos.", "Valor de cem reais por mes."]


@pytest.fixture
def pdf():
    return text_page_pdf(PAGES)


def questions(reader, ids=IDS):
    for qid in ids:
        reader.add_question(Vorlex.create_question(qid, "Pergunta " + qid, f"Pergunta {qid}: {{texto}}"))
    return reader


def slow_answers(server, delay=0.3, fail=None):
    """Answers each question with its own id after `delay`, counting requests in flight;
    the question `fail` gets a 400."""
    flight = InFlight()

    def respond(body):
        asked = re.search(r"Pergunta (q\d)", body["messages"][-1]["content"]).group(1)
        with flight:
            time.sleep(delay)
        if asked == fail:
            return ChatServer.error(400, "pedido recusado")
        return ChatServer.text(f"resposta de {asked} " * int(asked[1]))

    server.responder = respond
    return flight


def figures(result):
    return [
        (
            r.question_id,
            r.status,
            r.answer,
            r.metrics.tokens,
            r.metrics.prompt_tokens,
            r.metrics.completion_tokens,
            r.pages_used,
        )
        for r in result.results
    ]


def test_questions_overlap_and_keep_their_order_and_figures(make_reader, chat_server, pdf):
    flight = slow_answers(chat_server)
    one = questions(make_reader(model="gpt-4o-mini")).process(pdf)
    assert flight.peak == 1

    flight = slow_answers(chat_server)
    reader = questions(make_reader(model="gpt-4o-mini", question_concurrency=5))
    started = time.perf_counter()
    five = reader.process(pdf, questions=list(reversed(IDS)))
    elapsed = time.perf_counter() - started
    assert flight.peak == 5
    assert elapsed < 5 * 0.3  # together, not one after another
    # Selection order, each question's own figures, the same totals.
    assert [r.question_id for r in five.results] == list(reversed(IDS))
    assert sorted(figures(five)) == sorted(figures(one))
    assert [r.answer for r in five.results] == [f"resposta de {q} " * int(q[1]) for q in reversed(IDS)]
    for field in ("tokens", "prompt_tokens", "completion_tokens", "cost_usd"):
        assert getattr(five.total_metrics, field) == pytest.approx(getattr(one.total_metrics, field))


def test_one_at_a_time_keeps_the_order_of_work_and_log_lines(make_reader, chat_server, pdf, vorlex_logs):
    flight = slow_answers(chat_server, delay=0.05)
    questions(make_reader(model="gpt-4o-mini", verbose=True)).process(pdf)
    sequential = [r.getMessage() for r in vorlex_logs.records if r.name == "vorlex.reader"]
    assert flight.peak == 1
    asked = [
        re.search(r"Pergunta (q\d)", r["body"]["messages"][-1]["content"]).group(1)
        for r in chat_server.requests
    ]
    assert asked == IDS
    answer_lines = [line for line in sequential if re.match(r"  q\d: ", line)]
    assert [line.split(":")[0].strip() for line in answer_lines] == IDS

    # Side by side, the same lines in the same order, each carrying its question's id.
    vorlex_logs.clear()
    slow_answers(chat_server, delay=0.05)
    questions(make_reader(model="gpt-4o-mini", verbose=True, question_concurrency=3)).process(pdf)
    side = [r.getMessage() for r in vorlex_logs.records if r.name == "vorlex.reader"]
    assert side == sequential


def test_a_failing_question_among_concurrent_ones(make_reader, chat_server, pdf):
    slow_answers(chat_server, delay=0.1, fail="q3")
    result = questions(make_reader(model="gpt-4o-mini", question_concurrency=5, max_retries=0)).process(pdf)
    statuses = {r.question_id: r.status for r in result.results}
    assert statuses.pop("q3") == "ERROR"
    assert set(statuses.values()) == {"OK"}
    assert result.total_metrics.tokens == sum(r.metrics.tokens for r in result.results)


def test_the_classification_runs_after_the_answers_and_counts(make_reader, chat_server, pdf):
    seen = []

    def respond(body):
        content = body["messages"][-1]["content"]
        if content.startswith("Classifique"):
            seen.append(len(chat_server.requests))
            return ChatServer.text("contrato", prompt_tokens=7, completion_tokens=3)
        time.sleep(0.1)
        return ChatServer.text("ok", prompt_tokens=5, completion_tokens=1)

    chat_server.responder = respond
    reader = questions(make_reader(model="gpt-4o-mini", question_concurrency=5))
    reader.set_classification(Classification(system_prompt="s", user_prompt="Classifique:\n{dados}"))
    result = reader.process(pdf, classify=True)
    assert seen == [6]  # the sixth request, after the five answers
    assert result.total_metrics.tokens == 5 * 6 + 10


def test_the_cache_keeps_and_serves_the_same_record_either_way(make_reader, chat_server, pdf, tmp_path):
    path = str(tmp_path / "cache.sqlite")
    slow_answers(chat_server, delay=0.05)
    first = questions(make_reader(model="gpt-4o-mini", cache_path=path, question_concurrency=5)).process(pdf)
    asked = len(chat_server.requests)
    again = questions(make_reader(model="gpt-4o-mini", cache_path=path)).process(pdf)
    assert len(chat_server.requests) == asked and again.from_cache
    assert figures(again) == figures(first)


def test_async_as_sync(chat_server, pdf):
    flight = slow_answers(chat_server)
    reader = questions(Vorlex(base_url=chat_server.base_url, model="local", question_concurrency=5))
    together = asyncio.run(asyncio.wait_for(reader.process_async(pdf), 60))
    assert flight.peak == 5
    flight = slow_answers(chat_server)
    synchronous = reader.process(pdf)
    assert flight.peak == 5
    assert figures(together) == figures(synchronous)

    # Two permits for five questions: never more than two at once.
    flight = slow_answers(chat_server, delay=0.1)
    reader._question_concurrency = 2
    again = asyncio.run(asyncio.wait_for(reader.process_async(pdf), 60))
    assert flight.peak == 2 and figures(again) == figures(together)


@pytest.mark.parametrize(
    "value,error",
    [
        ("2", TypeError),
        (2.0, TypeError),
        (True, TypeError),
        (None, TypeError),
        (0, ValueError),
        (-3, ValueError),
    ],
)
def test_bad_question_concurrency(value, error):
    with pytest.raises(error, match="question_concurrency"):
        Vorlex(openai_api_key="sk", question_concurrency=value)


@pytest.mark.parametrize("asynchronous", [False, True], ids=["process", "process_async"])
def test_questions_side_by_side_learn_the_structured_mode_once(pdf, asynchronous):
    # Against a server that refuses json_schema, the first structured question learns the
    # mode alone; the others follow in it: one refused request per reader.
    from pydantic import BaseModel

    class Valor(BaseModel):
        valor: str

    with ChatServer.llama_cpp() as server:
        reader = Vorlex(base_url=server.base_url, model="local", question_concurrency=3)
        for qid in ("a", "b", "c"):
            reader.add_question(Vorlex.create_question(qid, qid, "Valor: {texto}", response_model=Valor))
        run = reader.process_async(pdf) if asynchronous else None
        result = asyncio.run(asyncio.wait_for(run, 60)) if asynchronous else reader.process(pdf)
        assert [r.status for r in result.results] == ["OK"] * 3
        kinds = [q["body"].get("response_format", {}).get("type") for q in server.requests]
        assert kinds == ["json_schema", "json_object", "json_object", "json_object"]


@pytest.mark.parametrize("asynchronous", [False, True], ids=["process", "process_async"])
def test_a_providers_own_service_takes_every_structured_question_at_once(
    pdf, asynchronous, chat_server, clean_env
):
    # Without a base_url the reader talks to the provider's service, which takes
    # json_schema: no question waits for another to learn the mode, so a fresh reader's
    # first document costs one model wait, not two. (The OpenAI client's own
    # OPENAI_BASE_URL points it at the local server.)
    from pydantic import BaseModel

    class Valor(BaseModel):
        valor: str

    clean_env.setenv("OPENAI_BASE_URL", chat_server.base_url)
    flight = InFlight()

    def respond(body):
        with flight:
            time.sleep(0.3)
        return ChatServer.json({"valor": "v"})

    chat_server.responder = respond
    reader = Vorlex(openai_api_key="sk-test", model="gpt-4o-mini", question_concurrency=3)
    for qid in ("a", "b", "c"):
        reader.add_question(Vorlex.create_question(qid, qid, "Valor: {texto}", response_model=Valor))
    run = reader.process_async(pdf) if asynchronous else None
    result = asyncio.run(asyncio.wait_for(run, 60)) if asynchronous else reader.process(pdf)
    assert [r.status for r in result.results] == ["OK"] * 3
    kinds = [q["body"].get("response_format", {}).get("type") for q in chat_server.requests]
    assert kinds == ["json_schema"] * 3
    assert flight.peak == 3


@pytest.mark.parametrize("asynchronous", [False, True], ids=["process", "process_async"])
def test_google_structured_questions_run_side_by_side_from_the_first(pdf, asynchronous, monkeypatch):
    # Google takes the response model directly: there is no mode to learn, so no
    # structured question is asked alone before the others.
    import threading
    import types

    from pydantic import BaseModel

    class Valor(BaseModel):
        valor: str

    monkeypatch.setenv("GOOGLE_API_KEY", "g-test")
    reader = Vorlex(provider="google", model="gemini-2.0-flash", question_concurrency=2)
    for qid in ("a", "b"):
        reader.add_question(Vorlex.create_question(qid, qid, "Valor: {texto}", response_model=Valor))

    def answer():
        message = types.SimpleNamespace(content='{"valor": "v"}', parsed=Valor(valor="v"), refusal=None)
        return types.SimpleNamespace(
            choices=[types.SimpleNamespace(message=message, finish_reason="stop")],
            usage=types.SimpleNamespace(prompt_tokens=2, completion_tokens=1, total_tokens=3),
        )

    both_asked = threading.Barrier(2, timeout=5)

    def call_llm(messages, response_model=None, max_tokens=None):
        both_asked.wait()  # broken when one question is asked alone
        return answer()

    in_flight = []

    async def call_llm_async(messages, response_model=None, max_tokens=None):
        in_flight.append(1)
        for _ in range(500):
            if len(in_flight) == 2:
                return answer()
            await asyncio.sleep(0.01)
        raise TimeoutError("the other question was never asked alongside")

    reader._call_llm = call_llm
    reader._call_llm_async = call_llm_async
    run = reader.process_async(pdf) if asynchronous else None
    result = asyncio.run(asyncio.wait_for(run, 60)) if asynchronous else reader.process(pdf)
    assert [(r.status, r.answer) for r in result.results] == [("OK", "v")] * 2
