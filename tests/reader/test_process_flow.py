"""`process` from end to end against the local chat server, with documents the tests
generate: text PDFs, images, scanned PDFs read by OCR or by the vision model, streams
and URLs; page ranges, keyword filters, classification and the result cache."""

from __future__ import annotations

import io
import re

import pytest
from pydantic import BaseModel

import vorlex.ocr as ocr_mod
import vorlex.reader as reader_mod
from components.docgen import mixed_pdf, scan_png, text_page_pdf
from servers.chat import ChatServer
from servers.files import FileServer
from servers.ocr import FakeOcrService, Reply
from vorlex.exceptions import DocumentError, ProcessingError
from vorlex.models import Classification, PageRange
from vorlex.reader import Vorlex

SEP = "\n\n---\n\n"
PAGES = [
    "Primeira pagina: objeto do contrato.",
    "Segunda pagina: valor de cem reais.",
    "Terceira pagina: foro da comarca.",
]


class Tipo(BaseModel):
    tipo: str
    confianca: float


def ask(qid="q1", prompt="Leia: {texto}", **kw):
    return Vorlex.create_question(qid, "Pergunta " + qid, prompt, **kw)


def user_messages(server):
    return [r["body"]["messages"][-1]["content"] for r in server.requests]


def reader_lines(caplog, level=None):
    return [
        r.getMessage()
        for r in caplog.records
        if r.name == "vorlex.reader" and (level is None or r.levelname == level)
    ]


@pytest.fixture
def pdf3():
    return text_page_pdf(PAGES)


@pytest.fixture
def ocr_service(monkeypatch):
    service = FakeOcrService().start()
    monkeypatch.setattr(ocr_mod, "get_azure_config", lambda: (service.endpoint, service.key), raising=False)
    try:
        yield service
    finally:
        service.stop()


# -- questions over text PDFs -----------------------------------------------------------


def test_pages_reach_the_model_joined_and_totals_add_up(make_reader, chat_server, pdf3):
    reader = make_reader().add_questions([ask("a"), ask("b", prompt="Outra: {texto}")])
    chat_server.push(ChatServer.text("resposta a", 30, 4), ChatServer.text("resposta b", 20, 6))
    result = reader.process(pdf3)

    sent = user_messages(chat_server)
    assert len(sent) == 2
    body = sent[0][len("Leia: ") :]
    assert [part.strip() for part in body.split(SEP)] == PAGES
    assert [r.answer for r in result.results] == ["resposta a", "resposta b"]
    assert all(r.status == "OK" and r.pages_used == 3 and r.pages_total == 3 for r in result.results)
    totals = result.total_metrics
    assert (totals.tokens, totals.prompt_tokens, totals.completion_tokens) == (60, 50, 10)
    assert totals.cost_usd == round(sum(r.metrics.cost_usd for r in result.results), 6)
    assert totals.model == reader.model
    assert result.document.filename == "document.pdf" and result.document.num_pages == 3
    assert result.document.ocr_method is None


def test_page_range_that_fits(make_reader, chat_server, pdf3, vorlex_logs):
    reader = make_reader(verbose=True).add_question(ask(page_range=PageRange(start=2, end=3)))
    result = reader.process(pdf3)
    body = user_messages(chat_server)[0]
    assert PAGES[0] not in body and PAGES[1] in body and PAGES[2] in body
    assert result.results[0].pages_used == 2 and result.results[0].pages_total == 3
    assert "  q1: Page range aplicado - páginas 2 a 3" in reader_lines(vorlex_logs, "INFO")


def test_page_range_counted_from_the_end(make_reader, chat_server, pdf3):
    reader = make_reader().add_question(ask(page_range=PageRange(start=1, end=1, from_position="end")))
    reader.process(pdf3)
    body = user_messages(chat_server)[0]
    assert PAGES[2] in body and PAGES[0] not in body and PAGES[1] not in body


def test_page_range_that_does_not_fit_reads_everything(make_reader, chat_server, pdf3, vorlex_logs):
    reader = make_reader().add_question(ask(page_range=PageRange(start=4, end=9)))
    result = reader.process(pdf3)
    assert result.results[0].pages_used == 3
    warnings = [r for r in vorlex_logs.records if r.name == "vorlex.reader" and r.levelname == "WARNING"]
    assert [w.getMessage() for w in warnings] == [
        "q1: page range ignorado, documento tem 3 paginas; a pergunta vai ler o documento inteiro."
    ]
    assert warnings[0].args == ("q1", 3)


def test_keywords_select_pages_or_nothing(make_reader, chat_server, pdf3):
    reader = make_reader().add_questions(
        [
            ask("valor", keywords=["VALÓR"]),
            ask("nada", keywords=["inexistente"]),
        ]
    )
    result = reader.process(pdf3)
    valor, nada = result.results
    assert valor.pages_used == 1 and PAGES[1] in user_messages(chat_server)[0]
    assert (nada.answer, nada.status, nada.pages_used, nada.pages_total) == (
        "Sem páginas relevantes",
        "NO_DATA",
        0,
        3,
    )
    assert nada.metrics.tokens == 0
    assert len(chat_server.requests) == 1  # no model call for the empty selection
    assert result.total_metrics.tokens == valor.metrics.tokens


def test_selection_follows_the_given_ids(make_reader, chat_server, pdf3):
    reader = make_reader().add_questions([ask("a"), ask("b"), ask("c")])
    result = reader.process(pdf3, questions=["c", "a"])
    assert [r.question_id for r in result.results] == ["c", "a"]
    # an unknown id is named, before any work; an empty registry keeps its message
    with pytest.raises(ValueError, match="desconhecida\\(s\\): 'x'"):
        reader.process(pdf3, questions=["c", "x"])
    assert len(chat_server.requests) == 2
    with pytest.raises(ProcessingError) as info:
        make_reader().process(pdf3, questions=["x"])
    assert str(info.value) == "Nenhuma pergunta configurada. Use add_question() primeiro."


def test_failing_question_does_not_stop_the_document(make_reader, chat_server, pdf3):
    reader = make_reader().add_questions([ask("a"), ask("b")])
    chat_server.push(ChatServer.error(401), ChatServer.text("ok"))
    result = reader.process(pdf3)
    assert [r.status for r in result.results] == ["AUTH_ERROR", "OK"]
    assert result.results[0].answer.startswith("AuthenticationError: ")


def test_bad_arguments_fail_before_any_work(make_reader, chat_server, pdf3):
    reader = make_reader().add_question(ask())
    with pytest.raises(TypeError, match="questions"):
        reader.process(pdf3, questions=("q1",))
    with pytest.raises(TypeError, match="filename"):
        reader.process(pdf3, filename=7)
    with pytest.raises(DocumentError):
        reader.process(b"")
    assert chat_server.requests == []


# -- other document forms ---------------------------------------------------------------


def test_stream_and_named_bytes(make_reader, chat_server, pdf3):
    reader = make_reader().add_question(ask())
    result = reader.process(io.BytesIO(pdf3), filename="acordo.pdf")
    assert result.document.filename == "acordo.pdf" and result.results[0].status == "OK"


def test_url_document(make_reader, chat_server, pdf3, monkeypatch):
    server = FileServer().start()
    try:
        allowed = f"127.0.0.1:{server.port}"
        real = reader_mod._is_safe_url
        monkeypatch.setattr(
            reader_mod, "_is_safe_url", lambda url: allowed in url.split("/")[2:3] or real(url)
        )
        url = server.serve("/arquivos/contrato.pdf", pdf3)
        reader = make_reader().add_question(ask())
        result = reader.process(url)
    finally:
        server.stop()
    assert result.document.filename == "contrato.pdf"
    assert PAGES[1] in user_messages(chat_server)[0]


def test_png_bytes_are_read_by_ocr(make_reader, chat_server, ocr_service):
    ocr_service.lines("NOTA FISCAL 4242", "TOTAL R$ 10,00")
    reader = make_reader().add_question(ask())
    result = reader.process(scan_png("NOTA FISCAL 4242"), filename="nota.png")
    assert result.document.doc_type == "image" and result.document.num_pages == 1
    assert result.document.ocr_method == "ocr"
    assert "NOTA FISCAL 4242" in user_messages(chat_server)[0]
    assert len(ocr_service.requests) == 1


def test_scanned_pdf_through_the_vision_fallback_counts_its_tokens(make_reader, chat_server, monkeypatch):
    monkeypatch.setattr(ocr_mod, "get_azure_config", lambda: ("", ""), raising=False)
    reader = make_reader(ocr_fallback="force").add_question(ask())
    chat_server.push(
        ChatServer.text("TEXTO LIDO PELA VISAO", 700, 40),
        ChatServer.text("TEXTO LIDO PELA VISAO NA SEGUNDA", 650, 30),
        ChatServer.text("resposta", 90, 3),
    )
    result = reader.process(mixed_pdf(["scan", "scan"]))

    assert result.document.ocr_method == "vision_fallback"
    vision, _, question = chat_server.requests
    assert isinstance(vision["body"]["messages"][-1]["content"], list)  # the page image
    assert "TEXTO LIDO PELA VISAO" in question["body"]["messages"][-1]["content"]
    answer = result.results[0]
    assert answer.metrics.tokens == 93
    totals = result.total_metrics
    assert totals.tokens == 93 + 740 + 680
    assert totals.prompt_tokens == 90 + 700 + 650
    assert totals.completion_tokens == 3 + 40 + 30
    assert totals.cost_usd > answer.metrics.cost_usd


def test_mixed_ocr_and_vision_pages_report_the_vision_fallback(make_reader, chat_server, ocr_service):
    ocr_service.lines("PAGINA LIDA POR OCR")
    ocr_service.reply(Reply(blocks=[]))  # the second page: OCR reads nothing
    chat_server.push(ChatServer.text("PAGINA LIDA PELA VISAO"), ChatServer.text("resposta"))
    reader = make_reader(ocr_fallback="auto").add_question(ask())
    result = reader.process(mixed_pdf(["scan", "scan"]))
    assert result.document.ocr_method == "vision_fallback"
    body = user_messages(chat_server)[-1]
    assert "PAGINA LIDA POR OCR" in body and "PAGINA LIDA PELA VISAO" in body


def test_scanned_pdf_with_fallback_off_gets_no_model_caller(make_reader, monkeypatch):
    seen = {}

    def fake_smart(source, **kwargs):
        seen.update(kwargs, source=source)
        return []

    monkeypatch.setattr(reader_mod, "process_pdf_smart", fake_smart)
    reader = make_reader(ocr_fallback="off").add_question(ask())
    pdf = mixed_pdf(["scan"])
    result = reader.process(pdf, filename="digitalizado.pdf")
    assert seen["source"] == pdf and seen["llm_caller"] is None
    assert seen["filename"] == "digitalizado.pdf" and seen["ocr_fallback"] == "off"
    assert seen["provider"] == "openai" and seen["google_model"] is None
    assert result.results[0].status == "NO_DATA"

    seen.clear()
    make_reader(ocr_fallback="auto").add_question(ask()).process(pdf)
    assert callable(seen["llm_caller"])


def test_streaming_loads_pages_lazily_with_the_same_answers(make_reader, chat_server, pdf3, monkeypatch):
    lazy_calls = []
    real_lazy = reader_mod.load_pdf_lazy
    monkeypatch.setattr(reader_mod, "load_pdf_lazy", lambda src: lazy_calls.append(src) or real_lazy(src))
    eager = make_reader().add_question(ask())
    eager.process(pdf3)
    lazy = make_reader(streaming=True).add_question(ask())
    lazy.process(pdf3)
    first, second = user_messages(chat_server)
    assert first == second and lazy_calls == [pdf3]


# -- classification ---------------------------------------------------------------------


def test_classification_success_counts_its_usage(make_reader, chat_server, pdf3):
    reader = make_reader().add_questions([ask("objeto"), ask("valor")])
    reader.set_classification(
        Classification(
            system_prompt="Classifique.", user_prompt="Dados:\n{dados}\nFim {{ok}}", response_model=Tipo
        )
    )
    chat_server.push(
        ChatServer.text("prestacao de servicos", 40, 3),
        ChatServer.text("cem reais", 40, 2),
        ChatServer.json({"tipo": "contrato", "confianca": 0.9}, 25, 7),
    )
    result = reader.process(pdf3, classify=True, filename="contrato.pdf")

    assert result.classification == {"tipo": "contrato", "confianca": 0.9}
    sent = chat_server.requests[-1]["body"]["messages"]
    assert sent[0] == {"role": "system", "content": "Classifique."}
    assert sent[1]["content"] == (
        "Dados:\n- objeto: prestacao de servicos\n- valor: cem reais\n"
        "- _documento: contrato.pdf\n- _tipo: pdf\nFim {ok}"
    )
    assert result.total_metrics.tokens == 43 + 42 + 32
    assert result.total_metrics.prompt_tokens == 40 + 40 + 25


def test_classification_failure_is_contained(make_reader, chat_server, pdf3, vorlex_logs):
    reader = make_reader().add_question(ask())
    reader.set_classification(Classification(system_prompt="s", user_prompt="{dados}", response_model=Tipo))
    chat_server.push(ChatServer.text("resposta"), ChatServer.error(401, "chave recusada"))
    result = reader.process(pdf3, classify=True)
    assert result.classification == {"error": "Erro na classificacao", "error_type": "AuthenticationError"}
    assert result.results[0].status == "OK" and result.results[0].answer == "resposta"
    errors = reader_lines(vorlex_logs, "ERROR")
    assert any(m.startswith("Erro na classificação: ") and "chave recusada" in m for m in errors)


def test_classification_template_error_is_contained(make_reader, chat_server, pdf3):
    reader = make_reader().add_question(ask())
    # set_classification refuses such a template; one set on the field directly still
    # fails as a contained classification error
    with pytest.raises(ValueError, match=re.escape("Classificação: campo {outro}")):
        reader.set_classification(
            Classification(system_prompt="s", user_prompt="{outro}", response_model=Tipo)
        )
    reader._classification = Classification(system_prompt="s", user_prompt="{outro}", response_model=Tipo)
    result = reader.process(pdf3, classify=True)
    assert result.classification == {"error": "Erro na classificacao", "error_type": "KeyError"}
    assert len(chat_server.requests) == 1


def test_classify_without_classification_makes_no_call(make_reader, chat_server, pdf3):
    reader = make_reader().add_question(ask())
    result = reader.process(pdf3, classify=True)
    assert result.classification is None and len(chat_server.requests) == 1


def test_classification_needs_the_flag(make_reader, chat_server, pdf3):
    reader = make_reader().add_question(ask())
    reader.set_classification(Classification(system_prompt="s", user_prompt="{dados}", response_model=Tipo))
    assert reader.process(pdf3).classification is None
    assert len(chat_server.requests) == 1


# -- the cache --------------------------------------------------------------------------


def test_cache_hit_loads_nothing_and_calls_nothing(make_reader, chat_server, pdf3, monkeypatch, vorlex_logs):
    reader = make_reader(enable_cache=True, verbose=True).add_question(ask())
    first = reader.process(pdf3)
    calls = len(chat_server.requests)

    def no_loading(*a, **k):
        raise AssertionError("a cached document must not be loaded")

    monkeypatch.setattr(reader_mod, "load_pdf", no_loading)
    vorlex_logs.clear()
    again = reader.process(pdf3)
    # the stored result, marked as served from the cache (its metrics as recorded)
    assert again.from_cache and not first.from_cache
    assert again.model_copy(update={"from_cache": False}) == first and len(chat_server.requests) == calls
    assert reader_lines(vorlex_logs) == ["Cache hit para document.pdf"]
    assert reader.cache_stats()["hits"] == 1

    # The classify flag is part of the key.
    monkeypatch.undo()
    reader.process(pdf3, classify=True)
    assert len(chat_server.requests) == calls + 1


@pytest.mark.parametrize("store", ["memory", "sqlite"])
def test_a_cache_hit_describes_the_document_of_this_call(store, make_reader, chat_server, pdf3, tmp_path):
    """Two files with the same content: the second is served from the cache under its own
    name, with the answers and page figures of the first."""
    kwargs = {"cache_path": tmp_path / "c.sqlite"} if store == "sqlite" else {"enable_cache": True}
    reader = make_reader(**kwargs).add_question(ask())
    (tmp_path / "janeiro.pdf").write_bytes(pdf3)
    (tmp_path / "fevereiro.pdf").write_bytes(pdf3)
    first = reader.process(tmp_path / "janeiro.pdf")
    second = reader.process(tmp_path / "fevereiro.pdf")
    third = reader.process(pdf3, filename="marco.pdf")
    assert len(chat_server.requests) == 1 and reader.cache_stats()["hits"] == 2
    assert [r.document.filename for r in (first, second, third)] == [
        "janeiro.pdf",
        "fevereiro.pdf",
        "marco.pdf",
    ]
    assert second.results == first.results
    assert second.document.model_dump(exclude={"filename"}) == first.document.model_dump(exclude={"filename"})
    # The entry itself still describes the first file.
    assert reader.process(tmp_path / "janeiro.pdf").document.filename == "janeiro.pdf"


def test_empty_selection_fails_even_when_cached(make_reader, chat_server, pdf3):
    reader = make_reader(enable_cache=True).add_question(ask())
    reader.process(pdf3)
    reader.clear_questions()
    with pytest.raises(ProcessingError):
        reader.process(pdf3)


def test_changed_question_misses_the_cache(make_reader, chat_server, pdf3):
    reader = make_reader(enable_cache=True).add_question(ask())
    reader.process(pdf3)
    reader.add_question(ask(prompt="Outra pergunta: {texto}"))
    reader.process(pdf3)
    assert len(chat_server.requests) == 2


def test_readers_that_differ_in_their_token_limit_do_not_share_cache_entries(
    make_reader, chat_server, pdf3, tmp_path
):
    """A reader with no limit is not served an answer that one with max_tokens=50 (maybe
    cut short) left in the same cache, nor one with another limit; the same limit is."""
    path = tmp_path / "c.sqlite"
    for max_tokens in (50, None, 80, 50, None):
        reader = make_reader(cache_path=path, max_tokens=max_tokens).add_question(ask())
        reader.process(pdf3)
    assert len(chat_server.requests) == 3
    assert [r["body"].get("max_tokens") for r in chat_server.requests] == [50, None, 80]
