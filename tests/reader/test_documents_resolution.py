"""Document resolution: bytes, streams, URLs and paths become checked PDF bytes with
their metadata, and every bad document fails with its own DocumentError message."""

from __future__ import annotations

import io

import pymupdf
import pytest

import vorlex.reader as reader_mod
from components.docgen import image_file, mixed_pdf, scan_png, text_page_pdf
from servers.files import FileServer
from vorlex.exceptions import DocumentError
from vorlex.reader import Vorlex

MB = 1048576


@pytest.fixture
def reader():
    return Vorlex(openai_api_key="test-key")


@pytest.fixture
def files(monkeypatch):
    """The local document server; its own loopback address is let through the URL guard
    (only that exact host and port), every other address keeps the real check."""
    server = FileServer().start()
    real = reader_mod._is_safe_url
    allowed = f"127.0.0.1:{server.port}"

    def allow_local(url):
        from urllib.parse import urlsplit

        return urlsplit(url).netloc == allowed or real(url)

    monkeypatch.setattr(reader_mod, "_is_safe_url", allow_local)
    try:
        yield server
    finally:
        server.stop()


def blank_pdf(pages: int) -> bytes:
    doc = pymupdf.open()
    for _ in range(pages):
        doc.new_page()
    data = doc.tobytes()
    doc.close()
    return data


# -- bytes and streams -------------------------------------------------------------------


def test_pdf_bytes_resolve_to_themselves_with_metadata(reader):
    pdf = text_page_pdf(["um", "dois"])
    content, mapping, meta, name = reader._resolve_document(pdf)
    assert content == pdf
    assert mapping["num_pages"] == 2 and meta.num_pages == 2
    assert meta.doc_type == mapping["doc_type"] == "pdf"
    assert meta.size_kb == mapping["size_kb"]
    assert name == meta.filename == "document.pdf"
    assert reader._resolve_document(pdf, "nota.pdf")[3] == "nota.pdf"


def test_png_bytes_become_a_one_page_pdf(reader):
    content, _mapping, meta, name = reader._resolve_document(scan_png(), "foto.png")
    assert content.startswith(b"%PDF")
    assert meta.num_pages == 1
    assert meta.doc_type == "image"  # no text layer: its pages go through OCR
    assert meta.filename == name == "foto.png"


def test_stream_is_read_once(reader):
    pdf = text_page_pdf(["um"])

    class Once(io.BytesIO):
        calls = 0

        def read(self, *a):
            Once.calls += 1
            return super().read(*a)

    content, _, _meta, name = reader._resolve_document(Once(pdf))
    assert content == pdf and Once.calls == 1 and name == "document.pdf"


def test_stream_read_failure(reader):
    class Broken:
        def read(self):
            raise OSError("disco removido")

    with pytest.raises(DocumentError) as info:
        reader._resolve_document(Broken())
    assert str(info.value) == "Erro ao ler documento: disco removido"


def test_text_stream_is_a_document_error(reader):
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(io.StringIO("texto"))
    assert str(info.value).startswith("Erro ao ler documento: ")


@pytest.mark.parametrize("doc", [b"", io.BytesIO(b"")])
def test_empty_content(reader, doc):
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(doc)
    assert str(info.value) == "Conteúdo do documento vazio ou inválido."


def test_size_limit_is_strict_and_printed_plainly(reader):
    exact = b"\0" * (50 * MB)
    # Exactly the limit passes the size check and fails later, at metadata extraction.
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(exact)
    assert str(info.value).startswith("PDF inválido ou corrompido: ")
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(exact + b"\0")
    assert str(info.value) == "Documento excede o limite de 50MB (50.0MB)."

    small = Vorlex(openai_api_key="k", max_file_size_mb=0.5)
    with pytest.raises(DocumentError) as info:
        small._resolve_document(b"%PDF" + b"\0" * (600 * 1024))
    assert str(info.value) == "Documento excede o limite de 0.5MB (0.6MB)."


def test_corrupt_pdf_keeps_its_cause(reader):
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(b"%PDF-1.7 this is not a pdf at all")
    assert str(info.value).startswith("PDF inválido ou corrompido: ")
    assert info.value.__cause__ is not None
    assert str(info.value) == "PDF inválido ou corrompido: " + str(info.value.__cause__)


def test_page_limit_is_strict(reader):
    _content, _, meta, _ = reader._resolve_document(blank_pdf(500))
    assert meta.num_pages == 500
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(blank_pdf(501))
    assert str(info.value) == "Documento excede o limite de 500 paginas (501 paginas)."
    few = Vorlex(openai_api_key="k", max_pages=2)
    with pytest.raises(DocumentError) as info:
        few._resolve_document(blank_pdf(3))
    assert str(info.value) == "Documento excede o limite de 2 paginas (3 paginas)."


# -- paths -------------------------------------------------------------------------------


def test_path_string_and_path_object(reader, tmp_path):
    pdf = text_page_pdf(["um", "dois", "tres"])
    target = tmp_path / "contrato.pdf"
    target.write_bytes(pdf)
    for doc in (str(target), target):
        content, _, meta, name = reader._resolve_document(doc, filename="ignorado.pdf")
        assert content == pdf
        assert name == meta.filename == "contrato.pdf"
        assert meta.num_pages == 3


def test_image_file_on_disk_is_converted(reader, tmp_path):
    target = tmp_path / "scan.jpg"
    target.write_bytes(image_file("JPEG"))
    content, _, meta, name = reader._resolve_document(target)
    assert content.startswith(b"%PDF") and meta.num_pages == 1 and name == "scan.jpg"


def test_missing_path(reader):
    with pytest.raises(DocumentError) as info:
        reader._resolve_document("nao/existe.pdf")
    assert str(info.value) == "Documento não encontrado: nao/existe.pdf"


def test_empty_file_fails_at_metadata(reader, tmp_path):
    target = tmp_path / "vazio.pdf"
    target.write_bytes(b"")
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(target)
    assert str(info.value).startswith("PDF inválido ou corrompido: ")


def test_oversized_file_is_refused_before_reading(tmp_path, monkeypatch):
    target = tmp_path / "grande.pdf"
    target.write_bytes(b"%PDF" + b"\0" * (2 * MB))
    opened = []
    monkeypatch.setattr(reader_mod, "open", lambda *a, **k: opened.append(a), raising=False)
    small = Vorlex(openai_api_key="k", max_file_size_mb=1)
    with pytest.raises(DocumentError) as info:
        small._resolve_document(str(target))
    assert str(info.value) == "Documento excede o limite de 1MB (2.0MB)."
    assert opened == []


@pytest.mark.parametrize("kind", ["/dev/zero", "fifo", "directory"])
def test_a_path_that_is_not_a_regular_file_is_refused_by_name(kind, tmp_path):
    """/dev/zero and a FIFO report size 0 and never end (or never start) reading; run in
    an interpreter of its own under a timeout, so that a read without end fails the case."""
    import os
    import subprocess
    import sys
    import textwrap

    if kind == "fifo":
        path = str(tmp_path / "fila.pdf")
        os.mkfifo(path)
    elif kind == "directory":
        path = str(tmp_path / "pasta.pdf")
        os.mkdir(path)
    else:
        path = kind
    code = textwrap.dedent(f"""
        from vorlex.exceptions import DocumentError
        from vorlex.reader import Vorlex
        try:
            Vorlex(openai_api_key="k")._resolve_document({path!r})
        except DocumentError as exc:
            print(exc)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == f"Erro ao ler documento: não é um arquivo regular: {path}"


def test_a_file_larger_than_its_size_on_disk_said_is_read_only_past_the_limit(tmp_path, monkeypatch):
    target = tmp_path / "cresce.pdf"
    target.write_bytes(b"%PDF-1.4")  # small when its size is taken, large when read
    asked = []

    class Growing(io.BytesIO):
        def read(self, n=-1):
            asked.append(n)
            return super().read(n)

    monkeypatch.setattr(
        reader_mod, "open", lambda *a, **k: Growing(b"%PDF" + b"\0" * (3 * MB)), raising=False
    )
    small = Vorlex(openai_api_key="k", max_file_size_mb=1)
    with pytest.raises(DocumentError) as info:
        small._resolve_document(str(target))
    assert str(info.value) == "Documento excede o limite de 1MB (1.0MB)."
    assert asked == [MB + 1]


def test_wrong_argument_types(reader):
    with pytest.raises(TypeError, match="document"):
        reader._resolve_document(12345)
    with pytest.raises(TypeError, match="filename"):
        reader._resolve_document(b"%PDF", filename=3)


# -- URLs --------------------------------------------------------------------------------


def test_url_download_with_blanks_and_upper_case_scheme(reader, files):
    pdf = text_page_pdf(["um", "dois"])
    url = files.serve("/docs/contrato.pdf/", pdf)
    content, _, meta, name = reader._resolve_document("  " + url.replace("http", "HTTP") + "  ")
    assert content == pdf
    assert name == meta.filename == "contrato.pdf"
    assert files.paths == ["/docs/contrato.pdf/"]
    assert reader._resolve_document(url, filename="dado.pdf")[3] == "dado.pdf"


def test_url_with_empty_path_gets_the_default_name(reader, files):
    files.serve("/", text_page_pdf(["um"]))
    assert reader._resolve_document(files.base)[3] == "document.pdf"


def test_internal_url_is_never_fetched(reader, files):
    files.serve("/segredo.pdf", text_page_pdf(["um"]))
    for url in (
        f"http://localhost:{files.port}/segredo.pdf",
        "http://10.0.0.5/x.pdf",
        "https://169.254.169.254/latest/meta-data",
        "http:///sem-host.pdf",
    ):
        with pytest.raises(DocumentError) as info:
            reader._resolve_document(url)
        assert str(info.value) == "URL aponta para endereco interno ou reservado."
    assert files.paths == []


def test_download_failures(reader, files):
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(files.url("/nada.pdf"))
    assert str(info.value).startswith("Falha ao obter documento da URL: 404 Client Error")

    files.serve("/vazio.pdf", b"")
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(files.url("/vazio.pdf"))
    assert str(info.value) == "Conteúdo do documento vazio ou inválido."


def test_download_without_http_client(reader, files, monkeypatch):
    monkeypatch.setattr(reader_mod, "requests", None)
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(files.url("/x.pdf"))
    assert str(info.value).startswith("Falha ao obter documento da URL: ")


def test_redirects_are_followed_and_each_hop_is_checked(reader, files):
    pdf = text_page_pdf(["um"])
    files.serve("/final.pdf", pdf)
    files.redirect("/a", "/b", 301)
    files.redirect("/b", files.url("/final.pdf"), 307)
    content, _, _, name = reader._resolve_document(files.url("/a"))
    assert content == pdf and name == "a"
    assert files.paths == ["/a", "/b", "/final.pdf"]

    files.paths.clear()
    files.serve("/segredo.pdf", pdf)
    files.redirect("/fuga", f"http://localhost:{files.port}/segredo.pdf")
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(files.url("/fuga"))
    assert str(info.value) == "URL aponta para endereco interno ou reservado."
    assert files.paths == ["/fuga"]


def test_redirect_chain_is_bounded(reader, files):
    pdf = text_page_pdf(["um"])
    files.serve("/fim.pdf", pdf)
    for i in range(6):
        files.redirect(f"/r{i}", f"/r{i + 1}")
    files.redirect("/r6", "/fim.pdf")
    # Five redirects are followed ...
    assert reader._resolve_document(files.url("/r2"))[0] == pdf
    # ... a sixth is not.
    files.paths.clear()
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(files.url("/r1"))
    assert str(info.value).startswith("Falha ao obter documento da URL: ")
    assert "/fim.pdf" not in files.paths


def test_redirect_to_another_scheme_is_a_download_failure(reader, files):
    files.redirect("/ftp", "ftp://8.8.8.8/doc.pdf")
    with pytest.raises(DocumentError) as info:
        reader._resolve_document(files.url("/ftp"))
    assert str(info.value).startswith("Falha ao obter documento da URL: ")


def test_oversized_download_is_abandoned_early(files):
    small = Vorlex(openai_api_key="k", max_file_size_mb=1)
    url = files.stream("/grande.pdf", 64 * MB)
    with pytest.raises(DocumentError) as info:
        small._resolve_document(url)
    message = str(info.value)
    assert message.startswith("Documento excede o limite de 1MB (")
    files.wait_stream_end()
    # The client stopped a little after the first megabyte, not at the end of the body.
    assert files.streamed["/grande.pdf"] < 16 * MB


def test_declared_oversized_download_fails_before_the_body(files):
    small = Vorlex(openai_api_key="k", max_file_size_mb=1)
    url = files.stream("/declarado.pdf", 64 * MB, declare_length=True)
    with pytest.raises(DocumentError) as info:
        small._resolve_document(url)
    assert str(info.value) == "Documento excede o limite de 1MB (64.0MB)."
    files.wait_stream_end()
    assert files.streamed["/declarado.pdf"] < 16 * MB


def test_download_of_exactly_the_limit_passes(files):
    small = Vorlex(openai_api_key="k", max_file_size_mb=1)
    pdf = text_page_pdf(["um"])
    body = pdf + b"\0" * (MB - len(pdf))  # trailing bytes after %%EOF are tolerated
    url = files.serve("/limite.pdf", body)
    content, _, meta, _ = small._resolve_document(url)
    assert len(content) == MB and meta.num_pages == 1


def test_scanned_pdf_metadata_marks_it_for_ocr(reader):
    _, mapping, meta, _ = reader._resolve_document(mixed_pdf(["scan", "scan"]))
    assert mapping["doc_type"] == meta.doc_type == "image"
