"""Writes the sample documents the other examples read: a contract between two
fictitious companies (valid CNPJs; two partners, an attorney and two witnesses sign)
as a text PDF, and the same contract as a scanner would deliver it (pages rendered at
150 dpi, saved as grey JPEG images, no text layer).

    python examples/make_samples.py [FOLDER]      (default: examples/samples)
"""

from __future__ import annotations

import pathlib
import sys

import pymupdf

HERE = pathlib.Path(__file__).resolve().parent

PAGES = [
    "CONTRATO DE PRESTAÇÃO DE SERVIÇOS DE TECNOLOGIA\n\n"
    "Pelo presente instrumento particular, de um lado ACME SOLUÇÕES LTDA, pessoa jurídica "
    "de direito privado, inscrita no CNPJ sob o nº 11.222.333/0001-81, com sede na "
    "Avenida Paulista, nº 1000, sala 12, Bela Vista, São Paulo/SP, CEP 01310-100, neste "
    "ato representada por seus sócios JOÃO DA SILVA e CARLA MENDES, doravante denominada "
    "CONTRATANTE; e de outro lado BETA SERVIÇOS S.A., inscrita no CNPJ sob o nº "
    "11.444.777/0001-61, com sede na Rua das Flores, nº 250, Centro, Curitiba/PR, CEP "
    "80010-000, neste ato representada por seu procurador PEDRO ALVES, nos termos da "
    "procuração anexa, doravante denominada CONTRATADA, têm entre si justo e contratado "
    "o que segue.",
    "CLÁUSULA PRIMEIRA - DO OBJETO\n"
    "O presente contrato tem por objeto a prestação de serviços de desenvolvimento e "
    "manutenção de sistemas pela CONTRATADA à CONTRATANTE.\n\n"
    "CLÁUSULA SEGUNDA - DO VALOR E DO PAGAMENTO\n"
    "Pelos serviços, a CONTRATANTE pagará à CONTRATADA o valor mensal de R$ 25.000,00 "
    "(vinte e cinco mil reais), até o quinto dia útil de cada mês.\n\n"
    "CLÁUSULA TERCEIRA - DA VIGÊNCIA\n"
    "O contrato vigora por 12 (doze) meses a contar de 1º de março de 2026, renovável por "
    "igual período mediante termo aditivo.\n\n"
    "CLÁUSULA QUARTA - DA RESCISÃO\n"
    "Qualquer das partes poderá rescindir o contrato mediante aviso prévio de 30 dias.",
    "CLÁUSULA QUINTA - DO FORO\n"
    "Fica eleito o foro da Comarca de São Paulo/SP para dirimir as questões oriundas "
    "deste contrato.\n\n"
    "E, por estarem assim justas e contratadas, as partes assinam o presente instrumento "
    "em duas vias de igual teor, na presença das testemunhas abaixo.\n\n"
    "São Paulo, 1º de março de 2026.\n\n"
    "JOÃO DA SILVA - Sócio-Administrador - ACME SOLUÇÕES LTDA\n"
    "CARLA MENDES - Sócia - ACME SOLUÇÕES LTDA\n"
    "PEDRO ALVES - Procurador - BETA SERVIÇOS S.A.\n\n"
    "Testemunhas:\n"
    "1. MARIANA COSTA - CPF 529.982.247-25\n"
    "2. RICARDO GOMES - CPF 111.444.777-35",
]


def contract_pdf(path: pathlib.Path) -> pathlib.Path:
    doc = pymupdf.open()
    for text in PAGES:
        page = doc.new_page()
        left = page.insert_textbox(pymupdf.Rect(56, 56, 540, 790), text, fontsize=10.5, fontname="helv")
        if left < 0:
            raise ValueError("a page of the sample does not fit")
    doc.save(str(path))
    doc.close()
    return path


def scanned_pdf(source: pathlib.Path, path: pathlib.Path, dpi: int = 150) -> pathlib.Path:
    """Each page of `source` as a grey JPEG image on a page of its own size."""
    original = pymupdf.open(str(source))
    scan = pymupdf.open()
    for number in range(original.page_count):
        page = original.load_page(number)
        pix = page.get_pixmap(dpi=dpi, colorspace=pymupdf.csGRAY)
        image = pix.tobytes("jpeg", jpg_quality=80)
        out = scan.new_page(width=page.rect.width, height=page.rect.height)
        out.insert_image(out.rect, stream=image)
    scan.save(str(path), deflate=True)
    scan.close()
    original.close()
    return path


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    folder = pathlib.Path(args[0]) if args else HERE / "samples"
    folder.mkdir(parents=True, exist_ok=True)
    text = contract_pdf(folder / "contrato.pdf")
    scan = scanned_pdf(text, folder / "contrato-digitalizado.pdf")
    print(text)
    print(scan)
    return 0


if __name__ == "__main__":
    sys.exit(main())
