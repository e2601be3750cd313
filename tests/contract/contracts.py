"""Contract PDFs for the checker tests, made with PyMuPDF, and what the other side says.

A `Contrato` describes the parties (companies with CNPJ, legal name and address), the
people who sign (partners, attorneys, witnesses) and the general data of the deal. From
it come:

* `pdf_bytes()` / `write(path)`: a two-page PDF with a text layer: the qualification of
  the parties and the clauses on page 1, the signature block on page 2;
* `extracao_empresas()`, `extracao_assinaturas()`, `extracao_dados()`: the structured
  answers a model gives for the three extraction questions (every key present, None
  where the contract is silent);
* `responder(uso)`: a responder for `servers.chat.ChatServer` that plays the model: it
  answers each structured question by the schema name of the request, and mentions only
  the parties, people and data that really appear in the text it was sent.

`Socio` and `registro_brasil_api` give the registry's view of a company (the BrasilAPI
answer and the partner mapping of a company record).

`contrato_exemplo()` and `registros_exemplo()` are the sample deal of the flow tests and
the benchmark: two companies, a partner of each signing, an attorney, two witnesses, and
the BrasilAPI answers for both companies.
"""

from __future__ import annotations

import copy
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from typing import Any

import pymupdf
from pydantic import BaseModel

from servers.chat import ChatServer
from servers.registry import brasil_api_record, cnpj_com_digitos, fmt


class Parties(BaseModel):
    """A question's response model: the contract's two parties. Defined here, on the tests'
    import path, so that a cluster's worker processes import it by the same name."""

    contratante: str
    contratada: str


# The keys of a verification's result, in the order the checker writes them.
RESULT_KEYS = [
    "resultado_final",
    "justificativa",
    "campos_aprovados",
    "campos_reprovados",
    "campos_pendentes",
    "total_campos",
    "total_aprovados",
    "total_reprovados",
    "total_pendentes",
    "empresas",
    "assinaturas",
    "dados_contrato",
    "metricas",
]

# Usage the fake model reports per question: (prompt tokens, completion tokens).
USO_PADRAO = {
    "ExtracaoEmpresas": (400, 100),
    "ExtracaoAssinaturas": (350, 150),
    "ExtracaoDadosContrato": (200, 34),
}


def _colapsar(texto: str) -> str:
    return " ".join(texto.split())


@dataclass
class Empresa:
    razao_social: str | None
    cnpj: str | None
    endereco: str | None
    papel: str = "contratante"
    nome_fantasia: str | None = None

    def paragrafo(self) -> str:
        partes = [f"{self.papel.upper()}: {self.razao_social}, pessoa jurídica de direito privado"]
        if self.cnpj:
            partes.append(f"inscrita no CNPJ sob o nº {self.cnpj}")
        if self.endereco:
            partes.append(f"com sede em {self.endereco}")
        return ", ".join(partes) + ", neste ato representada na forma de seu contrato social."

    def extraida(self) -> dict[str, Any]:
        return {
            "cnpj": self.cnpj,
            "razao_social": self.razao_social,
            "nome_fantasia": self.nome_fantasia,
            "endereco": self.endereco,
            "papel_no_contrato": self.papel,
        }


@dataclass
class Signatario:
    nome: str
    cargo: str | None = None
    cpf: str | None = None
    empresa: str | None = None
    cnpj_empresa: str | None = None
    tipo: str | None = None

    @property
    def testemunha(self) -> bool:
        return "testemunha" in f"{self.tipo or ''} {self.cargo or ''}".lower()

    def bloco(self) -> list[str]:
        linhas = ["", "_" * 40, self.nome]
        if self.cargo:
            linhas.append(self.cargo)
        if self.cpf:
            linhas.append(f"CPF: {self.cpf}")
        if self.empresa:
            linhas.append(f"p/ {self.empresa}")
        return linhas

    def extraida(self) -> dict[str, Any]:
        return {
            "nome_signatario": self.nome,
            "cargo": self.cargo,
            "cpf": self.cpf,
            "empresa_representada": self.empresa,
            "cnpj_empresa": self.cnpj_empresa,
            "tipo_assinatura": self.tipo,
        }


@dataclass
class Contrato:
    empresas: list[Empresa]
    signatarios: list[Signatario]
    tipo_contrato: str = "Prestação de Serviços"
    objeto: str = "prestação de serviços de manutenção de sistemas de informação"
    data_assinatura: str = "10 de março de 2025"
    vigencia: str = "12 (doze) meses"
    valor: str = "R$ 120.000,00"
    foro: str = "Comarca de São Paulo/SP"
    extras: dict[str, Any] = field(default_factory=dict)

    def com(self, **mudancas) -> Contrato:
        return replace(copy.deepcopy(self), **mudancas)

    # -- the document --------------------------------------------------------------

    def paginas(self) -> list[str]:
        qualificacao = [
            f"CONTRATO DE {self.tipo_contrato.upper()}",
            "",
            "Pelo presente instrumento particular, as partes abaixo qualificadas:",
            "",
        ]
        for emp in self.empresas:
            qualificacao += [emp.paragrafo(), ""]
        qualificacao += [
            "têm entre si justo e contratado o seguinte:",
            "",
            f"CLÁUSULA PRIMEIRA - DO OBJETO: o objeto deste contrato é a {self.objeto}.",
            "",
            f"CLÁUSULA SEGUNDA - DA VIGÊNCIA: o contrato vigorará por {self.vigencia}.",
            "",
            f"CLÁUSULA TERCEIRA - DO VALOR: pelos serviços será pago o valor de {self.valor}.",
            "",
            f"CLÁUSULA QUARTA - DO FORO: fica eleito o foro da {self.foro}.",
        ]
        assinaturas = [
            f"São Paulo, {self.data_assinatura}.",
            "",
            "ASSINATURAS DAS PARTES E DE SEUS REPRESENTANTES",
        ]
        for s in self.signatarios:
            if not s.testemunha:
                assinaturas += s.bloco()
        testemunhas = [s for s in self.signatarios if s.testemunha]
        if testemunhas:
            assinaturas += ["", "TESTEMUNHAS:"]
            for s in testemunhas:
                assinaturas += s.bloco()
        return ["\n".join(qualificacao), "\n".join(assinaturas)]

    def pdf_bytes(self) -> bytes:
        doc = pymupdf.open()
        for texto in self.paginas():
            page = doc.new_page()
            sobra = page.insert_textbox(pymupdf.Rect(50, 50, 550, 800), texto, fontsize=10, fontname="helv")
            if sobra < 0:
                raise ValueError("o texto não coube na página")
        data = doc.tobytes()
        doc.close()
        return data

    def write(self, path) -> Any:
        path.write_bytes(self.pdf_bytes())
        return path

    # -- what a model reads from it -------------------------------------------------

    def extracao_empresas(self) -> dict[str, Any]:
        return {"empresas": [e.extraida() for e in self.empresas]}

    def extracao_assinaturas(self) -> dict[str, Any]:
        return {"assinaturas": [s.extraida() for s in self.signatarios]}

    def extracao_dados(self) -> dict[str, Any]:
        return {
            "tipo_contrato": self.tipo_contrato,
            "objeto": self.objeto,
            "data_assinatura": self.data_assinatura,
            "vigencia": self.vigencia,
            "valor": self.valor,
            "foro": self.foro,
        }

    def responder(self, uso: dict[str, tuple] | None = None) -> Callable[[dict[str, Any]], Any]:
        """A model that answers from the text it receives: a company is reported only when
        its CNPJ (or, without one, its legal name) is in the prompt, a person only when the
        name is, a contract datum only when its value is."""
        uso = dict(USO_PADRAO, **(uso or {}))

        def answer(body: dict[str, Any]) -> dict[str, Any]:
            fmt = body.get("response_format") or {}
            # json_schema names the schema; a json_object request (llama.cpp's servers)
            # carries the schema itself, titled by its model.
            nome = (fmt.get("json_schema") or {}).get("name") or (fmt.get("schema") or {}).get("title")
            texto = _colapsar(
                " ".join(
                    str(m.get("content", "")) for m in body.get("messages", []) if m.get("role") == "user"
                )
            )
            if nome == "ExtracaoEmpresas":
                out = {
                    "empresas": [
                        e.extraida()
                        for e in self.empresas
                        if _colapsar(e.cnpj or e.razao_social or "") in texto
                    ]
                }
            elif nome == "ExtracaoAssinaturas":
                out = {"assinaturas": [s.extraida() for s in self.signatarios if _colapsar(s.nome) in texto]}
            elif nome == "ExtracaoDadosContrato":
                out = {k: (v if _colapsar(v) in texto else None) for k, v in self.extracao_dados().items()}
            else:
                return ChatServer.error(400, f"esquema inesperado: {nome!r}")
            prompt, completion = uso[nome]
            return ChatServer.json(out, prompt_tokens=prompt, completion_tokens=completion)

        return answer


# -- the registry's side ------------------------------------------------------------------


@dataclass
class Socio:
    nome: str
    qualificacao: str
    nome_representante: str = ""
    qualificacao_representante: str = ""
    data_entrada: str = "2010-05-04"
    cpf_representante: str = ""

    def qsa_brasil_api(self) -> dict[str, Any]:
        return {
            "nome_socio": self.nome,
            "qualificacao_socio": self.qualificacao,
            "data_entrada_sociedade": self.data_entrada,
            "cpf_representante_legal": self.cpf_representante,
            "nome_representante_legal": self.nome_representante,
            "qualificacao_representante_legal": self.qualificacao_representante,
        }

    def registro(self) -> dict[str, Any]:
        """The partner mapping of a company record."""
        return {
            "nome": self.nome,
            "qualificacao": self.qualificacao,
            "data_entrada": self.data_entrada,
            "cpf_representante": self.cpf_representante,
            "nome_representante": self.nome_representante,
            "qualificacao_representante": self.qualificacao_representante,
        }


def registro_brasil_api(
    cnpj14: str, razao_social: str, socios: list[Socio], situacao: str = "ATIVA", **endereco: str
) -> dict[str, Any]:
    """A BrasilAPI answer for one company; `endereco` keys are BrasilAPI's (logradouro,
    numero, complemento, bairro, municipio, uf, cep)."""
    return brasil_api_record(
        cnpj=cnpj14,
        razao_social=razao_social,
        descricao_situacao_cadastral=situacao,
        qsa=[s.qsa_brasil_api() for s in socios],
        **endereco,
    )


# -- the sample deal used by the flow tests and the benchmark -----------------------------

CNPJ_ALFA = cnpj_com_digitos("123456780001")
CNPJ_BETA = cnpj_com_digitos("876543210001")

RAZAO_ALFA = "ALFA TECNOLOGIA LTDA"
RAZAO_BETA = "BETA SERVIÇOS S.A."  # as the contract writes it
RAZAO_BETA_RECEITA = "BETA SERVICOS S.A."  # as the registry writes it

ENDERECO_ALFA = "Rua das Palmeiras, nº 1.250, sala 804, Bairro Funcionários, Belo Horizonte/MG, CEP 30140-071"
ENDERECO_BETA = "Av. Paulista, 1000, Bela Vista, São Paulo/SP"

# The registry's address of each company: ALFA's is the contract's address in fields;
# BETA's is the contract's one (`endereco_beta_confere`) or another street.
ENDERECO_RECEITA_ALFA = dict(
    logradouro="RUA DAS PALMEIRAS",
    numero="1250",
    complemento="SALA 804",
    bairro="FUNCIONARIOS",
    municipio="BELO HORIZONTE",
    uf="MG",
    cep="30140071",
)
ENDERECO_RECEITA_BETA = dict(
    logradouro="AV PAULISTA",
    numero="1000",
    complemento="",
    bairro="BELA VISTA",
    municipio="SAO PAULO",
    uf="SP",
    cep="01310100",
)
ENDERECO_RECEITA_BETA_OUTRO = dict(
    logradouro="AV BRIGADEIRO FARIA LIMA",
    numero="3477",
    complemento="ANDAR 14",
    bairro="ITAIM BIBI",
    municipio="SAO PAULO",
    uf="SP",
    cep="04538133",
)

JOAO = Signatario(
    "João Pereira Lima",
    "Diretor Presidente",
    cpf="123.456.789-09",
    empresa=RAZAO_ALFA,
    cnpj_empresa=fmt(CNPJ_ALFA),
    tipo="representante legal",
)
ANA = Signatario(
    "Ana Beatriz Souza",
    "Sócia-Administradora",
    cpf="987.654.321-00",
    empresa=RAZAO_BETA,
    cnpj_empresa=fmt(CNPJ_BETA),
    tipo="representante legal",
)
CARLOS = Signatario(
    "Carlos Eduardo Ramos", "Procurador", cpf="111.444.777-35", empresa=RAZAO_BETA, tipo="procurador"
)
FERNANDA = Signatario("Fernanda Lopes Carvalho", "Testemunha", cpf="222.333.444-05", tipo="testemunha")
RICARDO = Signatario("Ricardo Alves Monteiro", cpf="555.666.777-88", tipo="Testemunha 2")


def contrato_exemplo() -> Contrato:
    """Two companies with valid CNPJs and addresses, a partner of each signing, an
    attorney of BETA, two witnesses."""
    return Contrato(
        empresas=[
            Empresa(RAZAO_ALFA, fmt(CNPJ_ALFA), ENDERECO_ALFA, "contratante"),
            Empresa(RAZAO_BETA, fmt(CNPJ_BETA), ENDERECO_BETA, "contratada"),
        ],
        signatarios=[copy.deepcopy(s) for s in (JOAO, ANA, CARLOS, FERNANDA, RICARDO)],
    )


def socios_alfa() -> list[Socio]:
    return [Socio("JOAO PEREIRA LIMA", "Sócio-Administrador"), Socio("HELENA PEREIRA LIMA", "Sócio")]


def socios_beta(procurador_socio: bool = False) -> list[Socio]:
    socios = [
        Socio("ANA BEATRIZ SOUZA", "Sócio-Administrador"),
        Socio("GUSTAVO HENRIQUE MOTA", "Sócio"),
        Socio("PATRICIA NOGUEIRA DIAS", "Sócio"),
        Socio("RODRIGO FARIAS BASTOS", "Sócio"),
    ]
    if procurador_socio:
        socios.append(Socio("CARLOS EDUARDO RAMOS", "Administrador"))
    return socios


def registros_exemplo(
    procurador_socio: bool = False, endereco_beta_confere: bool = False, situacao_alfa: str = "ATIVA"
) -> dict[str, dict[str, Any]]:
    """BrasilAPI answers for the two companies of `contrato_exemplo`, by 14-digit CNPJ."""
    beta_endereco = ENDERECO_RECEITA_BETA if endereco_beta_confere else ENDERECO_RECEITA_BETA_OUTRO
    return {
        CNPJ_ALFA: registro_brasil_api(
            CNPJ_ALFA, RAZAO_ALFA, socios_alfa(), situacao_alfa, **ENDERECO_RECEITA_ALFA
        ),
        CNPJ_BETA: registro_brasil_api(
            CNPJ_BETA, RAZAO_BETA_RECEITA, socios_beta(procurador_socio), **beta_endereco
        ),
    }
