"""Faults found using the reader: bad files in a batch, retries that multiplied, model
refusals, page ranges over OCR pages, the cache's stored results, dated model prices,
limits that cannot work, and the retry policy applied at each call."""

from __future__ import annotations

import json
import logging

import pytest
from llama_index.core.schema import Document
from pydantic import BaseModel

import vorlex.config as config_mod
from components.docgen import scan_png, text_page_pdf
from servers.chat import ChatServer
from vorlex.exceptions import DocumentError, ModelError, ModelRefusalError, VorlexError
from vorlex.models import PageRange
from vorlex.reader import Vorlex


class Partes(BaseModel):
    partes: list[str]


def ask(qid="q1", **kw):
    return Vorlex.create_question(qid, "Pergunta " + qid, "Leia: {texto}", **kw)


@pytest.fixture
def env_reader(chat_server, monkeypatch):
    """Readers built with their own clients, pointed at the local server."""
    monkeypatch.setenv("OPENAI_BASE_URL", chat_server.base_url)

    def make(**kwargs):
        return Vorlex(openai_api_key="sk-test", model="gpt-4o-mini", **kwargs)

    return make


# -- 1. one bad file does not end the batch ---------------------------------------------


def test_truncated_image_and_directory_are_error_results(env_reader, tmp_path):
    paths = []
    for i in range(3):
        p = tmp_path / f"bom{i}.pdf"
        p.write_bytes(text_page_pdf([f"Documento {i} com texto suficiente para leitura."]))
        paths.append(str(p))
    png = scan_png()
    truncated = tmp_path / "cortada.png"
    truncated.write_bytes(png[: len(png) // 2])
    pasta = tmp_path / "pasta"
    pasta.mkdir()
    reader = env_reader().add_question(ask())
    results = reader.process_batch(paths[:2] + [str(truncated), str(pasta), paths[2]], max_workers=2)
    names = [r.document.filename.rsplit("/", 1)[-1] for r in results]
    assert names == ["bom0.pdf", "bom1.pdf", "cortada.png", "pasta", "bom2.pdf"]
    assert [r.results[0].status for r in results] == ["OK", "OK", "ERROR", "ERROR", "OK"]
    assert results[2].results[0].answer.startswith("PDF inválido ou corrompido: ")
    assert results[3].results[0].answer.startswith("Erro ao ler documento: ")


def test_resolution_raises_document_error_with_the_cause(env_reader, tmp_path):
    reader = env_reader()
    with pytest.raises(DocumentError, match=r"^Erro ao ler documento: ") as info:
        reader._resolve_document(str(tmp_path))
    assert isinstance(info.value.__cause__, IsADirectoryError)
    png = scan_png()
    with pytest.raises(DocumentError, match=r"^PDF inválido ou corrompido: ") as info:
        reader._resolve_document(png[:100])
    assert info.value.__cause__ is not None


# -- 2. the reader's policy is the only retry policy --------------------------------------


def test_persistent_rate_limit_is_asked_once_per_attempt(env_reader, chat_server):
    reader = env_reader(max_retries=1)
    for client in (reader._openai_client, reader._get_async_client()):
        assert client.max_retries == 0
    chat_server.responder = lambda body: ChatServer.error(429)
    res = reader.extract_from_text("texto do contrato", ask())
    assert res.status == "PROVIDER_UNAVAILABLE"
    assert len(chat_server.requests) == 2  # one attempt and one retry, nothing more


# -- 3. refusals ---------------------------------------------------------------------------


def completion(message):
    return ChatServer.raw(
        200,
        json.dumps(
            {
                "id": "c1",
                "object": "chat.completion",
                "created": 1,
                "model": "gpt-4o-mini",
                "choices": [
                    {"index": 0, "finish_reason": "stop", "message": {"role": "assistant", **message}}
                ],
                "usage": {"prompt_tokens": 3, "completion_tokens": 2, "total_tokens": 5},
            }
        ),
    )


def test_refusal_ends_refused_with_its_text(env_reader, chat_server, vorlex_logs):
    reader = env_reader(max_retries=2)
    chat_server.push(completion({"content": None, "refusal": "Não posso ajudar com isso."}))
    r = reader.extract_from_text("texto", ask(response_model=Partes))
    assert r.status == "REFUSED" and "Não posso ajudar com isso." in r.answer
    assert len(chat_server.requests) == 1  # a refusal is never retried
    assert not issubclass(ModelRefusalError, ModelError) and issubclass(ModelRefusalError, VorlexError)


def test_structured_answer_without_structure_is_a_parse_error(env_reader, chat_server):
    reader = env_reader(validation_retries=0)  # no second answer to mend it
    chat_server.push(completion({"content": None, "refusal": None}))
    r = reader.extract_from_text("texto", ask(response_model=Partes))
    assert r.status == "PARSE_ERROR" and "ModelParseError" in r.answer


# -- 4. page ranges over OCR pages -------------------------------------------------------


def pages(numbers):
    return [Document(text=f"pagina {n} contrato", metadata={"page": n, "source": "ocr"}) for n in numbers]


@pytest.mark.parametrize(
    "numbers, rng, lidas",
    [
        ([1, 3, 4], (2, 2), None),  # page 2 was blank: nothing to read
        ([1, 3, 4], (3, 3), [3]),
        ([1, 3, 4], (3, 4), [3, 4]),
        ([1, 2, 3], (2, 2), [2]),  # no gap: as positions
    ],
)
def test_page_range_reads_page_numbers(make_reader, chat_server, numbers, rng, lidas):
    reader = make_reader()
    q = ask(page_range=PageRange(start=rng[0], end=rng[1]))
    results, *_ = reader._run_questions([q], pages(numbers))
    if lidas is None:
        assert results[0].status == "NO_DATA"
        return
    sent = chat_server.requests[-1]["body"]["messages"][-1]["content"]
    assert [n for n in numbers if f"pagina {n} " in sent] == lidas


# -- 5. cached results are copies -----------------------------------------------------------


def test_cache_hit_is_not_the_object_handed_out_before(env_reader):
    reader = env_reader(enable_cache=True).add_question(ask())
    pdf = text_page_pdf(["Contrato com texto suficiente para ser lido pelo modelo."])
    first = reader.process(pdf)
    first.results[0].answer = "alterada"
    again = reader.process(pdf)
    assert again.results[0].answer != "alterada" and reader._cache.stats()["hits"] == 1


# -- 6. prices of dated snapshots and deployments --------------------------------------------


@pytest.mark.parametrize(
    "name, base",
    [
        ("gpt-4o-mini-2024-07-18", "gpt-4o-mini"),
        ("gpt-4o-2024-08-06", "gpt-4o"),
        ("gpt-4o-mini-producao", "gpt-4o-mini"),
        ("gpt-4.1-nano-eu", "gpt-4.1-nano"),
    ],
)
def test_dated_and_suffixed_names_cost_as_their_model(name, base):
    assert config_mod.calculate_cost(name, 1000, 500) == config_mod.calculate_cost(base, 1000, 500) > 0


def test_unknown_model_costs_nothing_and_is_logged_once(caplog):
    caplog.set_level(logging.WARNING, logger="vorlex.config")
    for _ in range(3):
        assert config_mod.calculate_cost("modelo-proprio-xyz", 1000, 500) == 0.0
    assert config_mod.calculate_cost("gpt-4o0", 1000, 500) == 0.0  # not a separator after the name
    lines = [r for r in caplog.records if r.name == "vorlex.config"]
    assert [r.args for r in lines] == [("modelo-proprio-xyz",), ("gpt-4o0",)]


# -- 8. limits ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, name", [({"max_pages": -1}, "max_pages"), ({"max_file_size_mb": -0.5}, "max_file_size_mb")]
)
def test_negative_limits_are_refused(kwargs, name):
    with pytest.raises(ValueError, match=name):
        Vorlex(openai_api_key="sk", **kwargs)
    for ok in (0, None):
        Vorlex(openai_api_key="sk", **{name: ok})


# -- 9. the retry policy decorates every call ------------------------------------------------


def test_retry_policy_is_applied_at_each_call(make_reader, chat_server):
    reader = make_reader()
    decorated = []

    def policy(fn):
        decorated.append(fn)
        return fn

    reader._retry = policy
    for _ in range(3):
        reader._call_llm([{"role": "user", "content": "oi"}])
    assert len(decorated) == 3


# -- 7. the download connects to the address the guard checked ------------------------------

import socket  # noqa: E402

import vorlex.reader as reader_mod  # noqa: E402
from servers.files import FileServer, self_signed  # noqa: E402

PUBLIC = "93.184.216.34"


class ChangingResolver:
    """Answers scripted names with a new list of addresses at each lookup (the last one
    repeats); every other name goes to the system resolver."""

    def __init__(self, monkeypatch, **answers):
        self.answers = {name.replace("_", "."): list(seq) for name, seq in answers.items()}
        self.asked = []
        self._real = socket.getaddrinfo
        monkeypatch.setattr(socket, "getaddrinfo", self.getaddrinfo)

    def getaddrinfo(self, host, port, family=0, type=0, proto=0, flags=0):
        if host not in self.answers:
            return self._real(host, port, family, type, proto, flags)
        self.asked.append(host)
        seq = self.answers[host]
        addrs = seq.pop(0) if len(seq) > 1 else seq[0]
        return [(socket.AF_INET, socket.SOCK_STREAM, 6, "", (a, port or 0)) for a in addrs]


@pytest.fixture
def doc_server():
    server = FileServer().start()
    yield server
    server.stop()


def test_rebound_name_is_not_fetched_from_its_second_answer(monkeypatch, loopback_only, doc_server):
    doc_server.serve("/doc.pdf", text_page_pdf(["segredo interno"]))
    resolver = ChangingResolver(monkeypatch, rebind_example_test=[[PUBLIC], ["127.0.0.1"]])
    reader = Vorlex(openai_api_key="sk-test")
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(f"http://rebind.example.test:{doc_server.port}/doc.pdf")
    assert str(info.value).startswith("Falha ao obter documento da URL: ")
    assert doc_server.paths == []  # the internal server was never reached
    assert loopback_only == [PUBLIC]  # the connection went to the checked address
    assert resolver.asked == ["rebind.example.test"]  # and the name was resolved once


def test_redirect_target_is_pinned_too(monkeypatch, loopback_only, doc_server):
    doc_server.serve("/doc.pdf", text_page_pdf(["segredo interno"]))
    doc_server.redirect("/fuga", f"http://rebind.example.test:{doc_server.port}/doc.pdf")
    real = reader_mod._is_safe_url
    own = f"127.0.0.1:{doc_server.port}"
    monkeypatch.setattr(reader_mod, "_is_safe_url", lambda url: url.startswith(f"http://{own}/") or real(url))
    ChangingResolver(monkeypatch, rebind_example_test=[[PUBLIC], ["127.0.0.1"]])
    with pytest.raises(DocumentError):
        Vorlex(openai_api_key="sk-test")._resolve_document(doc_server.url("/fuga"))
    assert doc_server.paths == ["/fuga"]
    assert loopback_only == [PUBLIC]


def test_pinned_tls_download_keeps_the_name_for_host_and_certificate(monkeypatch, loopback_only, tmp_path):
    pdf = text_page_pdf(["documento"])
    cert = self_signed("docs.example.test", tmp_path)
    server = FileServer().start(cert=cert)
    try:
        server.serve("/doc.pdf", pdf)
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", cert[0])
        # The guard in place is the caller's: the download resolves once and keeps it,
        # trying the next address only when connecting fails.
        monkeypatch.setattr(reader_mod, "_is_safe_url", lambda url: True)
        resolver = ChangingResolver(monkeypatch, docs_example_test=[[PUBLIC, "127.0.0.1"], ["10.255.0.1"]])
        url = f"https://docs.example.test:{server.port}/doc.pdf"
        content, _, _, name = Vorlex(openai_api_key="sk-test")._resolve_document(url)
        assert content == pdf and name == "doc.pdf"
        assert server.hosts == [f"docs.example.test:{server.port}"]
        assert resolver.asked == ["docs.example.test"]
        assert loopback_only == [PUBLIC]

        # The certificate is still checked against the name: one for another name fails.
        ChangingResolver(monkeypatch, other_example_test=[["127.0.0.1"]])
        with pytest.raises(DocumentError) as info:
            Vorlex(openai_api_key="sk-test")._resolve_document(
                f"https://other.example.test:{server.port}/doc.pdf"
            )
        assert "certificate" in str(info.value).lower() or "ssl" in str(info.value).lower()
        assert server.paths == ["/doc.pdf"]
    finally:
        server.stop()
