"""Fuzz target: the CNPJ number rules of vorlex.contract.countries.br.cnpj, each
against a plain Python rendering of its documented rule (the registry lookups are
never called)."""

import re
import unicodedata

import atheris

from _common import DOCUMENTED, PIECES, check, main, odd_value, text
from vorlex.contract.countries.br import cnpj as C

PESOS_1 = [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]
PESOS_2 = [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]
ALNUM = set("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ")
DIGITS = "0123456789"
CNPJ_PIECES = (
    PIECES
    + list(DIGITS)
    + list("ABCDEFGHIJKLMNOPQRSTUVWXYZabcz")
    + [
        "11222333000181",
        "11.222.333/0001-81",
        "12ABC34501DE35",
        "12.abc.345/01de-35",
        "٣",
        "０",
        "𝟗",
        "Ⅸ",
        "²",
    ]
)


def digito(valores, pesos):
    resto = sum(v * p for v, p in zip(valores, pesos, strict=True)) % 11
    return "0" if resto < 2 else str(11 - resto)


def ref_limpar(s):
    # a decimal digit of any script is its ASCII digit
    return "".join(str(unicodedata.decimal(d)) for d in re.findall(r"\d", s or ""))


def ref_validar_limpo(limpo):
    if len(limpo) != 14 or len(set(limpo)) == 1:
        return False
    valores = [int(c) for c in limpo]
    return limpo[12] == digito(valores[:12], PESOS_1) and limpo[13] == digito(valores[:13], PESOS_2)


def ref_limpar_alfa(s):
    return "".join(
        str(unicodedata.decimal(c)) if re.match(r"\d", c) else c
        for c in (s or "").upper()
        if c in ALNUM or re.match(r"\d", c)
    )


def ref_validar_alfa_limpo(limpo):
    if len(limpo) != 14 or limpo[12] not in DIGITS or limpo[13] not in DIGITS:
        return False
    if len(set(limpo)) == 1:
        return False
    valores = [ord(c) - 48 for c in limpo]
    return limpo[12] == digito(valores[:12], PESOS_1) and limpo[13] == digito(valores[:13], PESOS_2)


def ref_formatar_limpo(limpo):
    return f"{limpo[:2]}.{limpo[2:5]}.{limpo[5:8]}/{limpo[8:12]}-{limpo[12:]}"


def with_check_digits(fdp, alfabeto):
    """Twelve characters of `alfabeto` and their two check digits, sometimes laid out
    and sometimes with one character changed: valid and nearly valid numbers."""
    base = "".join(fdp.PickValueInList(alfabeto) for _ in range(12))
    valores = [ord(c) - 48 for c in base]
    d1 = digito(valores, PESOS_1)
    d2 = digito(valores + [int(d1)], PESOS_2)
    s = base + d1 + d2
    if fdp.ConsumeBool():
        i = fdp.ConsumeIntInRange(0, 13)
        s = s[:i] + fdp.PickValueInList(CNPJ_PIECES) + s[i + 1 :]
    if fdp.ConsumeBool():
        s = ref_formatar_limpo(s) if len(s) == 14 else s
    if fdp.ConsumeBool():
        s = s.lower()
    return s


def some_cnpj(fdp):
    k = fdp.ConsumeIntInRange(0, 3)
    if k == 0:
        return with_check_digits(fdp, list(DIGITS))
    if k == 1:
        return with_check_digits(fdp, sorted(ALNUM))
    if k == 2:
        return None
    return text(fdp, CNPJ_PIECES)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    what = fdp.ConsumeIntInRange(0, 7)
    if what == 7:
        fn = fdp.PickValueInList(
            [
                C.limpar_cnpj,
                C.validar_cnpj,
                C.formatar_cnpj,
                C.limpar_cnpj_alfanumerico,
                C.validar_cnpj_alfanumerico,
                C.formatar_cnpj_alfanumerico,
            ]
        )
        try:
            fn(odd_value(fdp))
        except DOCUMENTED:
            pass
        return
    if what == 6:
        base = (
            text(fdp, CNPJ_PIECES)
            if fdp.ConsumeBool()
            else "".join(fdp.PickValueInList(list(DIGITS)) for _ in range(fdp.ConsumeIntInRange(0, 16)))
        )
        pesos = [
            fdp.ConsumeIntInRange(-(10**6), 10**6)
            if fdp.ConsumeBool()
            else fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 24))
            for _ in range(fdp.ConsumeIntInRange(0, 16))
        ]
        pares = list(zip(base, pesos, strict=False))  # the shorter of the two decides, as in the library
        try:
            esperado = digito([int(c) for c, _ in pares], [p for _, p in pares])
        except ValueError:
            esperado = ValueError
        try:
            got = C._calcular_digito_cnpj(base, pesos)
        except ValueError:
            got = ValueError
        check(got == esperado, "_calcular_digito_cnpj", base, pesos, got, esperado)
        return

    s = some_cnpj(fdp)
    if what == 0:
        got = C.limpar_cnpj(s)
        check(got == ref_limpar(s), "limpar_cnpj", s, got, ref_limpar(s))
    elif what == 1:
        got = C.validar_cnpj(s)
        esperado = ref_validar_limpo(ref_limpar(s))
        check(got is esperado, "validar_cnpj", s, got, esperado)
    elif what == 2:
        got = C.formatar_cnpj(s)
        limpo = ref_limpar(s)
        esperado = ref_formatar_limpo(limpo) if len(limpo) == 14 else (s or "")
        check(got == esperado and type(got) is str, "formatar_cnpj", s, got, esperado)
    elif what == 3:
        got = C.limpar_cnpj_alfanumerico(s)
        check(got == ref_limpar_alfa(s), "limpar_cnpj_alfanumerico", s, got, ref_limpar_alfa(s))
    elif what == 4:
        got = C.validar_cnpj_alfanumerico(s)
        esperado = ref_validar_alfa_limpo(ref_limpar_alfa(s))
        check(got is esperado, "validar_cnpj_alfanumerico", s, got, esperado)
    else:
        got = C.formatar_cnpj_alfanumerico(s)
        limpo = ref_limpar_alfa(s)
        esperado = ref_formatar_limpo(limpo) if len(limpo) == 14 else (s or "")
        check(got == esperado and type(got) is str, "formatar_cnpj_alfanumerico", s, got, esperado)


def seeds():
    return [bytes([w]) + b"\x00" * 40 for w in range(8)]


if __name__ == "__main__":
    main(test_one_input, "cnpj", seeds)
