"""Whole verifications: generated contract PDFs read by the real OpenAI client from the
local chat server, companies looked up with the real `requests` in the fake registry,
the verdict, the 13-key result and the printed report line by line."""

from __future__ import annotations

from types import SimpleNamespace
from unittest import mock

import pytest
from pydantic import ValidationError

from contract.contracts import RESULT_KEYS, Contrato, Empresa, Signatario, Socio, registro_brasil_api
from servers.chat import ChatServer
from servers.registry import Reply, cnpj_com_digitos, fmt
from vorlex.contract.checker import verificar_contrato

CNPJ_ALFA = cnpj_com_digitos("112223330001")
CNPJ_BETA = cnpj_com_digitos("334455660001")
END_ALFA = "Rua das Palmeiras, nº 1.250, sala 804, Bairro Funcionários, Belo Horizonte/MG, CEP 30140-071"
END_BETA = "Avenida Paulista, 1000, Bela Vista, São Paulo/SP, CEP 01310-100"

IGUAL, TRACO = "=" * 60, "─" * 60


def contrato(procurador=True, situacao_beta="ATIVA"):
    signatarios = [
        Signatario(
            "Maria da Silva Santos",
            "Sócia-Administradora",
            empresa="Alfa Tecnologia Ltda",
            cnpj_empresa=fmt(CNPJ_ALFA),
            tipo="representante",
        ),
        Signatario(
            "Pedro Henrique Alves",
            "Diretor",
            empresa="Beta Serviços S.A.",
            cnpj_empresa=fmt(CNPJ_BETA),
            tipo="representante",
        ),
    ]
    if procurador:
        signatarios.append(
            Signatario(
                "Carlos Eduardo Nunes",
                "Procurador",
                empresa="Beta Serviços S.A.",
                cnpj_empresa=fmt(CNPJ_BETA),
                tipo="procurador",
            )
        )
    signatarios += [
        Signatario("Joana Prado", "Testemunha", tipo="testemunha"),
        Signatario("Rui Barbosa Lima", None, tipo="testemunha"),
    ]
    return Contrato(
        empresas=[
            Empresa("Alfa Tecnologia Ltda", fmt(CNPJ_ALFA), END_ALFA, "contratante"),
            Empresa("Beta Serviços S.A.", fmt(CNPJ_BETA), END_BETA, "contratada"),
        ],
        signatarios=signatarios,
    ), situacao_beta


def preparar(registry, chat_server, tmp_path, procurador=True, situacao_beta="ATIVA"):
    c, situacao = contrato(procurador, situacao_beta)
    registry.brasil_api[CNPJ_ALFA] = registro_brasil_api(
        CNPJ_ALFA,
        "ALFA TECNOLOGIA LTDA",
        [Socio("MARIA DA SILVA SANTOS", "Sócio-Administrador")],
        logradouro="RUA DAS PALMEIRAS",
        numero="1250",
        complemento="SALA 804",
        bairro="FUNCIONARIOS",
        municipio="BELO HORIZONTE",
        uf="MG",
        cep="30140071",
    )
    registry.brasil_api[CNPJ_BETA] = registro_brasil_api(
        CNPJ_BETA,
        "BETA SERVICOS S.A.",
        [Socio("PEDRO HENRIQUE ALVES", "Diretor"), Socio("LUCIA FERRAZ", "Presidente")],
        situacao=situacao,
        logradouro="AVENIDA PAULISTA",
        numero="1000",
        complemento="",
        bairro="BELA VISTA",
        municipio="SAO PAULO",
        uf="SP",
        cep="01310100",
    )
    chat_server.responder = c.responder()
    return c.write(tmp_path / "contrato.pdf")


def cabecalho(nome):
    return [
        " ",
        IGUAL,
        "🔍 VERIFICAÇÃO DE LEGITIMIDADE DE CONTRATO",
        f"📄 Arquivo: {nome}",
        " " + IGUAL,
        " ",
        "📤 Extraindo dados do contrato...",
    ]


def relatorio(res, empresas_linhas, assinaturas_linhas):
    ind = {"APROVADO": "✅", "REPROVADO": "❌", "PENDENTE": "⚠️"}[res["resultado_final"]] * 3
    out = [
        "",
        IGUAL,
        f"{ind} RESULTADO FINAL: {res['resultado_final']} {ind}",
        IGUAL,
        "   " + res["justificativa"],
        "",
        TRACO,
        "📋 CAMPOS VERIFICADOS",
        TRACO,
        f"   ✅ Aprovados: {res['total_aprovados']}",
        f"   ❌ Reprovados: {res['total_reprovados']}",
        f"   ⚠️ Pendentes: {res['total_pendentes']}",
    ]
    for chave, titulo in (
        ("campos_aprovados", "✅ APROVADOS:"),
        ("campos_reprovados", "❌ REPROVADOS:"),
        ("campos_pendentes", "⚠️ PENDENTES:"),
    ):
        if res[chave]:
            out += ["", "   " + titulo] + ["      • " + x for x in res[chave]]
    out += ["", TRACO, f"🏢 EMPRESAS ({len(res['empresas'])})", TRACO] + empresas_linhas
    out += ["", TRACO, f"✍️ ASSINATURAS ({len(res['assinaturas'])})", TRACO] + assinaturas_linhas
    m = res["metricas"]
    out += [
        "",
        TRACO,
        "💰 MÉTRICAS",
        TRACO,
        f"   Tokens: {m['tokens']:,}",
        f"   Custo: ${m['custo_usd']:.4f}",
        f"   Tempo: {m['tempo_segundos']:.1f}s",
        "",
        IGUAL,
    ]
    return out


EMPRESAS_OK = [
    "",
    "   ✅ ALFA TECNOLOGIA LTDA",
    "      CNPJ: " + fmt(CNPJ_ALFA),
    "      ✅ CNPJ: CNPJ encontrado",
    "      ✅ Situação Cadastral: Empresa ATIVA",
    "      ✅ Razão Social: Confere",
    "      ✅ Endereço: Similaridade: 100%",
    "",
    "   ✅ BETA SERVICOS S.A.",
    "      CNPJ: " + fmt(CNPJ_BETA),
    "      ✅ CNPJ: CNPJ encontrado",
    "      ✅ Situação Cadastral: Empresa ATIVA",
    "      ✅ Razão Social: Confere",
    "      ✅ Endereço: Similaridade: 100%",
]


def assinaturas_linhas(procurador):
    out = [
        "",
        "   ✅ Maria da Silva Santos",
        "      Cargo: Sócia-Administradora",
        "      ✅ Poder de Assinatura: Signatário tem poder (Sócio-Administrador)",
        "",
        "   ✅ Pedro Henrique Alves",
        "      Cargo: Diretor",
        "      ✅ Poder de Assinatura: Signatário tem poder (Diretor)",
    ]
    if procurador:
        out += [
            "",
            "   ❌ Carlos Eduardo Nunes",
            "      Cargo: Procurador",
            "      ❌ Poder de Assinatura: Signatário NÃO encontrado no QSA",
        ]
    out += [
        "",
        "   👁️ Joana Prado",
        "      Cargo: Testemunha",
        "      ➖ Identificação: Testemunha: poder de assinatura não exigido",
        "",
        "   👁️ Rui Barbosa Lima",
        "      ➖ Identificação: Testemunha: poder de assinatura não exigido",
    ]
    return out


def report_part(out):
    lines = out.splitlines()
    i = max(k for k, line in enumerate(lines) if "RESULTADO FINAL" in line)
    return lines[i - 2 :]


def test_attorney_who_is_not_a_partner_rejects_the_contract(
    registry, chat_server, make_checker, tmp_path, capsys
):
    path = preparar(registry, chat_server, tmp_path)
    res = make_checker(model="gpt-4o-mini").verificar(path)
    assert list(res) == RESULT_KEYS
    assert res["resultado_final"] == "REPROVADO" and res["justificativa"] == "1 campo(s) reprovado(s)"
    assert res["campos_reprovados"] == ["Poder de Assinatura - Carlos Eduardo Nunes"]
    assert res["campos_pendentes"] == []
    assert (res["total_campos"], res["total_aprovados"], res["total_reprovados"]) == (11, 10, 1)
    assert res["dados_contrato"]["foro"] == "Comarca de São Paulo/SP"
    assert res["metricas"]["tokens"] == 1234 and res["metricas"]["custo_usd"] > 0
    assert [e["cnpj"] for e in res["empresas"]] == [fmt(CNPJ_ALFA), fmt(CNPJ_BETA)]
    assert [a["tem_poder_assinatura"] for a in res["assinaturas"]] == [True, True, False, False, False]
    out = capsys.readouterr().out
    assert out.splitlines()[:7] == cabecalho("contrato.pdf")
    assert " 👁️ Joana Prado - testemunha" in out.splitlines()
    assert report_part(out) == relatorio(res, EMPRESAS_OK, assinaturas_linhas(True))
    # three model calls, each company looked up once by number, nothing searched by name
    assert len(chat_server.requests) == 3
    assert sorted(r.path for r in registry.requests) == sorted(
        ["/brasilapi/api/cnpj/v1/" + CNPJ_ALFA, "/brasilapi/api/cnpj/v1/" + CNPJ_BETA]
    )


def test_contract_signed_by_partners_is_approved(registry, chat_server, make_checker, tmp_path, capsys):
    path = preparar(registry, chat_server, tmp_path, procurador=False)
    res = make_checker(model="gpt-4o-mini").verificar(str(path))
    assert res["resultado_final"] == "APROVADO"
    assert res["justificativa"] == "Todos os 10 campos verificados foram aprovados"
    assert res["campos_reprovados"] == res["campos_pendentes"] == [] and res["total_campos"] == 10
    assert "Endereço - ALFA TECNOLOGIA LTDA" in res["campos_aprovados"]
    assert report_part(capsys.readouterr().out) == relatorio(res, EMPRESAS_OK, assinaturas_linhas(False))


def test_inactive_company_rejects_the_contract(registry, chat_server, make_checker, tmp_path, capsys):
    path = preparar(registry, chat_server, tmp_path, procurador=False, situacao_beta="INATIVA")
    res = make_checker(model="gpt-4o-mini").verificar(path)
    assert res["resultado_final"] == "REPROVADO"
    assert res["campos_reprovados"] == ["Situação Cadastral - BETA SERVICOS S.A."]
    beta = res["empresas"][1]
    assert beta["empresa_ativa"] is False and beta["problemas"] == ["Empresa com situação: INATIVA"]
    empresas = (
        EMPRESAS_OK[:8]
        + [
            "   ❌ BETA SERVICOS S.A.",
            EMPRESAS_OK[9],
            EMPRESAS_OK[10],
            "      ❌ Situação Cadastral: Empresa INATIVA",
        ]
        + EMPRESAS_OK[12:]
    )
    assert report_part(capsys.readouterr().out) == relatorio(res, empresas, assinaturas_linhas(False))


def test_quiet_verification_prints_nothing_and_answers_the_same(
    registry, chat_server, make_checker, tmp_path, capsys
):
    path = preparar(registry, chat_server, tmp_path)
    quiet = make_checker(model="gpt-4o-mini", verbose=False).verificar(path)
    assert capsys.readouterr().out == ""
    loud = make_checker(model="gpt-4o-mini").verificar(path)
    for r in (quiet, loud):
        r["metricas"].pop("tempo_segundos")
    assert quiet == loud


def test_failed_model_calls_leave_the_verdict_pending(registry, chat_server, make_checker, tmp_path, capsys):
    path = preparar(registry, chat_server, tmp_path)
    chat_server.responder = lambda body: ChatServer.error(400)
    res = make_checker(model="gpt-4o-mini").verificar(path)
    assert res["resultado_final"] == "PENDENTE"
    assert res["justificativa"] == "Nenhum campo verificado; análise manual necessária"
    assert res["total_campos"] == 0 and res["empresas"] == res["assinaturas"] == []
    assert res["dados_contrato"] == {}
    out = capsys.readouterr().out.splitlines()
    assert "⚠️⚠️⚠️ RESULTADO FINAL: PENDENTE ⚠️⚠️⚠️" in out
    assert {
        "   ✅ Aprovados: 0",
        "   ❌ Reprovados: 0",
        "   ⚠️ Pendentes: 0",
        "🏢 EMPRESAS (0)",
        "✍️ ASSINATURAS (0)",
    } <= set(out)


@pytest.mark.parametrize(
    "reply, falha",
    [
        (Reply(200, body=b"<html>manutencao</html>", content_type="text/html"), "JSONDecodeError"),
        (Reply(200, json=["nao", "e", "registro"]), "TypeError"),
        (Reply(delay=2.0, json={}), "ReadTimeout"),
        (Reply(503, json={"message": "Service Unavailable"}), "HTTP 503"),
        (Reply(429, json={"message": "Too Many Requests"}), "HTTP 429"),
    ],
)
def test_registry_failures_leave_the_company_pending(
    registry, chat_server, make_checker, tmp_path, short_timeouts, reply, falha
):
    path = preparar(registry, chat_server, tmp_path, procurador=False)
    registry.brasil_api[CNPJ_ALFA] = reply
    registry.receita_ws[CNPJ_ALFA] = reply
    registry.casa_dos_dados_reply = reply
    res = make_checker(model="gpt-4o-mini", verbose=False).verificar(path)
    alfa = res["empresas"][0]
    assert alfa["campos"][0]["status"] == "pendente"
    assert (
        alfa["campos"][0]["mensagem"]
        == f"Receita Federal indisponível: BrasilAPI: {falha}; ReceitaWS: {falha}"
    )
    assert not any(c.startswith("CNPJ") for c in res["campos_reprovados"])
    assert res["resultado_final"] == "PENDENTE"


def test_a_number_the_registry_does_not_know_still_rejects(registry, chat_server, make_checker, tmp_path):
    # BrasilAPI's 404 is an answer, whatever ReceitaWS does
    path = preparar(registry, chat_server, tmp_path)
    registry.brasil_api[CNPJ_ALFA] = Reply(404, json={"message": "CNPJ não encontrado"})
    registry.receita_ws[CNPJ_ALFA] = Reply(503, json={})
    res = make_checker(model="gpt-4o-mini", verbose=False).verificar(path)
    assert res["empresas"][0]["campos"][0]["mensagem"] == "CNPJ não encontrado na Receita Federal"
    assert "CNPJ - Alfa Tecnologia Ltda" in res["campos_reprovados"]
    assert res["resultado_final"] == "REPROVADO"


@pytest.mark.parametrize("entrada, erro", [(None, TypeError), ({"nome": "X"}, ValidationError)])
def test_unusable_extracted_entries_end_the_verification(
    chat_server, registry, make_checker, tmp_path, entrada, erro
):
    path = preparar(registry, chat_server, tmp_path)

    class Raw(SimpleNamespace):
        pass

    fake = SimpleNamespace(
        get_result=lambda qid: Raw(raw_result={"assinaturas": [entrada]}) if qid == "assinaturas" else None,
        total_metrics=SimpleNamespace(tokens=0, cost_usd=0.0, time_seconds=0.0),
    )
    checker = make_checker(verbose=False)
    checker._init_vorlex()
    with mock.patch.object(checker._client, "process", return_value=fake), pytest.raises(erro):
        checker.verificar(path)


def test_unavailable_reader_gives_the_seven_key_answer(make_checker, tmp_path, capsys):
    path = tmp_path / "c.pdf"
    path.write_bytes(b"%PDF-1.4")
    with mock.patch("vorlex.Vorlex", side_effect=RuntimeError("sem rede")):
        res = make_checker().verificar(path)
    assert res == {
        "resultado_final": "PENDENTE",
        "justificativa": "Vorlex não disponível. Instale com: pip install vorlex",
        "campos_aprovados": [],
        "campos_reprovados": [],
        "campos_pendentes": ["Extração de dados não disponível"],
        "empresas": [],
        "assinaturas": [],
    }
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == "❌ Erro ao inicializar Vorlex: sem rede" and not any(
        "RESULTADO" in line for line in out
    )


def test_missing_file_raises_before_printing(make_checker, tmp_path, capsys):
    with pytest.raises(FileNotFoundError, match=r"^Arquivo não encontrado: .*falta\.pdf$"):
        make_checker().verificar(tmp_path / "falta.pdf")
    with pytest.raises(TypeError, match="documento"):
        make_checker().verificar(12)
    assert capsys.readouterr().out == ""


def test_verificar_contrato(registry, chat_server, tmp_path, capsys, monkeypatch):
    path = preparar(registry, chat_server, tmp_path)
    assert verificar_contrato(path, "BR", verbose=False)["resultado_final"] == "REPROVADO"
    monkeypatch.delenv("OPENAI_API_KEY")
    with pytest.raises(ValueError, match=r"^OpenAI API key não configurada"):
        verificar_contrato(path, "BR")
    with mock.patch("vorlex.contract.checker.ContractChecker") as cls:
        verificar_contrato("x.pdf", "BR", openai_api_key="k", verbose=False)
    cls.assert_called_once_with(country="BR", openai_api_key="k", verbose=False)
    cls.return_value.verificar.assert_called_once_with("x.pdf")


# -- the report alone -------------------------------------------------------------------------


def report(checker, **kw):
    args = dict(
        resultado_final="APROVADO",
        justificativa="j",
        campos_aprovados=[],
        campos_reprovados=[],
        campos_pendentes=[],
        empresas=[],
        assinaturas=[],
        dados_contrato={},
        metricas=SimpleNamespace(tokens=1234567, cost_usd=0.0, time_seconds=12.34),
    )
    args.update(kw)
    checker._imprimir_relatorio(**args)


def test_report_figures_and_indicators(make_checker, capsys):
    c = make_checker()
    report(c, resultado_final="TALVEZ")
    out = capsys.readouterr().out.splitlines()
    assert out[2] == "❓❓❓ RESULTADO FINAL: TALVEZ ❓❓❓"
    assert out[-5:-2] == ["   Tokens: 1,234,567", "   Custo: $0.0000", "   Tempo: 12.3s"]
    assert not any("APROVADOS:" in line or "REPROVADOS:" in line for line in out)


def test_report_stops_at_broken_metrics(make_checker, capsys):
    with pytest.raises(AttributeError):
        report(make_checker(), metricas=SimpleNamespace(cost_usd=0.0, time_seconds=1.0))
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == TRACO and out[-2] == "💰 MÉTRICAS"
