"""Vorlex demonstration: build a sample contract PDF, read it page by page, screen it
for contract vocabulary and check the CNPJ numbers it quotes.

With OPENAI_API_KEY (or another provider's key) set, it also asks a model two
questions about the document through the reader.

    python examples/demo.py [--out sample.pdf]
"""

import argparse
import os
import pathlib
import re
import sys
import tempfile

SAMPLE_PAGES = [
    "CONTRATO DE PRESTAÇÃO DE SERVIÇOS\n\n"
    "Pelo presente instrumento, ACME SOLUÇÕES LTDA, inscrita no CNPJ sob o nº "
    "11.222.333/0001-81, com sede na Avenida Paulista, 1000, São Paulo/SP, neste ato "
    "representada por seu sócio João da Silva, doravante denominada CONTRATANTE, e "
    "BETA SERVIÇOS S.A., CNPJ 11.444.777/0001-61, doravante denominada CONTRATADA.",
    "CLÁUSULA PRIMEIRA - DO OBJETO\nPrestação de serviços de consultoria.\n\n"
    "CLÁUSULA SEGUNDA - DO VALOR E PAGAMENTO\nO valor mensal é de R$ 10.000,00.\n\n"
    "CLÁUSULA TERCEIRA - DA VIGÊNCIA\nDoze meses a contar da assinatura.",
    "CLÁUSULA QUARTA - DO FORO\nFica eleito o foro da Comarca de São Paulo.\n\n"
    "São Paulo, 1º de março de 2026.\n\nAssinado com certificado digital ICP-Brasil.\n"
    "João da Silva - ACME SOLUÇÕES LTDA\nMaria Souza - BETA SERVIÇOS S.A.\nTestemunha: Ana Lima",
]


def build_sample_pdf(path: str) -> None:
    import pymupdf as fitz

    doc = fitz.open()
    for text in SAMPLE_PAGES:
        page = doc.new_page()
        page.insert_textbox(fitz.Rect(50, 50, 545, 800), text, fontsize=11)
    doc.save(path)
    doc.close()


def main(argv: "list[str] | None" = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", help="where to write the sample PDF")
    args = parser.parse_args(argv)
    out = pathlib.Path(args.out or os.path.join(tempfile.mkdtemp(), "contrato-exemplo.pdf"))
    build_sample_pdf(str(out))
    print(f"Sample document: {out}")

    from vorlex.utils import get_document_metadata, load_pdf

    data = out.read_bytes()
    meta = get_document_metadata(data, filename=out.name)
    print(f"Pages: {meta['num_pages']}  type: {meta['doc_type']}  size: {meta['size_kb']} KB")
    pages = load_pdf(str(out))
    for page in pages:
        first = " ".join(page.text.split())[:90]
        print(f"  page {page.metadata.get('page')}: [{page.metadata.get('source')}] {first}...")

    from vorlex.contract.countries.br.keywords import validar_documento_contrato

    text = "\n".join(p.text for p in pages)
    is_contract, count, found = validar_documento_contrato(text)
    print(
        f"Contract screen: {'contract' if is_contract else 'not a contract'} "
        f"({count} keywords: {', '.join(found[:8])}{'...' if len(found) > 8 else ''})"
    )

    from vorlex.contract.countries.br.cnpj import formatar_cnpj, limpar_cnpj, validar_cnpj

    for raw in sorted(set(re.findall(r"\d{2}\.\d{3}\.\d{3}/\d{4}-\d{2}", text))):
        status = "valid" if validar_cnpj(raw) else "INVALID"
        print(f"CNPJ {formatar_cnpj(limpar_cnpj(raw))}: {status}")

    if any(os.environ.get(k) for k in ("OPENAI_API_KEY", "GOOGLE_API_KEY", "XAI_API_KEY")):
        from vorlex import Vorlex

        reader = Vorlex(verbose=True)
        reader.add_question(
            Vorlex.create_question("partes", "Partes", "Quem são as partes deste contrato?\n\n{texto}")
        )
        reader.add_question(
            Vorlex.create_question(
                "valor", "Valor", "Qual o valor mensal do contrato?\n\n{texto}", keywords=["valor"]
            )
        )
        result = reader.process(str(out))
        for r in result.results:
            print(f"{r.question_name}: {r.answer} [{r.status}, {r.metrics.tokens} tokens]")
        print(f"Total: {result.total_metrics.tokens} tokens, US$ {result.total_metrics.cost_usd}")
    else:
        print("(set OPENAI_API_KEY to also ask a model about the document)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
