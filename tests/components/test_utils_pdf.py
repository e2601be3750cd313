"""vorlex.utils over real PDFs: loading, the OCR test, metadata, image conversion."""

from __future__ import annotations

import io

import pymupdf
import pytest
from llama_index.core.schema import Document

import vorlex.utils as utils
from components.docgen import image_file, mixed_pdf, scan_png

# -- load_pdf / load_pdf_lazy ---------------------------------------------------------


def test_load_pdf_one_document_per_page_with_page_metadata(text_pdf):
    pages = utils.load_pdf(text_pdf)
    assert [type(p) for p in pages] == [Document] * 3
    assert [p.metadata["page"] for p in pages] == [1, 2, 3]
    assert {p.metadata["source"] for p in pages} == {"text"}
    for i, page in enumerate(pages, 1):
        assert page.text.startswith(f"Pagina {i}.")
        # exactly what PyMuPDF reads from the page, nothing trimmed or joined
        assert page.text == pymupdf.open(stream=text_pdf, filetype="pdf")[i - 1].get_text()


def test_load_pdf_from_path_stream_and_bytes_agree(text_pdf, tmp_path):
    path = tmp_path / "contrato.pdf"
    path.write_bytes(text_pdf)
    expected = [p.text for p in utils.load_pdf(text_pdf)]
    for source in (str(path), path, io.BytesIO(text_pdf), bytearray(text_pdf), memoryview(text_pdf)):
        assert [p.text for p in utils.load_pdf(source)] == expected
    assert utils.load_pdf(path)[0].metadata["filename"] == "contrato.pdf"
    assert utils.load_pdf(text_pdf)[0].metadata["filename"] == "document.pdf"
    assert utils.load_pdf(text_pdf, filename="x.pdf")[0].metadata["filename"] == "x.pdf"


def test_load_pdf_lazy_yields_the_same_pages_one_at_a_time(text_pdf, monkeypatch):
    opened, loaded = [], []
    real = utils.fitz

    class Spy:
        @staticmethod
        def open(*args, **kwargs):
            doc = real.open(*args, **kwargs)
            opened.append(doc)
            original = doc.load_page
            doc.load_page = lambda i: (loaded.append(i), original(i))[1]
            return doc

    monkeypatch.setattr(utils, "fitz", Spy)
    it = utils.load_pdf_lazy(text_pdf)
    assert opened == []  # nothing happens before the first page is asked for
    first = next(it)
    assert first.metadata["page"] == 1 and loaded == [0]
    rest = list(it)
    assert len(opened) == 1 and loaded == [0, 1, 2]
    assert [p.text for p in [first, *rest]] == [p.text for p in utils.load_pdf(text_pdf)]
    assert opened[0].is_closed  # closed after the last page
    with pytest.raises(StopIteration):
        next(it)


def test_load_pdf_lazy_close_stops_and_releases(text_pdf):
    it = utils.load_pdf_lazy(text_pdf)
    assert iter(it) is it
    next(it)
    it.close()
    assert list(it) == []


def test_load_pdf_lazy_reports_unreadable_bytes_on_first_page():
    it = utils.load_pdf_lazy(b"not a pdf at all")
    with pytest.raises(pymupdf.FileDataError):
        next(it)
    assert list(it) == []


def test_unreadable_pdf_errors_pass_through(tmp_path):
    with pytest.raises(pymupdf.FileDataError):
        utils.load_pdf(b"%PDF-1.4 garbage garbage")
    with pytest.raises(pymupdf.EmptyFileError):
        utils.load_pdf(b"")
    with pytest.raises(pymupdf.FileNotFoundError):
        utils.load_pdf(str(tmp_path / "missing.pdf"))


def test_load_pdf_keeps_scanned_pages_as_empty_text_pages():
    pages = utils.load_pdf(mixed_pdf(["text", "scan", "text"]))
    assert [p.metadata["page"] for p in pages] == [1, 2, 3]
    assert pages[0].text.strip() and pages[1].text == "" and pages[2].text.strip()


# -- needs_ocr -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kinds, expected",
    [
        (["text"], False),
        (["scan"], True),
        (["text", "text", "scan", "text"], True),  # one scanned page is enough
        (["blank"], False),  # no text but nothing to read either
        (["text", "blank"], False),
    ],
)
def test_needs_ocr_by_page_kind(kinds, expected):
    assert utils.needs_ocr(mixed_pdf(kinds)) is expected


def test_needs_ocr_threshold_counts_stripped_characters():
    pdf = mixed_pdf(["caption"], caption="x" * 40)
    assert utils.needs_ocr(pdf, 40) is True  # at most min_chars
    assert utils.needs_ocr(pdf, 39) is False  # more than min_chars: has its own text
    assert utils.needs_ocr(pdf) is True  # default 100


def test_needs_ocr_accepts_paths_and_streams(tmp_path):
    pdf = mixed_pdf(["text", "scan"])
    path = tmp_path / "scan.pdf"
    path.write_bytes(pdf)
    assert utils.needs_ocr(path) and utils.needs_ocr(str(path))
    stream = io.BytesIO(pdf)
    assert utils.needs_ocr(stream, 100)
    # the stream is put back, so the OCR loader can read it after the test
    assert stream.tell() == 0 and utils._ensure_bytes(stream) == pdf


# -- get_document_metadata ---------------------------------------------------------------


def test_metadata_of_text_pdf(text_pdf):
    meta = utils.get_document_metadata(text_pdf, filename="contrato.pdf")
    assert meta == {
        "filename": "contrato.pdf",
        "num_pages": 3,
        "doc_type": "pdf",
        "size_kb": round(len(text_pdf) / 1024, 2),
    }


def test_metadata_of_scanned_and_mixed_pdf(scanned_pdf):
    assert utils.get_document_metadata(scanned_pdf)["doc_type"] == "image"
    mixed = utils.get_document_metadata(mixed_pdf(["text", "scan", "text"]))
    assert mixed["doc_type"] == "image" and mixed["num_pages"] == 3


def test_metadata_of_image_converted_to_pdf():
    pdf = utils.ensure_pdf_bytes(scan_png())
    meta = utils.get_document_metadata(pdf, filename="foto.png")
    assert meta["num_pages"] == 1 and meta["doc_type"] == "image"


def test_metadata_raises_for_corrupt_or_empty_bytes(text_pdf):
    with pytest.raises(RuntimeError):  # PyMuPDF's FileDataError
        utils.get_document_metadata(b"\x00\x01corrupt" * 100)
    with pytest.raises(pymupdf.EmptyFileError):
        utils.get_document_metadata(b"")


# -- ensure_pdf_bytes / is_image_bytes ---------------------------------------------------


@pytest.mark.parametrize("fmt", ["PNG", "JPEG", "TIFF", "BMP", "GIF"])
def test_images_become_one_page_pdfs(fmt):
    img = image_file(fmt)
    assert utils.is_image_bytes(img)
    pdf = utils.ensure_pdf_bytes(img)
    assert pdf.startswith(b"%PDF-")
    doc = pymupdf.open(stream=pdf, filetype="pdf")
    assert doc.page_count == 1
    assert doc[0].get_image_info() and doc[0].get_text().strip() == ""


@pytest.mark.parametrize("fmt", ["GIF", "TIFF"])
def test_multi_frame_image_becomes_one_page(fmt):
    pdf = utils.ensure_pdf_bytes(image_file(fmt, frames=3))
    assert pymupdf.open(stream=pdf, filetype="pdf").page_count == 1


def test_pdf_and_other_bytes_are_returned_unchanged(text_pdf):
    assert utils.ensure_pdf_bytes(text_pdf) is text_pdf
    other = b"just some text"
    assert utils.ensure_pdf_bytes(other) is other
    assert not utils.is_image_bytes(text_pdf)


@pytest.mark.parametrize(
    "head, expected",
    [
        (b"\x89PNG\r\n\x1a\n" + b"\0" * 20, True),
        (b"\xff\xd8\xff\xe0" + b"\0" * 20, True),
        (b"II*\x00" + b"\0" * 20, True),
        (b"MM\x00*" + b"\0" * 20, True),
        (b"GIF89a" + b"\0" * 20, True),
        (b"GIF87a" + b"\0" * 20, True),
        (b"BM" + b"\0" * 12 + b"\x28\0\0\0" + b"\0" * 10, True),  # BITMAPINFOHEADER
        (b"BMW report, not a bitmap at all", False),  # "BM" alone is not enough
        (b"\x89PN", False),
        (b"", False),
        (b"%PDF-1.7\n", False),
    ],
)
def test_is_image_bytes_by_signature(head, expected):
    assert utils.is_image_bytes(head) is expected


# -- _ensure_bytes --------------------------------------------------------------------


def test_ensure_bytes_from_bytes_like_and_streams():
    assert utils._ensure_bytes(b"abc") == b"abc"
    assert utils._ensure_bytes(bytearray(b"abc")) == b"abc"
    assert type(utils._ensure_bytes(memoryview(b"abc"))) is bytes
    stream = io.BytesIO(b"0123456789")
    stream.seek(4)
    assert utils._ensure_bytes(stream) == b"456789"
    assert stream.tell() == 4


def test_ensure_bytes_reads_unseekable_streams_once():
    class Pipe:
        def __init__(self):
            self.reads = 0

        def read(self):
            self.reads += 1
            return b"%PDF-data"

    pipe = Pipe()
    assert utils._ensure_bytes(pipe) == b"%PDF-data" and pipe.reads == 1


def test_ensure_bytes_rejects_text_streams_and_paths(tmp_path):
    with pytest.raises(TypeError, match="read"):
        utils._ensure_bytes(io.StringIO("texto"))
    with pytest.raises(TypeError, match="source"):
        utils._ensure_bytes(str(tmp_path))


# -- late binding ------------------------------------------------------------------------


def test_get_document_metadata_calls_the_current_needs_ocr(text_pdf, monkeypatch):
    calls = []
    monkeypatch.setattr(utils, "needs_ocr", lambda data, min_chars: calls.append(min_chars) or True)
    assert utils.get_document_metadata(text_pdf)["doc_type"] == "image"
    assert calls == [100]


def test_patched_fitz_and_document_are_used(text_pdf, monkeypatch):
    class FakeDoc:
        page_count = 2
        closed = False

        def load_page(self, i):
            return type("P", (), {"get_text": lambda self: f"fake {i}"})()

        def close(self):
            FakeDoc.closed = True

    monkeypatch.setattr(utils, "fitz", type("F", (), {"open": staticmethod(lambda *a, **k: FakeDoc())}))
    assert [p.text for p in utils.load_pdf(text_pdf)] == ["fake 0", "fake 1"]
    assert FakeDoc.closed

    made = []
    monkeypatch.setattr(utils, "Document", lambda **kw: made.append(kw) or kw)
    pages = list(utils.load_pdf_lazy(text_pdf))
    assert pages == made and made[1] == {
        "text": "fake 1",
        "metadata": {"page": 2, "source": "text", "filename": "document.pdf"},
    }


def test_ensure_pdf_bytes_asks_the_current_is_image_bytes(monkeypatch):
    monkeypatch.setattr(utils, "is_image_bytes", lambda data: False)
    png = scan_png()
    assert utils.ensure_pdf_bytes(png) is png


def test_importing_utils_does_not_load_pymupdf_or_llama_index():
    import subprocess
    import sys

    code = (
        "import sys, vorlex.utils; "
        "print(any(m in sys.modules for m in ('fitz', 'pymupdf', 'llama_index.core.schema')))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
