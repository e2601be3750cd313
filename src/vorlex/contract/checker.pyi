"""Verification of Brazilian contracts against the federal company registry."""

import os
from typing import Any, Mapping, Sequence

from vorlex.contract.auth import CheckerProvider, VorlexAuth as VorlexAuth
from vorlex.contract.base import CountryAdapter
from vorlex.contract.countries.br.cnpj import (
    _limpar_para_consulta as _limpar_para_consulta,
    comparar_enderecos as comparar_enderecos,
    formatar_cnpj as formatar_cnpj,
    formatar_cnpj_alfanumerico as formatar_cnpj_alfanumerico,
    limpar_cnpj as limpar_cnpj,
)
from vorlex.contract.models import (
    AssinaturaExtraida,
    AssinaturaVerificada,
    EmpresaExtraida,
    EmpresaVerificada,
)
from vorlex.contract.registry import get_adapter as get_adapter
from vorlex.models.result import ProcessingMetrics
from vorlex.reader import Vorlex

__all__ = ["ContractChecker", "verificar_contrato"]

class ContractChecker:
    adapter: CountryAdapter
    verbose: bool
    model: str
    usar_ai_search: bool
    _auth: VorlexAuth
    _client: Vorlex | None
    _vorlex_available: bool | None
    _base_url: str | None
    _cache_path: str | os.PathLike[str] | None
    _cache_url: str | None
    _ocr_engine: str | None
    _structured_output: str | None
    _max_tokens: int | None
    _timeout: float | None
    def __init__(
        self,
        country: str,
        openai_api_key: str | None = None,
        provider: CheckerProvider | None = None,
        azure_api_key: str | None = None,
        azure_endpoint: str | None = None,
        azure_deployment: str | None = None,
        azure_api_version: str = "2024-02-15-preview",
        model: str = "gpt-4o",
        verbose: object = True,
        usar_ai_search: object = True,
        *,
        base_url: str | None = None,
        cache_path: str | os.PathLike[str] | None = None,
        cache_url: str | None = None,
        ocr_engine: str | None = None,
        structured_output: str | None = None,
        max_tokens: int | None = None,
        timeout: float | None = None,
    ) -> None:
        """base_url, cache_path, cache_url, ocr_engine, structured_output, max_tokens and
        timeout are handed to the reader the checker builds (Vorlex's keywords of the same
        names), each only when given, and checked here by the reader's rules (a value it
        would refuse is the same ValueError now). A model left out is VORLEX_MODEL when set.
        With a base_url (or VORLEX_BASE_URL) the model must be named (ValueError): the
        default "gpt-4o" is a cloud model's name; no OpenAI key is then needed."""
    @property
    def provider(self) -> CheckerProvider: ...
    @property
    def auth(self) -> VorlexAuth: ...
    def verificar(self, documento: str | os.PathLike[str]) -> dict[str, Any]: ...
    def _log(self, msg: str, emoji: str = "📋") -> None: ...
    def _init_vorlex(self) -> bool: ...
    def _setup_questions(self) -> None: ...
    def _normalizar_texto(self, texto: str) -> str: ...
    def _comparar_nomes(self, nome1: str, nome2: str) -> bool: ...
    def _verificar_poder_assinatura(
        self, nome_signatario: str, dados_receita: Mapping[str, Any]
    ) -> tuple[bool, Any]: ...
    def _validar_empresas(
        self, empresas: Sequence[EmpresaExtraida]
    ) -> tuple[list[EmpresaVerificada], dict[str, dict[str, Any]]]: ...
    def _validar_assinaturas(
        self,
        assinaturas: Sequence[AssinaturaExtraida],
        dados_receita_cache: Mapping[str, Mapping[str, Any]],
    ) -> list[AssinaturaVerificada]: ...
    def _imprimir_relatorio(
        self,
        resultado_final: str,
        justificativa: str,
        campos_aprovados: Sequence[str],
        campos_reprovados: Sequence[str],
        campos_pendentes: Sequence[str],
        empresas: Sequence[EmpresaVerificada],
        assinaturas: Sequence[AssinaturaVerificada],
        dados_contrato: Mapping[str, Any],
        metricas: ProcessingMetrics,
    ) -> None: ...

def verificar_contrato(
    documento: str | os.PathLike[str],
    country: str,
    openai_api_key: str | None = None,
    verbose: object = True,
) -> dict[str, Any]: ...
