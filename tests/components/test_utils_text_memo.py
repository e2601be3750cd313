"""load_pdf after needs_ocr on the same document reuses the page texts that needs_ocr
read; it must give exactly what a fresh load gives, and never a stale document."""

import os

import pymupdf

import vorlex.utils as utils
from components.docgen import text_page_pdf


def texts(pages):
    return [(p.text, p.metadata) for p in pages]


def fresh(source, **kw):
    # A load with nothing remembered: a needs_ocr on another document first.
    utils.needs_ocr(text_page_pdf(["outro documento " * 20]), 100)
    utils.load_pdf(text_page_pdf(["outro documento " * 20]))
    return utils.load_pdf(source, **kw)


def test_bytes_reuse_gives_same_documents():
    data = text_page_pdf([f"Pagina {i} " + "texto de contrato " * 20 for i in range(5)])
    expected = texts(fresh(data, filename="a.pdf"))
    assert utils.needs_ocr(data, 100) is False
    assert texts(utils.load_pdf(data, filename="a.pdf")) == expected
    # Taken once: the next load reads the PDF again, still the same documents.
    assert texts(utils.load_pdf(data, filename="a.pdf")) == expected


def test_equal_bytes_in_another_object_match_and_other_bytes_do_not():
    a = text_page_pdf(["primeiro documento " * 20])
    b = text_page_pdf(["segundo documento " * 20])
    utils.needs_ocr(a, 100)
    assert "segundo" in utils.load_pdf(b)[0].text
    utils.needs_ocr(a, 100)
    assert "primeiro" in utils.load_pdf(bytearray(a))[0].text


def test_changed_file_is_read_again(tmp_path):
    path = tmp_path / "doc.pdf"
    path.write_bytes(text_page_pdf(["versao antiga " * 20]))
    assert utils.needs_ocr(str(path), 100) is False
    path.write_bytes(text_page_pdf(["versao nova e maior " * 25, "outra pagina " * 20]))
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
    pages = utils.load_pdf(str(path))
    assert len(pages) == 2 and "versao nova" in pages[0].text


def test_patched_pdf_library_is_used(monkeypatch):
    data = text_page_pdf(["conteudo real " * 20])
    utils.needs_ocr(data, 100)
    opened = []

    class Spy:
        def open(self, *args, **kwargs):
            opened.append(kwargs.get("filetype"))
            return pymupdf.open(*args, **kwargs)

    monkeypatch.setattr(utils, "fitz", Spy())
    assert "conteudo real" in utils.load_pdf(data)[0].text
    assert opened == ["pdf"]


def test_scanned_answer_keeps_nothing(scanned_pdf):
    assert utils.needs_ocr(scanned_pdf, 100) is True
    pages = utils.load_pdf(scanned_pdf)
    doc = pymupdf.open(stream=scanned_pdf, filetype="pdf")
    assert [p.text for p in pages] == [page.get_text() for page in doc]
    doc.close()
