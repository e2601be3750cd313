"""Fixtures of the Brazilian registry tests: the fake registry, a spy on `requests`,
a local OpenAI-compatible server for the AI search, and record factories."""

import json

import pytest
import requests as real_requests

import vorlex.contract.countries.br.cnpj as cnpj_mod
import vorlex.contract.countries.br.ie as ie_mod
from servers.loopback import LoopbackServer
from servers.registry import RegistryServer


class RequestsSpy:
    """Stands in for the `requests` module: records each call's arguments and passes
    it to the real library (optionally with a shorter time-out, to provoke one)."""

    def __init__(self, timeout_override=None):
        self.calls = []
        self.timeout_override = timeout_override

    def __getattr__(self, name):
        return getattr(real_requests, name)

    def _call(self, method, url, **kwargs):
        self.calls.append((method, url, kwargs))
        if self.timeout_override is not None:
            kwargs = dict(kwargs, timeout=self.timeout_override)
        return getattr(real_requests, method)(url, **kwargs)

    def get(self, url, **kwargs):
        return self._call("get", url, **kwargs)

    def post(self, url, **kwargs):
        return self._call("post", url, **kwargs)


@pytest.fixture
def registry(monkeypatch):
    """The fake registry, with the URL constants of both modules pointed at it."""
    with RegistryServer() as server:
        monkeypatch.setattr(cnpj_mod, "BRASIL_API_URL", server.brasil_api_url)
        monkeypatch.setattr(cnpj_mod, "RECEITA_WS_URL", server.receita_ws_url)
        monkeypatch.setattr(cnpj_mod, "CASADOSDADOS_API", server.casa_dos_dados_url)
        monkeypatch.setattr(ie_mod, "CNPJA_API_URL", server.cnpja_url)
        yield server


@pytest.fixture
def make_spy(monkeypatch):
    def make(timeout_override=None):
        s = RequestsSpy(timeout_override)
        monkeypatch.setattr(cnpj_mod, "requests", s)
        monkeypatch.setattr(ie_mod, "requests", s)
        return s

    return make


@pytest.fixture
def spy(make_spy):
    return make_spy()


# -- a local OpenAI-compatible server (Responses API and chat completions) -----------


class FakeOpenAI(LoopbackServer):
    """Answers POST /v1/responses and /v1/chat/completions with `self.answer` (a text),
    or with `self.status` as an error. Records the JSON bodies and headers. Serving from
    construction on."""

    methods = ("POST",)
    poll_interval = 0.05

    def __init__(self):
        self.answer = "NAO_ENCONTRADO"
        self.status = 200
        self.bodies = []
        self.headers = []
        self.start()

    @property
    def base_url(self):
        return self.origin + "/v1"

    def _respond(self, h, method):
        n = int(h.headers.get("Content-Length") or 0)
        body = json.loads(h.rfile.read(n) or b"{}")
        self.bodies.append((h.path, body))
        self.headers.append({k.lower(): v for k, v in h.headers.items()})
        if self.status != 200:
            out = {"error": {"message": "boom", "type": "server_error", "code": None}}
            self._send(h, self.status, out)
        elif h.path.endswith("/responses"):
            self._send(h, 200, self._response(body))
        elif h.path.endswith("/chat/completions"):
            self._send(h, 200, self._chat(body))
        else:
            self._send(h, 404, {"error": {"message": "not found"}})

    def _send(self, h, status, obj):
        self.send(h, status, json.dumps(obj).encode())

    def _response(self, body):
        return {
            "id": "resp_1",
            "object": "response",
            "created_at": 1700000000,
            "status": "completed",
            "model": body.get("model"),
            "output": [
                {
                    "type": "web_search_call",
                    "id": "ws_1",
                    "status": "completed",
                    "action": {"type": "search", "query": "cnpj"},
                },
                {
                    "type": "message",
                    "id": "msg_1",
                    "status": "completed",
                    "role": "assistant",
                    "content": [{"type": "output_text", "text": self.answer, "annotations": []}],
                },
            ],
            "parallel_tool_calls": True,
            "tool_choice": "auto",
            "tools": body.get("tools", []),
            "usage": {
                "input_tokens": 10,
                "output_tokens": 5,
                "total_tokens": 15,
                "input_tokens_details": {"cached_tokens": 0},
                "output_tokens_details": {"reasoning_tokens": 0},
            },
        }

    def _chat(self, body):
        return {
            "id": "chatcmpl-1",
            "object": "chat.completion",
            "created": 1700000000,
            "model": body.get("model"),
            "choices": [
                {
                    "index": 0,
                    "finish_reason": "stop",
                    "message": {"role": "assistant", "content": self.answer},
                }
            ],
            "usage": {"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15},
        }


@pytest.fixture
def openai_server(monkeypatch):
    fake = FakeOpenAI()
    monkeypatch.setenv("OPENAI_BASE_URL", fake.base_url)
    monkeypatch.delenv("OPENAI_ORG_ID", raising=False)
    monkeypatch.delenv("OPENAI_PROJECT_ID", raising=False)
    yield fake
    fake.stop()
