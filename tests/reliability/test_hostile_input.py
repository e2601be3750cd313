"""Hostile input: Python code that changes a container while the library walks it, page
numbers outside the document, transient failures and the result cache, and the cache's
size bound."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

from components.docgen import text_page_pdf
from servers.chat import ChatServer
from vorlex.cache import DocumentCache
from vorlex.models import Classification
from vorlex.reader import Vorlex

# -- containers changed while they are walked ------------------------------------------
# Each case runs in its own interpreter: a crash must fail the case, not the suite.

MUTATIONS = {
    "filter_relevant_pages: text clears the pages": """
        from vorlex.utils import filter_relevant_pages
        pages = []
        class Page:
            @property
            def text(self):
                pages.clear()
                return "clausula do contrato"
        pages.extend(Page() for _ in range(64))
        kept, _ = filter_relevant_pages(pages, ["contrato"])
        print(len(kept))
    """,
    "filter_relevant_pages: text grows the pages": """
        from vorlex.utils import filter_relevant_pages
        pages = []
        class Page:
            @property
            def text(self):
                pages.extend(Page() for _ in range(1000))
                return "contrato"
        pages.extend(Page() for _ in range(64))
        kept, _ = filter_relevant_pages(pages, ["contrato"])
        print(len(kept))
    """,
    "_select_questions: an id's __hash__ clears the ids": """
        from vorlex.reader import Vorlex
        r = Vorlex(openai_api_key="x")
        for i in range(64):
            r.add_question(Vorlex.create_question(f"q{i}", "n", "{texto}"))
        ids = []
        class Id(str):
            def __hash__(self):
                ids.clear()
                return str.__hash__(self)
        ids.extend(Id(f"q{i}") for i in range(64))
        print(len(r._select_questions(ids)))
    """,
    "process: an id's __hash__ clears the ids": """
        import sys; sys.path.insert(0, "tests")
        from components.docgen import text_page_pdf
        from vorlex.reader import Vorlex
        r = Vorlex(openai_api_key="x", enable_cache=True)
        for i in range(64):
            r.add_question(Vorlex.create_question(f"q{i}", "n", "{texto}"))
        r._run_questions = lambda qs, docs: ([], 0.0, 0, 0.0)
        ids = []
        class Id(str):
            def __hash__(self):
                ids.clear()
                return str.__hash__(self)
        ids.extend(Id(f"q{i}") for i in range(64))
        print(len(r.process(text_page_pdf(["um texto"]), questions=ids).results))
        print(64)
    """,
    "add_questions: config clears the questions": """
        from vorlex.reader import Vorlex
        import types
        r = Vorlex(openai_api_key="x")
        items = []
        class Q:
            def __init__(self, i):
                self.i = i
            @property
            def config(self):
                items.clear()
                return types.SimpleNamespace(id=f"q{self.i}")
        items.extend(Q(i) for i in range(64))
        r.add_questions(items)
        print(len(r._questions))
    """,
    "_calcular_digito_cnpj: a weight's % clears the weights": """
        from vorlex.contract.countries.br.cnpj import _calcular_digito_cnpj
        weights = []
        class W(int):
            def __mod__(self, other):
                weights.clear()
                return int(self) % other
        weights.extend(W(w) for w in [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2] * 6)
        print(_calcular_digito_cnpj("112223330001" * 6, weights))
    """,
}

EXPECTED = {
    "filter_relevant_pages: text clears the pages": "64",
    "filter_relevant_pages: text grows the pages": "64",
    "_select_questions: an id's __hash__ clears the ids": "64",
    "process: an id's __hash__ clears the ids": "0\n64",
    "add_questions: config clears the questions": "64",
    "_calcular_digito_cnpj: a weight's % clears the weights": None,  # any digit
}


@pytest.mark.parametrize("case", list(MUTATIONS))
def test_changing_a_container_while_it_is_walked_does_not_crash(case):
    run = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(MUTATIONS[case])],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=str(__import__("pathlib").Path(__file__).resolve().parents[2]),
    )
    assert run.returncode == 0, run.stderr[-2000:]
    out = run.stdout.strip()
    if EXPECTED[case] is None:
        assert out.isdigit() and len(out) == 1
    else:
        assert out == EXPECTED[case]


def test_a_weight_whose_remainder_is_not_one_is_refused():
    from vorlex.contract.countries.br.cnpj import _calcular_digito_cnpj

    class Odd(int):
        def __mod__(self, other):
            return "dois"

    class Big(int):
        def __mod__(self, other):
            return 10**30

    for weight in (Odd(2), Big(2)):
        with pytest.raises(ValueError, match="not a remainder of 11"):
            _calcular_digito_cnpj("11", [weight, 3])


# -- transient failures are not cached -------------------------------------------------


def ask(qid="q1"):
    return Vorlex.create_question(qid, "Pergunta " + qid, "Leia: {texto}")


def test_a_document_that_met_a_transient_failure_is_asked_again(make_reader, chat_server):
    chat_server.push(ChatServer.error(429))
    reader = make_reader(max_retries=0, enable_cache=True).add_questions([ask("q1"), ask("q2")])
    pdf = text_page_pdf(["Documento com texto suficiente para leitura."])
    first = reader.process(pdf)
    assert [r.status for r in first.results] == ["PROVIDER_UNAVAILABLE", "OK"]
    second = reader.process(pdf)  # asked again, not served from the cache
    assert [r.status for r in second.results] == ["OK", "OK"]
    assert len(chat_server.requests) == 4
    third = reader.process(pdf)  # a settled result is served
    assert third.from_cache and third.model_copy(update={"from_cache": False}) == second
    assert len(chat_server.requests) == 4
    assert reader.cache_stats() == {"hits": 1, "misses": 2, "size": 1}


def test_a_failed_classification_is_not_cached(make_reader, chat_server):
    from pydantic import BaseModel

    class Tipo(BaseModel):
        tipo: str

    reader = make_reader(max_retries=0, enable_cache=True).add_question(ask())
    reader.set_classification(
        Classification(system_prompt="Classifique.", user_prompt="{dados}", response_model=Tipo)
    )
    chat_server.push(ChatServer.text("resposta"), ChatServer.error(500))
    pdf = text_page_pdf(["Documento com texto suficiente para leitura."])
    assert reader.process(pdf, classify=True).classification["error"] == "Erro na classificacao"
    assert set(reader.process(pdf, classify=True).classification) == {"tipo"}
    assert reader.cache_stats()["size"] == 1


# -- the cache's size bound ------------------------------------------------------------


def test_cache_keeps_the_most_recently_used_entries():
    cache = DocumentCache(max_entries=2)
    assert cache.max_entries == 2
    cache.put("a", {"v": 1})
    cache.put("b", {"v": 2})
    assert cache.get("a") == {"v": 1}  # a is now the most recent
    cache.put("c", {"v": 3})
    assert cache.get("b") is None and cache.get("a") == {"v": 1} and cache.get("c") == {"v": 3}
    cache.put("a", {"v": 4})  # storing again refreshes without growing
    cache.put("d", {"v": 5})
    assert cache.get("c") is None and cache.get("a") == {"v": 4}
    assert cache.stats()["size"] == 2
    cache.max_entries = 1  # an ordinary attribute, read at each store
    cache.put("e", {"v": 6})
    assert list(cache._entries) == ["e"]
    assert DocumentCache().max_entries == 1000


def test_cache_bound_arguments():
    with pytest.raises(TypeError):
        DocumentCache(60, 10)  # keyword only
    with pytest.raises(ValueError, match="max_entries"):
        DocumentCache(max_entries=0)
    with pytest.raises(TypeError, match="max_entries"):
        DocumentCache(max_entries="10")
    with pytest.raises(TypeError, match="max_entries"):
        DocumentCache(max_entries=None)


# -- images that declare more pixels than they carry -----------------------------------

# 14 bytes of GIF declaring a 23299 x 11266 screen: about 1.9 GB once decoded.
GIF_BOMB = b"GIF87a\x03[\x02,\x18\x10\x00;"
# A 3 x 2 screen whose one frame declares 65526 x 65533 pixels (found by fuzzing: the
# image reader reports the screen, the decoder allocates the frame, 4 GB).
GIF_FRAME_BOMB = bytes.fromhex(
    "47494638376103000200810000c80a0a0000000000000000002c00000000f6fffdff0008060001081c1810003b"
)


def _gif(screen, frames, comment=b""):
    """A GIF89a with a global colour table, a comment extension and the given frames
    (width, height, local colour table?), each with a little LZW data."""
    import struct

    out = b"GIF89a" + struct.pack("<HHBBB", *screen, 0x81, 0, 0) + bytes(12)
    if comment:
        out += b"\x21\xfe" + bytes([len(comment)]) + comment + b"\x00"
    for width, height, local in frames:
        out += b"\x21\xf9\x04\x00\x0a\x00\x00\x00"  # graphic control extension
        out += b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0x81 if local else 0)
        out += bytes(12) if local else b""
        out += b"\x02\x02\x44\x01\x00"  # LZW code size, one sub-block, end
    return out + b"\x3b"


def _png_header(width, height):
    import struct
    import zlib

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    chunk = b"IHDR" + ihdr
    return (
        b"\x89PNG\r\n\x1a\n"
        + struct.pack(">I", len(ihdr))
        + chunk
        + struct.pack(">I", zlib.crc32(chunk))
        + b"\x00\x00\x00\x00IEND\xaeB`\x82"
    )


@pytest.mark.parametrize(
    "bomb", [GIF_BOMB, GIF_FRAME_BOMB, _png_header(20_000, 10_000)], ids=["gif screen", "gif frame", "png"]
)
def test_an_image_declaring_too_many_pixels_is_refused_before_decoding(bomb):
    import resource

    import vorlex.utils as utils
    from vorlex.exceptions import DocumentError

    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(ValueError, match="Imagem grande demais para converter"):
        utils.ensure_pdf_bytes(bomb)
    # The reader reports it as a bad document.
    with pytest.raises(DocumentError, match="Imagem grande demais"):
        Vorlex(openai_api_key="k")._resolve_document(bomb)
    grown_mb = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    assert grown_mb < 200


def test_the_pixel_limit_is_read_at_each_call(monkeypatch):
    import vorlex.utils as utils
    from components.docgen import image_file

    assert utils.MAX_IMAGE_PIXELS == 89_478_485
    png = image_file("PNG")  # 120 x 80
    assert utils.ensure_pdf_bytes(png).startswith(b"%PDF")
    monkeypatch.setattr(utils, "MAX_IMAGE_PIXELS", 9599)
    with pytest.raises(ValueError, match=r"120 x 80 pixels \(limite: 9599\)"):
        utils.ensure_pdf_bytes(png)
    monkeypatch.setattr(utils, "MAX_IMAGE_PIXELS", 9600)
    assert utils.ensure_pdf_bytes(png).startswith(b"%PDF")
    monkeypatch.setattr(utils, "MAX_IMAGE_PIXELS", "muitos")
    with pytest.raises(TypeError):
        utils.ensure_pdf_bytes(png)
    monkeypatch.setattr(utils, "MAX_IMAGE_PIXELS", None)
    assert utils.ensure_pdf_bytes(png).startswith(b"%PDF")


def test_every_frame_of_a_gif_counts_against_the_limit(monkeypatch):
    import vorlex.utils as utils

    monkeypatch.setattr(utils, "MAX_IMAGE_PIXELS", 1_000_000)
    # Bytes that look like an image descriptor inside a comment are not one.
    comment = b"\x2c\x00\x00\x00\x00\xff\xff\xff\xff\x00" * 3
    small = _gif((10, 10), [(10, 10, False), (8, 6, True)], comment)
    assert utils.ensure_pdf_bytes(small).startswith(b"%PDF")
    # A later frame with its own colour table, past the screen.
    with pytest.raises(ValueError, match=r"5000 x 4000 pixels \(limite: 1000000\)"):
        utils.ensure_pdf_bytes(_gif((10, 10), [(10, 10, False), (5000, 4000, True)], comment))
    # A file cut short after the large frame's descriptor still declares it.
    cut = _gif((10, 10), [(3000, 3000, False)])
    with pytest.raises(ValueError, match="3000 x 3000"):
        utils.ensure_pdf_bytes(cut[: cut.index(b"\x2c") + 10])
    monkeypatch.setattr(utils, "MAX_IMAGE_PIXELS", None)
    assert utils.ensure_pdf_bytes(_gif((10, 10), [(5000, 4000, True)])).startswith(b"%PDF")
