"""A local fake of the Brazilian registry services, on 127.0.0.1 with an ephemeral port.

One HTTP server plays four services under their own path prefixes:

    /brasilapi/api/cnpj/v1/<cnpj>          BrasilAPI (GET)
    /receitaws/v1/cnpj/<cnpj>              ReceitaWS (GET)
    /casadosdados/v2/public/cnpj/search    Casa dos Dados search (POST, JSON body)
    /cnpja/office/<cnpj>                   CNPJá (GET, Authorization header)

Answers come from records the tests hold (`server.brasil_api[cnpj] = {...}`); an entry
may instead be a `Reply` to force a status, a raw body, a delay or a dropped
connection. Every request is recorded in `server.requests`. `server.serve_samples()`
serves the real answers of both services kept in `registry_samples/` (see its README
for their sources).
"""

from __future__ import annotations

import json
import pathlib
import re
import socket
import threading
from dataclasses import dataclass, field
from urllib.parse import parse_qs, urlsplit

from servers.loopback import LoopbackServer


@dataclass
class Reply:
    """A forced answer: status and JSON (or raw bytes), optionally late or dropped."""

    status: int = 200
    json: object = None
    body: bytes | None = None
    content_type: str = "application/json"
    delay: float = 0.0
    drop: bool = False


@dataclass
class Request:
    method: str
    service: str
    path: str
    query: dict
    headers: dict
    body: object = None


@dataclass
class RegistryServer(LoopbackServer):
    poll_interval = 0.05
    report_errors = False  # a client that gave up (time-out) is not an error here

    brasil_api: dict = field(default_factory=dict)
    receita_ws: dict = field(default_factory=dict)
    cnpja: dict = field(default_factory=dict)
    # Search hits: records with at least "cnpj" and "razao_social" (and "uf").
    casa_dos_dados: list = field(default_factory=list)
    casa_dos_dados_reply: Reply | None = None
    requests: list = field(default_factory=list)
    # The most requests being answered at one moment (a reply's delay counts).
    peak_in_flight: int = 0
    _in_flight: int = field(default=0, repr=False)
    _flight_lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    # -- addresses ----------------------------------------------------------------
    @property
    def base_url(self):
        return self.origin

    @property
    def brasil_api_url(self):
        return self.base_url + "/brasilapi/api/cnpj/v1/{cnpj}"

    @property
    def receita_ws_url(self):
        return self.base_url + "/receitaws/v1/cnpj/{cnpj}"

    @property
    def casa_dos_dados_url(self):
        return self.base_url + "/casadosdados/v2/public/cnpj/search"

    @property
    def cnpja_url(self):
        return self.base_url + "/cnpja/office/{cnpj}"

    def calls(self, service):
        return [r for r in self.requests if r.service == service]

    def serve_samples(self):
        """Serve every real answer of `registry_samples/` under its own service and CNPJ."""
        for name, data in SAMPLES.items():
            service = self.brasil_api if name.startswith("brasilapi_") else self.receita_ws
            service[re.sub(r"\D", "", data["cnpj"])] = data
        return self

    # -- the services --------------------------------------------------------------
    def _respond(self, h, method):
        parts = urlsplit(h.path)
        path = parts.path
        length = int(h.headers.get("Content-Length") or 0)
        raw = h.rfile.read(length) if length else b""
        try:
            body = json.loads(raw) if raw else None
        except ValueError:
            body = raw
        service, reply = self._route(method, path, h.headers, body)
        self.requests.append(
            Request(method, service, path, parse_qs(parts.query), dict(h.headers.items()), body)
        )
        with self._flight_lock:
            self._in_flight += 1
            self.peak_in_flight = max(self.peak_in_flight, self._in_flight)
        try:
            self._answer(h, reply)
        finally:
            with self._flight_lock:
                self._in_flight -= 1

    def _route(self, method, path, headers, body):
        def tail(prefix):
            return path[len(prefix) :]

        if method == "GET" and path.startswith("/brasilapi/api/cnpj/v1/"):
            entry = self.brasil_api.get(tail("/brasilapi/api/cnpj/v1/"))
            if entry is None:
                entry = Reply(404, {"message": "CNPJ não encontrado", "type": "not_found"})
            return "brasilapi", entry
        if method == "GET" and path.startswith("/receitaws/v1/cnpj/"):
            entry = self.receita_ws.get(tail("/receitaws/v1/cnpj/"))
            if entry is None:  # ReceitaWS answers 200 with its own error status
                entry = {"status": "ERROR", "message": "CNPJ inválido"}
            return "receitaws", entry
        if method == "POST" and path == "/casadosdados/v2/public/cnpj/search":
            if self.casa_dos_dados_reply is not None:
                return "casadosdados", self.casa_dos_dados_reply
            return "casadosdados", self._search(body)
        if method == "GET" and path.startswith("/cnpja/office/"):
            if not headers.get("Authorization"):
                return "cnpja", Reply(401, {"code": 401, "message": "Unauthorized"})
            entry = self.cnpja.get(tail("/cnpja/office/"))
            if entry is None:
                entry = Reply(404, {"code": 404, "message": "Not Found"})
            return "cnpja", entry
        return "unknown", Reply(404, {"message": "no such path"})

    def _search(self, body):
        query = (body or {}).get("query", {}) if isinstance(body, dict) else {}
        termos = [t.casefold() for t in query.get("termo", [])]
        ufs = query.get("uf")
        hits = [
            rec
            for rec in self.casa_dos_dados
            if all(t in str(rec.get("razao_social", "")).casefold() for t in termos)
            and (not ufs or rec.get("uf") in ufs)
        ]
        return {"success": True, "data": {"count": len(hits), "cnpj": hits}}

    def _answer(self, h, entry):
        reply = entry if isinstance(entry, Reply) else Reply(200, entry)
        if reply.delay and self.pause(reply.delay):
            return
        if reply.drop:
            h.close_connection = True
            try:
                h.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if reply.body is not None:
            payload = reply.body
        else:
            payload = json.dumps(reply.json, ensure_ascii=False).encode("utf-8")
        self.send(h, reply.status, payload, reply.content_type)


# -- real answers of the services -----------------------------------------------------

SAMPLES_DIR = pathlib.Path(__file__).with_name("registry_samples")
# file stem -> the service's JSON answer, as published
SAMPLES = {p.stem: json.loads(p.read_text("utf-8")) for p in sorted(SAMPLES_DIR.glob("*.json"))}


# -- sample records in the services' shapes ----------------------------------------


def cnpj_com_digitos(base12: str) -> str:
    """The 14-digit CNPJ of a 12-digit base, check digits by the textbook rule."""

    def digito(ds, pesos):
        resto = sum(int(d) * p for d, p in zip(ds, pesos, strict=True)) % 11
        return "0" if resto < 2 else str(11 - resto)

    d1 = digito(base12, [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    d2 = digito(base12 + d1, [6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2])
    return base12 + d1 + d2


CNPJ_A = "11222333000181"  # 11.222.333/0001-81
CNPJ_B = cnpj_com_digitos("334455660001")
CNPJ_C = cnpj_com_digitos("987654320001")


def fmt(d):
    return f"{d[:2]}.{d[2:5]}.{d[5:8]}/{d[8:12]}-{d[12:]}"


def brasil_api_record(**over):
    rec = {
        "cnpj": CNPJ_A,
        "razao_social": "ACME INDUSTRIA E COMERCIO LTDA",
        "nome_fantasia": "ACME",
        "descricao_situacao_cadastral": "ATIVA",
        "data_situacao_cadastral": "2005-11-03",
        "data_inicio_atividade": "1999-01-15",
        "natureza_juridica": "Sociedade Empresária Limitada",
        "porte": "DEMAIS",
        "capital_social": 250000.5,
        "logradouro": "AV PAULISTA",
        "numero": "1000",
        "complemento": "ANDAR 10",
        "bairro": "BELA VISTA",
        "municipio": "SAO PAULO",
        "uf": "SP",
        "cep": "01310100",
        "email": "contato@acme.com.br",
        "qsa": [
            {
                "nome_socio": "MARIA DA SILVA SANTOS",
                "qualificacao_socio": "Sócio-Administrador",
                "data_entrada_sociedade": "1999-01-15",
                "cpf_representante_legal": "***000000**",
                "nome_representante_legal": "",
                "qualificacao_representante_legal": "Não informada",
            }
        ],
    }
    rec.update(over)
    return rec


def receita_ws_record(**over):
    rec = {
        "status": "OK",
        "cnpj": fmt(CNPJ_A),
        "nome": "ACME INDUSTRIA E COMERCIO LTDA",
        "fantasia": "ACME",
        "situacao": "ATIVA",
        "data_situacao": "03/11/2005",
        "abertura": "15/01/1999",
        "natureza_juridica": "206-2 - Sociedade Empresária Limitada",
        "porte": "DEMAIS",
        "capital_social": "250000.50",
        "logradouro": "AV PAULISTA",
        "numero": "1000",
        "complemento": "ANDAR 10",
        "bairro": "BELA VISTA",
        "municipio": "SAO PAULO",
        "uf": "SP",
        "cep": "01.310-100",
        "email": "contato@acme.com.br",
        "qsa": [{"nome": "MARIA DA SILVA SANTOS", "qual": "49-Sócio-Administrador"}],
    }
    rec.update(over)
    return rec
