"""State registration (IE) lookup through CNPJá (extension module)."""

from typing import Any, Mapping

import requests as requests

from vorlex.contract.countries.br.cnpj import (
    formatar_cnpj as formatar_cnpj,
    limpar_cnpj as limpar_cnpj,
    validar_cnpj as validar_cnpj,
)

__all__ = ["buscar_ie_por_cnpj"]

CNPJA_API_URL: str
REQUEST_TIMEOUT: int
ENV_API_KEY: str
DEFAULT_REGISTRATIONS_SCOPE: str

def buscar_ie_por_cnpj(cnpj: str) -> dict[str, Any] | None: ...
def _normalize_registration(reg: Mapping[str, Any]) -> dict[str, Any]: ...
