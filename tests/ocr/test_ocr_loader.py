"""load_pdf_with_ocr and process_pdf_smart on PDFs the tests generate: which pages
are read from their image, by what, and how each page document is labelled."""

import io
import pathlib

import pymupdf
import pytest

import vorlex.ocr as ocr
import vorlex.utils
from servers.ocr import Reply

SHORT = "Folha 3"  # own text of a scanned page with a stamped page label


def own_text_length(pdf_bytes, index=0):
    with pymupdf.open(stream=pdf_bytes, filetype="pdf") as doc:
        return len(doc[index].get_text().strip())


def flat(text):
    """Page text with the text box's line wrapping undone."""
    return text.replace("\n", " ")


def summary(pages):
    return [(d.metadata["page"], d.metadata["source"], d.metadata.get("ocr_failed")) for d in pages]


# -- the 100-character threshold --------------------------------------------------------


@pytest.mark.parametrize("chars, rendered", [(101, False), (100, True), (99, True)])
def test_only_pages_above_100_characters_skip_ocr(ocr_service, pdf, kit, chars, rendered):
    doc = pdf()
    page = doc.doc.new_page()
    page.insert_text((20, 40), kit.words(chars), fontsize=5)
    data = doc.bytes()
    assert own_text_length(data) == chars
    ocr_service.lines("lido pelo OCR")
    (page_doc,) = ocr.load_pdf_with_ocr(data)
    assert len(ocr_service.requests) == (1 if rendered else 0)
    if rendered:
        assert page_doc.metadata == {"page": 1, "source": "ocr", "ocr_failed": False}
        assert page_doc.text == kit.words(chars) + "\n\nlido pelo OCR"
    else:
        assert page_doc.metadata == {"page": 1, "source": "text"}
        assert page_doc.text == kit.words(chars)


def test_a_rendered_page_is_sent_at_150_dpi_as_png(ocr_service, pdf):
    ocr.load_pdf_with_ocr(pdf().scanned().bytes())
    (req,) = ocr_service.requests
    assert req.image_format == "PNG"
    assert abs(req.image_size[0] - 1240) <= 1 and abs(req.image_size[1] - 1754) <= 1


# -- defaults: cloud OCR on, fallback off ------------------------------------------------


def test_a_scanned_page_read_by_ocr(ocr_service, pdf, kit, ocr_logs):
    ocr_service.lines("CONTRATO DE LOCAÇÃO", "Cláusula 1")
    (page,) = ocr.load_pdf_with_ocr(pdf().scanned().bytes())
    assert page.text == "CONTRATO DE LOCAÇÃO\nCláusula 1"
    assert page.metadata == {"page": 1, "source": "ocr", "ocr_failed": False}
    assert kit.messages(ocr_logs, "INFO") == [
        "Processando PDF com OCR: document.pdf (1 páginas)",
        "Renderizando página 1 para OCR...",
        "Página 1: 30 chars via ocr",
    ]


def test_own_short_text_stays_in_front_of_the_ocr_text(ocr_service, pdf):
    ocr_service.lines("texto da imagem")
    (page,) = ocr.load_pdf_with_ocr(pdf().scanned(own_text=SHORT).bytes())
    assert page.text == SHORT + "\n\ntexto da imagem"


def test_ocr_without_text_marks_the_page_failed_and_keeps_its_own_text(ocr_service, pdf, kit, ocr_logs):
    ocr_service.reply(Reply(blocks=[]))
    (page,) = ocr.load_pdf_with_ocr(pdf().scanned(own_text=SHORT).bytes())
    assert page.text == SHORT
    assert page.metadata == {"page": 1, "source": "ocr_failed", "ocr_failed": True}
    (warning,) = kit.records(ocr_logs, "WARNING")
    assert warning.msg == "Página %d: OCR não retornou texto; seguindo com %d chars de resíduo."
    assert warning.args == (1, len(SHORT))


def test_a_page_with_nothing_read_and_no_own_text_vanishes(ocr_service, pdf, kit, ocr_logs):
    ocr_service.reply(Reply(blocks=[]), Reply(blocks=[]))
    assert ocr.load_pdf_with_ocr(pdf().blank().scanned().bytes()) == []
    assert kit.messages(ocr_logs, "WARNING") == [
        "Página 1: OCR não retornou texto; seguindo com 0 chars de resíduo.",
        "Página 2: OCR não retornou texto; seguindo com 0 chars de resíduo.",
    ]


def test_a_mixed_document_keeps_page_order_with_gaps(ocr_service, pdf, kit):
    long_text = kit.words(300)
    data = pdf().text(long_text).scanned().blank().scanned(own_text=SHORT).text(long_text + " fim").bytes()
    ocr_service.lines("pagina dois")  # page 2
    ocr_service.reply(Reply(blocks=[]))  # page 3, blank
    ocr_service.reply(Reply(status=400))  # page 4: refused image, not retried
    pages = ocr.load_pdf_with_ocr(data)
    assert summary(pages) == [
        (1, "text", None),
        (2, "ocr", False),
        (4, "ocr_failed", True),
        (5, "text", None),
    ]
    assert [flat(p.text) for p in pages] == [long_text, "pagina dois", SHORT, long_text + " fim"]
    assert len(ocr_service.requests) == 3


# -- every combination of cloud OCR, fallback mode and model caller ----------------------

OCR_TEXT, VISION_TEXT = "lido pelo OCR", "lido pelo modelo"
ROWS = [
    # use_azure, mode, caller answer (None: no caller), OCR answer -> source, ocr_failed, OCR called
    (True, "off", None, OCR_TEXT, "ocr", False, True),
    (True, "off", None, None, "ocr_failed", True, True),
    (True, "off", VISION_TEXT, None, "ocr_failed", True, True),
    (True, "auto", VISION_TEXT, None, "vision_fallback", False, True),
    (True, "auto", VISION_TEXT, OCR_TEXT, "ocr", False, True),
    (True, "auto", "   ", None, "ocr_failed", True, True),
    (True, "auto", None, None, "ocr_failed", True, True),
    (True, "force", VISION_TEXT, OCR_TEXT, "vision_fallback", False, False),
    (True, "force", "  ", OCR_TEXT, "ocr_failed", True, False),
    (True, "force", None, OCR_TEXT, "ocr", False, True),
    (True, "force", None, None, "ocr_failed", True, True),
    (False, "off", None, OCR_TEXT, "text", False, False),
    (False, "off", VISION_TEXT, OCR_TEXT, "text", False, False),
    (False, "auto", VISION_TEXT, OCR_TEXT, "vision_fallback", False, False),
    (False, "auto", "", OCR_TEXT, "ocr_failed", True, False),
    (False, "auto", None, OCR_TEXT, "text", False, False),
    (False, "force", VISION_TEXT, OCR_TEXT, "vision_fallback", False, False),
    (False, "force", " ", OCR_TEXT, "ocr_failed", True, False),
    (False, "force", None, OCR_TEXT, "text", False, False),
]


@pytest.mark.parametrize("use_azure, mode, answer, ocr_answer, source, failed, ocr_called", ROWS)
def test_page_labels(
    ocr_service, pdf, caller, use_azure, mode, answer, ocr_answer, source, failed, ocr_called
):
    ocr_service.reply(Reply(blocks=[[ocr_answer]] if ocr_answer else []))
    call = caller(answer) if answer is not None else None
    (page,) = ocr.load_pdf_with_ocr(
        pdf().scanned(own_text=SHORT).bytes(), use_azure=use_azure, ocr_fallback=mode, llm_caller=call
    )
    assert page.metadata == {"page": 1, "source": source, "ocr_failed": failed}
    assert len(ocr_service.requests) == (1 if ocr_called else 0)
    read = {"ocr": OCR_TEXT, "vision_fallback": VISION_TEXT}.get(source)
    assert page.text == (SHORT + "\n\n" + read if read else SHORT)
    vision_called = call is not None and (mode == "force" or (mode == "auto" and source != "ocr"))
    assert (call is not None and len(call.calls) == 1) == vision_called


def test_forced_vision_and_auto_fallback_log_lines(ocr_service, pdf, caller, kit, ocr_logs):
    data = pdf().scanned().bytes()
    ocr.load_pdf_with_ocr(data, ocr_fallback="force", llm_caller=caller("abc"))
    ocr_service.reply(Reply(blocks=[]))
    ocr.load_pdf_with_ocr(data, ocr_fallback="auto", llm_caller=caller("abcd"))
    info = kit.messages(ocr_logs, "INFO")
    assert "Página 1: usando Vision LLM (force)..." in info
    assert "Página 1: 3 chars via vision_fallback" in info
    assert "Página 1: OCR falhou, tentando Vision LLM..." in info
    assert "Página 1: 4 chars via vision_fallback" in info


def test_blank_pages_vanish_without_any_reading(pdf, kit, caller, ocr_logs):
    call = caller("nunca")
    data = pdf().blank().text(kit.words(150)).blank().bytes()
    pages = ocr.load_pdf_with_ocr(data, use_azure=False, ocr_fallback="off", llm_caller=call)
    assert summary(pages) == [(2, "text", None)]
    assert call.calls == [] and kit.records(ocr_logs, "WARNING") == []


def test_the_vision_fallback_gets_the_rendered_png_and_provider_settings(pdf, monkeypatch, caller):
    seen = []

    def fake_fallback(img, **kwargs):
        seen.append((img[:8], kwargs))
        return "lido"

    monkeypatch.setattr(ocr, "perform_vision_fallback", fake_fallback)
    call, client = caller(), object()
    ocr.load_pdf_with_ocr(
        pdf().scanned().bytes(),
        ocr_fallback="force",
        llm_caller=call,
        provider="google",
        google_client=client,
        google_model="gemini-x",
    )
    assert seen == [
        (
            b"\x89PNG\r\n\x1a\n",
            {
                "llm_caller": call,
                "image_format": "png",
                "provider": "google",
                "google_client": client,
                "google_model": "gemini-x",
            },
        )
    ]


def test_google_provider_reads_through_call_vision(pdf, caller, monkeypatch):
    import vorlex.providers.google as google

    calls = []
    monkeypatch.setattr(google, "call_vision", lambda c, m, **kw: calls.append(kw["mime"]) or "texto gemini")
    (page,) = ocr.load_pdf_with_ocr(
        pdf().scanned().bytes(),
        use_azure=False,
        ocr_fallback="auto",
        llm_caller=caller(),
        provider="google",
        google_client=object(),
        google_model="gemini-2.0-flash",
    )
    assert calls == ["image/png"]
    assert page.metadata["source"] == "vision_fallback" and page.text == "texto gemini"


def test_an_empty_google_answer_is_not_a_failure(pdf, caller, monkeypatch):
    import vorlex.providers.google as google

    monkeypatch.setattr(google, "call_vision", lambda c, m, **kw: "")
    (page,) = ocr.load_pdf_with_ocr(
        pdf().scanned(own_text=SHORT).bytes(),
        use_azure=False,
        ocr_fallback="force",
        llm_caller=caller(),
        provider="google",
        google_client=object(),
        google_model="g",
    )
    assert page.metadata == {"page": 1, "source": "text", "ocr_failed": False}


def test_google_without_a_model_leaves_the_page_failed(pdf, caller, kit, ocr_logs):
    (page,) = ocr.load_pdf_with_ocr(
        pdf().scanned(own_text=SHORT).bytes(),
        use_azure=False,
        ocr_fallback="force",
        llm_caller=caller(),
        provider="google",
        google_client=object(),
    )
    assert page.metadata["source"] == "ocr_failed"
    assert "Google vision fallback requested without client/model" in kit.messages(ocr_logs)


# -- sources, names, closing and errors ---------------------------------------------------


def test_a_path_is_logged_under_its_file_name(tmp_path, pdf, kit, ocr_logs):
    path = pdf().text(kit.words(200)).blank().save(tmp_path / "contrato.pdf")
    for source in (path, pathlib.Path(path)):
        ocr.load_pdf_with_ocr(source, use_azure=False, filename="ignorado.pdf")
    assert kit.messages(ocr_logs, "INFO").count("Processando PDF com OCR: contrato.pdf (2 páginas)") == 2


@pytest.mark.parametrize(
    "filename, shown", [(None, "document.pdf"), ("", "document.pdf"), ("meu.pdf", "meu.pdf")]
)
def test_bytes_are_logged_under_the_filename_or_document_pdf(pdf, kit, ocr_logs, filename, shown):
    ocr.load_pdf_with_ocr(pdf().blank().bytes(), use_azure=False, filename=filename)
    assert kit.messages(ocr_logs, "INFO")[0] == f"Processando PDF com OCR: {shown} (1 páginas)"


def test_a_stream_is_read_through_the_utilities(pdf, kit):
    data = pdf().text(kit.words(200)).bytes()
    (page,) = ocr.load_pdf_with_ocr(io.BytesIO(data), use_azure=False)
    assert flat(page.text) == kit.words(200)


def test_the_pdf_is_closed_when_the_load_ends(pdf, kit, monkeypatch):
    opened = []

    class Fitz:
        Matrix = pymupdf.Matrix

        @staticmethod
        def open(*args, **kwargs):
            opened.append(pymupdf.open(*args, **kwargs))
            return opened[-1]

    monkeypatch.setattr(ocr, "fitz", Fitz)
    ocr.load_pdf_with_ocr(pdf().text(kit.words(200)).scanned().bytes(), use_azure=False)
    assert len(opened) == 1 and opened[0].is_closed


def test_pdf_library_errors_reach_the_caller(tmp_path):
    with pytest.raises(pymupdf.FileDataError):
        ocr.load_pdf_with_ocr(b"%PDF-1.4 this is not a pdf")
    with pytest.raises(pymupdf.FileNotFoundError):
        ocr.load_pdf_with_ocr(str(tmp_path / "missing.pdf"))


def test_wrong_argument_types_name_the_argument(pdf):
    data = pdf().blank().bytes()
    for kwargs, name in [
        ({"ocr_fallback": None}, "ocr_fallback"),
        ({"filename": 3}, "filename"),
        ({"provider": None}, "provider"),
        ({"google_model": 1}, "google_model"),
    ]:
        with pytest.raises(TypeError, match=name):
            ocr.load_pdf_with_ocr(data, **kwargs)
    with pytest.raises(TypeError):
        ocr.load_pdf_with_ocr(12345)


# -- process_pdf_smart --------------------------------------------------------------------


def test_a_text_pdf_goes_to_the_plain_loader(ocr_service, pdf, kit, ocr_logs, monkeypatch):
    calls = []
    real = vorlex.utils.load_pdf
    monkeypatch.setattr(vorlex.utils, "load_pdf", lambda src, **kw: calls.append(kw) or real(src, **kw))
    data = pdf().text(kit.words(300)).text(kit.words(250)).bytes()
    pages = ocr.process_pdf_smart(data)
    assert [flat(p.text).strip() for p in pages] == [kit.words(300), kit.words(250)]
    assert calls == [{"filename": "document.pdf"}]
    assert ocr_service.requests == []
    assert not any("precisa de OCR" in m for m in kit.messages(ocr_logs))


def test_a_scanned_pdf_goes_to_the_ocr_loader_with_cloud_ocr_on(ocr_service, pdf, kit, ocr_logs):
    ocr_service.lines("lido")
    pages = ocr.process_pdf_smart(pdf().text(kit.words(300)).scanned().bytes(), filename="x.pdf")
    assert summary(pages) == [(1, "text", None), (2, "ocr", False)]
    assert kit.messages(ocr_logs, "INFO")[:2] == [
        "PDF x.pdf precisa de OCR",
        "Processando PDF com OCR: x.pdf (2 páginas)",
    ]


def test_process_pdf_smart_hands_every_setting_on(pdf, monkeypatch, caller):
    seen = []
    monkeypatch.setattr(vorlex.utils, "needs_ocr", lambda src, n: seen.append(n) or True)
    monkeypatch.setattr(ocr, "load_pdf_with_ocr", lambda src, **kw: seen.append(kw) or ["pages"])
    call, client = caller(), object()
    got = ocr.process_pdf_smart(
        b"%PDF",
        min_chars=7,
        filename="f.pdf",
        ocr_fallback="auto",
        llm_caller=call,
        provider="google",
        google_client=client,
        google_model="g",
    )
    assert got == ["pages"]
    assert seen == [
        7,
        {
            "filename": "f.pdf",
            "ocr_fallback": "auto",
            "llm_caller": call,
            "provider": "google",
            "google_client": client,
            "google_model": "g",
        },
    ]


def test_min_chars_decides_with_needs_ocr(ocr_service, pdf):
    data = pdf().scanned(own_text="Folha com quarenta e poucos caracteres aqui").bytes()
    assert ocr.process_pdf_smart(data, min_chars=10)[0].metadata == {
        "page": 1,
        "source": "text",
        "filename": "document.pdf",
    }
    assert ocr_service.requests == []
    assert ocr.process_pdf_smart(data)[0].metadata["source"] == "ocr"


def test_a_path_is_named_by_its_file_name(tmp_path, pdf, ocr_service, kit, ocr_logs):
    path = pdf().scanned().save(tmp_path / "digitalizado.pdf")
    ocr.process_pdf_smart(pathlib.Path(path), filename="outro.pdf")
    assert kit.messages(ocr_logs, "INFO")[0] == "PDF digitalizado.pdf precisa de OCR"


def test_a_one_shot_stream_is_read_once_for_both_steps(ocr_service, pdf, kit):
    data = pdf().text(kit.words(120)).scanned().bytes()

    class OneShot(io.RawIOBase):
        def __init__(self):
            self.data, self.reads = data, 0

        def readable(self):
            return True

        def read(self, n=-1):
            self.reads += 1
            out, self.data = self.data, b""
            return out

    stream = OneShot()
    pages = ocr.process_pdf_smart(stream)
    assert summary(pages) == [(1, "text", None), (2, "ocr", False)]
    assert stream.reads == 1


def test_process_pdf_smart_argument_types():
    with pytest.raises(TypeError, match="min_chars"):
        ocr.process_pdf_smart(b"%PDF", min_chars="100")
    with pytest.raises(TypeError, match="ocr_fallback"):
        ocr.process_pdf_smart(b"%PDF", ocr_fallback=None)


# -- display names against pathlib ----------------------------------------------------------

from hypothesis import given, settings, strategies as st  # noqa: E402

PATH_TEXT = st.lists(
    st.sampled_from(["/", ".", "..", "a", "ç", "b c", "x.pdf", "//", "é\u0301"]), max_size=6
).map("".join)


@settings(max_examples=150, deadline=None)
@given(PATH_TEXT)
def test_the_display_name_of_a_path_is_pathlibs_name(path):
    import logging

    seen = []

    class Catch(logging.Handler):
        def emit(self, record):
            seen.append(record.getMessage())

    handler = Catch()
    logger = logging.getLogger("vorlex.ocr")
    logger.addHandler(handler)
    old_level = logger.level
    logger.setLevel(logging.INFO)
    saved = vorlex.utils.needs_ocr, ocr.load_pdf_with_ocr
    try:
        vorlex.utils.needs_ocr = lambda src, n: True
        ocr.load_pdf_with_ocr = lambda src, **kw: []
        ocr.process_pdf_smart(path)
        ocr.process_pdf_smart(pathlib.PurePosixPath(path))
    finally:
        vorlex.utils.needs_ocr, ocr.load_pdf_with_ocr = saved
        logger.removeHandler(handler)
        logger.setLevel(old_level)
    name = pathlib.PurePosixPath(path).name
    assert seen == [f"PDF {name} precisa de OCR"] * 2
