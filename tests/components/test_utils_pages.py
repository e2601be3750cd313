"""filter_relevant_pages and extract_main_response."""

from __future__ import annotations

import unicodedata
from types import SimpleNamespace

import pytest
from hypothesis import given, settings, strategies as st
from llama_index.core.schema import Document
from pydantic import BaseModel

import vorlex.utils as utils


def fold(text: str) -> str:
    """The keyword screen's normalisation, as Python spells it."""
    nfd = unicodedata.normalize("NFD", text)
    return "".join(c for c in nfd if unicodedata.category(c) != "Mn").lower()


def oracle(texts, keywords):
    folded = [fold(k) for k in keywords]
    selected, hits = [], [0] * len(keywords)
    for i, text in enumerate(texts):
        t = fold(text)
        found = [k in t for k in folded]
        for j, f in enumerate(found):
            hits[j] += f
        if not keywords or any(found):
            selected.append(i)
    return selected, hits


def pages_of(*texts):
    return [Document(text=t, metadata={"page": i + 1, "source": "text"}) for i, t in enumerate(texts)]


def test_keywords_match_without_accents_or_case():
    pages = pages_of("CLÁUSULA PRIMEIRA", "nada aqui", "Rescisão do contrato", "vigencia")
    selected, summary = utils.filter_relevant_pages(pages, ["clausula", "RESCISAO"])
    assert selected == [pages[0], pages[2]]  # the same objects, in page order
    assert summary == {"total_pages": 4, "relevant_pages": 2, "keyword_hits": {"clausula": 1, "RESCISAO": 1}}


def test_accented_keyword_finds_unaccented_text_and_substrings():
    pages = pages_of("valores em reais", "Obrigacoes das partes", "x")
    selected, summary = utils.filter_relevant_pages(pages, ["obrigações", "valor"])
    assert selected == pages[:2]
    assert summary["keyword_hits"] == {"obrigações": 1, "valor": 1}


def test_hits_count_pages_per_keyword():
    pages = pages_of("foro foro foro", "foro e valor", "valor")
    _, summary = utils.filter_relevant_pages(pages, ["foro", "valor", "ausente"])
    assert summary["keyword_hits"] == {"foro": 2, "valor": 2, "ausente": 0}
    assert summary["relevant_pages"] == 3


@pytest.mark.parametrize("keywords", [None, [], ()])
def test_no_keywords_selects_every_page(keywords):
    pages = pages_of("a", "", "c")
    selected, summary = utils.filter_relevant_pages(pages, keywords)
    assert selected == pages
    assert summary == {"total_pages": 3, "relevant_pages": 3, "keyword_hits": {}}


def test_no_page_matches():
    selected, summary = utils.filter_relevant_pages(pages_of("abc", "def"), ["xyz"])
    assert selected == [] and summary["relevant_pages"] == 0


def test_any_object_with_text_is_a_page_and_none_text_is_empty():
    pages = [SimpleNamespace(text="Foro de São Paulo"), SimpleNamespace(text=None)]
    selected, _ = utils.filter_relevant_pages(pages, ["sao paulo"])
    assert selected == [pages[0]]
    assert utils.filter_relevant_pages(pages, [])[0] == pages


def test_bad_pages_and_keywords_are_type_errors():
    with pytest.raises(TypeError, match="pages"):
        utils.filter_relevant_pages([object()], ["a"])
    with pytest.raises(TypeError, match="page text"):
        utils.filter_relevant_pages([SimpleNamespace(text=b"bytes")], ["a"])
    with pytest.raises(TypeError, match="keywords"):
        utils.filter_relevant_pages(pages_of("a"), "a")
    with pytest.raises(TypeError, match="keywords"):
        utils.filter_relevant_pages(pages_of("a"), [1])


def test_lone_surrogates_do_not_break_matching():
    pages = pages_of("abc\ud800 cláusula", "\udfff")
    selected, _ = utils.filter_relevant_pages(pages, ["CLAUSULA", "\udfff"])
    assert selected == pages


TEXT = st.text(
    alphabet=st.one_of(
        st.characters(codec="utf-8"),
        # accents, composed and combining; sigma in every position; characters whose
        # folding is unusual (İ, ǅ, ẞ); non-spacing marks with high classes; spacing
        # non-starters and their compositions (U+1D165, U+1D15E); Hangul; odd spaces
        st.sampled_from(
            "aeiouçÁÉÍÓÚãõâêÂ\u0301\u0303\u0327\u0300\u0345ǅΣσςİẞßΑ한"
            "\U0001d165\U0001d16d\U0001d15e\u0903\u20dd\u0f73"
            "\u00a0\u2003\u2028\u3000\t\n\x1c\x85 "
        ),
    ),
    max_size=60,
)


@settings(max_examples=400, deadline=None)
@given(st.lists(TEXT, max_size=6), st.lists(TEXT, max_size=4))
def test_filter_agrees_with_python_oracle(texts, keywords):
    pages = pages_of(*texts)
    selected, summary = utils.filter_relevant_pages(pages, keywords)
    want_idx, want_hits = oracle(texts, keywords)
    assert selected == [pages[i] for i in want_idx]
    expected_hits = {}
    for k, h in zip(keywords, want_hits, strict=True):
        expected_hits[k] = h  # a repeated keyword keeps its last count, like a dict
    assert summary["keyword_hits"] == expected_hits


@settings(max_examples=200, deadline=None)
@given(TEXT, TEXT, TEXT)
def test_keyword_found_inside_decorated_text(prefix, word, suffix):
    # whatever surrounds it, a word written with accents and capitals is found by its
    # plain lower-case spelling whenever the oracle says so
    text = prefix + word.upper() + suffix
    selected, _ = utils.filter_relevant_pages(pages_of(text), [fold(word)])
    assert bool(selected) == (fold(word) in fold(text))


# -- extract_main_response ---------------------------------------------------------------


class One(BaseModel):
    cnpj: str


class Two(BaseModel):
    nome: str
    idade: int


class Nested(BaseModel):
    partes: list[Two]


def test_single_field_answer_reports_its_value():
    assert utils.extract_main_response(One(cnpj="11.222.333/0001-81")) == "11.222.333/0001-81"
    assert utils.extract_main_response(Nested(partes=[Two(nome="A", idade=1)])) == [{"nome": "A", "idade": 1}]


def test_multi_field_answer_reports_the_mapping():
    assert utils.extract_main_response(Two(nome="Ana", idade=30)) == {"nome": "Ana", "idade": 30}


def test_mappings_and_other_answers():
    assert utils.extract_main_response({"valor": 10}) == 10
    assert utils.extract_main_response({"a": 1, "b": 2}) == {"a": 1, "b": 2}
    assert utils.extract_main_response({}) == {}
    assert utils.extract_main_response(None) is None
    assert utils.extract_main_response("texto") == "texto"
    assert utils.extract_main_response([1, 2]) == [1, 2]
