"""The registry's real answers (tests/servers/registry_samples, as the services published
them): each mapped to the right company record, and contract-style phrasings of each
company's address judged against it, served by the local fake registry and read with the
real `requests` client."""

import json

import pytest

import vorlex.contract.countries.br.cnpj as C
from servers.registry import SAMPLES

OPEN_KNOWLEDGE, VERSATEC = "19131243000197", "22598920000196"
DM_BARROS, GLOBO = "06151649000190", "27865757000102"


@pytest.fixture
def real(registry):
    return registry.serve_samples()


def test_each_answer_becomes_its_record(real):
    ok = C.consultar_cnpj(OPEN_KNOWLEDGE)
    assert ok["fonte"] == "BrasilAPI" and ok["razao_social"] == "OPEN KNOWLEDGE BRASIL"
    # older answers: the street type apart, the CEP a JSON integer, qualifications as codes
    assert ok["endereco"] == {
        "logradouro": "ALAMEDA FRANCA",
        "numero": "144",
        "complemento": "APT   34",
        "bairro": "JARDIM PAULISTA",
        "cidade": "SAO PAULO",
        "uf": "SP",
        "cep": "01422000",
    }
    assert [(s["nome"], s["qualificacao"]) for s in ok["socios"]] == [
        ("NATALIA PASSOS MAZOTTE CORTEZ", "Diretor")
    ]

    vt = C.consultar_cnpj(fmt_cnpj(VERSATEC))
    assert vt["situacao"] == "ATIVA" and vt["capital_social"] == 400000
    assert vt["endereco"]["logradouro"] == "RUA LEANDRO MARTINS COSTA"
    assert vt["endereco"]["cep"] == "35300107"
    assert [(s["nome"], s["qualificacao"]) for s in vt["socios"]] == [
        ("GLAUBER LUIZ DA SILVA COSTA", "Sócio-Administrador"),
        ("FLAVIO HENRIQUE DO AMARAL COSTA", "Sócio"),
        ("HEBERT LUIZ AMARAL COSTA", "Sócio"),
    ]

    # ReceitaWS: BrasilAPI does not know these numbers, so the fallback answers
    dm = C.consultar_cnpj(DM_BARROS)
    assert dm["fonte"] == "ReceitaWS" and dm["cnpj"] == "06.151.649/0001-90"
    assert dm["endereco"] == {
        "logradouro": "AL RICARDO PARANHOS",
        "numero": "540",
        "complemento": "QUADRA260 LOTE 7E SALA 32",
        "bairro": "SETOR MARISTA",
        "cidade": "GOIANIA",
        "uf": "GO",
        "cep": "74.180-050",
    }
    assert dm["capital_social"] == 190000.0
    assert [s["qualificacao"] for s in dm["socios"]] == ["49-Sócio-Administrador"] + ["22-Sócio"] * 5
    assert dm["socios"][1] == {
        "nome": "FERNANDO BARROS DE SA",
        "qualificacao": "22-Sócio",
        "data_entrada": "",
        "cpf_representante": "",
        "nome_representante": "",
        "qualificacao_representante": "",
    }

    gl = C.consultar_cnpj(GLOBO)
    assert gl["endereco"]["logradouro"] == "R LOPES QUINTAS" and gl["endereco"]["complemento"] == ""
    assert [s["nome"] for s in gl["socios"]][:2] == [
        "CARLOS HENRIQUE SCHRODER",
        "JORGE LUIZ DE BARROS NOBREGA",
    ]
    assert {s["qualificacao"] for s in gl["socios"]} == {"10-Diretor"}
    assert C.falha_ultima_consulta() is None


def fmt_cnpj(d):
    return f"{d[:2]}.{d[2:5]}.{d[5:8]}/{d[8:12]}-{d[12:]}"


# (company, contract address, True for a correct address of that company)
PHRASINGS = [
    (OPEN_KNOWLEDGE, "Alameda Franca, nº 144, apto. 34, Jardim Paulista, São Paulo/SP, CEP 01422-000", True),
    (
        OPEN_KNOWLEDGE,
        "Al. Franca, 144, apartamento 34 - Jardim Paulista - São Paulo - SP, CEP 01422-000",
        True,
    ),
    (
        OPEN_KNOWLEDGE,
        "Alameda Franca 144, Jardim Paulista, na Cidade de São Paulo, Estado de São Paulo, CEP 01422-000",
        True,
    ),
    (OPEN_KNOWLEDGE, "ALAMEDA FRANCA, 144, APTO 34, JARDIM PAULISTA, SÃO PAULO - SP, 01422-000", True),
    (OPEN_KNOWLEDGE, "Alameda Franca, n. 144, Apto. 34, Jd. Paulista, São Paulo, SP, CEP: 01.422-000", True),
    (OPEN_KNOWLEDGE, "Al Franca nº 144 apto 34 Jardim Paulista São Paulo SP", True),
    (
        OPEN_KNOWLEDGE,
        "Alameda Franca, número 144, apartamento 34, Jardim Paulista, município de São Paulo, "
        "Estado de São Paulo, CEP 01422-000",
        True,
    ),
    (OPEN_KNOWLEDGE, "Alameda Franca, nº 414, apto. 34, Jardim Paulista, São Paulo/SP, CEP 01422-000", False),
    (OPEN_KNOWLEDGE, "Alameda Franca, nº 144, apto. 43, Jardim Paulista, São Paulo/SP, CEP 01422-000", False),
    (OPEN_KNOWLEDGE, "Alameda Santos, nº 144, apto. 34, Jardim Paulista, São Paulo/SP, CEP 01419-000", False),
    (OPEN_KNOWLEDGE, "Alameda Franca, nº 144, apto. 34, Jardim Paulista, São Paulo/SP, CEP 01422-001", False),
    (
        VERSATEC,
        "Rua Leandro Martins Costa, nº 89, Subsolo, Bairro Limoeiro, Caratinga/MG, CEP 35300-107",
        True,
    ),
    (VERSATEC, "R. Leandro Martins Costa, 89 - Subsolo - Limoeiro - Caratinga - MG - 35300-107", True),
    (
        VERSATEC,
        "Rua Leandro Martins Costa, 89, Limoeiro, Caratinga, Estado de Minas Gerais, CEP 35300-107",
        True,
    ),
    (VERSATEC, "RUA LEANDRO MARTINS COSTA Nº 89 SUBSOLO LIMOEIRO CARATINGA MG CEP 35300107", True),
    (
        VERSATEC,
        "Rua Leandro Martins Costa, n.º 89, subsolo, bairro Limoeiro, na cidade de Caratinga, MG",
        True,
    ),
    (VERSATEC, "Rua Leandro Martins Costa, 89, Caratinga - MG, CEP 35300-107", True),
    (
        VERSATEC,
        "Rua Leandro Martins Costa, nº 98, Subsolo, Bairro Limoeiro, Caratinga/MG, CEP 35300-107",
        False,
    ),
    (
        VERSATEC,
        "Rua Leandro Martins Costa, nº 89, Sala 2, Bairro Limoeiro, Caratinga/MG, CEP 35300-107",
        False,
    ),
    (
        VERSATEC,
        "Rua Joaquim Martins Costa, nº 89, Subsolo, Bairro Limoeiro, Caratinga/MG, CEP 35300-107",
        False,
    ),
    (
        VERSATEC,
        "Rua Leandro Martins Costa, nº 89, Subsolo, Bairro Limoeiro, Caratinga/MG, CEP 35300-000",
        False,
    ),
    (
        DM_BARROS,
        "Alameda Ricardo Paranhos, nº 540, Quadra 260, Lote 7E, Sala 32, Setor Marista, Goiânia/GO, "
        "CEP 74180-050",
        True,
    ),
    (
        DM_BARROS,
        "Al. Ricardo Paranhos, 540, Qd. 260, Lt. 7E, Sala 32, St. Marista, Goiânia - GO, CEP 74.180-050",
        True,
    ),
    (
        DM_BARROS,
        "Alameda Ricardo Paranhos, nº 540, Setor Marista, Goiânia, Estado de Goiás, CEP 74180-050",
        True,
    ),
    (DM_BARROS, "AL RICARDO PARANHOS, 540, QUADRA 260 LOTE 7E SALA 32, SETOR MARISTA, GOIANIA/GO", True),
    (
        DM_BARROS,
        "Alameda Ricardo Paranhos, nº 540, Qd 260, Lt 7-E, Sala 32, Setor Marista, Goiânia/GO, CEP 74180-050",
        True,
    ),
    (
        DM_BARROS,
        "Alameda Ricardo Paranhos, 540, Quadra 260, Lote 7E, Setor Marista, Goiânia/GO, CEP 74180-050",
        True,
    ),
    (
        DM_BARROS,
        "Alameda Ricardo Paranhos, nº 450, Quadra 260, Lote 7E, Sala 32, Setor Marista, Goiânia/GO, "
        "CEP 74180-050",
        False,
    ),
    (
        DM_BARROS,
        "Alameda Ricardo Paranhos, nº 540, Quadra 260, Lote 7E, Sala 23, Setor Marista, Goiânia/GO, "
        "CEP 74180-050",
        False,
    ),
    (
        DM_BARROS,
        "Alameda Ricardo Paranhos, nº 540, Quadra 206, Lote 7E, Sala 32, Setor Marista, Goiânia/GO, "
        "CEP 74180-050",
        False,
    ),
    (DM_BARROS, "Avenida T-63, nº 540, Setor Marista, Goiânia/GO, CEP 74180-050", False),
    (GLOBO, "Rua Lopes Quintas, nº 303, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901", True),
    (GLOBO, "R. Lopes Quintas, 303 - Jardim Botânico - Rio de Janeiro - RJ - CEP 22.460-901", True),
    (
        GLOBO,
        "Rua Lopes Quintas, 303, Jardim Botânico, na Cidade do Rio de Janeiro, Estado do Rio de Janeiro, "
        "CEP 22460-901",
        True,
    ),
    (GLOBO, "RUA LOPES QUINTAS 303 JARDIM BOTANICO RIO DE JANEIRO RJ", True),
    (GLOBO, "Rua Lopes Quintas, nº 303, Jardim Botânico, Rio de Janeiro – RJ", True),
    (GLOBO, "Rua Lopes Quintas, número 303, bairro Jardim Botânico, Rio de Janeiro, RJ, CEP 22460-901", True),
    (GLOBO, "Rua Lopes Quintas, nº 330, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901", False),
    (GLOBO, "Rua Jardim Botânico, nº 303, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901", False),
    (GLOBO, "Rua Lopes Quintas, nº 303, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-030", False),
    (GLOBO, "Rua Lopes Quintas, nº 3, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901", False),
    (GLOBO, "Rua Lopes Quintas, 30, Jardim Botânico, Rio de Janeiro/RJ, CEP 22460-901", False),
]


def test_contract_phrasings_against_the_real_records(real):
    records = {cnpj: C.consultar_cnpj(cnpj) for cnpj in {c for c, _, _ in PHRASINGS}}
    assert all(records.values())
    wrong_matches, missed, raised = [], [], []
    for cnpj, address, correct in PHRASINGS:
        try:
            ok, sim, receita = C.comparar_enderecos(address, records[cnpj])
        except Exception as exc:  # noqa: BLE001 - counted and reported below
            raised.append((address, repr(exc)))
            continue
        assert 0.0 <= sim <= 1.0 and receita
        if ok and not correct:
            wrong_matches.append((address, round(sim, 3), receita))
        elif correct and not ok:
            missed.append((address, round(sim, 3), receita))
    n_correct = sum(1 for *_, c in PHRASINGS if c)
    summary = (
        f"{len(PHRASINGS)} phrasings: {n_correct - len(missed)}/{n_correct} correct ones matched, "
        f"{len(wrong_matches)} wrong ones matched, {len(raised)} raised\n"
        + json.dumps(
            {"wrong": wrong_matches, "missed": missed, "raised": raised}, ensure_ascii=False, indent=1
        )
    )
    assert len(PHRASINGS) >= 40 and n_correct < len(PHRASINGS)
    assert not wrong_matches and not raised, summary
    assert (n_correct - len(missed)) / n_correct >= 0.95, summary


def test_alphanumeric_and_full_width_numbers_are_looked_up(real, registry):
    alfa = "12ABC34501DE35"
    assert C.validar_cnpj_alfanumerico(alfa)
    registry.brasil_api[alfa] = dict(SAMPLES["brasilapi_22598920000196_versatec"], cnpj=alfa)
    assert C.consultar_cnpj("12.ABC.345/01DE-35")["cnpj"] == "12.ABC.345/01DE-35"
    # any Unicode decimal digit is its ASCII digit, in validation and in the lookup alike
    largo = "".join(chr(0xFF10 + int(d)) for d in VERSATEC)
    for numero in (largo, "２２" + VERSATEC[2:], "２２.５９８.９２０/０００１-９６"):
        assert C.limpar_cnpj(numero) == VERSATEC and C.validar_cnpj(numero)
        assert C.consultar_cnpj(numero)["razao_social"].startswith("VERSATEC")
    assert all(r.path.isascii() for r in registry.requests)
