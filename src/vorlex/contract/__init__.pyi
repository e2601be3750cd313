"""Contract verification: the checker, its country adapters and records.

The package's __init__.py imports these names on first use (its _LAZY table), which a
type checker cannot follow; this stub names them, and stubtest keeps it equal to that
table.
"""

from vorlex.contract.auth import VorlexAuth as VorlexAuth
from vorlex.contract.base import CountryAdapter as CountryAdapter
from vorlex.contract.checker import (
    ContractChecker as ContractChecker,
    verificar_contrato as verificar_contrato,
)
from vorlex.contract.registry import get_adapter as get_adapter

__all__ = ["ContractChecker", "CountryAdapter", "VorlexAuth", "get_adapter", "verificar_contrato"]
