"""Offline OCR with Tesseract: a scanned contract read back on this machine (character
error rate against the original text, the keyword screen and the CNPJ numbers), pages
in order on several worker processes, the engine setting, and a missing engine or
language treated as an OCR failure with one warning."""

from __future__ import annotations

import logging
import re
import shutil

import pytest

import vorlex.ocr as ocr
from components.docgen import scanned
from contract.contracts import contrato_exemplo
from vorlex.contract.countries.br.cnpj import validar_cnpj
from vorlex.contract.countries.br.keywords import validar_documento_contrato
from vorlex.reader import Vorlex
from vorlex.utils import load_pdf

pytestmark = pytest.mark.skipif(shutil.which("tesseract") is None, reason="Tesseract not installed")

CNPJ = re.compile(r"\d{2}\.\d{3}\.\d{3}/\d{4}-\d{2}")


def levenshtein(a: str, b: str) -> int:
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ca != cb)))
        prev = cur
    return prev[-1]


def words(text: str) -> str:
    # Signature lines (runs of underscores) are drawn rules to a reader, not text.
    return " ".join(re.sub(r"_{3,}", " ", text).split())


@pytest.fixture(scope="module")
def contract():
    text_pdf = contrato_exemplo().pdf_bytes()
    return text_pdf, scanned(text_pdf)


@pytest.fixture(scope="module")
def read_back(contract):
    _text_pdf, scan = contract
    return ocr.process_pdf_smart(scan, ocr_engine="tesseract")


def test_a_scan_reads_back_within_three_percent(contract, read_back):
    text_pdf, _ = contract
    original = load_pdf(text_pdf)
    assert [p.metadata for p in read_back] == [
        {"page": i + 1, "source": "ocr", "ocr_failed": False, "ocr_engine": "tesseract"}
        for i in range(len(original))
    ]
    for want, got in zip(original, read_back, strict=True):
        a, b = words(want.text), words(got.text)
        assert levenshtein(a, b) / len(a) <= 0.03, (a, b)


def test_the_screen_and_the_cnpjs_agree_with_the_text_pdf(contract, read_back):
    text_pdf, _ = contract
    text = "\n".join(p.text for p in load_pdf(text_pdf))
    scan_text = "\n".join(p.text for p in read_back)
    assert validar_documento_contrato(scan_text) == validar_documento_contrato(text)
    numbers = CNPJ.findall(text)
    assert len(numbers) == 2
    assert CNPJ.findall(scan_text) == numbers
    assert [validar_cnpj(n) for n in CNPJ.findall(scan_text)] == [True, True]


def test_pages_keep_their_order_on_worker_processes(monkeypatch):
    import pymupdf

    doc = pymupdf.open()
    for i in range(5):
        doc.new_page().insert_textbox(
            pymupdf.Rect(60, 60, 540, 400), f"PAGINA NUMERO {i + 1}\nCONTRATO DE TESTE", fontsize=22
        )
    scan = scanned(doc.tobytes())
    monkeypatch.setattr(ocr, "TESSERACT_WORKERS", 2)
    pages = ocr.load_pdf_with_ocr(scan, ocr_engine="tesseract")
    assert [re.search(r"PAGINA NUMERO (\d)", p.text).group(1) for p in pages] == list("12345")


@pytest.mark.parametrize("fault", ["language", "folder", "name too long"])
def test_a_missing_language_or_engine_is_one_warning_and_an_ocr_failure(fault, contract, monkeypatch, caplog):
    caplog.set_level(logging.INFO, logger="vorlex.ocr")
    if fault == "language":
        monkeypatch.setenv("VORLEX_OCR_LANGUAGES", "por+xyz")
    elif fault == "name too long":  # no file system holds the name: no data either
        monkeypatch.setenv("VORLEX_OCR_LANGUAGES", "por+" + "x" * 300)
    else:
        monkeypatch.setenv("TESSDATA_PREFIX", "/nao/existe")
    pages = ocr.load_pdf_with_ocr(contract[1], ocr_engine="tesseract")
    assert pages == []  # nothing read, nothing invented
    warnings = [
        r.getMessage()
        for r in caplog.records
        if r.levelno == logging.WARNING and r.getMessage().startswith("Tesseract não disponível: ")
    ]
    assert len(warnings) == 1
    assert {
        "language": "sem dados do idioma 'xyz'",
        "folder": "/nao/existe",
        "name too long": "sem dados do idioma 'xxx",
    }[fault] in warnings[0]
    pages_in_scan = len(load_pdf(contract[0]))
    assert sum("OCR não retornou texto" in r.getMessage() for r in caplog.records) == pages_in_scan


def test_the_vision_model_still_follows_an_empty_reading_in_auto(monkeypatch):
    import pymupdf

    doc = pymupdf.open()
    page = doc.new_page()
    page.draw_rect(pymupdf.Rect(100, 100, 110, 110), color=(0.5, 0.5, 0.5), fill=(0.5, 0.5, 0.5))
    blank_scan = scanned(doc.tobytes())
    asked = []

    def caller(messages, response_model=None):
        asked.append(messages)
        return "texto lido pelo modelo de visão"

    monkeypatch.setattr(ocr, "TESSERACT_WORKERS", 1)
    monkeypatch.setattr(ocr, "perform_vision_fallback", lambda img, **kw: kw["llm_caller"]([], None))
    pages = ocr.load_pdf_with_ocr(blank_scan, ocr_engine="tesseract", ocr_fallback="auto", llm_caller=caller)
    assert len(asked) == 1
    assert pages[0].text == "texto lido pelo modelo de visão"
    assert pages[0].metadata["source"] == "vision_fallback" and "ocr_engine" not in pages[0].metadata


def test_the_engine_setting(monkeypatch):
    from unittest import mock

    import vorlex.reader as reader_mod

    assert Vorlex(openai_api_key="sk")._ocr_engine == "azure"
    assert Vorlex(openai_api_key="sk", ocr_engine="tesseract")._ocr_engine == "tesseract"
    monkeypatch.setenv("VORLEX_OCR_ENGINE", "Tesseract")
    reader = Vorlex(openai_api_key="sk")
    assert reader._ocr_engine == "tesseract"
    with pytest.raises(ValueError, match="ocr_engine must be 'azure' or 'tesseract'"):
        Vorlex(openai_api_key="sk", ocr_engine="easyocr")
    monkeypatch.setenv("VORLEX_OCR_ENGINE", "nuvem")
    with pytest.raises(ValueError, match="VORLEX_OCR_ENGINE"):
        ocr.process_pdf_smart(b"%PDF-1.4")
    monkeypatch.delenv("VORLEX_OCR_ENGINE")
    # The reader names the engine to the loader only when it is not the cloud one.
    scan = scanned(contrato_exemplo().pdf_bytes())
    with mock.patch.object(reader_mod, "process_pdf_smart", return_value=[]) as smart:
        reader._load_documents(scan, {"doc_type": "image"}, "x.pdf")
        Vorlex(openai_api_key="sk")._load_documents(scan, {"doc_type": "image"}, "x.pdf")
    assert smart.call_args_list[0].kwargs["ocr_engine"] == "tesseract"
    assert "ocr_engine" not in smart.call_args_list[1].kwargs


def test_workers_never_run_the_callers_script_again(tmp_path):
    """A script without a __main__ guard (as many are) reads a scan on two workers: its
    top level runs once."""
    import os
    import subprocess
    import sys
    import textwrap

    script = tmp_path / "sem_guarda.py"
    script.write_text(
        textwrap.dedent("""
        print("topo do script")
        from components.docgen import scanned
        from contract.contracts import contrato_exemplo
        import vorlex.ocr as ocr
        ocr.TESSERACT_WORKERS = 2
        pages = ocr.load_pdf_with_ocr(scanned(contrato_exemplo().pdf_bytes()), ocr_engine="tesseract")
        print(len(pages), sorted({p.metadata.get("ocr_engine") for p in pages}))
    """)
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=300, cwd=str(tmp_path)
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines.count("topo do script") == 1
    assert lines[-1].endswith("['tesseract']") and int(lines[-1].split()[0]) >= 2


def _numbered_scan(pages):
    import pymupdf

    doc = pymupdf.open()
    for i in range(pages):
        doc.new_page().insert_textbox(
            pymupdf.Rect(60, 60, 540, 400), f"PAGINA NUMERO {i + 1}\nCONTRATO DE TESTE", fontsize=22
        )
    return scanned(doc.tobytes())


def test_workers_import_nothing_from_the_folder_the_program_runs_in(tmp_path):
    """A program run from a folder holding a pickle.py (and a relative path to its scan):
    the workers neither import that module nor lose the document."""
    import os
    import subprocess
    import sys
    import textwrap

    here = tmp_path / "pasta"
    here.mkdir()
    (here / "scan.pdf").write_bytes(_numbered_scan(2))
    (here / "pickle.py").write_text(
        textwrap.dedent("""
        import pathlib
        pathlib.Path(__file__).with_name("importado").write_text("sim")
        raise ImportError("pickle.py da pasta atual")
    """)
    )
    script = tmp_path / "ler.py"
    script.write_text(
        textwrap.dedent("""
        import re
        import vorlex.ocr as ocr
        ocr.TESSERACT_WORKERS = 2
        pages = ocr.load_pdf_with_ocr("scan.pdf", ocr_engine="tesseract")
        print([re.search(r"PAGINA NUMERO (\\d)", p.text).group(1) for p in pages])
    """)
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=300, cwd=str(here)
    )
    assert run.returncode == 0, run.stderr
    assert not (here / "importado").exists()
    assert run.stdout.splitlines()[-1] == "['1', '2']", run.stdout + run.stderr


@pytest.fixture
def two_workers(monkeypatch):
    monkeypatch.setattr(ocr, "TESSERACT_WORKERS", 2)


def test_what_pymupdf_prints_on_a_damaged_page_fails_that_page_only(two_workers, caplog):
    """A page whose image stream is not the zlib data it claims: MuPDF reports the error
    on standard output while the worker reads it; the other pages are read."""
    import pymupdf

    doc = pymupdf.open("pdf", _numbered_scan(4))
    image_xref = doc[1].get_images()[0][0]
    doc.update_stream(image_xref, b"x\x9c" + b"\x00\xff" * 4000, compress=False)
    doc.xref_set_key(image_xref, "Filter", "/FlateDecode")
    damaged = doc.tobytes()
    caplog.set_level(logging.INFO, logger="vorlex.ocr")
    pages = ocr.load_pdf_with_ocr(damaged, ocr_engine="tesseract")
    read = {p.metadata["page"]: p.text for p in pages}
    assert {1, 3, 4} <= set(read)
    assert all(f"PAGINA NUMERO {n}" in read[n] for n in (1, 3, 4))
    assert not read.get(2, "").strip().startswith("PAGINA NUMERO 2")


def test_an_unreadable_answer_is_one_warning_and_its_pages_ocr_failures(
    two_workers, tmp_path, monkeypatch, caplog
):
    """Workers that end well but answer what is not a pickle (here every worker is a
    stand-in that prints text): one warning per answer, no exception, nothing invented."""
    import os
    import sys

    fake = tmp_path / "python-falso"
    fake.write_text("#!/bin/sh\ncat > /dev/null\nprintf 'MuPDF error: zlib error\\n'\n")
    os.chmod(fake, 0o755)
    monkeypatch.setattr(sys, "executable", str(fake))
    caplog.set_level(logging.INFO, logger="vorlex.ocr")
    pages = ocr.load_pdf_with_ocr(_numbered_scan(3), ocr_engine="tesseract")
    assert pages == []
    unreadable = [
        r for r in caplog.records if r.levelno == logging.WARNING and "Resposta ilegível" in r.getMessage()
    ]
    assert len(unreadable) == 2  # one per worker
    assert sum("OCR não retornou texto" in r.getMessage() for r in caplog.records) == 3
