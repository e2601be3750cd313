"""Batches on a Dask cluster: a LocalCluster of two worker processes on 127.0.0.1 talking
to the local chat server. Results in input order and equal to process_batch's, error
and circuit-open results made on the workers, a worker killed in the middle of a batch,
a result cache shared through Redis, and what cannot travel to a worker."""

from __future__ import annotations

import copy
import io
import os
import pickle
import re
import signal
import threading
import time

import pytest

from components.docgen import text_page_pdf
from contract.contracts import Parties
from servers.chat import ChatServer
from vorlex import Question, QuestionConfig
from vorlex.models import Classification
from vorlex.reader import Vorlex

distributed = pytest.importorskip("distributed")

pytestmark = pytest.mark.timeout(240)

OPEN_ANSWER = "Processamento interrompido: muitas falhas consecutivas"


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
    ) as local:
        yield local


@pytest.fixture
def client(cluster):
    with distributed.Client(cluster) as c:
        # A worker killed by an earlier test is started again by its nanny.
        c.wait_for_workers(2, timeout=120)
        yield c


def ask(qid="q1"):
    return Vorlex.create_question(qid, "Pergunta " + qid, "Leia: {texto}")


def doc(i: int) -> bytes:
    return text_page_pdf([f"Documento DOC-{i} com texto suficiente para a leitura."])


def doc_number(body) -> int:
    return int(re.search(r"DOC-(\d+)", body["messages"][-1]["content"]).group(1))


def reader_for(chat_server, **kwargs) -> Vorlex:
    """A reader that reaches the local server by its settings, as it would on a cluster."""
    kwargs.setdefault("openai_api_key", "sk-test")
    return Vorlex(base_url=chat_server.base_url, model="gpt-4o-mini", **kwargs)


def summary(results):
    return [
        (
            res.document.filename,
            [
                (
                    r.question_id,
                    r.answer,
                    r.status,
                    r.metrics.tokens,
                    r.metrics.prompt_tokens,
                    r.metrics.completion_tokens,
                )
                for r in res.results
            ],
            res.total_metrics.tokens,
        )
        for res in results
    ]


# -- results ----------------------------------------------------------------------------


def test_results_in_input_order_equal_those_of_process_batch(client, chat_server, capsys):
    n = 8

    def respond(body):
        i = doc_number(body)
        time.sleep(0.02 * (n - i))  # later documents finish first
        return f"resposta DOC-{i} para {body['messages'][-1]['content'].split()[0]}"

    chat_server.responder = respond
    reader = reader_for(chat_server).add_question(ask("q1")).add_question(ask("q2"))
    docs = [doc(i) for i in range(n)]

    results = reader.process_batch_distributed(docs, client, show_progress=True)
    asked_remotely = len(chat_server.requests)
    local = reader.process_batch(docs)

    assert asked_remotely == 2 * n
    assert [r.results[0].answer for r in results] == [f"resposta DOC-{i} para Leia:" for i in range(n)]
    assert summary(results) == summary(local)
    assert all(not r.from_cache for r in results)
    # The bar counted every document and the tokens of the whole batch.
    bar = capsys.readouterr().err
    assert f"{n}/{n}" in bar
    assert f"tokens={sum(r.total_metrics.tokens for r in results)}" in bar


def test_questions_and_classification_are_those_of_the_call(client, chat_server):
    chat_server.responder = lambda body: (
        '{"tipo": "contrato", "confianca": 0.9}' if "_documento" in body["messages"][-1]["content"] else "sim"
    )
    reader = reader_for(chat_server).add_question(ask("q1")).add_question(ask("q2"))
    reader.set_classification(Classification(system_prompt="Classifique.", user_prompt="Dados: {dados}"))
    results = reader.process_batch_distributed([doc(1), doc(2)], client, questions=["q2"], classify=True)
    local = reader.process_batch([doc(1), doc(2)], questions=["q2"], classify=True)
    assert [[r.question_id for r in res.results] for res in results] == [["q2"], ["q2"]]
    assert [res.classification for res in results] == [res.classification for res in local]
    assert results[0].classification is not None


def test_a_question_with_a_response_model_is_answered_on_the_workers(client, chat_server):
    reader = reader_for(chat_server, structured_output="json_schema")
    reader.add_question(
        Question(
            config=QuestionConfig(id="partes", name="Partes"),
            system_prompt="Você lê contratos.",
            user_prompt="Leia: {texto}",
            response_model=Parties,
        )
    )
    docs = [doc(i) for i in range(4)]
    results = reader.process_batch_distributed(docs, client)
    formats = [(r["body"].get("response_format") or {}).get("type") for r in chat_server.requests]
    assert formats == ["json_schema"] * 4
    local = reader.process_batch(docs)

    assert summary(results) == summary(local)
    for res in results:
        (answer,) = res.results
        assert answer.status == "OK", answer.answer
        # The parsed answer comes back as it does in this process.
        assert type(answer.answer) is type(local[0].results[0].answer)
        assert answer.raw_result == local[0].results[0].raw_result
        assert set(answer.raw_result) == {"contratante", "contratada"}


def test_a_key_the_workers_lack_fails_the_batch_naming_it(chat_server, clean_env):
    # Workers started without any provider key; the caller's key lives in its own
    # environment only, so it stays behind and the reader cannot be built there.
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        ) as local,
        distributed.Client(local) as c,
    ):
        clean_env.setenv("XAI_API_KEY", "xai-do-chamador")
        reader = Vorlex(provider="grok", grok_base_url=chat_server.base_url).add_question(ask())
        with pytest.raises(Exception, match="xAI API key não configurada") as info:
            reader.process_batch_distributed([doc(0), doc(1)], c)
        assert not isinstance(info.value, (AssertionError, pickle.PicklingError))
        assert chat_server.requests == []
        # Given as an argument, the key travels and the same batch is read.
        given = Vorlex(
            provider="grok", grok_api_key="xai-do-chamador", grok_base_url=chat_server.base_url
        ).add_question(ask())
        results = given.process_batch_distributed([doc(0), doc(1)], c)
        assert [res.results[0].status for res in results] == ["OK", "OK"]


def test_a_bad_document_among_good_ones(client, chat_server, tmp_path):
    reader = reader_for(chat_server).add_question(ask())
    missing = str(tmp_path / "nao-existe.pdf")
    junk = b"isto nao e um PDF " * 40  # a representation longer than 200 characters
    stream = io.BytesIO(doc(4))  # a stream travels as the pickler carries it
    docs = [doc(0), junk, missing, doc(3), stream]

    results = reader.process_batch_distributed(docs, client)
    assert stream.tell() == 0  # read on the worker, from a copy
    local = reader.process_batch(docs)

    assert summary(results) == summary(local)
    assert [res.results[0].status for res in results] == ["OK", "ERROR", "ERROR", "OK", "OK"]
    assert [res.results[0].question_id for res in results] == ["q1", "error", "error", "q1", "q1"]
    assert results[1].document.filename == repr(junk)[:200]
    assert results[2].document.filename == missing
    assert missing in results[2].results[0].answer


def test_each_worker_keeps_its_own_breaker(client, chat_server):
    chat_server.responder = lambda body: ChatServer.error(400, "pedido recusado")
    reader = reader_for(chat_server, circuit_breaker=True, circuit_breaker_threshold=1)
    reader.add_question(ask())
    long_path = "/nao/existe/" + "x" * 300 + ".pdf"
    docs = [doc(i) for i in range(5)] + [long_path]
    results = reader.process_batch_distributed(docs, client)

    statuses = [res.results[0].status for res in results]
    # Each worker's breaker opens at its first failed document: one or two documents
    # (one per worker that got any) fail, every other one is refused there.
    assert 1 <= statuses.count("ERROR") <= 2
    assert statuses.count("CIRCUIT_OPEN") == len(docs) - statuses.count("ERROR")
    for res in results:
        if res.results[0].status == "CIRCUIT_OPEN":
            assert res.results[0].answer == OPEN_ANSWER
            assert res.results[0].question_id == "circuit_breaker"
            assert len(res.document.filename) <= 200
    # The caller's breaker took no part.
    assert reader._circuit_breaker._failure_count == 0


def test_a_worker_killed_mid_batch_leaves_every_document_one_result(client, chat_server):
    n = 10
    started = threading.Event()
    seen = []

    def respond(body):
        i = doc_number(body)
        seen.append(i)
        if len(seen) >= 2:
            started.set()
        time.sleep(0.4)
        return f"resposta DOC-{i}"

    chat_server.responder = respond
    reader = reader_for(chat_server).add_question(ask())
    pids = list(client.run(os.getpid).values())
    assert len(pids) == 2

    def kill_one():
        if started.wait(60):
            os.kill(pids[0], signal.SIGKILL)

    killer = threading.Thread(target=kill_one)
    killer.start()
    try:
        results = reader.process_batch_distributed([doc(i) for i in range(n)], client)
    finally:
        killer.join()
    assert started.is_set()
    assert len(results) == n
    assert [res.results[0].answer for res in results] == [f"resposta DOC-{i}" for i in range(n)]
    assert all(res.results[0].status == "OK" for res in results)
    # Every document was asked at least once; the killed worker's document again.
    assert set(seen) == set(range(n))
    # The killed worker's nanny starts another process in its place.
    client.wait_for_workers(2, timeout=120)
    assert pids[0] not in client.run(os.getpid).values()


# -- the cache ----------------------------------------------------------------------------


def test_a_second_run_with_a_shared_redis_cache_asks_the_model_nothing(client, chat_server, redis):
    chat_server.responder = lambda body: f"resposta DOC-{doc_number(body)}"
    reader = reader_for(chat_server, cache_url=redis.url).add_question(ask())
    docs = [doc(i) for i in range(6)]

    first = reader.process_batch_distributed(docs, client)
    assert len(chat_server.requests) == 6
    chat_server.reset()
    chat_server.responder = lambda body: pytest.fail("the model was asked again")

    # Another reader built the same way, in another run: the workers read the same store.
    again = reader_for(chat_server, cache_url=redis.url).add_question(ask())
    second = again.process_batch_distributed(docs, client)

    assert chat_server.requests == []
    assert all(res.from_cache for res in second)
    assert [r.results[0].answer for r in second] == [f"resposta DOC-{i}" for i in range(6)]
    assert [r.results[0].answer for r in second] == [r.results[0].answer for r in first]


# -- what travels -------------------------------------------------------------------------


def test_a_reader_with_a_caller_set_client_cannot_travel(client, chat_server, make_reader):
    reader = make_reader().add_question(ask())
    with pytest.raises(TypeError, match="_openai_client") as info:
        reader.process_batch_distributed([doc(0)], client)
    assert "OpenAI" in str(info.value)
    with pytest.raises(TypeError, match="_openai_client"):
        pickle.dumps(reader)
    assert chat_server.requests == []


def test_a_method_replaced_on_the_reader_cannot_travel(chat_server):
    reader = reader_for(chat_server).add_question(ask())
    reader._call_llm = lambda *a, **k: None
    with pytest.raises(TypeError, match="_call_llm"):
        pickle.dumps(reader)


def test_a_reader_travels_by_its_settings_and_questions(clean_env, tmp_path, chat_server):
    clean_env.setenv("OPENAI_API_KEY", "sk-do-ambiente")
    reader = Vorlex(
        base_url=chat_server.base_url,
        model="modelo-local",
        max_pages=7,
        max_file_size_mb=3,
        ocr_engine="tesseract",
        ocr_fallback="auto",
        max_retries=1,
        question_concurrency=2,
        structured_output="prompt",
        validation_retries=3,
        max_tokens=50,
        timeout=5,
        circuit_breaker=True,
        circuit_breaker_threshold=4,
        circuit_breaker_timeout=30,
        cache_path=str(tmp_path / "cache.sqlite"),
        cache_ttl=99,
    )
    reader.add_question(ask("b")).add_question(ask("a"))
    reader.set_classification(Classification(system_prompt="S", user_prompt="{dados}"))
    reader.model = "outro-modelo"
    reader._circuit_breaker.record_failure()

    data = pickle.dumps(reader)
    assert b"sk-do-ambiente" not in data  # a key from the environment stays behind
    clean_env.setenv("OPENAI_API_KEY", "sk-do-worker")
    copy_ = pickle.loads(data)

    assert copy_._openai_api_key == "sk-do-worker"
    assert copy_._openai_client is not reader._openai_client
    assert copy_.model == "outro-modelo"
    assert copy_._base_url == chat_server.base_url
    assert (
        copy_._max_pages,
        copy_._max_file_size_mb,
        copy_._ocr_engine,
        copy_._ocr_fallback,
        copy_._max_retries,
        copy_._question_concurrency,
    ) == (7, 3, "tesseract", "auto", 1, 2)
    assert (copy_._structured_output, copy_._validation_retries, copy_._max_tokens, copy_._timeout) == (
        "prompt",
        3,
        50,
        5,
    )
    assert [q.config.id for q in copy_.questions] == ["b", "a"]
    assert copy_._classification == reader._classification
    assert copy_._cache is not reader._cache
    assert copy_._cache.cache_path == str(tmp_path / "cache.sqlite")
    assert copy_._cache.ttl_seconds == 99
    assert copy_._circuit_breaker._failure_threshold == 4
    assert copy_._circuit_breaker._recovery_timeout == 30
    assert copy_._circuit_breaker._failure_count == 0  # its state stays behind

    # A key given as an argument travels with the reader.
    given = Vorlex(openai_api_key="sk-argumento", base_url=chat_server.base_url, model="modelo-local")
    assert pickle.loads(pickle.dumps(given))._openai_api_key == "sk-argumento"
    assert copy.deepcopy(given)._openai_api_key == "sk-argumento"


def test_a_reader_without_cache_or_breaker_gets_none_where_it_lands(clean_env, chat_server, tmp_path):
    reader = reader_for(chat_server)
    clean_env.setenv("VORLEX_CACHE_PATH", str(tmp_path / "do-worker.sqlite"))
    again = pickle.loads(pickle.dumps(reader))
    assert again._cache is None and again._circuit_breaker is None


@pytest.mark.parametrize(
    "state", [None, [], {"version": "outra"}, {"version": "vorlex.reader/1", "settings": []}]
)
def test_a_bad_state_is_refused(state):
    reader = Vorlex.__new__(Vorlex)
    with pytest.raises((TypeError, ValueError)):
        reader.__setstate__(state)


# -- bad input ----------------------------------------------------------------------------


@pytest.mark.parametrize("not_a_client", [None, "tcp://127.0.0.1:8786", object()])
def test_a_client_that_is_not_a_dask_client(chat_server, not_a_client):
    reader = reader_for(chat_server).add_question(ask())
    with pytest.raises(TypeError, match="client"):
        reader.process_batch_distributed([doc(0)], not_a_client)
    assert chat_server.requests == []


def test_documents_and_questions_of_the_wrong_kind(client, chat_server):
    reader = reader_for(chat_server).add_question(ask())
    with pytest.raises(TypeError, match="documents"):
        reader.process_batch_distributed((doc(0),), client)
    with pytest.raises(TypeError, match="questions"):
        reader.process_batch_distributed([doc(0)], client, questions=("q1",))
    assert reader.process_batch_distributed([], client) == []
    assert chat_server.requests == []


def test_a_cluster_without_workers_is_refused_before_any_task(chat_server):
    reader = reader_for(chat_server).add_question(ask())
    with (
        distributed.LocalCluster(
            n_workers=0, processes=True, host="127.0.0.1", dashboard_address=None
        ) as empty,
        distributed.Client(empty) as c,
    ):
        with pytest.raises(ValueError, match="workers"):
            reader.process_batch_distributed([doc(0)], c)
        assert c.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) == 0
    assert chat_server.requests == []
