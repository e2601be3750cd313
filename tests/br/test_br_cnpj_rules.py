"""CNPJ number rules: examples, type checks and differential properties against a
few-line Python oracle (re and int, as the rules are written)."""

import re
import unicodedata

import pytest
from hypothesis import given, settings, strategies as st

from servers.registry import cnpj_com_digitos
from vorlex.contract.countries.br.cnpj import (
    _calcular_digito_cnpj,
    formatar_cnpj,
    limpar_cnpj,
    validar_cnpj,
)

P1 = [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]
P2 = [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]


# -- oracle ----------------------------------------------------------------------------
def o_limpar(c):
    # every decimal digit, whatever its script, as its ASCII digit
    return "".join(str(unicodedata.decimal(d)) for d in re.findall(r"\d", c)) if c else ""


def o_digito(base, pesos):
    # the shorter of the two decides how many digits count
    resto = sum(int(a) * b for a, b in zip(base, pesos, strict=False)) % 11
    return "0" if resto < 2 else str(11 - resto)


def o_validar(c):
    c = o_limpar(c)
    if len(c) != 14 or c == c[0] * 14:
        return False
    return c[12:] == o_digito(c[:12], P1) + o_digito(c[:13], P2)


def o_formatar(c):
    d = o_limpar(c)
    if len(d) != 14:
        return c if c else ""
    return f"{d[:2]}.{d[2:5]}.{d[5:8]}/{d[8:12]}-{d[12:]}"


# -- strategies ---------------------------------------------------------------------------
DIGITS = "0123456789٠١٢٣٤٥٦٧٨٩０１２３４５６７８９߀߁߂𝟎𝟏𝟗"
NOISE = "./- \t\u00a0\u2003\u3000\u0301\u0327abcXYZ²³½Ⅷ"

noisy_text = st.text(
    alphabet=st.one_of(st.characters(codec=None), st.sampled_from(DIGITS + NOISE)), max_size=40
)


@st.composite
def near_valid(draw):
    base = "".join(draw(st.lists(st.sampled_from("0123456789"), min_size=12, max_size=12)))
    full = cnpj_com_digitos(base)
    # Sometimes disturb one digit, sometimes write a digit in another script.
    chars = list(full)
    if draw(st.booleans()):
        i = draw(st.integers(0, 13))
        chars[i] = draw(st.sampled_from(DIGITS))
    out = []
    for ch in chars:
        out.append(ch)
        out.append(draw(st.text(alphabet=NOISE, max_size=2)))
    return "".join(out)


# -- examples -----------------------------------------------------------------------------
def test_examples():
    assert limpar_cnpj("12.345.678/0001-99") == "12345678000199"
    assert limpar_cnpj(None) == "" and limpar_cnpj("") == ""
    assert validar_cnpj("11.222.333/0001-81") is True
    assert validar_cnpj("12.345.678/0001-99") is False
    assert validar_cnpj("123456") is False and validar_cnpj(None) is False
    assert validar_cnpj("00000000000000") is False
    assert validar_cnpj("00.000.000/0000-00") is False
    assert validar_cnpj("11111111111111") is False
    assert validar_cnpj("CNPJ 11 222 333 0001 81") is True
    assert formatar_cnpj("12345678000199") == "12.345.678/0001-99"
    assert formatar_cnpj("12.345") == "12.345"
    assert formatar_cnpj(None) == "" and formatar_cnpj("") == ""
    fifteen = "112223330001810"
    assert validar_cnpj(fifteen) is False and formatar_cnpj(fifteen) == fifteen


def test_check_digit_rule():
    assert _calcular_digito_cnpj("112223330001", P1) == "8"
    assert _calcular_digito_cnpj("1122233300018", P2) == "1"
    assert _calcular_digito_cnpj("123456780001", P1) == "9"
    assert _calcular_digito_cnpj("1234567800019", P2) == "5"
    # remainders 0, 1 and 2: sum 0 -> "0"; sum 1 -> "0"; sum 2 -> "9"
    assert _calcular_digito_cnpj("0", [5]) == "0"
    assert _calcular_digito_cnpj("1", [1]) == "0"
    assert _calcular_digito_cnpj("1", [2]) == "9"
    # pairs stop at the shorter side; weights of any size reduce like the plain sum
    assert _calcular_digito_cnpj("19", [3]) == o_digito("19", [3])
    assert _calcular_digito_cnpj("97", [10**30 + 7, -5]) == o_digito("97", [10**30 + 7, -5])
    with pytest.raises(ValueError):
        _calcular_digito_cnpj("1a", [1, 2])


def test_type_errors_name_the_argument():
    for fn in (limpar_cnpj, validar_cnpj, formatar_cnpj):
        with pytest.raises(TypeError, match="cnpj"):
            fn(11222333000181)
        with pytest.raises(TypeError, match="cnpj"):
            fn(b"11222333000181")
    with pytest.raises(TypeError, match="base"):
        _calcular_digito_cnpj(123, P1)
    with pytest.raises(TypeError, match="pesos"):
        _calcular_digito_cnpj("123", (5, 4, 3))
    with pytest.raises(TypeError, match="pesos"):
        _calcular_digito_cnpj("123", [5, 4.0, 3])


def test_formatar_returns_the_callers_text_untouched():
    s = "12.345/6"
    assert formatar_cnpj(s) is s


# -- differential properties ---------------------------------------------------------------
@settings(max_examples=400, deadline=None)
@given(st.one_of(noisy_text, near_valid()))
def test_matches_oracle(text):
    assert limpar_cnpj(text) == o_limpar(text)
    assert validar_cnpj(text) == o_validar(text)
    assert formatar_cnpj(text) == o_formatar(text)


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet=DIGITS, max_size=16), st.lists(st.integers(-(10**20), 10**20), max_size=16))
def test_check_digit_matches_oracle(base, pesos):
    assert _calcular_digito_cnpj(base, pesos) == o_digito(base, pesos)


def test_valid_numbers_are_recognised():
    for base in ("334455660001", "987654320001", "000000010001", "999999990001"):
        full = cnpj_com_digitos(base)
        assert validar_cnpj(full) and validar_cnpj(o_formatar(full))
        wrong = full[:13] + str((int(full[13]) + 1) % 10)
        assert not validar_cnpj(wrong)
