"""The alphanumeric CNPJ: cleaning, validation, layout, and lookups of such numbers,
against a few-line Python oracle."""

import re
import unicodedata

import pytest
from hypothesis import given, strategies as st

from servers.registry import brasil_api_record
from vorlex.contract.countries.br import cnpj as C
from vorlex.contract.registry import get_adapter

PESOS1 = [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]
PESOS2 = [6] + PESOS1


def o_limpar(c):
    if not c:
        return ""
    return "".join(
        str(unicodedata.decimal(ch)) if re.match(r"\d", ch) else ch
        for ch in c.upper()
        if re.match(r"\d|[A-Z]", ch)
    )


def o_digito(base, pesos):
    resto = sum((ord(ch) - 48) * p for ch, p in zip(base, pesos, strict=True)) % 11
    return "0" if resto < 2 else str(11 - resto)


def o_validar(c):
    t = o_limpar(c)
    if not re.fullmatch(r"[0-9A-Z]{12}[0-9]{2}", t) or len(set(t)) == 1:
        return False
    return t[12] == o_digito(t[:12], PESOS1) and t[13] == o_digito(t[:13], PESOS2)


def o_formatar(c):
    t = o_limpar(c)
    if len(t) != 14:
        return c or ""
    return f"{t[:2]}.{t[2:5]}.{t[5:8]}/{t[8:12]}-{t[12:]}"


def com_digitos(base12):
    d1 = o_digito(base12, PESOS1)
    return base12 + d1 + o_digito(base12 + d1, PESOS2)


EXEMPLO = "12.ABC.345/01DE-35"


def test_worked_example_and_its_other_check_digits():
    assert C.validar_cnpj_alfanumerico(EXEMPLO)
    assert C.validar_cnpj_alfanumerico("12abc34501de35")  # lower case is cleaned to upper
    outros = [f"12ABC34501DE{a}{b}" for a in "0123456789" for b in "0123456789"]
    outros.remove("12ABC34501DE35")
    assert len(outros) == 99
    assert not any(C.validar_cnpj_alfanumerico(c) for c in outros)


@pytest.mark.parametrize(
    "texto, limpo",
    [
        (None, ""),
        ("", ""),
        (EXEMPLO, "12ABC34501DE35"),
        ("12.abc.345/01de-35", "12ABC34501DE35"),
        ("straße", "STRASSE"),  # str.upper() first: ß becomes SS
        ("١٢٣ 45", "12345"),  # a digit of any script is its ASCII digit
    ],
)
def test_cleaning(texto, limpo):
    assert C.limpar_cnpj_alfanumerico(texto) == limpo


def test_layout_and_rejections():
    assert C.formatar_cnpj_alfanumerico("12abc34501de35") == EXEMPLO
    assert C.formatar_cnpj_alfanumerico("12ABC") == "12ABC"
    assert C.formatar_cnpj_alfanumerico(None) == ""
    # check digits must be digits; one character fourteen times is no number
    assert not C.validar_cnpj_alfanumerico("12ABC34501DEAB")
    assert not C.validar_cnpj_alfanumerico("AAAAAAAAAAAAAA")
    assert not C.validar_cnpj_alfanumerico("00000000000000")
    for f in (C.limpar_cnpj_alfanumerico, C.validar_cnpj_alfanumerico, C.formatar_cnpj_alfanumerico):
        with pytest.raises(TypeError, match="cnpj"):
            f(12345678000195)


@given(st.text(st.characters(codec="ascii"), max_size=20) | st.text(max_size=20))
def test_functions_match_the_oracle(texto):
    assert C.limpar_cnpj_alfanumerico(texto) == o_limpar(texto)
    assert C.validar_cnpj_alfanumerico(texto) == o_validar(texto)
    assert C.formatar_cnpj_alfanumerico(texto) == o_formatar(texto)


@given(st.text("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=12, max_size=12))
def test_generated_numbers_are_valid(base):
    numero = com_digitos(base)
    assert C.validar_cnpj_alfanumerico(numero) == (len(set(numero)) > 1)


@given(st.text("0123456789", min_size=14, max_size=14) | st.text("0123456789./- ", max_size=20))
def test_numeric_numbers_answer_as_validar_cnpj(texto):
    assert C.validar_cnpj_alfanumerico(texto) == C.validar_cnpj(texto)


def test_lookup_of_an_alphanumeric_number(registry, spy):
    limpo = "12ABC34501DE35"
    registry.brasil_api[limpo] = brasil_api_record(cnpj=limpo, razao_social="NOVA ERA LTDA")
    rec = C.consultar_cnpj(EXEMPLO.lower())
    assert rec["cnpj"] == EXEMPLO and rec["razao_social"] == "NOVA ERA LTDA"
    assert registry.requests[-1].path == "/brasilapi/api/cnpj/v1/" + limpo
    # ReceitaWS gets the cleaned number too when BrasilAPI does not know it
    del registry.brasil_api[limpo]
    assert C.consultar_cnpj(EXEMPLO) is None
    assert [r.path for r in registry.requests[-2:]] == [
        "/brasilapi/api/cnpj/v1/" + limpo,
        "/receitaws/v1/cnpj/" + limpo,
    ]
    # a number invalid by both rules makes no request
    n = len(registry.requests)
    assert C.consultar_cnpj("12.ABC.345/01DE-36") is None
    assert len(registry.requests) == n


def test_numeric_lookup_is_unchanged(registry, spy):
    registry.brasil_api["11222333000181"] = brasil_api_record()
    assert C.consultar_cnpj("CNPJ 11.222.333/0001-81")["cnpj"] == "11.222.333/0001-81"
    assert registry.requests[-1].path == "/brasilapi/api/cnpj/v1/11222333000181"


def test_the_brazilian_adapter_accepts_both_formats():
    adapter = get_adapter("BR")
    assert adapter.validate_company_id("11222333000181")
    assert adapter.validate_company_id("12ABC34501DE35")
    assert not adapter.validate_company_id("12ABC34501DE36")
