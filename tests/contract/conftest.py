"""Fixtures of the contract checker tests: a clean provider environment, the local chat
server standing in for the model, the fake registry, and checkers wired to both.

Nothing leaves the machine: before each test the OpenAI base address and the registry
addresses point at a closed local port; the `chat_server` and `registry` fixtures point
them at the local servers.
"""

from __future__ import annotations

import pytest
import requests as real_requests

from servers.chat import ChatServer
from servers.registry import RegistryServer

PROVIDER_VARS = (
    "OPENAI_PROVIDER",
    "OPENAI_API_KEY",
    "AZURE_API_KEY",
    "AZURE_API_ENDPOINT",
    "AZURE_API_VERSION",
    "AZURE_DEPLOYMENT_NAME",
    "GOOGLE_API_KEY",
    "XAI_API_KEY",
    "GROK_API_KEY",
    "XAI_BASE_URL",
    "OPENAI_BASE_URL",
    "OPENAI_ORG_ID",
    "OPENAI_PROJECT_ID",
    "CNPJA_API_KEY",
)

CLOSED = "http://127.0.0.1:9"  # the discard port: connection refused at once


def _point_registry(monkeypatch, brasil, receita, casa):
    import vorlex.contract.countries.br.cnpj as cnpj_mod

    monkeypatch.setattr(cnpj_mod, "BRASIL_API_URL", brasil)
    monkeypatch.setattr(cnpj_mod, "RECEITA_WS_URL", receita)
    monkeypatch.setattr(cnpj_mod, "CASADOSDADOS_API", casa)


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    """No provider variable of the machine leaks in, and no request reaches a real
    service."""
    for name in PROVIDER_VARS:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("OPENAI_BASE_URL", CLOSED + "/v1")
    _point_registry(
        monkeypatch,
        CLOSED + "/api/cnpj/v1/{cnpj}",
        CLOSED + "/v1/cnpj/{cnpj}",
        CLOSED + "/v2/public/cnpj/search",
    )
    return monkeypatch


@pytest.fixture(scope="session")
def _chat_server():
    with ChatServer() as server:
        yield server


@pytest.fixture
def chat_server(_chat_server, monkeypatch):
    """The local OpenAI-compatible server, empty script and log; the environment
    (OPENAI_BASE_URL, OPENAI_API_KEY) sends the reader's OpenAI client to it."""
    _chat_server.reset()
    _chat_server.delay = 0.0
    monkeypatch.setenv("OPENAI_BASE_URL", _chat_server.base_url)
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    yield _chat_server
    _chat_server.reset()


@pytest.fixture
def registry(monkeypatch):
    """The fake registry, with the CNPJ module's service addresses pointed at it."""
    with RegistryServer() as server:
        _point_registry(monkeypatch, server.brasil_api_url, server.receita_ws_url, server.casa_dos_dados_url)
        yield server


class ShortTimeouts:
    """Stands in for `requests` in the CNPJ module: each call goes to the real library
    with a short time-out, so that a slow registry times out within a test."""

    def __init__(self, timeout: float):
        self.timeout = timeout
        self.calls = []

    def __getattr__(self, name):
        return getattr(real_requests, name)

    def get(self, url, **kwargs):
        self.calls.append(("get", url))
        return real_requests.get(url, **dict(kwargs, timeout=self.timeout))

    def post(self, url, **kwargs):
        self.calls.append(("post", url))
        return real_requests.post(url, **dict(kwargs, timeout=self.timeout))


@pytest.fixture
def short_timeouts(monkeypatch):
    import vorlex.contract.countries.br.cnpj as cnpj_mod

    spy = ShortTimeouts(0.3)
    monkeypatch.setattr(cnpj_mod, "requests", spy)
    return spy


@pytest.fixture
def make_checker(chat_server):
    """ContractChecker("BR", ...) whose reader (built on the first verification) talks
    to the local chat server."""
    from vorlex.contract.checker import ContractChecker

    def make(**kwargs):
        kwargs.setdefault("openai_api_key", "sk-test")
        return ContractChecker("BR", **kwargs)

    return make
