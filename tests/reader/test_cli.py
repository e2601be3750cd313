"""The command-line front end, end to end against the local chat server."""

import json

import pymupdf

from vorlex.__main__ import main


def make_pdf(path, text):
    doc = pymupdf.open()
    doc.new_page().insert_textbox(pymupdf.Rect(50, 50, 550, 800), text, fontsize=11)
    doc.save(path)
    doc.close()


def test_cli_asks_each_document(tmp_path, chat_server, monkeypatch, capsys):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    monkeypatch.setenv("OPENAI_BASE_URL", chat_server.base_url)
    a, b = tmp_path / "a.pdf", tmp_path / "b.pdf"
    make_pdf(a, "Contrato entre ACME e BETA, valor de R$ 10.000,00.")
    make_pdf(b, "Segundo documento {com chaves} no texto.")
    assert main([str(a), str(b), "--ask", "Qual o valor?", "--json", "--workers", "1"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert [r["document"]["filename"] for r in out] == ["a.pdf", "b.pdf"]
    assert [r["results"][0]["status"] for r in out] == ["OK", "OK"]
    prompts = [req["body"]["messages"][-1]["content"] for req in chat_server.requests]
    # The question without {texto} gets the document appended; its own text is literal.
    assert prompts[0].startswith("Qual o valor?\n\n") and "ACME" in prompts[0]
    assert "{com chaves}" in prompts[1]
