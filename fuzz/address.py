"""Fuzz target: address normalisation and comparison of the CNPJ module
(_normalizar_endereco, comparar_enderecos), with registry records that are plain
dicts, mapping types of their own and mappings that misbehave."""

import collections.abc
import math

import atheris

from _common import DOCUMENTED, Hostile, check, main, odd_value, text
from vorlex.contract.countries.br.cnpj import _normalizar_endereco, comparar_enderecos

CAMPOS = ["logradouro", "numero", "complemento", "bairro", "cidade", "uf", "cep"]


class Registro(collections.abc.Mapping):
    """A mapping whose lookups can raise or change their answer between calls."""

    def __init__(self, data, fdp_bytes):
        self._data = data
        self._plan = list(fdp_bytes) or [0]
        self._n = 0

    def _step(self):
        self._n += 1
        return self._plan[self._n % len(self._plan)]

    def __getitem__(self, key):
        s = self._step()
        if s % 11 == 0:
            raise Hostile("__getitem__")
        if s % 13 == 0:
            self._data.clear()
        return self._data[key]

    def get(self, key, default=None):
        s = self._step()
        if s % 17 == 0:
            raise Hostile("get")
        return self._data.get(key, default)

    def __iter__(self):
        return iter(list(self._data))

    def __len__(self):
        if self._step() % 19 == 0:
            raise Hostile("__len__")
        return len(self._data)


def value(fdp):
    return text(fdp, max_parts=8) if fdp.ConsumeIntInRange(0, 5) else odd_value(fdp)


def endereco(fdp):
    campos = {}
    for c in CAMPOS:
        if fdp.ConsumeBool():
            campos[c] = value(fdp)
    return campos


def mapping(fdp, data):
    k = fdp.ConsumeIntInRange(0, 3)
    if k == 0:
        return data
    if k == 1:
        return Registro(data, fdp.ConsumeBytes(4))
    if k == 2:
        return collections.OrderedDict(data)
    return odd_value(fdp)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 2) == 0:
        s = value(fdp)
        try:
            got = _normalizar_endereco(s)
        except DOCUMENTED:
            check(not isinstance(s, str), "_normalizar_endereco refused a str", s)
            return
        check(type(got) is str, "_normalizar_endereco must return str", s, got)
        return

    contrato = value(fdp)
    dados = mapping(
        fdp, {"endereco": mapping(fdp, endereco(fdp))} if fdp.ConsumeBool() else {"endereco": value(fdp)}
    )
    threshold = fdp.PickValueInList(
        [0.85, 0.0, 1.0, -1.0, 2, True, float("nan"), float("inf"), None, "0.5", 10**400]
    )
    try:
        got = comparar_enderecos(contrato, dados, threshold)
    except DOCUMENTED + (Hostile,):
        return
    check(type(got) is tuple and len(got) == 3, "comparar_enderecos must return a triple", got)
    confere, sim, receita = got
    check(
        type(confere) is bool and type(sim) is float and type(receita) is str,
        "comparar_enderecos: (bool, float, str)",
        contrato,
        got,
    )
    check(not math.isnan(sim) and 0.0 <= sim <= 1.0, "similarity outside 0..1", contrato, got)


def seeds():
    return [bytes([1, 1] + [i] * 40) for i in range(6)]


if __name__ == "__main__":
    main(test_one_input, "address", seeds)
