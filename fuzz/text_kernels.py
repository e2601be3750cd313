"""Fuzz target: the text kernels. normalizar_texto and the keyword search of
filter_relevant_pages against a plain Python rendering of their rule (NFD, marks of
category Mn dropped, lower case; keywords as substrings), and the contract checker's
name normalisation and comparison."""

import unicodedata
from types import SimpleNamespace

import atheris

from _common import DOCUMENTED, PIECES, check, main, odd_value, text
from vorlex.contract.checker import ContractChecker
from vorlex.contract.countries.br.keywords import normalizar_texto
from vorlex.utils import filter_relevant_pages

CHECKER = ContractChecker("BR", openai_api_key="x", verbose=False, usar_ai_search=False)


def fold(s):
    decomposed = unicodedata.normalize("NFD", s)
    return "".join(c for c in decomposed if unicodedata.category(c) != "Mn").lower()


def check_normalizar(s):
    got = normalizar_texto(s)
    check(type(got) is str, "normalizar_texto must return str", s, got)
    check(got == fold(s), "normalizar_texto differs from NFD / drop Mn / lower", s, got, fold(s))


def check_filter(texts, keywords):
    pages = [SimpleNamespace(text=t) for t in texts]
    selected, summary = filter_relevant_pages(pages, keywords)
    folded = [fold(t or "") for t in texts]
    kws = [fold(k) for k in keywords or []]
    expected = [p for p, f in zip(pages, folded, strict=True) if not kws or any(k in f for k in kws)]
    check(
        type(selected) is list
        and len(selected) == len(expected)
        and all(a is b for a, b in zip(selected, expected, strict=True)),
        "filter_relevant_pages selected the wrong pages",
        texts,
        keywords,
        selected,
    )
    check(summary.get("total_pages") == len(pages), "total_pages", summary)
    check(summary.get("relevant_pages") == len(expected), "relevant_pages", summary)
    hits = {k: sum(fk in f for f in folded) for k, fk in zip(keywords or [], kws, strict=True)}
    check(summary.get("keyword_hits") == hits, "keyword_hits", texts, keywords, summary, hits)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    what = fdp.ConsumeIntInRange(0, 4)
    if what == 0:
        check_normalizar(text(fdp))
    elif what == 1:
        texts = [
            None if fdp.ConsumeIntInRange(0, 9) == 0 else text(fdp, max_parts=8)
            for _ in range(fdp.ConsumeIntInRange(0, 6))
        ]
        keywords = (
            None
            if fdp.ConsumeIntInRange(0, 7) == 0
            else [text(fdp, max_parts=3) for _ in range(fdp.ConsumeIntInRange(0, 5))]
        )
        check_filter(texts, keywords)
    elif what == 2:
        s = text(fdp)
        got = CHECKER._normalizar_texto(s)
        check(type(got) is str, "ContractChecker._normalizar_texto must return str", s, got)
    elif what == 3:
        a, b = text(fdp, max_parts=8), text(fdp, max_parts=8)
        got = CHECKER._comparar_nomes(a, b)
        check(type(got) is bool, "_comparar_nomes must return bool", a, b, got)
    else:
        # Arguments of the wrong type: a TypeError, never anything else.
        fn = fdp.PickValueInList(
            [
                normalizar_texto,
                CHECKER._normalizar_texto,
                lambda v: CHECKER._comparar_nomes(v, "x"),
                lambda v: CHECKER._comparar_nomes("x", v),
            ]
        )
        value = odd_value(fdp)
        try:
            fn(value)
        except DOCUMENTED:
            pass


def seeds():
    return [b"\x00" + p.encode("utf-8", "surrogatepass") for p in PIECES[::7]]


if __name__ == "__main__":
    main(test_one_input, "text_kernels", seeds)
