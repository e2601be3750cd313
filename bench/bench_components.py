"""Benchmarks of the package components against their baselines, in one process.

    hash_document      DocumentCache.hash_document on 10 MB vs hashlib.sha256().hexdigest()
    load_pdf           vorlex.utils.load_pdf on a 200-page text PDF vs a bare PyMuPDF loop
                       building the same Document objects
    filter_relevant    filter_relevant_pages over 500 pages of ~3 KB with 7 keywords vs a
                       straightforward Python implementation of the same rule

Ratios: for hash_document and load_pdf, Vorlex time / baseline time (lower is better);
for filter_relevant, baseline time / Vorlex time (the speed-up).
"""

from __future__ import annotations

import hashlib
import os
import pathlib
import random
import sys
import unicodedata

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from _common import bare_documents, paired, print_ratios, text_pdf

# -- hash_document -------------------------------------------------------------------


def bench_hash():
    from vorlex.cache import DocumentCache

    data = os.urandom(10 * 1024 * 1024)
    assert DocumentCache.hash_document(data) == hashlib.sha256(data).hexdigest()
    v, b = paired(lambda: DocumentCache.hash_document(data), lambda: hashlib.sha256(data).hexdigest(), 15)
    return "hash_document_10mb", v, b, v / b, "<= 1.1"


# -- load_pdf ----------------------------------------------------------------------------


def bench_load_pdf():
    import vorlex.utils as utils

    data = text_pdf(200)
    ours = utils.load_pdf(data)
    theirs = bare_documents(data)
    assert [(d.text, d.metadata) for d in ours] == [(d.text, d.metadata) for d in theirs]
    v, b = paired(lambda: utils.load_pdf(data), lambda: bare_documents(data), 15)
    return "load_pdf_200_pages", v, b, v / b, "<= 1.2"


# -- filter_relevant_pages ---------------------------------------------------------------

PT_WORDS = [
    "contrato",
    "cláusula",
    "vigência",
    "pagamento",
    "rescisão",
    "foro",
    "partes",
    "objeto",
    "valor",
    "prazo",
    "serviços",
    "obrigações",
    "contratante",
    "contratada",
    "testemunhas",
    "assinatura",
    "prestação",
    "São",
    "Paulo",
    "município",
    "sociedade",
    "ações",
    "código",
    "civil",
    "é",
    "à",
    "ã",
    "não",
    "também",
]
KEYWORDS = [
    "CLÁUSULA PENAL",
    "rescisao",
    "Vigência",
    "multa",
    "foro da comarca",
    "confidencialidade",
    "reajuste",
]


def normalize(text: str) -> str:
    nfd = unicodedata.normalize("NFD", text)
    return "".join(c for c in nfd if unicodedata.category(c) != "Mn").lower()


def python_filter(pages, keywords):
    if not keywords:
        return list(pages), {"total_pages": len(pages), "relevant_pages": len(pages), "keyword_hits": {}}
    normalized = [(k, normalize(k)) for k in keywords]
    hits = dict.fromkeys(keywords, 0)
    selected = []
    for page in pages:
        text = normalize(page.text)
        relevant = False
        for k, nk in normalized:
            if nk in text:
                hits[k] += 1
                relevant = True
        if relevant:
            selected.append(page)
    return selected, {"total_pages": len(pages), "relevant_pages": len(selected), "keyword_hits": hits}


def bench_filter():
    from llama_index.core.schema import Document

    import vorlex.utils as utils

    rnd = random.Random(11)
    pages = []
    for i in range(500):
        words = []
        while sum(len(w) + 1 for w in words) < 3000:
            words.append(rnd.choice(PT_WORDS))
        if i % 7 == 0:
            words.insert(rnd.randrange(len(words)), rnd.choice(["multa", "Reajuste anual", "RESCISÃO"]))
        pages.append(Document(text=" ".join(words), metadata={"page": i + 1, "source": "text"}))
    ours = utils.filter_relevant_pages(pages, KEYWORDS)
    theirs = python_filter(pages, KEYWORDS)
    assert ours[0] == theirs[0] and ours[1] == theirs[1]
    v, b = paired(
        lambda: utils.filter_relevant_pages(pages, KEYWORDS), lambda: python_filter(pages, KEYWORDS), 9
    )
    return "filter_relevant_pages_500x3kb", v, b, b / v, ">= 5 (speed-up)"


def main():
    print_ratios((bench_hash, bench_load_pdf, bench_filter))


if __name__ == "__main__":
    main()
