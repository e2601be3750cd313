"""Batches: input order in both modes, error and circuit-open results, the circuit
breaker's sequence, and per-document usage when documents run at the same time."""

from __future__ import annotations

import io
import pathlib
import re
import time

import pytest
from hypothesis import given, settings, strategies as st
from pydantic import BaseModel

import vorlex.resilience as resilience_mod
from components.docgen import text_page_pdf
from servers.chat import ChatServer, InFlight
from vorlex.models import Classification
from vorlex.reader import Vorlex
from vorlex.resilience import CircuitState

OPEN_ANSWER = "Processamento interrompido: muitas falhas consecutivas"


class Tipo(BaseModel):
    tipo: str


def ask(qid="q1"):
    return Vorlex.create_question(qid, "Pergunta " + qid, "Leia: {texto}")


def doc(i: int) -> bytes:
    return text_page_pdf([f"Documento DOC-{i} com texto suficiente para a leitura."])


def statuses(results):
    return [[r.status for r in res.results] for res in results]


def doc_number(text: str) -> int:
    return int(re.search(r"DOC-(\d+)", text).group(1))


# -- order and modes ---------------------------------------------------------------------


@pytest.mark.parametrize("workers", [None, 1, 4])
def test_results_come_back_in_input_order(make_reader, chat_server, workers):
    n = 8
    flight = InFlight()

    def respond(body):
        with flight:
            i = doc_number(body["messages"][-1]["content"])
            time.sleep(0.01 * (n - i))  # later documents finish first
            return f"resposta DOC-{i}"

    chat_server.responder = respond
    reader = make_reader().add_question(ask())
    results = reader.process_batch([doc(i) for i in range(n)], max_workers=workers)
    assert [r.results[0].answer for r in results] == [f"resposta DOC-{i}" for i in range(n)]
    if workers == 4:
        assert 1 < flight.peak <= 4
    else:
        assert flight.peak == 1


def test_runner_choice_and_worker_count(make_reader):
    reader = make_reader().add_question(ask())
    calls = []
    reader._process_batch_sequential = lambda d, q, c: calls.append(("seq", d, q, c)) or []
    reader._process_batch_parallel = lambda d, q, c, w: calls.append(("par", w)) or []
    for workers in (None, 0, 1, -3, 1.9):
        reader.process_batch([], ["q1"], 1, workers)
    reader.process_batch([], max_workers=2.9)
    reader.process_batch([], max_workers=8)
    assert calls[:5] == [("seq", [], ["q1"], True)] * 5
    assert calls[5:] == [("par", 2), ("par", 8)]


def test_argument_types_are_checked_before_the_breaker_is_reset(make_reader):
    reader = make_reader(circuit_breaker=True, circuit_breaker_threshold=1)
    reader._circuit_breaker.record_failure()
    for kwargs, name in [
        ({"documents": (b"x",)}, "documents"),
        ({"documents": b"x"}, "documents"),
        ({"documents": [], "questions": ("q1",)}, "questions"),
        ({"documents": [], "questions": "q1"}, "questions"),
        ({"documents": [], "max_workers": "4"}, "max_workers"),
    ]:
        with pytest.raises(TypeError, match=name):
            reader.process_batch(**kwargs)
    assert reader._circuit_breaker.state == CircuitState.OPEN
    assert reader.process_batch([]) == []
    assert reader._circuit_breaker.state == CircuitState.CLOSED


def test_no_breaker_processes_everything(make_reader, chat_server):
    chat_server.push(*[ChatServer.error(400)] * 6)
    reader = make_reader(max_retries=0).add_question(ask())
    results = reader.process_batch([doc(i) for i in range(6)])
    assert statuses(results) == [["ERROR"]] * 6


# -- error results -----------------------------------------------------------------------


def test_error_results_and_their_log_lines(make_reader, chat_server, vorlex_logs, tmp_path):
    reader = make_reader().add_question(ask())
    missing = str(tmp_path / ("pasta-" * 40) / "contrato.pdf")
    garbage = b"isto nao e um pdf " * 20000  # 360 kB whose text form is far longer
    long_url = "http://10.0.0.1/" + "a" * 300 + ".pdf"
    results = reader.process_batch([missing, garbage, long_url, doc(1)])

    missing_res, garbage_res, url_res, ok_res = results
    assert ok_res.results[0].status == "OK"
    for res in (missing_res, garbage_res, url_res):
        (only,) = res.results
        assert only.question_id == "error" and only.status == "ERROR"
    assert missing_res.document.filename == missing  # paths stay whole
    assert missing_res.results[0].answer == "Documento não encontrado: " + missing
    assert url_res.document.filename == long_url  # URLs stay whole
    assert url_res.results[0].answer == "URL aponta para endereco interno ou reservado."
    # Bytes are shown by the first 200 characters of their text form.
    assert garbage_res.document.filename == str(garbage)[:200]
    assert garbage_res.results[0].answer.startswith("PDF inválido ou corrompido: ")

    lines = [
        r.getMessage() for r in vorlex_logs.records if r.name == "vorlex.reader" and r.levelname == "ERROR"
    ]
    assert ("Erro ao processar " + missing + ": Documento não encontrado: " + missing) in lines
    assert ("Erro ao processar " + str(garbage)[:200] + ": " + garbage_res.results[0].answer) in lines
    assert max(len(line) for line in lines) < 1000


def test_selection_error_becomes_an_error_result(make_reader, chat_server):
    (res,) = make_reader().process_batch([doc(1)])  # an empty registry
    assert res.results[0].answer == "Nenhuma pergunta configurada. Use add_question() primeiro."
    assert res.results[0].status == "ERROR"
    # an id the registry does not have is the caller's mistake, raised at once
    reader = make_reader().add_question(ask())
    for workers in (None, 2):
        with pytest.raises(ValueError, match=re.escape("'nao-existe'. Registradas: 'q1'")):
            reader.process_batch([doc(1), doc(2)], questions=["nao-existe"], max_workers=workers)
    assert chat_server.requests == []


def test_stream_error_result_uses_its_text_form(make_reader):
    class Broken(io.RawIOBase):
        def read(self, *a):
            raise OSError("falhou")

    reader = make_reader().add_question(ask())
    stream = Broken()
    (res,) = reader.process_batch([stream])
    assert res.document.filename == str(stream)[:200]
    assert res.results[0].answer == "Erro ao ler documento: falhou"


@pytest.mark.parametrize("workers", [None, 3])
def test_other_errors_end_the_batch(make_reader, chat_server, workers):
    reader = make_reader().add_question(ask())
    real = reader.process
    done = []

    def process(document, questions=None, classify=False, filename=None):
        if document == b"boom":
            raise RuntimeError("falha inesperada")
        time.sleep(0.05)
        result = real(document, questions, classify)
        done.append(document)
        return result

    reader.process = process
    docs = [doc(0), b"boom", doc(2), doc(3)]
    with pytest.raises(RuntimeError, match="falha inesperada"):
        reader.process_batch(docs, max_workers=workers)
    if workers is None:
        assert done == [docs[0]]  # the rest never ran
    else:
        assert sorted(done) == sorted([docs[0], docs[2], docs[3]])  # all waited for


# -- the circuit breaker -----------------------------------------------------------------


def test_breaker_opens_after_five_failed_documents(make_reader, chat_server):
    chat_server.push(*[ChatServer.error(400)] * 5)
    reader = make_reader(max_retries=0, circuit_breaker=True).add_question(ask())
    long_name = "x" * 300
    docs = [doc(i) for i in range(5)] + [doc(5), long_name]
    results = reader.process_batch(docs)
    assert statuses(results) == [["ERROR"]] * 5 + [["CIRCUIT_OPEN"]] * 2
    assert len(chat_server.requests) == 5
    for res, d in zip(results[5:], docs[5:], strict=True):
        (only,) = res.results
        assert (only.question_id, only.answer) == ("circuit_breaker", OPEN_ANSWER)
        assert res.document.filename == str(d)[:200]
    assert results[6].document.filename == "x" * 200


def test_other_failure_statuses_count_as_success(make_reader, chat_server):
    chat_server.push(
        ChatServer.error(400),
        ChatServer.error(400),
        ChatServer.error(429),
        ChatServer.error(400),
        ChatServer.error(400),
        ChatServer.text("ok"),
    )
    reader = make_reader(max_retries=0, circuit_breaker=True, circuit_breaker_threshold=3).add_question(ask())
    results = reader.process_batch([doc(i) for i in range(6)])
    assert statuses(results) == [["ERROR"], ["ERROR"], ["PROVIDER_UNAVAILABLE"], ["ERROR"], ["ERROR"], ["OK"]]
    assert reader._circuit_breaker._failure_count == 0


def test_breaker_admits_a_trial_after_the_recovery_period(make_reader, chat_server, monkeypatch):
    clock = {"now": 1000.0}
    monkeypatch.setattr(
        resilience_mod, "time", type("Clock", (), {"time": staticmethod(lambda: clock["now"])})
    )
    chat_server.push(
        ChatServer.error(400),
        ChatServer.error(400),
        ChatServer.text("ok"),
        ChatServer.error(400),
        ChatServer.text("ok"),
    )
    reader = make_reader(
        max_retries=0, circuit_breaker=True, circuit_breaker_threshold=2, circuit_breaker_timeout=60
    ).add_question(ask())
    real_open = reader._make_circuit_open_result

    def refused(document):
        clock["now"] += 25  # each refused document comes up 25 seconds later
        return real_open(document)

    reader._make_circuit_open_result = refused
    results = reader.process_batch([doc(i) for i in range(8)])
    assert statuses(results) == [
        ["ERROR"],
        ["ERROR"],
        ["CIRCUIT_OPEN"],
        ["CIRCUIT_OPEN"],
        ["CIRCUIT_OPEN"],
        ["OK"],
        ["ERROR"],
        ["OK"],
    ]


def test_parallel_batch_admits_everything_then_leaves_the_breaker_open(make_reader, chat_server):
    chat_server.push(*[ChatServer.error(400)] * 6)
    reader = make_reader(max_retries=0, circuit_breaker=True, circuit_breaker_threshold=3).add_question(ask())
    results = reader.process_batch([doc(i) for i in range(6)], max_workers=3)
    assert statuses(results) == [["ERROR"]] * 6
    assert reader._circuit_breaker.state == CircuitState.OPEN
    # The next batch starts closed.
    (again,) = reader.process_batch([doc(9)])
    assert again.results[0].status == "OK"


def test_parallel_batch_refused_documents_are_not_submitted(make_reader, chat_server):
    reader = make_reader(circuit_breaker=True).add_question(ask())
    answers = iter([True, False, True])
    reader._circuit_breaker.can_execute = lambda: next(answers)
    results = reader.process_batch([doc(0), doc(1), doc(2)], max_workers=2)
    assert statuses(results) == [["OK"], ["CIRCUIT_OPEN"], ["OK"]]
    assert len(chat_server.requests) == 2


# -- per-document usage ------------------------------------------------------------------


@pytest.mark.parametrize("workers", [None, 4])
def test_each_document_reports_its_own_usage(make_reader, chat_server, workers):
    """Eight documents on four workers: each document's totals are its own question and
    classification usage, never another document's."""

    def respond(body):
        content = body["messages"][-1]["content"]
        i = doc_number(content)
        time.sleep(0.02 * ((i * 5) % 4))  # interleave the documents
        if body["messages"][0]["content"] == "Classifique.":
            return ChatServer.json({"tipo": f"tipo-{i}"}, 1000 * (i + 1), 10 * (i + 1))
        return ChatServer.text(f"resposta DOC-{i}", 100 * (i + 1), i + 1)

    chat_server.responder = respond
    reader = make_reader().add_questions([ask("q1"), ask("q2")])
    reader.set_classification(
        Classification(system_prompt="Classifique.", user_prompt="{dados}", response_model=Tipo)
    )
    results = reader.process_batch([doc(i) for i in range(8)], classify=True, max_workers=workers)
    for i, res in enumerate(results):
        k = i + 1
        assert res.classification == {"tipo": f"tipo-{i}"}
        assert [r.metrics.tokens for r in res.results] == [101 * k, 101 * k]
        assert res.total_metrics.prompt_tokens == 2 * 100 * k + 1000 * k
        assert res.total_metrics.completion_tokens == 2 * k + 10 * k
        assert res.total_metrics.tokens == 2 * 101 * k + 1010 * k


# -- text forms --------------------------------------------------------------------------


@settings(max_examples=200, deadline=None)
@given(
    st.one_of(
        st.binary(max_size=300),
        st.lists(
            st.sampled_from([b"'", b'"', b"\\", b"\t", b"\n", b"\r", b"\x00", b"\x7f", b"\xff", b"a", b" "]),
            max_size=150,
        ).map(b"".join),
    )
)
def test_circuit_open_names_match_the_text_form(data):
    reader = Vorlex.__new__(Vorlex)
    for document in (data, bytearray(data)):
        res = Vorlex._make_circuit_open_result(reader, document)
        assert res.document.filename == str(document)[:200]


def test_circuit_open_names_of_other_documents(tmp_path):
    reader = Vorlex.__new__(Vorlex)
    stream = io.BytesIO(b"x")
    path = pathlib.Path(tmp_path) / ("p" * 250)
    big = b"\x00" * (2 * 1048576)
    for document in (
        stream,
        path,
        "y" * 250,
        "",
        memoryview(b"abc"),
        b"'" + big,
        big + b"'",
        b"'" + big + b'"',
        bytearray(b"'" + big),
    ):
        res = Vorlex._make_circuit_open_result(reader, document)
        assert res.document.filename == str(document)[:200]


def test_a_document_that_empties_the_list_does_not_crash_the_batch(make_reader, chat_server):
    class Emptying(io.BytesIO):
        def read(self, *a):
            docs.clear()
            return super().read(*a)

    reader = make_reader().add_question(ask())
    docs = [Emptying(doc(0)), doc(1), doc(2)]
    results = reader.process_batch(docs)
    assert statuses(results) == [["OK"]]  # the list ended under the runner, as a for loop


def test_an_interrupt_stops_a_threaded_batch_promptly():
    """Ctrl-C while four workers read 24 documents (one second each): KeyboardInterrupt
    reaches the caller at once, carrying what finished; the documents not started never
    start. Runs in its own interpreter, with a timeout."""
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent("""
        import os, signal, threading, time
        from vorlex.models import DocumentMetadata, ProcessingResult
        from vorlex.reader import Vorlex

        started = []
        def slow(document, questions=None, classify=False, filename=None):
            started.append(document)
            time.sleep(1.0)
            return ProcessingResult(document=DocumentMetadata(filename=document))

        reader = Vorlex(openai_api_key="sk")
        reader.process = slow
        threading.Timer(1.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        begin = time.monotonic()
        try:
            reader.process_batch([f"d{i}.pdf" for i in range(24)], max_workers=4)
        except KeyboardInterrupt as exc:
            took = time.monotonic() - begin
            names = sorted(r.document.filename for r in exc.completed)
            time.sleep(1.2)  # those in flight end; nothing new starts
            print(round(took, 1), len(names), len(started))
            os._exit(0)
        print("not interrupted")
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    took, finished, started = run.stdout.split()
    assert float(took) < 2.2  # the interrupt came at 1.5 s
    assert int(finished) == 4  # the first four, done at 1 s
    assert int(started) == 8  # four more in flight at 1.5 s, none after
