"""Address comparison: the examples of the rules, type checks, and differential
properties of the normalisation and the comparison against a re-based oracle."""

import re
import unicodedata
from collections import OrderedDict
from fractions import Fraction
from types import MappingProxyType

import pytest
from hypothesis import given, settings, strategies as st

from vorlex.contract.countries.br.cnpj import (
    DEFAULT_ADDRESS_SIMILARITY_THRESHOLD,
    _normalizar_endereco,
    comparar_enderecos,
)

# -- oracle ------------------------------------------------------------------------------------
SUBS = [
    (r"\s+", " "), (r"(?<=\d)[.\-](?=\d)", ""), (r"[.,;:\-/\\]", " "), (r"\bn[ºo]?\s*", ""), (r"\brua\b", "r"),
    (r"\bavenida\b", "av"), (r"\bavda?\b", "av"), (r"\btravessa\b", "tv"), (r"\bpracas?\b", "pc"),
    (r"\bedificio\b", "ed"), (r"\bpredio\b", "ed"), (r"\bconjunto\b", "cj"), (r"\bconj\b", "cj"),
    (r"\bsala\b", "sl"), (r"\bandar\b", "and"), (r"\bbairro\b", ""), (r"\bcep\b", ""),
]
KEYS = ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]


def o_norm(e):
    if not e:
        return ""
    t = "".join(c for c in unicodedata.normalize("NFD", e) if unicodedata.category(c) != "Mn")
    t = t.lower().strip()
    for pattern, repl in SUBS:
        t = re.sub(pattern, repl, t)
    return t.strip()


def o_comparar(contrato, dados, threshold=0.85):
    if not contrato or not dados:
        return (False, 0.0, "")
    end = dados.get("endereco", {})
    receita = " ".join(end[k] for k in KEYS if end.get(k))
    if not receita:
        return (False, 0.0, "")
    a, b = o_norm(contrato), o_norm(receita)
    if a == b:
        return (True, 1.0, receita)
    if a in b or b in a:
        return (True, 0.9, receita)
    pa = {w for w in a.split() if len(w) > 2}
    pb = {w for w in b.split() if len(w) > 2}
    if not pa or not pb:
        return (False, 0.0, receita)
    sim = len(pa & pb) / len(pa | pb)
    return (sim >= threshold, sim, receita)


# -- strategies -----------------------------------------------------------------------------------
WORDS = ["rua", "Rua", "RUA", "avenida", "Av.", "avd", "avda", "avdas", "travessa", "praça", "Praças",
         "edifício", "Prédio", "conjunto", "conj", "sala", "andar", "bairro", "CEP", "nº", "Nº", "no",
         "n", "N.", "nova", "nono", "São", "João", "paulista", "1000", "01310-100", "_rua", "rua_",
         "ruas", "ª", "º", "ñ", "ño", "nºº", "n\u0303o", "Ⅻ", "١٢", "ﬁ", "İ", "ΣΑΣ"]
SPACES = [" ", "  ", "\t", "\n", "\x1c", "\x85", "\u00a0", "\u2028", "\u3000", "\u200b"]
PUNCT = list(".,;:-/\\") + ["(", ")", "'", "\u0301", "\u0327", "\u20dd"]

address_text = st.lists(
    st.one_of(st.sampled_from(WORDS), st.sampled_from(SPACES), st.sampled_from(PUNCT),
              st.text(max_size=3)),
    max_size=14,
).map("".join)


# -- examples ---------------------------------------------------------------------------------------
PAULISTA = {"endereco": {"logradouro": "AV PAULISTA", "numero": "1000", "complemento": "",
                         "bairro": "BELA VISTA", "cidade": "SAO PAULO", "uf": "SP", "cep": "01310100"}}


def test_paulista_six_of_seven():
    ok, sim, receita = comparar_enderecos("Av Paulista 1000, Bela Vista, São Paulo", PAULISTA)
    assert ok is True and sim == pytest.approx(6 / 7)
    assert receita == "AV PAULISTA 1000 BELA VISTA SAO PAULO SP 01310100"
    assert DEFAULT_ADDRESS_SIMILARITY_THRESHOLD == 0.85


PALMEIRAS = {"endereco": {"logradouro": "RUA DAS PALMEIRAS", "numero": "1250", "complemento": "SALA 804",
                          "bairro": "FUNCIONARIOS", "cidade": "BELO HORIZONTE", "uf": "MG",
                          "cep": "30140071"}}


@pytest.mark.parametrize("contrato", [
    "Rua das Palmeiras, nº 1.250, sala 804, Bairro Funcionários, Belo Horizonte/MG, CEP 30140-071",
    "Rua das Palmeiras, nº 1250, sala 804, Bairro Funcionários, Belo Horizonte/MG, CEP 30140071",
])
def test_postal_code_and_house_number_as_the_registry_writes_them(contrato):
    assert comparar_enderecos(contrato, PALMEIRAS) == (
        True, 1.0, "RUA DAS PALMEIRAS 1250 SALA 804 FUNCIONARIOS BELO HORIZONTE MG 30140071")


def test_a_more_complete_address_does_not_score_lower():
    curto = comparar_enderecos("Rua das Palmeiras 1250, Funcionários, Belo Horizonte", PALMEIRAS)[1]
    completo = comparar_enderecos("Rua das Palmeiras 1.250, Funcionários, Belo Horizonte, CEP 30140-071",
                                  PALMEIRAS)[1]
    assert completo >= curto


def test_dot_or_dash_joins_only_digits():
    assert _normalizar_endereco("30140-071") == "30140071"
    assert _normalizar_endereco("1.250.300") == "1250300"
    assert _normalizar_endereco("bloco a-3, 12-b, 7.") == "bloco a 3  12 b  7"
    assert _normalizar_endereco("1 - 2") == "1   2"
    # any decimal digit, as re's \d
    assert _normalizar_endereco("\u0661-\u0662") == "\u0661\u0662"


def test_normalisation_examples():
    assert _normalizar_endereco("Avenida Brasil") == "av brasil"
    assert _normalizar_endereco("Av. Brasil") == "av  brasil"
    assert _normalizar_endereco("Rua X") == "r x"
    assert _normalizar_endereco("Edifício Sol, Prédio Lua") == "ed sol  ed lua"
    assert _normalizar_endereco("Praças") == "pc"
    assert _normalizar_endereco("Rua Nova, nº 12") == "r va  12"
    assert _normalizar_endereco("Conj. 5 Sala 3 Andar 2 Bairro Centro CEP 01000") == "cj  5 sl 3 and 2  centro  01000"
    assert _normalizar_endereco("Praça da Sé") == "pc da se"
    assert _normalizar_endereco("") == ""
    assert _normalizar_endereco("  \t ") == ""


def test_empty_inputs():
    assert comparar_enderecos("", PAULISTA) == (False, 0.0, "")
    assert comparar_enderecos("Rua A", {}) == (False, 0.0, "")
    assert comparar_enderecos("Rua A", {"cnpj": "x"}) == (False, 0.0, "")
    assert comparar_enderecos("Rua A", {"endereco": {k: "" for k in KEYS}}) == (False, 0.0, "")


def test_containment_beats_any_threshold():
    assert comparar_enderecos("av paulista 1000", PAULISTA, 0.95) == (True, 0.9, "AV PAULISTA 1000 BELA VISTA SAO PAULO SP 01310100")
    ok, sim, _ = comparar_enderecos("av paulista, 1000", PAULISTA, 0.95)
    assert (ok, sim) == (False, pytest.approx(2 / 7))
    assert comparar_enderecos("..,;", PAULISTA)[:2] == (True, 0.9)


def test_identical_and_word_rules():
    end = {"endereco": {"logradouro": "Rua das Flores", "numero": "12", "uf": "RJ"}}
    assert comparar_enderecos("RUA DAS FLORES 12 RJ", end) == (True, 1.0, "Rua das Flores 12 RJ")
    # only the state differs: after equality and containment fail, the word sets are equal
    assert comparar_enderecos("Rua das Flores 12 SP x", end)[:2] == (True, 1.0)
    # six of seven words match, five of six do not
    base = {"endereco": {"logradouro": "alfa beta gama delta epsilon zeta"}}
    assert comparar_enderecos("zeta alfa beta gama delta epsilon omega", base)[:2] == (True, pytest.approx(6 / 7))
    base5 = {"endereco": {"logradouro": "alfa beta gama delta epsilon"}}
    assert comparar_enderecos("epsilon alfa beta gama delta omega", base5)[:2] == (False, pytest.approx(5 / 6))
    # exactly at the threshold matches
    assert comparar_enderecos("epsilon alfa beta gama delta omega", base5, 5 / 6)[0] is True
    assert comparar_enderecos("epsilon alfa beta gama delta omega", base5, Fraction(9, 10))[0] is False
    assert comparar_enderecos("epsilon alfa beta gama delta omega", base5, True)[0] is False
    # no long words on one side
    assert comparar_enderecos("r 1, sp", base) == (False, 0.0, "alfa beta gama delta epsilon zeta")


def test_same_cep_counts_only_as_words():
    a = {"endereco": {"logradouro": "Rua Um", "cep": "01310-100"}}
    assert comparar_enderecos("Estrada Dois 01310-100", a) == o_comparar("Estrada Dois 01310-100", a)
    assert comparar_enderecos("Estrada Dois 01310-100", a)[0] is False


def test_other_mappings_are_accepted():
    d = OrderedDict(endereco=MappingProxyType({"logradouro": "Rua X", "numero": "1"}))
    assert comparar_enderecos("Rua X 1", MappingProxyType(d)) == (True, 1.0, "Rua X 1")


def test_type_errors():
    with pytest.raises(TypeError, match="endereco_contrato"):
        comparar_enderecos(None, PAULISTA)
    with pytest.raises(TypeError, match="dados_receita"):
        comparar_enderecos("Rua A", None)
    with pytest.raises(TypeError, match="dados_receita"):
        comparar_enderecos("Rua A", [("endereco", {})])
    with pytest.raises(TypeError, match="threshold"):
        comparar_enderecos("Rua A", PAULISTA, "0.8")
    with pytest.raises(TypeError, match="endereco"):
        _normalizar_endereco(None)
    # a registry record outside the contract raises
    with pytest.raises(TypeError, match="endereco"):
        comparar_enderecos("Rua A", {"endereco": "Rua A"})
    with pytest.raises(TypeError, match="numero"):
        comparar_enderecos("Rua A", {"endereco": {"logradouro": "Rua A", "numero": 12}})
    # falsy values are skipped like empty ones
    assert comparar_enderecos("Rua A", {"endereco": {"logradouro": "Rua A", "numero": None}})[0] is True


# -- differential properties ---------------------------------------------------------------------------
@settings(max_examples=600, deadline=None)
@given(address_text)
def test_normalisation_matches_oracle(text):
    assert _normalizar_endereco(text) == o_norm(text)


@settings(max_examples=300, deadline=None)
@given(st.text(max_size=30))
def test_normalisation_matches_oracle_on_any_text(text):
    assert _normalizar_endereco(text) == o_norm(text)


@settings(max_examples=400, deadline=None)
@given(address_text, st.dictionaries(st.sampled_from(KEYS), address_text, max_size=7),
       st.floats(0, 1.2, allow_nan=False))
def test_comparison_matches_oracle(contrato, endereco, threshold):
    dados = {"endereco": endereco}
    assert comparar_enderecos(contrato, dados, threshold) == o_comparar(contrato, dados, threshold)


def test_long_address_is_normalised_like_a_short_one():
    text = "Rua Nova nº 12, Edifício São João, sala 3 — " * 5000
    assert _normalizar_endereco(text) == o_norm(text)
