"""The contract check on a scanned contract read on this machine by Tesseract gives
the verdict it gives on the text PDF (local chat server and fake registry)."""

from __future__ import annotations

import shutil

import pytest

from components.docgen import scanned
from contract.contracts import contrato_exemplo, registros_exemplo

pytestmark = pytest.mark.skipif(shutil.which("tesseract") is None, reason="Tesseract not installed")


@pytest.mark.parametrize("partner_attorney", [True, False], ids=["approved", "rejected"])
def test_the_scan_gets_the_text_pdfs_verdict(
    partner_attorney, make_checker, registry, chat_server, tmp_path, monkeypatch
):
    contract = contrato_exemplo()
    registry.brasil_api.update(
        registros_exemplo(procurador_socio=partner_attorney, endereco_beta_confere=True)
    )
    chat_server.responder = contract.responder()
    text_pdf = contract.write(tmp_path / "contrato.pdf")
    scan = tmp_path / "contrato-digitalizado.pdf"
    scan.write_bytes(scanned(text_pdf.read_bytes()))

    on_text = make_checker(verbose=False).verificar(str(text_pdf))
    monkeypatch.setenv("VORLEX_OCR_ENGINE", "tesseract")
    on_scan = make_checker(verbose=False).verificar(str(scan))

    assert on_text["resultado_final"] == ("APROVADO" if partner_attorney else "REPROVADO")
    for key in ("resultado_final", "campos_aprovados", "campos_reprovados", "campos_pendentes"):
        assert on_scan[key] == on_text[key], key
    # The scan has no text of its own: what the model was shown came from Tesseract.
    from vorlex.utils import load_pdf

    assert all(not p.text.strip() for p in load_pdf(str(scan)))
    scan_prompts = [r["body"]["messages"][-1]["content"] for r in chat_server.requests[3:]]
    assert len(scan_prompts) == 3 and any("CONTRATO DE PRESTAÇÃO" in p for p in scan_prompts)


def test_ocr_engine_given_to_the_checker_reads_the_scan_on_this_machine(
    make_checker, registry, chat_server, tmp_path, monkeypatch
):
    """ocr_engine="tesseract" as an argument, no VORLEX_OCR_ENGINE: the checker's reader
    reads the scanned pages with Tesseract."""
    monkeypatch.delenv("VORLEX_OCR_ENGINE", raising=False)
    contract = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    chat_server.responder = contract.responder()
    text_pdf = contract.write(tmp_path / "contrato.pdf")
    scan = tmp_path / "contrato-digitalizado.pdf"
    scan.write_bytes(scanned(text_pdf.read_bytes()))

    checker = make_checker(verbose=False, ocr_engine="tesseract")
    result = checker.verificar(str(scan))

    assert checker._client._ocr_engine == "tesseract"
    assert result["resultado_final"] == "APROVADO"
    prompts = [r["body"]["messages"][-1]["content"] for r in chat_server.requests]
    assert len(prompts) == 3 and any("CONTRATO DE PRESTAÇÃO" in p for p in prompts)
