"""The whole verification of a contract PDF: the reader asks the local chat server the
three extraction questions, the companies are looked up in the fake registry, the
signatories are checked against the partner lists, and the verdict, the result mapping
and the printed report come out. Also the ways a verification ends early or degrades:
no reader, a missing file, failing model calls, a slow or broken registry, answers the
records refuse, and the report's own formatting."""

from __future__ import annotations

import copy
import json
import os
import re
import time
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, ClassVar

import pytest
from pydantic import ValidationError

import vorlex
import vorlex.contract.countries.br.cnpj as cnpj_mod
from contract.contracts import (
    CNPJ_ALFA,
    CNPJ_BETA,
    ENDERECO_ALFA,
    ENDERECO_BETA,
    RAZAO_ALFA,
    RAZAO_BETA,
    RAZAO_BETA_RECEITA,
    RESULT_KEYS,
    USO_PADRAO,
    contrato_exemplo,
    registros_exemplo,
)
from servers.chat import ChatServer
from servers.registry import Reply, fmt
from vorlex.contract.checker import ContractChecker, verificar_contrato
from vorlex.contract.models import AssinaturaVerificada, CampoVerificado, EmpresaVerificada
from vorlex.models.result import ProcessingMetrics

MODELO = "gpt-4o-mini"
IGUAL = "=" * 60
TRACO = "─" * 60
EMOJI = {"aprovado": "✅", "reprovado": "❌", "pendente": "⚠️", "nao_verificado": "➖"}
TOKENS_PADRAO = sum(p + c for p, c in USO_PADRAO.values())
SEM_CAMPOS = "Nenhum campo verificado; análise manual necessária"
TESTEMUNHA = "Testemunha: poder de assinatura não exigido"

ALFA_END_RECEITA = "RUA DAS PALMEIRAS 1250 SALA 804 FUNCIONARIOS BELO HORIZONTE MG 30140071"
BETA_END_RECEITA = "AV PAULISTA 1000 BELA VISTA SAO PAULO SP 01310100"
BETA_END_OUTRO = "AV BRIGADEIRO FARIA LIMA 3477 ANDAR 14 ITAIM BIBI SAO PAULO SP 04538133"
QSA_BETA = "QSA: ANA BEATRIZ SOUZA, GUSTAVO HENRIQUE MOTA, PATRICIA NOGUEIRA DIAS..."


# -- what a verification should give, written from the scenario ------------------------

Campo = tuple[str, str, str | None, str | None, str]  # campo, status, contrato, receita, msg


@dataclass
class Emp:
    rotulo: str  # the name in labels and in the report
    cnpj: str  # the registry's CNPJ, or the contract's when not found
    campos: list[Campo]
    ativa: bool = True
    por_busca: bool = False
    encontrada: bool = True
    razao_contrato: str | None = None
    razao_receita: str | None = None
    papel: str | None = None
    problemas: list[str] = field(default_factory=list)


@dataclass
class Ass:
    nome: str
    cargo: str | None
    campo: Campo
    poder: bool = False
    qualificacao: str | None = None
    problemas: list[str] = field(default_factory=list)


def campo_cnpj(contrato, receita):
    return ("CNPJ", "aprovado", contrato, receita, "CNPJ encontrado")


def campo_cnpj_ausente(contrato):
    return ("CNPJ", "reprovado", contrato, None, "CNPJ não encontrado na Receita Federal")


def campo_situacao(situacao="ATIVA"):
    ativa = situacao == "ATIVA"
    return ("Situação Cadastral", "aprovado" if ativa else "reprovado", "-", situacao, f"Empresa {situacao}")


def campo_razao(contrato, receita):
    return ("Razão Social", "aprovado", contrato, receita, "Confere")


def campo_endereco(contrato, receita, pct, confere=True):
    return ("Endereço", "aprovado" if confere else "pendente", contrato, receita, f"Similaridade: {pct}%")


def poder(nome, qualificacao):
    return Ass(
        nome,
        None,
        ("Poder de Assinatura", "aprovado", nome, qualificacao, f"Signatário tem poder ({qualificacao})"),
        poder=True,
        qualificacao=qualificacao,
    )


def sem_poder(nome, qsa):
    return Ass(
        nome,
        None,
        ("Poder de Assinatura", "reprovado", nome, qsa, "Signatário NÃO encontrado no QSA"),
        problemas=["Signatário sem poder de assinatura"],
    )


def sem_empresa(nome):
    return Ass(nome, None, ("Poder de Assinatura", "pendente", nome, None, "Não foi possível verificar"))


def como_testemunha(nome):
    return Ass(nome, None, ("Identificação", "nao_verificado", None, None, TESTEMUNHA))


def com_cargo(ass: Ass, cargo: str | None) -> Ass:
    ass.cargo = cargo
    return ass


def rotulos(empresas: list[Emp], assinaturas: list[Ass]):
    listas = {"aprovado": [], "reprovado": [], "pendente": []}
    for e in empresas:
        for c in e.campos:
            if c[1] in listas:
                listas[c[1]].append(f"{c[0]} - {e.rotulo}")
    for a in assinaturas:
        if a.campo[1] in listas:
            listas[a.campo[1]].append(f"{a.campo[0]} - {a.nome}")
    return listas["aprovado"], listas["reprovado"], listas["pendente"]


def cabecalho(arquivo="contrato.pdf") -> list[str]:
    return [" ", IGUAL, "🔍 VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO", f"📄 Arquivo: {arquivo}", " " + IGUAL]


def progresso_extracao(n_empresas, n_assinaturas) -> list[str]:
    return [
        " ",
        "📤 Extraindo dados do contrato...",
        f"🏢 Empresas extraídas: {n_empresas}",
        f"✍️ Assinaturas extraídas: {n_assinaturas}",
        " ",
        "🔍 Validando empresas na Receita Federal...",
    ]


def verificando_empresa(razao) -> list[str]:
    return ["🏢 ", f"--- Verificando: {razao} ---"]


def relatorio(
    veredito,
    justificativa,
    aprovados,
    reprovados,
    pendentes,
    empresas: list[Emp],
    assinaturas: list[Ass],
    tokens,
    custo,
    tempo,
) -> list[str]:
    ind = {"APROVADO": "✅", "REPROVADO": "❌", "PENDENTE": "⚠️"}.get(veredito, "❓")
    linhas = [
        "",
        IGUAL,
        f"{ind * 3} RESULTADO FINAL: {veredito} {ind * 3}",
        IGUAL,
        f"   {justificativa}",
        "",
        TRACO,
        "📋 CAMPOS VERIFICADOS",
        TRACO,
        f"   ✅ Aprovados: {len(aprovados)}",
        f"   ❌ Reprovados: {len(reprovados)}",
        f"   ⚠️ Pendentes: {len(pendentes)}",
    ]
    for titulo, lista in (
        ("✅ APROVADOS", aprovados),
        ("❌ REPROVADOS", reprovados),
        ("⚠️ PENDENTES", pendentes),
    ):
        if lista:
            linhas += ["", f"   {titulo}:"] + [f"      • {x}" for x in lista]
    linhas += ["", TRACO, f"🏢 EMPRESAS ({len(empresas)})", TRACO]
    for e in empresas:
        status = {c[1] for c in e.campos}
        icone = "✅" if e.ativa else ("⚠️" if "pendente" in status and "reprovado" not in status else "❌")
        linhas += [
            "",
            f"   {icone} {e.rotulo}",
            f"      CNPJ: {e.cnpj or 'N/A'}" + (" (encontrado por busca)" if e.por_busca else ""),
        ]
        linhas += [f"      {EMOJI[c[1]]} {c[0]}: {c[4]}" for c in e.campos]
    linhas += ["", TRACO, f"✍️ ASSINATURAS ({len(assinaturas)})", TRACO]
    for a in assinaturas:
        # the header follows the signatory's own check
        icone = {"aprovado": "✅", "reprovado": "❌", "pendente": "⚠️"}.get(
            a.campo[1], "👁️" if a.campo[4].startswith("Testemunha") else "⚠️"
        )
        linhas += ["", f"   {icone} {a.nome}"]
        if a.cargo:
            linhas.append(f"      Cargo: {a.cargo}")
        linhas.append(f"      {EMOJI[a.campo[1]]} {a.campo[0]}: {a.campo[4]}")
    linhas += [
        "",
        TRACO,
        "💰 MÉTRICAS",
        TRACO,
        f"   Tokens: {tokens:,}",
        f"   Custo: ${custo:.4f}",
        f"   Tempo: {tempo:.1f}s",
        "",
        IGUAL,
    ]
    return linhas


def linhas_de(texto: str) -> list[str]:
    assert texto.endswith("\n")
    return texto[:-1].split("\n")


def confere_resultado(r, veredito, justificativa, empresas: list[Emp], assinaturas: list[Ass], contrato_sig):
    """The 13-key mapping against the expected companies and signatories."""
    assert list(r) == RESULT_KEYS
    aprovados, reprovados, pendentes = rotulos(empresas, assinaturas)
    assert (r["resultado_final"], r["justificativa"]) == (veredito, justificativa)
    assert r["campos_aprovados"] == aprovados
    assert r["campos_reprovados"] == reprovados
    assert r["campos_pendentes"] == pendentes
    assert (r["total_aprovados"], r["total_reprovados"], r["total_pendentes"]) == (
        len(aprovados),
        len(reprovados),
        len(pendentes),
    )
    assert r["total_campos"] == len(aprovados) + len(reprovados) + len(pendentes)

    assert len(r["empresas"]) == len(empresas)
    for got, exp in zip(r["empresas"], empresas, strict=True):
        assert [
            (c["campo"], c["status"], c["valor_contrato"], c["valor_receita"], c["mensagem"])
            for c in got["campos"]
        ] == exp.campos
        assert got["cnpj"] == exp.cnpj
        assert got["razao_social_contrato"] == exp.razao_contrato
        assert got["razao_social_receita"] == exp.razao_receita
        assert got["papel_no_contrato"] == exp.papel
        assert (got["cnpj_encontrado"], got["cnpj_buscado_por_nome"], got["empresa_ativa"]) == (
            exp.encontrada,
            exp.por_busca,
            exp.ativa,
        )
        assert got["problemas"] == exp.problemas

    assert len(r["assinaturas"]) == len(assinaturas)
    por_nome = {s.nome: s for s in contrato_sig}
    for got, exp in zip(r["assinaturas"], assinaturas, strict=True):
        sig = por_nome[exp.nome]
        assert (
            got["nome_signatario"],
            got["cargo"],
            got["empresa_representada"],
            got["cnpj_empresa"],
            got["tipo_assinatura"],
        ) == (sig.nome, sig.cargo, sig.empresa, sig.cnpj_empresa, sig.tipo)
        assert [
            (c["campo"], c["status"], c["valor_contrato"], c["valor_receita"], c["mensagem"])
            for c in got["campos"]
        ] == [exp.campo]
        assert (got["tem_poder_assinatura"], got["qualificacao_qsa"]) == (exp.poder, exp.qualificacao)
        assert got["problemas"] == exp.problemas

    assert set(r["metricas"]) == {"tokens", "custo_usd", "tempo_segundos"}


def confere_saida(
    saida, esperado_antes: list[str], veredito, justificativa, empresas: list[Emp], assinaturas: list[Ass], r
):
    aprovados, reprovados, pendentes = rotulos(empresas, assinaturas)
    m = r["metricas"]
    esperado = esperado_antes + relatorio(
        veredito,
        justificativa,
        aprovados,
        reprovados,
        pendentes,
        empresas,
        assinaturas,
        m["tokens"],
        m["custo_usd"],
        m["tempo_segundos"],
    )
    assert linhas_de(saida) == esperado
    assert re.fullmatch(r"   Tempo: \d+\.\ds", linhas_de(saida)[-3])


# -- the sample deal: three scenarios --------------------------------------------------------


def empresa_alfa(situacao="ATIVA"):
    ativa = situacao == "ATIVA"
    return Emp(
        RAZAO_ALFA,
        fmt(CNPJ_ALFA),
        [
            campo_cnpj(fmt(CNPJ_ALFA), fmt(CNPJ_ALFA)),
            campo_situacao(situacao),
            campo_razao(RAZAO_ALFA, RAZAO_ALFA),
            campo_endereco(ENDERECO_ALFA, ALFA_END_RECEITA, 100),
        ],
        ativa=ativa,
        razao_contrato=RAZAO_ALFA,
        razao_receita=RAZAO_ALFA,
        papel="contratante",
        problemas=[] if ativa else [f"Empresa com situação: {situacao}"],
    )


def empresa_beta(endereco_confere, por_busca=False):
    endereco = (
        campo_endereco(ENDERECO_BETA, BETA_END_RECEITA, 86)
        if endereco_confere
        else campo_endereco(ENDERECO_BETA, BETA_END_OUTRO, 15, confere=False)
    )
    cnpj_contrato = "(buscado automaticamente)" if por_busca else fmt(CNPJ_BETA)
    return Emp(
        RAZAO_BETA_RECEITA,
        fmt(CNPJ_BETA),
        [
            campo_cnpj(cnpj_contrato, fmt(CNPJ_BETA)),
            campo_situacao(),
            campo_razao(RAZAO_BETA, RAZAO_BETA_RECEITA),
            endereco,
        ],
        por_busca=por_busca,
        razao_contrato=RAZAO_BETA,
        razao_receita=RAZAO_BETA_RECEITA,
        papel="contratada",
    )


def assinaturas_exemplo(procurador_socio):
    carlos = (
        poder("Carlos Eduardo Ramos", "Administrador")
        if procurador_socio
        else sem_poder("Carlos Eduardo Ramos", QSA_BETA)
    )
    return [
        com_cargo(poder("João Pereira Lima", "Sócio-Administrador"), "Diretor Presidente"),
        com_cargo(poder("Ana Beatriz Souza", "Sócio-Administrador"), "Sócia-Administradora"),
        com_cargo(carlos, "Procurador"),
        com_cargo(como_testemunha("Fernanda Lopes Carvalho"), "Testemunha"),
        como_testemunha("Ricardo Alves Monteiro"),
    ]


def linhas_assinaturas(assinaturas: list[Ass]) -> list[str]:
    linhas = ["✍️ ", "--- Verificando Assinaturas ---"]
    for a in assinaturas:
        linhas.append(f"👤 Verificando: {a.nome}")
        status = a.campo[1]
        if status == "aprovado":
            linhas.append(f" ✅ {a.nome} TEM PODER ({a.qualificacao})")
        elif status == "reprovado":
            linhas.append(f" ❌ {a.nome} NÃO TEM PODER")
        elif status == "pendente":
            linhas.append(f" ⚠️ {a.nome} - não foi possível verificar")
        else:
            linhas.append(f" 👁️ {a.nome} - testemunha")
    return linhas


@pytest.fixture
def modelo(chat_server):
    """Plays the model for a contract and keeps the structured answer it gave to each
    question, by schema name."""

    class Modelo:
        respostas: ClassVar[dict[str, Any]] = {}

        def responder(self, contrato, uso=None):
            base = contrato.responder(uso)

            def answer(body):
                out = base(body)
                nome = body["response_format"]["json_schema"]["name"]
                self.respostas[nome] = json.loads(out["content"])
                return out

            chat_server.responder = answer

    return Modelo()


@pytest.fixture
def pdf(tmp_path):
    def write(contrato, nome="contrato.pdf"):
        return contrato.write(tmp_path / nome)

    return write


def test_attorney_outside_the_partner_list_rejects_the_contract(
    make_checker, modelo, registry, pdf, chat_server, capsys
):
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo())
    modelo.responder(contrato)
    checker = make_checker(model=MODELO)

    r = checker.verificar(pdf(contrato))

    empresas = [empresa_alfa(), empresa_beta(endereco_confere=False)]
    assinaturas = assinaturas_exemplo(procurador_socio=False)
    # A rejected signatory outweighs BETA's pending address.
    confere_resultado(r, "REPROVADO", "1 campo(s) reprovado(s)", empresas, assinaturas, contrato.signatarios)
    assert r["campos_reprovados"] == ["Poder de Assinatura - Carlos Eduardo Ramos"]
    assert r["campos_pendentes"] == [f"Endereço - {RAZAO_BETA_RECEITA}"]
    assert r["dados_contrato"] == modelo.respostas["ExtracaoDadosContrato"]
    assert r["metricas"]["tokens"] == TOKENS_PADRAO
    assert r["metricas"]["custo_usd"] > 0
    assert [s["nome"] for s in r["empresas"][1]["socios"]] == [
        "ANA BEATRIZ SOUZA",
        "GUSTAVO HENRIQUE MOTA",
        "PATRICIA NOGUEIRA DIAS",
        "RODRIGO FARIAS BASTOS",
    ]

    # One document run: three questions, on the model the checker was given.
    assert sorted(q["body"]["response_format"]["json_schema"]["name"] for q in chat_server.requests) == [
        "ExtracaoAssinaturas",
        "ExtracaoDadosContrato",
        "ExtracaoEmpresas",
    ]
    assert {q["body"]["model"] for q in chat_server.requests} == {MODELO}
    # One BrasilAPI lookup per company (side by side), nothing more: signatories use the
    # cache.
    assert sorted((q.service, q.path.rsplit("/", 1)[1]) for q in registry.requests) == sorted(
        [("brasilapi", CNPJ_ALFA), ("brasilapi", CNPJ_BETA)]
    )

    antes = (
        cabecalho()
        + progresso_extracao(2, 5)
        + verificando_empresa(RAZAO_ALFA)
        + [f"🔍 Consultando CNPJ {fmt(CNPJ_ALFA)}..."]
        + verificando_empresa(RAZAO_BETA)
        + [f"🔍 Consultando CNPJ {fmt(CNPJ_BETA)}..."]
        + linhas_assinaturas(assinaturas)
    )
    confere_saida(
        capsys.readouterr().out, antes, "REPROVADO", "1 campo(s) reprovado(s)", empresas, assinaturas, r
    )


def test_partners_signing_and_matching_addresses_approve_the_contract(
    make_checker, modelo, registry, pdf, capsys
):
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    modelo.responder(contrato)

    r = make_checker(model=MODELO).verificar(str(pdf(contrato, "acordo-final.pdf")))

    empresas = [empresa_alfa(), empresa_beta(endereco_confere=True)]
    assinaturas = assinaturas_exemplo(procurador_socio=True)
    justificativa = "Todos os 11 campos verificados foram aprovados"
    confere_resultado(r, "APROVADO", justificativa, empresas, assinaturas, contrato.signatarios)
    # The dotted number and the dashed CEP of the contract read as the registry's digits.
    assert r["empresas"][0]["campos"][3]["mensagem"] == "Similaridade: 100%"
    assert r["total_campos"] == 11

    antes = (
        cabecalho("acordo-final.pdf")
        + progresso_extracao(2, 5)
        + verificando_empresa(RAZAO_ALFA)
        + [f"🔍 Consultando CNPJ {fmt(CNPJ_ALFA)}..."]
        + verificando_empresa(RAZAO_BETA)
        + [f"🔍 Consultando CNPJ {fmt(CNPJ_BETA)}..."]
        + linhas_assinaturas(assinaturas)
    )
    confere_saida(capsys.readouterr().out, antes, "APROVADO", justificativa, empresas, assinaturas, r)


def test_inactive_company_rejects_and_a_company_without_cnpj_is_found_by_name(
    make_checker, modelo, registry, pdf, capsys
):
    contrato = contrato_exemplo()
    contrato.empresas[1].cnpj = None  # BETA is named but its CNPJ is not written
    registry.brasil_api.update(
        registros_exemplo(procurador_socio=True, endereco_beta_confere=True, situacao_alfa="INATIVA")
    )
    registry.casa_dos_dados = [{"cnpj": CNPJ_BETA, "razao_social": RAZAO_BETA, "uf": "SP"}]
    modelo.responder(contrato)

    r = make_checker(model=MODELO).verificar(pdf(contrato))

    empresas = [empresa_alfa("INATIVA"), empresa_beta(endereco_confere=True, por_busca=True)]
    assinaturas = assinaturas_exemplo(procurador_socio=True)
    confere_resultado(r, "REPROVADO", "1 campo(s) reprovado(s)", empresas, assinaturas, contrato.signatarios)
    assert r["campos_reprovados"] == [f"Situação Cadastral - {RAZAO_ALFA}"]
    searches = registry.calls("casadosdados")
    assert [q.body["query"]["termo"] for q in searches] == [[RAZAO_BETA]]
    # The two companies' chains run side by side; within BETA's, the search comes first.
    asked = [(q.service, q.path.rsplit("/", 1)[1]) for q in registry.requests]
    assert sorted(asked) == sorted(
        [("brasilapi", CNPJ_ALFA), ("casadosdados", "search"), ("brasilapi", CNPJ_BETA)]
    )
    assert asked.index(("casadosdados", "search")) < asked.index(("brasilapi", CNPJ_BETA))

    antes = (
        cabecalho()
        + progresso_extracao(2, 5)
        + verificando_empresa(RAZAO_ALFA)
        + [f"🔍 Consultando CNPJ {fmt(CNPJ_ALFA)}..."]
        + verificando_empresa(RAZAO_BETA)
        + [f"🔎 Buscando por nome: {RAZAO_BETA}...", f" ✅ Encontrado: {fmt(CNPJ_BETA)}"]
        + linhas_assinaturas(assinaturas)
    )
    confere_saida(
        capsys.readouterr().out, antes, "REPROVADO", "1 campo(s) reprovado(s)", empresas, assinaturas, r
    )


def test_quiet_verification_prints_nothing_and_gives_the_same_result(
    make_checker, modelo, registry, pdf, capsys
):
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo())
    modelo.responder(contrato)
    caminho = pdf(contrato)

    falante = make_checker(model=MODELO).verificar(caminho)
    assert capsys.readouterr().out
    calado = make_checker(model=MODELO, verbose=False).verificar(caminho)

    assert capsys.readouterr().out == ""
    for r in (falante, calado):
        r["metricas"].pop("tempo_segundos")
    assert calado == falante


def test_one_checker_verifies_contracts_in_turn_asking_the_registry_each_time(
    make_checker, modelo, registry, pdf, chat_server
):
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo())
    modelo.responder(contrato)
    checker = make_checker(model=MODELO, verbose=False)

    primeiro = checker.verificar(pdf(contrato, "um.pdf"))
    segundo = checker.verificar(pdf(contrato, "dois.pdf"))

    assert len(chat_server.requests) == 6
    assert len(registry.calls("brasilapi")) == 4
    for r in (primeiro, segundo):
        assert (r["resultado_final"], r["total_aprovados"], r["total_reprovados"], r["total_pendentes"]) == (
            "REPROVADO",
            9,
            1,
            1,
        )


def test_verificar_contrato_builds_a_checker_and_runs_it(modelo, registry, pdf, chat_server, capsys):
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    modelo.responder(contrato)

    r = verificar_contrato(pdf(contrato), "BR", openai_api_key="sk-outra", verbose=False)

    assert list(r) == RESULT_KEYS
    assert (r["resultado_final"], r["justificativa"]) == (
        "APROVADO",
        "Todos os 11 campos verificados foram aprovados",
    )
    assert capsys.readouterr().out == ""
    assert {q["body"]["model"] for q in chat_server.requests} == {"gpt-4o"}
    assert {q["headers"]["authorization"] for q in chat_server.requests} == {"Bearer sk-outra"}


@pytest.fixture
def contrato_aprovado(modelo, registry, pdf, monkeypatch):
    """The sample contract, the registry and model answers that approve it, and none of
    the reader's own variables in the environment."""
    for nome in ("VORLEX_BASE_URL", "VORLEX_CACHE_PATH", "VORLEX_CACHE_URL"):
        monkeypatch.delenv(nome, raising=False)
    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    modelo.responder(contrato)
    return pdf(contrato)


def test_reader_settings_given_to_the_checker_reach_its_reader(
    contrato_aprovado, chat_server, monkeypatch, tmp_path
):
    """base_url and cache_path as arguments, none in the environment: the reader the
    checker builds asks the server named and keeps its answers in the file named, so a
    second checker on that file does not ask the model again."""
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")  # closed: not this way
    monkeypatch.delenv("OPENAI_API_KEY")
    caminho = contrato_aprovado
    resultados = tmp_path / "resultados.sqlite"
    ambiente = dict(os.environ)

    primeiro = ContractChecker(
        "BR",
        openai_api_key="sk-local",
        model=MODELO,
        verbose=False,
        base_url=chat_server.base_url,
        cache_path=str(resultados),
    )
    r = primeiro.verificar(caminho)

    assert (r["resultado_final"], r["total_aprovados"]) == ("APROVADO", 11)
    assert len(chat_server.requests) == 3
    assert {q["headers"]["authorization"] for q in chat_server.requests} == {"Bearer sk-local"}
    assert primeiro._client._base_url == chat_server.base_url
    assert resultados.is_file()

    segundo = ContractChecker(
        "BR",
        openai_api_key="sk-local",
        model=MODELO,
        verbose=False,
        base_url=chat_server.base_url,
        cache_path=resultados,
    )
    r2 = segundo.verificar(caminho)
    assert len(chat_server.requests) == 3  # answered from the results file
    assert (r2["resultado_final"], r2["campos_aprovados"]) == (r["resultado_final"], r["campos_aprovados"])
    assert dict(os.environ) == ambiente


def test_a_checker_without_reader_settings_builds_its_reader_from_the_environment(
    contrato_aprovado, chat_server
):
    checker = ContractChecker("BR", model=MODELO, verbose=False)
    assert checker.verificar(contrato_aprovado)["resultado_final"] == "APROVADO"
    # OPENAI_BASE_URL and OPENAI_API_KEY (set by the chat_server fixture) took it there.
    assert len(chat_server.requests) == 3
    assert checker._client._base_url is None and checker._client._cache is None


def test_verificar_contrato_without_any_key_fails_at_construction(pdf, capsys):
    caminho = pdf(contrato_exemplo())
    with pytest.raises(ValueError) as erro:
        verificar_contrato(caminho, "BR")
    assert str(erro.value) == (
        "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key."
    )
    assert capsys.readouterr().out == ""


# -- verifications that end early ---------------------------------------------------------------

RESULTADO_SEM_LEITOR = {
    "resultado_final": "PENDENTE",
    "justificativa": "Vorlex não disponível. Instale com: pip install vorlex",
    "campos_aprovados": [],
    "campos_reprovados": [],
    "campos_pendentes": ["Extração de dados não disponível"],
    "empresas": [],
    "assinaturas": [],
}


def test_unavailable_reader_gives_the_seven_key_result(make_checker, pdf, chat_server, registry, capsys):
    checker = make_checker(model=MODELO)
    checker._auth = SimpleNamespace(is_vorlex_available=False)
    caminho = pdf(contrato_exemplo())

    r = checker.verificar(caminho)

    assert list(r) == list(RESULTADO_SEM_LEITOR)
    assert r == RESULTADO_SEM_LEITOR
    assert linhas_de(capsys.readouterr().out) == cabecalho() + [
        "⚠️ Vorlex não disponível. Instale com: pip install vorlex"
    ]
    # Remembered: the second verification gives the same answer without trying again.
    assert checker.verificar(caminho) == RESULTADO_SEM_LEITOR
    assert linhas_de(capsys.readouterr().out) == cabecalho()
    assert chat_server.requests == [] and registry.requests == []


def test_reader_that_cannot_be_built_gives_the_seven_key_result(
    make_checker, pdf, monkeypatch, chat_server, capsys
):
    def quebrado(**kwargs):
        raise RuntimeError("cliente indisponível")

    monkeypatch.setattr(vorlex, "Vorlex", quebrado)
    r = make_checker(model=MODELO).verificar(pdf(contrato_exemplo()))

    assert list(r) == list(RESULTADO_SEM_LEITOR)
    assert r == RESULTADO_SEM_LEITOR
    assert linhas_de(capsys.readouterr().out) == cabecalho() + [
        "❌ Erro ao inicializar Vorlex: cliente indisponível"
    ]
    assert chat_server.requests == []


@pytest.mark.parametrize("verbose", [True, False])
def test_missing_file_raises_before_printing(make_checker, tmp_path, chat_server, verbose, capsys):
    caminho = tmp_path / "nao-existe" / "contrato.pdf"
    with pytest.raises(FileNotFoundError) as erro:
        make_checker(model=MODELO, verbose=verbose).verificar(caminho)
    assert str(erro.value) == f"Arquivo não encontrado: {caminho}"
    assert capsys.readouterr().out == ""
    assert chat_server.requests == []


def test_failing_model_calls_leave_nothing_verified(make_checker, pdf, chat_server, registry, capsys):
    chat_server.responder = lambda body: ChatServer.error(400, "requisição recusada")

    r = make_checker(model=MODELO).verificar(pdf(contrato_exemplo()))

    assert r == {
        "resultado_final": "PENDENTE",
        "justificativa": SEM_CAMPOS,
        "campos_aprovados": [],
        "campos_reprovados": [],
        "campos_pendentes": [],
        "total_campos": 0,
        "total_aprovados": 0,
        "total_reprovados": 0,
        "total_pendentes": 0,
        "empresas": [],
        "assinaturas": [],
        "dados_contrato": {},
        "metricas": {"tokens": 0, "custo_usd": 0.0, "tempo_segundos": r["metricas"]["tempo_segundos"]},
    }
    assert list(r) == RESULT_KEYS
    assert len(chat_server.requests) == 3
    assert registry.requests == []
    antes = cabecalho() + progresso_extracao(0, 0) + linhas_assinaturas([])
    confere_saida(capsys.readouterr().out, antes, "PENDENTE", SEM_CAMPOS, [], [], r)


def _registro_quebrado(registry, modo):
    for cnpj in (CNPJ_ALFA, CNPJ_BETA):
        if modo == "lento":
            registry.brasil_api[cnpj] = Reply(json=registros_exemplo()[cnpj], delay=2.0)
            registry.receita_ws[cnpj] = Reply(json={"status": "OK"}, delay=2.0)
        elif modo == "lixo":
            registry.brasil_api[cnpj] = Reply(body=b"<html>502 Bad Gateway</html>", content_type="text/html")
            registry.receita_ws[cnpj] = Reply(body=b'{"status": "OK", "nome":')
        else:  # JSON in an unexpected shape
            registry.brasil_api[cnpj] = Reply(json=dict(registros_exemplo()[cnpj], qsa="nenhum"))
            registry.receita_ws[cnpj] = Reply(json=["não", "é", "um", "registro"])
    if modo == "lixo":
        registry.casa_dos_dados_reply = Reply(body=b"\x00\xff lixo")


@pytest.mark.parametrize(
    "modo, falha",
    [
        ("lento", "BrasilAPI: ReadTimeout; ReceitaWS: ReadTimeout"),
        ("lixo", "BrasilAPI: JSONDecodeError; ReceitaWS: JSONDecodeError"),
        ("formato", "BrasilAPI: TypeError; ReceitaWS: TypeError"),
    ],
)
def test_registry_that_cannot_answer_leaves_companies_pending(
    make_checker, modelo, registry, pdf, monkeypatch, modo, falha, capsys
):
    # A registry that could not be asked (or whose answer could not be read) is no
    # evidence against the company: its CNPJ check is pending, never "not found".
    monkeypatch.setattr(cnpj_mod, "REQUEST_TIMEOUT", 0.2)
    _registro_quebrado(registry, modo)
    contrato = contrato_exemplo()
    modelo.responder(contrato)

    r = make_checker(model=MODELO).verificar(pdf(contrato))

    def indisponivel(cnpj):
        return ("CNPJ", "pendente", cnpj, None, "Receita Federal indisponível: " + falha)

    empresas = [
        Emp(
            RAZAO_ALFA,
            fmt(CNPJ_ALFA),
            [indisponivel(fmt(CNPJ_ALFA))],
            ativa=False,
            encontrada=False,
            razao_contrato=RAZAO_ALFA,
            papel="contratante",
            problemas=["Receita Federal indisponível"],
        ),
        Emp(
            RAZAO_BETA,
            fmt(CNPJ_BETA),
            [indisponivel(fmt(CNPJ_BETA))],
            ativa=False,
            encontrada=False,
            razao_contrato=RAZAO_BETA,
            papel="contratada",
            problemas=["Receita Federal indisponível"],
        ),
    ]
    # Nothing is cached, so no signatory can be checked.
    assinaturas = [
        com_cargo(sem_empresa("João Pereira Lima"), "Diretor Presidente"),
        com_cargo(sem_empresa("Ana Beatriz Souza"), "Sócia-Administradora"),
        com_cargo(sem_empresa("Carlos Eduardo Ramos"), "Procurador"),
        com_cargo(como_testemunha("Fernanda Lopes Carvalho"), "Testemunha"),
        como_testemunha("Ricardo Alves Monteiro"),
    ]
    confere_resultado(
        r, "PENDENTE", "5 campo(s) requer(em) análise manual", empresas, assinaturas, contrato.signatarios
    )
    assert r["total_pendentes"] == 5
    for e in r["empresas"]:
        assert e["socios"] == [] and e["razao_social_receita"] is None
    # Each company's chain in its order (the two chains run side by side).
    assert sorted(q.service for q in registry.requests) == sorted(
        ["brasilapi", "receitaws", "casadosdados"] * 2
    )
    for numero in (CNPJ_ALFA, CNPJ_BETA):
        assert [q.service for q in registry.requests if q.path.endswith(numero)] == ["brasilapi", "receitaws"]

    antes = (
        cabecalho()
        + progresso_extracao(2, 5)
        + verificando_empresa(RAZAO_ALFA)
        + [f"🔍 Consultando CNPJ {fmt(CNPJ_ALFA)}...", f"🔎 Buscando por nome: {RAZAO_ALFA}..."]
        + verificando_empresa(RAZAO_BETA)
        + [f"🔍 Consultando CNPJ {fmt(CNPJ_BETA)}...", f"🔎 Buscando por nome: {RAZAO_BETA}..."]
        + linhas_assinaturas(assinaturas)
    )
    confere_saida(
        capsys.readouterr().out,
        antes,
        "PENDENTE",
        "5 campo(s) requer(em) análise manual",
        empresas,
        assinaturas,
        r,
    )


@pytest.mark.parametrize(
    "pergunta, lista, entrada, erro",
    [
        ("empresas", "empresas", None, TypeError),
        ("assinaturas", "assinaturas", None, TypeError),
        (
            "empresas",
            "empresas",
            {"cnpj": fmt(CNPJ_ALFA), "razao_social": RAZAO_ALFA, "inscricao_estadual": "062.307.904/0081"},
            ValidationError,
        ),
        (
            "assinaturas",
            "assinaturas",
            {"nome_signatario": "João Pereira Lima", "assinou_em": "2025-03-10"},
            ValidationError,
        ),
    ],
)
def test_answer_entries_the_records_refuse_end_the_verification(
    make_checker, modelo, registry, pdf, monkeypatch, pergunta, lista, entrada, erro
):
    """The reader hands the structured answer on as stored; an entry that cannot become a
    record stops the verification instead of being skipped."""
    from vorlex.reader import Vorlex

    contrato = contrato_exemplo()
    registry.brasil_api.update(registros_exemplo())
    modelo.responder(contrato)
    original = Vorlex.process

    def process(self, documento, *args, **kwargs):
        resultado = original(self, documento, *args, **kwargs)
        res = resultado.get_result(pergunta)
        res.raw_result = {lista: list(res.raw_result[lista]) + [entrada]}
        return resultado

    monkeypatch.setattr(Vorlex, "process", process)
    with pytest.raises(erro):
        make_checker(model=MODELO, verbose=False).verificar(pdf(contrato))
    assert registry.requests == []


# -- the report on its own ---------------------------------------------------------------------


@pytest.fixture
def checker(make_checker):
    return make_checker(model=MODELO)


def _imprimir(checker, **over):
    args = dict(
        resultado_final="APROVADO",
        justificativa="ok",
        campos_aprovados=[],
        campos_reprovados=[],
        campos_pendentes=[],
        empresas=[],
        assinaturas=[],
        dados_contrato={"objeto": "não impresso"},
        metricas=ProcessingMetrics(tokens=0, cost_usd=0.0, time_seconds=0.0),
    )
    args.update(over)
    checker._imprimir_relatorio(**args)


@pytest.mark.parametrize(
    "veredito, linha",
    [
        ("PENDENTE", "⚠️⚠️⚠️ RESULTADO FINAL: PENDENTE ⚠️⚠️⚠️"),
        ("REPROVADO", "❌❌❌ RESULTADO FINAL: REPROVADO ❌❌❌"),
        ("APROVADO", "✅✅✅ RESULTADO FINAL: APROVADO ✅✅✅"),
        ("EM ANÁLISE", "❓❓❓ RESULTADO FINAL: EM ANÁLISE ❓❓❓"),
        ("aprovado", "❓❓❓ RESULTADO FINAL: aprovado ❓❓❓"),
    ],
)
def test_report_verdict_line(checker, veredito, linha, capsys):
    _imprimir(checker, resultado_final=veredito)
    assert linhas_de(capsys.readouterr().out)[2] == linha


@pytest.mark.parametrize(
    "tokens, custo, tempo, esperado",
    [
        (1234567, 1.5, 12.34, ["   Tokens: 1,234,567", "   Custo: $1.5000", "   Tempo: 12.3s"]),
        (0, 0.0, 0.04, ["   Tokens: 0", "   Custo: $0.0000", "   Tempo: 0.0s"]),
        (999, 0.00012, 3600.0, ["   Tokens: 999", "   Custo: $0.0001", "   Tempo: 3600.0s"]),
    ],
)
def test_report_figures(checker, tokens, custo, tempo, esperado, capsys):
    _imprimir(checker, metricas=ProcessingMetrics(tokens=tokens, cost_usd=custo, time_seconds=tempo))
    assert linhas_de(capsys.readouterr().out)[-5:-2] == esperado


def test_report_of_records_with_missing_values(checker, capsys):
    empresas = [
        EmpresaVerificada(
            cnpj="",
            campos=[
                CampoVerificado(
                    campo="CNPJ", status="reprovado", mensagem="CNPJ não encontrado na Receita Federal"
                )
            ],
        ),
        EmpresaVerificada(
            cnpj="11.222.333/0001-81",
            razao_social_contrato="Acme Ltda",
            cnpj_buscado_por_nome=True,
            empresa_ativa=True,
            campos=[CampoVerificado(campo="Razão Social", status="pendente", mensagem=None)],
        ),
    ]
    assinaturas = [
        AssinaturaVerificada(
            nome_signatario="(não identificado)",
            cargo="",
            campos=[
                CampoVerificado(
                    campo="Identificação", status="nao_verificado", mensagem="Signatário não identificado"
                )
            ],
        )
    ]
    _imprimir(
        checker,
        resultado_final="PENDENTE",
        justificativa="1 campo(s) requer(em) análise manual",
        campos_reprovados=["CNPJ - N/A"],
        campos_pendentes=["Razão Social - Acme Ltda"],
        empresas=empresas,
        assinaturas=assinaturas,
        metricas=ProcessingMetrics(tokens=42, cost_usd=0.25, time_seconds=1.26),
    )

    assert linhas_de(capsys.readouterr().out) == [
        "",
        IGUAL,
        "⚠️⚠️⚠️ RESULTADO FINAL: PENDENTE ⚠️⚠️⚠️",
        IGUAL,
        "   1 campo(s) requer(em) análise manual",
        "",
        TRACO,
        "📋 CAMPOS VERIFICADOS",
        TRACO,
        "   ✅ Aprovados: 0",
        "   ❌ Reprovados: 1",
        "   ⚠️ Pendentes: 1",
        "",
        "   ❌ REPROVADOS:",
        "      • CNPJ - N/A",
        "",
        "   ⚠️ PENDENTES:",
        "      • Razão Social - Acme Ltda",
        "",
        TRACO,
        "🏢 EMPRESAS (2)",
        TRACO,
        "",
        "   ❌ N/A",
        "      CNPJ: N/A",
        "      ❌ CNPJ: CNPJ não encontrado na Receita Federal",
        "",
        "   ✅ Acme Ltda",
        "      CNPJ: 11.222.333/0001-81 (encontrado por busca)",
        "      ⚠️ Razão Social: None",
        "",
        TRACO,
        "✍️ ASSINATURAS (1)",
        TRACO,
        "",
        "   ⚠️ (não identificado)",
        "      ➖ Identificação: Signatário não identificado",
        "",
        TRACO,
        "💰 MÉTRICAS",
        TRACO,
        "   Tokens: 42",
        "   Custo: $0.2500",
        "   Tempo: 1.3s",
        "",
        IGUAL,
    ]


@pytest.mark.parametrize(
    "metricas",
    [
        SimpleNamespace(cost_usd=0.1, time_seconds=1.0),
        {"tokens": 10, "cost_usd": 0.1, "time_seconds": 1.0},
    ],
)
def test_report_metrics_without_figures_raise_after_the_lines_written(checker, metricas, capsys):
    with pytest.raises(AttributeError):
        _imprimir(checker, campos_aprovados=["CNPJ - ACME"], metricas=metricas)
    saida = capsys.readouterr().out
    assert saida.endswith("\n".join(["", TRACO, "💰 MÉTRICAS", TRACO]) + "\n")
    assert "      • CNPJ - ACME\n" in saida
    assert "Tokens" not in saida


# -- the critical path ---------------------------------------------------------------------


def test_companies_are_fetched_side_by_side_and_judged_in_order(
    make_checker, modelo, registry, pdf, chat_server, capsys
):
    from servers.chat import InFlight
    from servers.registry import Reply

    contrato = contrato_exemplo()
    registros = registros_exemplo(procurador_socio=True, endereco_beta_confere=True)
    modelo.responder(contrato)
    checker = make_checker(model=MODELO)
    registry.brasil_api.update(registros)
    calma = checker.verificar(pdf(contrato))
    saida_calma = capsys.readouterr().out

    # The model answers each extraction question after a pause; the registry each company.
    registry.requests.clear()
    registry.peak_in_flight = 0  # the quick lookups above may or may not have overlapped
    registry.brasil_api.update({c: Reply(200, r, delay=0.4) for c, r in registros.items()})
    answer, flight = chat_server.responder, InFlight()

    def slow(body):
        with flight:
            time.sleep(0.3)
        return answer(body)

    chat_server.responder = slow
    started = time.perf_counter()
    lenta = checker.verificar(pdf(contrato))
    elapsed = time.perf_counter() - started
    assert flight.peak == 3 and registry.peak_in_flight == 2
    assert elapsed < 3 * 0.3 + 2 * 0.4  # one model wait and one registry wait, not the sum

    # The same report and the same mapping, line for line.
    def sem_relogio(saida):
        return re.sub(r"Tempo: [\d.]+s", "Tempo: -", saida)

    assert sem_relogio(capsys.readouterr().out) == sem_relogio(saida_calma)
    sem_tempo = ("tempo_processamento", "metricas")
    assert {k: v for k, v in lenta.items() if k not in sem_tempo} == {
        k: v for k, v in calma.items() if k not in sem_tempo
    }


def test_a_number_named_twice_is_asked_once(make_checker, modelo, registry, pdf):
    contrato = contrato_exemplo()
    contrato.empresas.append(copy.deepcopy(contrato.empresas[0]))
    registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
    modelo.responder(contrato)
    r = make_checker(model=MODELO).verificar(pdf(contrato))
    assert [e["cnpj"] for e in r["empresas"]] == [fmt(CNPJ_ALFA), fmt(CNPJ_BETA), fmt(CNPJ_ALFA)]
    assert sorted(q.path.rsplit("/", 1)[1] for q in registry.requests) == sorted([CNPJ_ALFA, CNPJ_BETA])
