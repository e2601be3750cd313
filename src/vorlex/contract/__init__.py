"""Contract verification: the checker, its country adapters and records.

`ContractChecker` and `verificar_contrato` are imported on first use, so that
importing a submodule (the CNPJ rules, say) loads nothing more.
"""

from importlib import import_module as _import_module

_LAZY = {
    "ContractChecker": "vorlex.contract.checker",
    "verificar_contrato": "vorlex.contract.checker",
    "get_adapter": "vorlex.contract.registry",
    "CountryAdapter": "vorlex.contract.base",
    "VorlexAuth": "vorlex.contract.auth",
}

__all__ = sorted(_LAZY)


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vorlex.contract' has no attribute {name!r}")
    value = getattr(_import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
