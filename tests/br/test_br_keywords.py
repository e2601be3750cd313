"""Contract keyword screen: the rules' examples, type checks, and differential
properties of the normalisation and the screen against a few-line oracle."""

import threading
import unicodedata

import pytest
from hypothesis import given, settings, strategies as st

import vorlex.contract.countries.br.keywords as kw
from vorlex.contract.countries.br.keywords import normalizar_texto, validar_documento_contrato


def o_norm(t):
    if not t:
        return ""
    return "".join(c for c in unicodedata.normalize("NFD", t) if unicodedata.category(c) != "Mn").lower()


def o_validar(t, validacao=None, exclusao=None, minimo=3):
    validacao = kw.KEYWORDS_VALIDACAO if validacao is None else validacao
    exclusao = kw.KEYWORDS_EXCLUSAO if exclusao is None else exclusao
    if not t:
        return (False, 0, [])
    n = o_norm(t)
    for e in exclusao:
        if o_norm(e) in n:
            return (False, 0, ["EXCLUSÃO: " + e])
    found = [k for k in validacao if o_norm(k) in n]
    return (len(found) >= minimo, len(found), found)


def test_constants():
    assert kw.MIN_KEYWORDS == 3
    assert len(kw.KEYWORDS_VALIDACAO) == 38 and len(kw.KEYWORDS_EXCLUSAO) == 9
    assert kw.KEYWORDS_VALIDACAO[13:15] == ["cláusula", "clausula"]
    assert kw.KEYWORDS_VALIDACAO[-1] == "icp-brasil" and kw.KEYWORDS_EXCLUSAO[-1] == "fatura"


def test_examples():
    assert validar_documento_contrato("") == (False, 0, [])
    contrato = "CONTRATO de prestação de serviços. Cláusula 1: pagamento contra NOTA FISCAL."
    assert validar_documento_contrato(contrato) == (False, 0, ["EXCLUSÃO: nota fiscal"])
    assert validar_documento_contrato("Edital do PREGÃO ELETRÔNICO nº 5") == (
        False,
        0,
        ["EXCLUSÃO: pregão eletrônico"],
    )
    assert validar_documento_contrato("Conforme a cláusula terceira, elege-se o foro") == (
        True,
        3,
        ["cláusula", "clausula", "foro"],
    )
    assert validar_documento_contrato("O foro e a testemunha") == (False, 2, ["foro", "testemunha"])
    assert validar_documento_contrato("a prestadora") == (False, 2, ["prestador", "prestadora"])
    # list order, not text order; substring matches without word boundaries
    assert validar_documento_contrato("valoração do objeto do contrato") == (
        True,
        3,
        ["contrato", "objeto", "valor"],
    )
    # the first exclusion entry in list order decides
    assert validar_documento_contrato("fatura, recibo e boleto") == (False, 0, ["EXCLUSÃO: recibo"])


def test_normalisation_examples():
    assert normalizar_texto("") == ""
    assert normalizar_texto("  Ação  ÉPICA ") == "  acao  epica "
    assert normalizar_texto("ΟΔΟΣ ΣΑΣ") == "οδος σας"


def test_module_lists_are_read_at_each_call(monkeypatch):
    monkeypatch.setattr(kw, "KEYWORDS_VALIDACAO", ["alfa", "Beta", "ÇA"])
    monkeypatch.setattr(kw, "KEYWORDS_EXCLUSAO", ["proibido"])
    monkeypatch.setattr(kw, "MIN_KEYWORDS", 2)
    assert validar_documento_contrato("ALFA beta ca") == (True, 3, ["alfa", "Beta", "ÇA"])
    assert validar_documento_contrato("alfa PROIBIDO") == (False, 0, ["EXCLUSÃO: proibido"])
    monkeypatch.setattr(kw, "KEYWORDS_VALIDACAO", ["alfa", 7])
    with pytest.raises(TypeError):
        validar_documento_contrato("alfa")


def test_empty_and_repeated_keywords(monkeypatch):
    monkeypatch.setattr(kw, "KEYWORDS_VALIDACAO", ["", "\u0301", "x", "x"])
    assert validar_documento_contrato("x") == o_validar("x", ["", "\u0301", "x", "x"], kw.KEYWORDS_EXCLUSAO)


@pytest.mark.parametrize("bad", [None, 1, b"contrato", ["contrato"]])
def test_type_errors(bad):
    with pytest.raises(TypeError, match="texto"):
        normalizar_texto(bad)
    with pytest.raises(TypeError, match="texto"):
        validar_documento_contrato(bad)


# -- differential properties -------------------------------------------------------------------------
SPECIAL = [
    "Σ",
    "ς",
    "ΑΣ",
    "Σ.",
    "A\u0301Σ",
    "İ",
    "ß",
    "ǅ",
    "ﬃ",
    "Å",
    "\u0345",
    "\U0001d165",
    "\u0f73",
    "\u1e9e",
    "\u2126",
    "ǰ",
    "\ud800",
    "\u00ad",
    "'",
    ".",
    ":",
    "ÃO",
    "É",
    "Ç",
    "ñ",
    "ⅷ",
]
WORDS = (
    list(kw.KEYWORDS_VALIDACAO)
    + list(kw.KEYWORDS_EXCLUSAO)
    + ["CLÁUSULA", "Vigência", "OBRIGAÇÕES", "Nota  Fiscal", "NOTA FISCAL"]
)
text = st.lists(
    st.one_of(
        st.text(max_size=4), st.sampled_from(SPECIAL), st.sampled_from(WORDS), st.sampled_from([" ", "\n"])
    ),
    max_size=20,
).map("".join)


@settings(max_examples=800, deadline=None)
@given(text)
def test_normalisation_matches_oracle(t):
    assert normalizar_texto(t) == o_norm(t)


@settings(max_examples=500, deadline=None)
@given(text)
def test_screen_matches_oracle(t):
    assert validar_documento_contrato(t) == o_validar(t)


@settings(max_examples=25, deadline=None)
@given(
    st.lists(st.sampled_from(WORDS[:30] + SPECIAL + ["ação", "x" * 50, "serviço"]), min_size=1, max_size=40),
    st.integers(200, 1500),
)
def test_long_texts_match_oracle(words, repeat):
    # Long enough for the GIL-free path and the four-lane scan (>= 16 KiB).
    t = (" ".join(words) + " ") * repeat
    assert normalizar_texto(t) == o_norm(t)
    assert validar_documento_contrato(t) == o_validar(t)


def test_keyword_across_slice_boundaries():
    # One occurrence placed at every offset around the scan's slice boundaries.
    base = "x" * 40000
    for at in range(9990, 10010):
        t = base[:at] + "testemunha" + base[at:]
        assert validar_documento_contrato(t) == (False, 1, ["testemunha"])
    assert validar_documento_contrato(base + "cnpj") == (False, 1, ["cnpj"])
    assert validar_documento_contrato("foro" + base) == (False, 1, ["foro"])


def test_threads_screen_at_once():
    texts = [("contrato cláusula vigência " * 40000), ("nota fiscal " + "valor " * 60000)]
    expected = [o_validar(t) for t in texts]
    results = [None, None]

    def run(i):
        for _ in range(3):
            results[i] = validar_documento_contrato(texts[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert results == expected
