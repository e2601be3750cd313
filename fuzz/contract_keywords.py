"""Fuzz target: the contract keyword screen, validar_documento_contrato, against a
plain Python rendering of its rule: exclusion terms first, then the validation
keywords found (both after normalizar_texto, as substrings), at least MIN_KEYWORDS
for a contract. The module's keyword lists and threshold are read at call time, so
they are fuzzed too."""

import unicodedata

import atheris

from _common import DOCUMENTED, PIECES, Hostile, check, main, odd_value, text
from vorlex.contract.countries.br import keywords as K

VALIDACAO = list(K.KEYWORDS_VALIDACAO)
EXCLUSAO = list(K.KEYWORDS_EXCLUSAO)
MIN = K.MIN_KEYWORDS


def fold(s):
    decomposed = unicodedata.normalize("NFD", s)
    return "".join(c for c in decomposed if unicodedata.category(c) != "Mn").lower()


def referencia(texto, validacao, exclusao, minimo):
    """The rule in Python; raises what the screen must raise."""
    if not isinstance(texto, str):
        raise TypeError("texto")
    if not texto:
        return (False, 0, [])
    exclusao, validacao = list(exclusao), list(validacao)
    if not all(isinstance(k, str) for k in exclusao + validacao):
        raise TypeError("keywords")
    t = fold(texto)
    for termo in exclusao:
        if fold(termo) in t:
            return (False, 0, ["EXCLUSÃO: " + termo])
    achadas = [k for k in validacao if fold(k) in t]
    return (len(achadas) >= minimo, len(achadas), achadas)


def outcome(fn, *args):
    try:
        r = fn(*args)
    except DOCUMENTED + (Hostile,) as e:
        return ("raised", type(e))
    # Elements compared as plain str with their type: a str subclass may define ==.
    return ("returned", r[0], type(r[0]), r[1], type(r[1]), type(r[2]), [(type(k), k[:]) for k in r[2]])


class Minimo:
    """A threshold whose comparison raises."""

    def __le__(self, other):
        raise Hostile("__le__")

    __ge__ = __lt__ = __gt__ = __le__


def keyword_list(fdp, padrao):
    k = fdp.ConsumeIntInRange(0, 7)
    if k <= 3:
        return list(padrao)
    if k == 4:
        return [text(fdp, PIECES, max_parts=3) for _ in range(fdp.ConsumeIntInRange(0, 12))]
    if k == 5:
        return tuple(text(fdp, PIECES, max_parts=2) for _ in range(fdp.ConsumeIntInRange(0, 4)))
    if k == 6:
        return [text(fdp, max_parts=2), odd_value(fdp)]
    return odd_value(fdp)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    validacao = keyword_list(fdp, VALIDACAO)
    exclusao = keyword_list(fdp, EXCLUSAO)
    minimo = fdp.PickValueInList([MIN, MIN, 0, 1, 40, -1, 2.5, True, None, Minimo()])
    texto = text(fdp, PIECES, max_parts=40) if fdp.ConsumeIntInRange(0, 9) else odd_value(fdp)
    K.KEYWORDS_VALIDACAO, K.KEYWORDS_EXCLUSAO, K.MIN_KEYWORDS = validacao, exclusao, minimo
    try:
        got = outcome(K.validar_documento_contrato, texto)
        esperado = outcome(referencia, texto, validacao, exclusao, minimo)
        check(
            got == esperado,
            "validar_documento_contrato differs from the rule",
            texto,
            validacao,
            exclusao,
            minimo,
            got,
            esperado,
        )
    finally:
        K.KEYWORDS_VALIDACAO, K.KEYWORDS_EXCLUSAO, K.MIN_KEYWORDS = VALIDACAO, EXCLUSAO, MIN


def seeds():
    return [b"\x00\x00\x00" + "Contrato: cláusula de vigência".encode(), b"\x00" * 8]


if __name__ == "__main__":
    main(test_one_input, "contract_keywords", seeds)
