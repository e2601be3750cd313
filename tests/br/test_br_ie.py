"""State registration lookup through the real `requests` client against the fake
CNPJá service."""

import pytest
import requests

import vorlex.contract.countries.br.ie as ie
from servers.registry import CNPJ_A, CNPJ_B, Reply, fmt

LOGGER = "vorlex.contract.countries.br.ie"


def lines(caplog):
    return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == LOGGER]


@pytest.fixture
def key(monkeypatch):
    monkeypatch.setenv("CNPJA_API_KEY", "chave-secreta-123")
    return "chave-secreta-123"


OFFICE = {
    "taxId": CNPJ_A,
    "company": {"name": "ACME"},
    "registrations": [
        {
            "number": "110042490114",
            "state": "SP",
            "enabled": True,
            "statusDate": "2005-11-03",
            "status": {"id": 1, "text": "Sem restrição"},
            "type": {"id": 1, "text": "IE Normal"},
        },
        {"number": "0012345", "state": "RJ", "enabled": False},
    ],
}


def test_found(registry, key, spy, vorlex_logs):
    registry.cnpja[CNPJ_A] = OFFICE
    out = ie.buscar_ie_por_cnpj(fmt(CNPJ_A))
    assert list(out) == ["cnpj", "fonte", "inscricoes_estaduais"]
    assert out == {
        "cnpj": "11.222.333/0001-81",
        "fonte": "CNPJá",
        "inscricoes_estaduais": [
            {
                "uf": "SP",
                "numero": "110042490114",
                "tipo": "IE Normal",
                "ativa": True,
                "situacao": "Sem restrição",
                "data_situacao": "2005-11-03",
            },
            {
                "uf": "RJ",
                "numero": "0012345",
                "tipo": "IE",
                "ativa": False,
                "situacao": "",
                "data_situacao": "",
            },
        ],
    }
    assert list(out["inscricoes_estaduais"][0]) == [
        "uf",
        "numero",
        "tipo",
        "ativa",
        "situacao",
        "data_situacao",
    ]
    [req] = registry.calls("cnpja")
    assert req.path == f"/cnpja/office/{CNPJ_A}"
    assert req.headers["Authorization"] == "chave-secreta-123"
    assert req.query == {"registrations": ["BR"]}
    assert spy.calls == [
        (
            "get",
            registry.cnpja_url.replace("{cnpj}", CNPJ_A),
            {"headers": {"Authorization": key}, "params": {"registrations": "BR"}, "timeout": 10},
        )
    ]
    assert lines(vorlex_logs) == []


def test_invalid_number_is_silent_even_with_a_key(registry, key, vorlex_logs):
    assert ie.buscar_ie_por_cnpj("12.345.678/0001-99") is None
    assert registry.requests == [] and lines(vorlex_logs) == []


@pytest.mark.parametrize("value", [None, ""])
def test_missing_key(registry, monkeypatch, vorlex_logs, value):
    if value is None:
        monkeypatch.delenv("CNPJA_API_KEY", raising=False)
    else:
        monkeypatch.setenv("CNPJA_API_KEY", value)
    assert ie.buscar_ie_por_cnpj(CNPJ_A) is None
    assert lines(vorlex_logs) == [("WARNING", "%s not set; skipping CNPJá IE lookup", ("CNPJA_API_KEY",))]
    assert registry.requests == []


def test_key_is_read_at_each_call(registry, monkeypatch):
    registry.cnpja[CNPJ_A] = OFFICE
    monkeypatch.delenv("CNPJA_API_KEY", raising=False)
    assert ie.buscar_ie_por_cnpj(CNPJ_A) is None
    monkeypatch.setenv("CNPJA_API_KEY", "nova")
    assert ie.buscar_ie_por_cnpj(CNPJ_A)["fonte"] == "CNPJá"
    assert registry.calls("cnpja")[0].headers["Authorization"] == "nova"


def test_404_is_silent(registry, key, vorlex_logs):
    assert ie.buscar_ie_por_cnpj(CNPJ_B) is None
    assert len(registry.calls("cnpja")) == 1 and lines(vorlex_logs) == []


@pytest.mark.parametrize("status", [500, 429, 401])
def test_other_status(registry, key, vorlex_logs, status):
    registry.cnpja[CNPJ_A] = Reply(status, {"message": "x"})
    assert ie.buscar_ie_por_cnpj(CNPJ_A) is None
    assert lines(vorlex_logs) == [("WARNING", "CNPJá returned HTTP %s for %s", (status, CNPJ_A))]


def test_request_failures(registry, key, vorlex_logs, monkeypatch):
    monkeypatch.setattr(ie, "REQUEST_TIMEOUT", 0.3)
    registry.cnpja[CNPJ_A] = Reply(drop=True)
    assert ie.buscar_ie_por_cnpj(CNPJ_A) is None
    registry.cnpja[CNPJ_A] = Reply(200, OFFICE, delay=3.0)
    assert ie.buscar_ie_por_cnpj(CNPJ_A) is None
    got = lines(vorlex_logs)
    assert [(lv, msg, args[0]) for lv, msg, args in got] == [
        ("WARNING", "CNPJá request failed for %s: %s", CNPJ_A)
    ] * 2
    assert isinstance(got[0][2][1], requests.ConnectionError)
    assert isinstance(got[1][2][1], requests.Timeout)


def test_non_json(registry, key, vorlex_logs):
    registry.cnpja[CNPJ_A] = Reply(200, body=b"<html/>", content_type="text/html")
    assert ie.buscar_ie_por_cnpj(CNPJ_A) is None
    [(level, msg, args)] = lines(vorlex_logs)
    assert (level, msg, args[0]) == ("WARNING", "CNPJá returned non-JSON for %s: %s", CNPJ_A)
    assert isinstance(args[1], ValueError)


@pytest.mark.parametrize("answer", [{}, {"registrations": None}, {"registrations": []}, None, [], False])
def test_no_registrations(registry, key, answer):
    registry.cnpja[CNPJ_A] = Reply(200, answer)
    assert ie.buscar_ie_por_cnpj(CNPJ_A) == {
        "cnpj": fmt(CNPJ_A),
        "fonte": "CNPJá",
        "inscricoes_estaduais": [],
    }


@pytest.mark.parametrize(
    "answer",
    [
        [OFFICE],
        {"registrations": ["SP"]},
        {"registrations": [{"status": "ativa"}]},
        {"registrations": [{"type": ["IE"]}]},
        {"registrations": {"state": "SP"}},
    ],
)
def test_unexpected_shapes_raise(registry, key, answer):
    registry.cnpja[CNPJ_A] = Reply(200, answer)
    with pytest.raises(TypeError):
        ie.buscar_ie_por_cnpj(CNPJ_A)


def test_normalize_registration_rules():
    n = ie._normalize_registration
    assert n({}) == {
        "uf": "",
        "numero": "",
        "tipo": "IE",
        "ativa": False,
        "situacao": "",
        "data_situacao": "",
    }
    assert n({"type": {"text": ""}})["tipo"] == "IE"
    assert n({"type": {"text": None}, "status": None})["tipo"] == "IE"
    assert n({"type": {}})["tipo"] == "IE"
    assert n({"enabled": 1})["ativa"] is True and n({"enabled": "sim"})["ativa"] is True
    assert n({"enabled": 0})["ativa"] is False
    assert n({"status": {"id": 2}})["situacao"] == ""
    assert n({"status": {"text": None}})["situacao"] is None  # present values are copied
    assert n({"state": None, "number": 123})["numero"] == 123
    with pytest.raises(TypeError, match="reg"):
        n(None)
    with pytest.raises(TypeError, match="reg"):
        n([("state", "SP")])


def test_collaborators_are_late_bound(registry, key, monkeypatch):
    registry.cnpja[CNPJ_A] = OFFICE
    monkeypatch.setattr(ie, "_normalize_registration", lambda reg: reg["state"])
    monkeypatch.setattr(ie, "formatar_cnpj", lambda c: "F:" + c)
    assert ie.buscar_ie_por_cnpj(CNPJ_A) == {
        "cnpj": "F:" + CNPJ_A,
        "fonte": "CNPJá",
        "inscricoes_estaduais": ["SP", "RJ"],
    }
    monkeypatch.setattr(ie, "validar_cnpj", lambda c: False)
    assert ie.buscar_ie_por_cnpj(CNPJ_A) is None


@pytest.mark.parametrize("bad", [None, 11222333000181, b"11222333000181"])
def test_type_errors(registry, key, bad):
    with pytest.raises(TypeError, match="cnpj"):
        ie.buscar_ie_por_cnpj(bad)
    assert registry.requests == []
