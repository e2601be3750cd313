"""Shared test configuration: log capture, a clean provider environment, the local chat
server and readers whose OpenAI client talks to it."""

import ipaddress
import logging
import socket

import openai
import pytest

from servers.chat import ChatServer


@pytest.fixture
def vorlex_logs(caplog):
    """Capture every Vorlex log line from debug level up."""
    caplog.set_level(logging.DEBUG, logger="vorlex")
    return caplog


try:
    from hypothesis import HealthCheck, settings

    # Differential tests compare the native kernels with Python on random text; the
    # machines are slow and shared, so no per-example deadline.
    settings.register_profile(
        "vorlex",
        deadline=None,
        max_examples=300,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.load_profile("vorlex")
except ImportError:  # pragma: no cover - hypothesis is a test dependency
    pass

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
)


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    """No provider variable of the machine leaks into a test."""
    for name in PROVIDER_VARS:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture(scope="session")
def _chat_server():
    with ChatServer() as server:
        yield server


@pytest.fixture
def chat_server(_chat_server):
    """The local OpenAI-compatible server, with an empty script and request log."""
    _chat_server.reset()
    _chat_server.delay = 0.0
    yield _chat_server
    _chat_server.reset()


@pytest.fixture
def make_reader(chat_server):
    """Builds a reader normally, then points it at the local server with a client whose
    own retries are off, so that only the reader's retry policy acts."""
    from vorlex.reader import Vorlex

    def make(**kwargs):
        kwargs.setdefault("openai_api_key", "sk-test")
        reader = Vorlex(**kwargs)
        reader._openai_client = openai.OpenAI(api_key="sk-test", base_url=chat_server.base_url, max_retries=0)
        return reader

    return make


@pytest.fixture(scope="module")
def redis():
    """A Redis server of the test module's own on 127.0.0.1 (skipped without one)."""
    from servers import redis_server

    if not redis_server.available():
        pytest.skip("redis-server is not installed")
    pytest.importorskip("redis")
    with redis_server.RedisServer() as server:
        yield server


@pytest.fixture
def loopback_only(monkeypatch):
    """Connections to anything but loopback are refused before they leave the machine;
    the refused addresses are listed."""
    refused = []
    real = socket.socket.connect

    def connect(sock, address):
        if not ipaddress.ip_address(str(address[0]).split("%")[0]).is_loopback:
            refused.append(address[0])
            raise ConnectionRefusedError(111, "refused by the test")
        return real(sock, address)

    monkeypatch.setattr(socket.socket, "connect", connect)
    return refused
