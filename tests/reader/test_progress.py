"""show_progress on batches: a tqdm bar on standard error, one step per finished
document (circuit-open ones included), the running totals in its postfix; nothing
when off. tqdm is late-bound (vorlex.reader.tqdm), so a test can watch it."""

from __future__ import annotations

import asyncio
from unittest import mock

import pytest

import vorlex.reader as reader_mod
from components.docgen import text_page_pdf
from servers.chat import ChatServer
from vorlex.reader import Vorlex


@pytest.fixture
def asked(make_reader):
    reader = make_reader()
    reader.add_question(Vorlex.create_question("q", "Q", "Pergunta {texto}"))
    return reader


def docs(n):
    return [text_page_pdf([f"Documento {i} com texto suficiente para a pergunta."]) for i in range(n)]


@pytest.mark.parametrize("mode", ["sequential", "threads", "async"])
def test_the_bar_steps_once_per_document_with_the_totals(asked, chat_server, capsys, mode):
    for _ in range(3):
        chat_server.push(ChatServer.text("ok", prompt_tokens=10, completion_tokens=2))
    if mode == "async":
        import openai

        asked._async_openai_client = openai.AsyncOpenAI(
            api_key="sk-test", base_url=chat_server.base_url, max_retries=0
        )
        results = asyncio.run(asked.process_batch_async(docs(3), show_progress=True))
    else:
        results = asked.process_batch(
            docs(3), max_workers=2 if mode == "threads" else None, show_progress=True
        )
    err = capsys.readouterr().err
    assert [r.total_metrics.tokens for r in results] == [12, 12, 12]
    assert "Documentos: 100%" in err and "3/3" in err
    assert "tokens=36" in err and "custo=$" in err


def test_no_bar_unless_asked_and_circuit_open_documents_count(asked, chat_server, capsys):
    asked.process_batch(docs(1))
    assert capsys.readouterr().err == ""
    bars = []
    real = reader_mod.tqdm

    def watched(*args, **kwargs):
        bars.append(real(*args, **kwargs))
        return bars[-1]

    breaker = reader_mod.CircuitBreaker(failure_threshold=1, recovery_timeout=600)
    asked._circuit_breaker = breaker
    chat_server.push(ChatServer.error(400))
    with mock.patch.object(reader_mod, "tqdm", watched):
        results = asked.process_batch(docs(3), show_progress=True)
    assert [r.results[0].status for r in results] == ["ERROR", "CIRCUIT_OPEN", "CIRCUIT_OPEN"]
    assert len(bars) == 1 and bars[0].n == 3 and bars[0].total == 3
    # The bar is closed when the batch ends.
    assert bars[0] not in real._instances
