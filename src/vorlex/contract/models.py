"""Records of the contract checker.

What the model extracts from a contract (`EmpresaExtraida`, `AssinaturaExtraida`, and the
three structured answers `ExtracaoEmpresas`, `ExtracaoAssinaturas`,
`ExtracaoDadosContrato`), and what the checker concludes (`CampoVerificado`,
`EmpresaVerificada`, `AssinaturaVerificada`).

The extracted records refuse keys they do not know, so that an answer in an unexpected
shape ends the verification instead of being half read.
"""

from typing import Any, Dict, List, Optional

from pydantic import BaseModel, ConfigDict, Field

# Status of a field check and the indicator the report prints in front of it.
STATUS_EMOJI = {
    "aprovado": "✅",
    "reprovado": "❌",
    "pendente": "⚠️",
    "nao_verificado": "➖",
}


class EmpresaExtraida(BaseModel):
    """One company as the contract names it."""

    model_config = ConfigDict(extra="forbid")

    cnpj: Optional[str] = Field(None, description="CNPJ da empresa, como escrito no contrato")
    razao_social: Optional[str] = Field(None, description="Razão social completa")
    nome_fantasia: Optional[str] = Field(None, description="Nome fantasia, se houver")
    endereco: Optional[str] = Field(None, description="Endereço completo, como escrito no contrato")
    papel_no_contrato: Optional[str] = Field(
        None, description="Papel no contrato: contratante, contratada, interveniente, fiadora..."
    )


class AssinaturaExtraida(BaseModel):
    """One person who signs the contract or represents a party."""

    model_config = ConfigDict(extra="forbid")

    nome_signatario: Optional[str] = Field(None, description="Nome completo da pessoa")
    cargo: Optional[str] = Field(None, description="Cargo ou qualidade em que assina")
    cpf: Optional[str] = Field(None, description="CPF, se houver")
    empresa_representada: Optional[str] = Field(
        None, description="Razão social da empresa que a pessoa representa"
    )
    cnpj_empresa: Optional[str] = Field(None, description="CNPJ da empresa representada")
    tipo_assinatura: Optional[str] = Field(
        None,
        description=(
            "Tipo de assinatura: representante, procurador, digital... "
            'Escreva "testemunha" para as testemunhas.'
        ),
    )


class ExtracaoEmpresas(BaseModel):
    empresas: List[EmpresaExtraida] = Field(default_factory=list)


class ExtracaoAssinaturas(BaseModel):
    assinaturas: List[AssinaturaExtraida] = Field(default_factory=list)


class ExtracaoDadosContrato(BaseModel):
    tipo_contrato: Optional[str] = Field(None, description="Tipo de contrato")
    objeto: Optional[str] = Field(None, description="Objeto do contrato")
    data_assinatura: Optional[str] = Field(None, description="Data do contrato")
    vigencia: Optional[str] = Field(None, description="Vigência")
    valor: Optional[str] = Field(None, description="Valor do contrato")
    foro: Optional[str] = Field(None, description="Foro eleito")


class CampoVerificado(BaseModel):
    """One checked field: what the contract says, what the registry says, the outcome."""

    campo: str
    status: str
    valor_contrato: Optional[str] = None
    valor_receita: Optional[str] = None
    mensagem: Optional[str] = ""

    @property
    def emoji(self) -> str:
        return STATUS_EMOJI.get(self.status, "❓")


class EmpresaVerificada(BaseModel):
    cnpj: str = ""
    razao_social_contrato: Optional[str] = None
    razao_social_receita: Optional[str] = None
    papel_no_contrato: Optional[str] = None
    campos: List[CampoVerificado] = Field(default_factory=list)
    cnpj_encontrado: bool = False
    cnpj_buscado_por_nome: bool = False
    empresa_ativa: bool = False
    razao_social_confere: bool = False
    socios: List[Dict[str, Any]] = Field(default_factory=list)
    problemas: List[str] = Field(default_factory=list)


class AssinaturaVerificada(BaseModel):
    nome_signatario: str
    cargo: Optional[str] = None
    empresa_representada: Optional[str] = None
    cnpj_empresa: Optional[str] = None
    tipo_assinatura: Optional[str] = None
    campos: List[CampoVerificado] = Field(default_factory=list)
    tem_poder_assinatura: bool = False
    qualificacao_qsa: Optional[str] = None
    problemas: List[str] = Field(default_factory=list)


__all__ = [
    "STATUS_EMOJI",
    "AssinaturaExtraida",
    "AssinaturaVerificada",
    "CampoVerificado",
    "EmpresaExtraida",
    "EmpresaVerificada",
    "ExtracaoAssinaturas",
    "ExtracaoDadosContrato",
    "ExtracaoEmpresas",
]
