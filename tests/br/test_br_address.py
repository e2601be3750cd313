"""Address comparison: the examples of the rules, type checks, and differential
properties of the normalisation and the comparison against a re-based oracle."""

from collections import OrderedDict
from fractions import Fraction
from types import MappingProxyType

import pytest
from hypothesis import given, settings, strategies as st

from br import address_rules
from vorlex.contract.countries.br.cnpj import (
    DEFAULT_ADDRESS_SIMILARITY_THRESHOLD,
    _normalizar_endereco,
    comparar_enderecos,
)

# -- oracle: the rules written plainly with re (tests/br/address_rules.py) ---------------------
KEYS = address_rules.KEYS
o_norm = address_rules.normalizar
o_comparar = address_rules.comparar


# -- strategies -----------------------------------------------------------------------------------
WORDS = [
    "rua",
    "Rua",
    "RUA",
    "avenida",
    "Av.",
    "avd",
    "avda",
    "avdas",
    "travessa",
    "praça",
    "Praças",
    "edifício",
    "Prédio",
    "conjunto",
    "conj",
    "sala",
    "andar",
    "bairro",
    "CEP",
    "nº",
    "Nº",
    "no",
    "n",
    "N.",
    "nova",
    "nono",
    "São",
    "João",
    "paulista",
    "1000",
    "01310-100",
    "_rua",
    "rua_",
    "ruas",
    "ª",
    "º",
    "ñ",
    "ño",
    "nºº",
    "n\u0303o",
    "Ⅻ",
    "١٢",
    "ﬁ",
    "İ",
    "ΣΑΣ",
    "alameda",
    "Al.",
    "Qd.",
    "quadra260",
    "Lt",
    "7E",
    "setor",
    "St.",
    "Bloco",
    "BL",
    "apto.",
    "apartamento",
    "APT",
    "loja",
    "Jd.",
    "s/nº",
    "S/N",
    "s/no",
    "sem número",
    "sem nº",
    "3ª",
    "21º",
    "5°",
    "terceira",
    "Nono",
    "andar",
    "estado de",
    "Estado do",
    "Minas  Gerais",
    "São Paulo",
    "Rio de Janeiro",
    "mato grosso do sul",
    "na cidade de",
    "município",
    "número",
    "nro",
    "num",
    "n.º",
    "casa",
    "subsolo",
    "km",
    "01422-000",
    "1422000",
    "Avenida",
]
SPACES = [" ", "  ", "\t", "\n", "\x1c", "\x85", "\u00a0", "\u2028", "\u3000", "\u200b"]
PUNCT = list(".,;:-/\\") + ["(", ")", "'", "\u0301", "\u0327", "\u20dd"]

address_text = st.lists(
    st.one_of(st.sampled_from(WORDS), st.sampled_from(SPACES), st.sampled_from(PUNCT), st.text(max_size=3)),
    max_size=14,
).map("".join)


# -- examples ---------------------------------------------------------------------------------------
PAULISTA = {
    "endereco": {
        "logradouro": "AV PAULISTA",
        "numero": "1000",
        "complemento": "",
        "bairro": "BELA VISTA",
        "cidade": "SAO PAULO",
        "uf": "SP",
        "cep": "01310100",
    }
}


def test_paulista_six_of_seven():
    ok, sim, receita = comparar_enderecos("Av Paulista 1000, Bela Vista, São Paulo", PAULISTA)
    assert ok is True and sim == pytest.approx(6 / 7)
    assert receita == "AV PAULISTA 1000 BELA VISTA SAO PAULO SP 01310100"
    assert DEFAULT_ADDRESS_SIMILARITY_THRESHOLD == 0.85


PALMEIRAS = {
    "endereco": {
        "logradouro": "RUA DAS PALMEIRAS",
        "numero": "1250",
        "complemento": "SALA 804",
        "bairro": "FUNCIONARIOS",
        "cidade": "BELO HORIZONTE",
        "uf": "MG",
        "cep": "30140071",
    }
}


@pytest.mark.parametrize(
    "contrato",
    [
        "Rua das Palmeiras, nº 1.250, sala 804, Bairro Funcionários, Belo Horizonte/MG, CEP 30140-071",
        "Rua das Palmeiras, nº 1250, sala 804, Bairro Funcionários, Belo Horizonte/MG, CEP 30140071",
    ],
)
def test_postal_code_and_house_number_as_the_registry_writes_them(contrato):
    assert comparar_enderecos(contrato, PALMEIRAS) == (
        True,
        1.0,
        "RUA DAS PALMEIRAS 1250 SALA 804 FUNCIONARIOS BELO HORIZONTE MG 30140071",
    )


def test_a_more_complete_address_does_not_score_lower():
    curto = comparar_enderecos("Rua das Palmeiras 1250, Funcionários, Belo Horizonte", PALMEIRAS)[1]
    completo = comparar_enderecos(
        "Rua das Palmeiras 1.250, Funcionários, Belo Horizonte, CEP 30140-071", PALMEIRAS
    )[1]
    assert completo >= curto


def test_dot_or_dash_joins_only_digits():
    assert _normalizar_endereco("30140-071") == "30140071"
    assert _normalizar_endereco("1.250.300") == "1250300"
    assert _normalizar_endereco("bloco a-3, 12-b, 7.") == "bl a 3  12 b  7"
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
    assert (
        _normalizar_endereco("Conj. 5 Sala 3 Andar 2 Bairro Centro CEP 01000")
        == "cj  5 sl 3 and 2  centro  01000"
    )
    assert _normalizar_endereco("Praça da Sé") == "pc da se"
    assert _normalizar_endereco("") == ""
    assert _normalizar_endereco("  \t ") == ""


def test_empty_inputs():
    assert comparar_enderecos("", PAULISTA) == (False, 0.0, "")
    assert comparar_enderecos("Rua A", {}) == (False, 0.0, "")
    assert comparar_enderecos("Rua A", {"cnpj": "x"}) == (False, 0.0, "")
    assert comparar_enderecos("Rua A", {"endereco": dict.fromkeys(KEYS, "")}) == (False, 0.0, "")


def test_containment_beats_any_threshold():
    assert comparar_enderecos("av paulista 1000", PAULISTA, 0.95) == (
        True,
        0.9,
        "AV PAULISTA 1000 BELA VISTA SAO PAULO SP 01310100",
    )
    ok, sim, _ = comparar_enderecos("av paulista, 1000", PAULISTA, 0.95)
    assert (ok, sim) == (False, pytest.approx(2 / 7))
    # containment is of whole words: "30" is not the number 303
    globo = {"endereco": {"logradouro": "R LOPES QUINTAS", "numero": "303"}}
    assert comparar_enderecos("lopes quintas 30", globo)[0] is False
    assert comparar_enderecos("lopes quintas", globo) == (True, 0.9, "R LOPES QUINTAS 303")


def test_an_empty_contract_address_matches_nothing():
    for vazio in ("..,;", " - / ", "\\"):
        assert comparar_enderecos(vazio, PAULISTA) == (
            False,
            0.0,
            "AV PAULISTA 1000 BELA VISTA SAO PAULO SP 01310100",
        )


def test_identical_and_word_rules():
    end = {"endereco": {"logradouro": "Rua das Flores", "numero": "12", "uf": "RJ"}}
    assert comparar_enderecos("RUA DAS FLORES 12 RJ", end) == (True, 1.0, "Rua das Flores 12 RJ")
    # only the state differs: after equality and containment fail, the word sets are equal
    assert comparar_enderecos("Rua das Flores 12 SP x", end)[:2] == (True, 1.0)
    # six of seven words match, five of six do not
    base = {"endereco": {"logradouro": "alfa beta gama delta epsilon zeta"}}
    assert comparar_enderecos("zeta alfa beta gama delta epsilon omega", base)[:2] == (
        True,
        pytest.approx(6 / 7),
    )
    base5 = {"endereco": {"logradouro": "alfa beta gama delta epsilon"}}
    assert comparar_enderecos("epsilon alfa beta gama delta omega", base5)[:2] == (
        False,
        pytest.approx(5 / 6),
    )
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


def test_registry_values_that_are_not_text():
    # BrasilAPI's published answers send the CEP as a JSON integer (1422000 for 01422000)
    # and numbers where text was expected; null, lists and objects count as absent.
    ok = {
        "endereco": {
            "logradouro": "ALAMEDA FRANCA",
            "numero": 144,
            "complemento": None,
            "bairro": ["JARDIM PAULISTA"],
            "cidade": "SAO PAULO",
            "uf": "SP",
            "cep": 1422000,
        }
    }
    assert comparar_enderecos("Alameda Franca, 144, São Paulo/SP, CEP 01422-000", ok) == (
        True,
        1.0,
        "ALAMEDA FRANCA 144 SAO PAULO SP 01422000",
    )
    assert comparar_enderecos("Alameda Franca, 144, São Paulo/SP, CEP 01422-001", ok)[0] is False
    assert comparar_enderecos(
        "Rua A 12", {"endereco": {"logradouro": "Rua A", "numero": 12.0, "cep": 1.5e7}}
    ) == (True, 0.9, "Rua A 12 15000000")
    assert (
        comparar_enderecos(
            "Rua A 12",
            {"endereco": {"logradouro": "Rua A", "numero": 12.5, "bairro": True, "cidade": float("nan")}},
        )[2]
        == "Rua A 12.5"
    )
    # an `endereco` that is not a mapping, or missing, has no fields
    for dados in ({"endereco": "Rua A"}, {"endereco": None}, {"endereco": [1]}, {"razao_social": "X"}):
        assert comparar_enderecos("Rua A", dados) == (False, 0.0, "")
    assert comparar_enderecos("Rua A", {"endereco": {"logradouro": "Rua A", "numero": None}})[0] is True


GLOBO = {
    "endereco": {
        "logradouro": "R LOPES QUINTAS",
        "numero": "303",
        "complemento": "",
        "bairro": "JARDIM BOTANICO",
        "cidade": "RIO DE JANEIRO",
        "uf": "RJ",
        "cep": "22.460-901",
    }
}


@pytest.mark.parametrize(
    "contrato",
    [
        "Rua Lopes Quintas, nº 73, Jardim Botânico, Rio de Janeiro/RJ",
        "Rua Lopes Quintas, n. 33, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901",
        "Rua Lopes Quintas, número 3, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901",
        "Rua Lopes Quintas 30, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901",
        "Rua Lopes Quintas, nº 303, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-000",
    ],
)
def test_another_house_number_or_cep_never_matches(contrato):
    ok, sim, receita = comparar_enderecos(contrato, GLOBO)
    assert ok is False and 0.0 < sim < 1.0
    assert receita == "R LOPES QUINTAS 303 JARDIM BOTANICO RIO DE JANEIRO RJ 22.460-901"


def test_short_numbers_count():
    paulista37 = {
        "endereco": {
            "logradouro": "AV PAULISTA",
            "numero": "37",
            "bairro": "BELA VISTA",
            "cidade": "SAO PAULO",
            "uf": "SP",
        }
    }
    assert comparar_enderecos("Avenida Paulista, nº 37, Bela Vista, São Paulo", paulista37)[0] is True
    for numero in ("73", "7", "370", "999"):
        assert (
            comparar_enderecos(f"Avenida Paulista, nº {numero}, Bela Vista, São Paulo", paulista37)[0]
            is False
        )
    # a floor is a unit of the complement: 21º andar is not ANDAR 12
    andar = {
        "endereco": {
            "logradouro": "AV PAULISTA",
            "numero": "1000",
            "complemento": "ANDAR 12",
            "cidade": "SAO PAULO",
        }
    }
    assert comparar_enderecos("Av. Paulista, 1000, 12º andar, São Paulo", andar)[0] is True
    assert comparar_enderecos("Av. Paulista, 1000, 21º andar, São Paulo", andar)[0] is False
    # "Rua 25 de Março, 1000": the 25 is the street's name, 1000 its number
    marco = {"endereco": {"logradouro": "R 25 DE MARCO", "numero": "1000", "cidade": "SAO PAULO"}}
    assert comparar_enderecos("Rua 25 de Março, 1000, São Paulo", marco)[0] is True
    assert comparar_enderecos("Rua 25 de Março, 100, São Paulo", marco)[0] is False


@pytest.mark.parametrize(
    "contrato, registro",
    [
        ("Alameda Santos, 200", {"logradouro": "AL SANTOS", "numero": "200"}),
        ("Quadra 260, Lote 7E, Sala 32", {"complemento": "QUADRA260 LOTE 7E SALA 32"}),
        ("Qd. 12, Lt. 5, St. Oeste", {"complemento": "QUADRA 12 LOTE 5", "bairro": "SETOR OESTE"}),
        ("apto. 34, Bloco B", {"complemento": "APT 34 BL B"}),
        ("apartamento 34, bloco b", {"complemento": "APTO 34 BLOCO B"}),
        ("Avenida 3ª Radial, 500", {"logradouro": "AV TERCEIRA RADIAL", "numero": "500"}),
        ("Rua das Flores, s/nº, Centro", {"logradouro": "R DAS FLORES", "numero": "SN", "bairro": "CENTRO"}),
        (
            "Rua das Flores, sem número, Centro",
            {"logradouro": "R DAS FLORES", "numero": "S/N", "bairro": "CENTRO"},
        ),
        (
            "Rua X, 10, na Cidade de São Paulo, Estado de São Paulo",
            {"logradouro": "R X", "numero": "10", "cidade": "SAO PAULO", "uf": "SP"},
        ),
        ("Rua Goiás, 5, Estado de Goiás", {"logradouro": "RUA GOIAS", "numero": "5", "uf": "GO"}),
    ],
)
def test_well_written_addresses_match(contrato, registro):
    ok, sim, _ = comparar_enderecos(contrato, {"endereco": registro})
    assert ok is True, (contrato, sim, _normalizar_endereco(contrato))


def test_a_contract_that_leaves_out_the_complement():
    vt = {
        "endereco": {
            "logradouro": "RUA LEANDRO MARTINS COSTA",
            "numero": "89",
            "complemento": "      SUBSOLO",
            "bairro": "LIMOEIRO",
            "cidade": "CARATINGA",
            "uf": "MG",
            "cep": "35300107",
        }
    }
    assert comparar_enderecos("Rua Leandro Martins Costa, 89, Limoeiro, Caratinga/MG, 35300-107", vt)[:2] == (
        True,
        1.0,
    )
    # but naming another complement is compared with the registry's own
    assert (
        comparar_enderecos("Rua Leandro Martins Costa, 89, Térreo, Limoeiro, Caratinga/MG, 35300-107", vt)[0]
        is False
    )


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
@given(
    address_text,
    st.dictionaries(st.sampled_from(KEYS), address_text, max_size=7),
    st.floats(0, 1.2, allow_nan=False),
)
def test_comparison_matches_oracle(contrato, endereco, threshold):
    dados = {"endereco": endereco}
    assert comparar_enderecos(contrato, dados, threshold) == o_comparar(contrato, dados, threshold)


def test_long_address_is_normalised_like_a_short_one():
    text = "Rua Nova nº 12, Edifício São João, sala 3, Estado de São Paulo — " * 5000
    assert _normalizar_endereco(text) == o_norm(text)
    dados = {"endereco": {"logradouro": "R NOVA", "numero": "12", "complemento": text}}
    assert comparar_enderecos(text, dados) == o_comparar(text, dados)
