"""CNPJ number rules, registry lookups and address comparison (extension module)."""

from typing import Any, Mapping

import requests as requests

__all__ = [
    "limpar_cnpj",
    "validar_cnpj",
    "formatar_cnpj",
    "consultar_cnpj",
    "buscar_cnpj_por_nome",
    "buscar_empresa",
    "comparar_enderecos",
]

BRASIL_API_URL: str
RECEITA_WS_URL: str
CASADOSDADOS_API: str
REQUEST_TIMEOUT: int
DEFAULT_ADDRESS_SIMILARITY_THRESHOLD: float

def limpar_cnpj(cnpj: str | None) -> str: ...
def _calcular_digito_cnpj(base: str, pesos: list[int]) -> str: ...
def validar_cnpj(cnpj: str | None) -> bool: ...
def formatar_cnpj(cnpj: str | None) -> str: ...
def _consultar_brasil_api(cnpj: str) -> dict[str, Any] | None: ...
def _consultar_receita_ws(cnpj: str) -> dict[str, Any] | None: ...
def consultar_cnpj(cnpj: str) -> dict[str, Any] | None: ...
consultar_cnpj_online = consultar_cnpj
def buscar_cnpj_por_nome(nome_empresa: str, uf: str | None = None) -> dict[str, Any] | None: ...
def buscar_empresa(
    cnpj: str | None = None, nome: str | None = None, uf: str | None = None
) -> dict[str, Any] | None: ...
def buscar_empresa_completo(
    cnpj: str | None = None,
    nome: str | None = None,
    uf: str | None = None,
    usar_ai_search: object = False,
    openai_api_key: str | None = None,
) -> dict[str, Any] | None: ...
def _normalizar_endereco(endereco: str) -> str: ...
def comparar_enderecos(
    endereco_contrato: str, dados_receita: Mapping[str, Any], threshold: float = 0.85
) -> tuple[bool, float, str]: ...
