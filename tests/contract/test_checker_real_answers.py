"""Whole verifications against the registry's real answers (tests/servers/registry_samples):
contracts between real companies, read by the real OpenAI client from the local chat
server, the companies looked up with the real `requests` client in the fake registry
that serves the published answers."""

from __future__ import annotations

import pytest

from contract.contracts import Contrato, Empresa, Signatario
from servers.registry import SAMPLES

DM_BARROS = Empresa(
    "D. M. Barros & Cia Ltda",
    "06.151.649/0001-90",
    "Alameda Ricardo Paranhos, nº 540, Quadra 260, Lote 7E, Sala 32, Setor Marista, "
    "Goiânia/GO, CEP 74180-050",
    "contratante",
)
GLOBO = Empresa(
    "Globo Comunicação e Participações S/A",
    "27.865.757/0001-02",
    "Rua Lopes Quintas, nº 303, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901",
    "contratada",
)
OPEN_KNOWLEDGE = Empresa(
    "Open Knowledge Brasil",
    "19.131.243/0001-97",
    "Alameda Franca, nº 144, apto. 34, Jardim Paulista, São Paulo/SP, CEP 01422-000",
    "contratante",
)
VERSATEC = Empresa(
    "Versatec Tecnologia, Educação e Comunicação Ltda",
    "22.598.920/0001-96",
    "Rua Leandro Martins Costa, nº 89, Subsolo, Bairro Limoeiro, Caratinga/MG, CEP 35300-107",
    "contratada",
)
DIRETOR_GLOBO = Signatario(
    "Carlos Henrique Schroder",
    "Diretor",
    empresa=GLOBO.razao_social,
    cnpj_empresa=GLOBO.cnpj,
    tipo="representante",
)
ADMIN_VERSATEC = Signatario(
    "Glauber Luiz da Silva Costa",
    "Sócio-Administrador",
    empresa=VERSATEC.razao_social,
    cnpj_empresa=VERSATEC.cnpj,
    tipo="representante",
)
TESTEMUNHA = Signatario("Joana Prado", "Testemunha", tipo="testemunha")


@pytest.fixture(autouse=True)
def real(registry):
    return registry.serve_samples()


def verificar(registry, chat_server, make_checker, tmp_path, empresas, signatarios):
    contrato = Contrato(empresas=empresas, signatarios=signatarios + [TESTEMUNHA])
    chat_server.responder = contrato.responder()
    return make_checker(model="gpt-4o-mini", verbose=False).verificar(
        contrato.write(tmp_path / "contrato.pdf")
    )


def poder(res, nome):
    (a,) = [a for a in res["assinaturas"] if a["nome_signatario"] == nome]
    (c,) = a["campos"]
    return c["status"], c["mensagem"], a["tem_poder_assinatura"]


def test_signed_by_the_administering_partner_and_a_director(registry, chat_server, make_checker, tmp_path):
    socia = Signatario(
        "Divina Matildes de Barros",
        "Sócia-Administradora",
        empresa=DM_BARROS.razao_social,
        cnpj_empresa=DM_BARROS.cnpj,
        tipo="representante",
    )
    res = verificar(registry, chat_server, make_checker, tmp_path, [DM_BARROS, GLOBO], [socia, DIRETOR_GLOBO])
    assert res["resultado_final"] == "APROVADO", (res["campos_reprovados"], res["campos_pendentes"])
    assert poder(res, "Divina Matildes de Barros") == (
        "aprovado",
        "Signatário tem poder (49-Sócio-Administrador)",
        True,
    )
    assert poder(res, "Carlos Henrique Schroder") == ("aprovado", "Signatário tem poder (10-Diretor)", True)
    # every field of both companies checked and approved, the address included
    dm = "D. M. BARROS & CIA LTDA"
    assert res["campos_aprovados"][:4] == [
        f"CNPJ - {dm}",
        f"Situação Cadastral - {dm}",
        f"Razão Social - {dm}",
        f"Endereço - {dm}",
    ]
    assert "Endereço - GLOBO COMUNICACAO E PARTICIPACOES S/A" in res["campos_aprovados"]


def test_signed_by_a_plain_partner_is_pending(registry, chat_server, make_checker, tmp_path):
    socio = Signatario(
        "Fernando Barros de Sá",
        "Sócio",
        empresa=DM_BARROS.razao_social,
        cnpj_empresa=DM_BARROS.cnpj,
        tipo="representante",
    )
    res = verificar(registry, chat_server, make_checker, tmp_path, [DM_BARROS, GLOBO], [socio, DIRETOR_GLOBO])
    assert res["resultado_final"] == "PENDENTE"
    assert res["campos_pendentes"] == ["Poder de Assinatura - Fernando Barros de Sá"]
    assert poder(res, "Fernando Barros de Sá") == (
        "pendente",
        "Sócio sem poder de administração no registro (22-Sócio): verificar a cláusula de administração",
        False,
    )


def test_director_known_only_by_the_qualification_code(registry, chat_server, make_checker, tmp_path):
    diretora = Signatario(
        "Natalia Passos Mazotte Cortez",
        "Diretora",
        empresa=OPEN_KNOWLEDGE.razao_social,
        cnpj_empresa=OPEN_KNOWLEDGE.cnpj,
        tipo="representante",
    )
    assert "qualificacao_socio" not in SAMPLES["brasilapi_19131243000197_open_knowledge_2021"]["qsa"][0]
    res = verificar(
        registry, chat_server, make_checker, tmp_path, [OPEN_KNOWLEDGE, VERSATEC], [diretora, ADMIN_VERSATEC]
    )
    assert res["resultado_final"] == "APROVADO", (res["campos_reprovados"], res["campos_pendentes"])
    assert poder(res, "Natalia Passos Mazotte Cortez") == ("aprovado", "Signatário tem poder (Diretor)", True)
    assert poder(res, "Glauber Luiz da Silva Costa") == (
        "aprovado",
        "Signatário tem poder (Sócio-Administrador)",
        True,
    )
    assert "Endereço - OPEN KNOWLEDGE BRASIL" in res["campos_aprovados"]  # the CEP came as 1422000


def test_company_with_an_alphanumeric_cnpj(registry, chat_server, make_checker, tmp_path):
    alfa = "12ABC34501DE35"
    registry.brasil_api[alfa] = dict(SAMPLES["brasilapi_22598920000196_versatec"], cnpj=alfa)
    versatec = Empresa(VERSATEC.razao_social, "12.ABC.345/01DE-35", VERSATEC.endereco, "contratada")
    glauber = Signatario(
        ADMIN_VERSATEC.nome,
        ADMIN_VERSATEC.cargo,
        empresa=versatec.razao_social,
        cnpj_empresa="12.abc.345/01de-35",
        tipo="representante",
    )
    res = verificar(
        registry,
        chat_server,
        make_checker,
        tmp_path,
        [DM_BARROS, versatec],
        [
            Signatario("Divina Matildes de Barros", "Sócia-Administradora", cnpj_empresa=DM_BARROS.cnpj),
            glauber,
        ],
    )
    assert alfa in [r.path.rsplit("/", 1)[1] for r in registry.calls("brasilapi")]
    (emp,) = [e for e in res["empresas"] if e["razao_social_contrato"] == versatec.razao_social]
    assert emp["cnpj_encontrado"] and emp["cnpj"] == "12.ABC.345/01DE-35"
    assert [c["status"] for c in emp["campos"]] == ["aprovado"] * 4
    assert poder(res, glauber.nome)[0] == "aprovado"  # its lower-case CNPJ finds the cached record
    assert res["resultado_final"] == "APROVADO"


@pytest.mark.parametrize(
    "answer",
    [
        # values of other types where text belongs; a record without an address; nulls
        {
            "razao_social": ["VERSATEC"],
            "descricao_situacao_cadastral": None,
            "logradouro": None,
            "numero": 89,
            "cep": 35300107,
            "qsa": None,
        },
        {
            "razao_social": 12,
            "descricao_situacao_cadastral": 2,
            "municipio": {"nome": "CARATINGA"},
            "qsa": [{"nome_socio": None, "qualificacao_socio": ["Sócio"]}, {"nome_socio": ["GLAUBER"]}],
        },
    ],
)
def test_odd_values_of_the_services_never_raise(registry, chat_server, make_checker, tmp_path, answer):
    base = dict(SAMPLES["brasilapi_22598920000196_versatec"])
    base.update(answer)
    registry.brasil_api["22598920000196"] = base
    res = verificar(registry, chat_server, make_checker, tmp_path, [VERSATEC], [ADMIN_VERSATEC])
    (emp,) = res["empresas"]
    assert emp["cnpj_encontrado"] and res["resultado_final"] in ("REPROVADO", "PENDENTE")
    assert poder(res, ADMIN_VERSATEC.nome)[0] == "reprovado"  # no usable partner names
