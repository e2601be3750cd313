"""Reader construction: providers, environment precedence, configuration errors."""

import asyncio
import re

import openai
import pytest

import vorlex
import vorlex.providers.google as google_provider
from vorlex.config import MODELS, get_grok_base_url, resolve_model
from vorlex.exceptions import VorlexError
from vorlex.reader import Vorlex

AZURE_KEY = "Azure API key não configurada. Defina AZURE_API_KEY."
AZURE_ENDPOINT = "Azure endpoint não configurado. Defina AZURE_API_ENDPOINT."
AZURE_DEPLOYMENT = "Azure deployment não configurado. Defina AZURE_DEPLOYMENT_NAME."
GROK_KEY = "xAI API key não configurada. Defina XAI_API_KEY ou passe grok_api_key."
OPENAI_KEY = "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key."


def fails_with(message, **kwargs):
    with pytest.raises(VorlexError) as info:
        Vorlex(**kwargs)
    assert str(info.value) == message


@pytest.fixture
def google_builds(monkeypatch):
    """Records the Google client builds (the provider module's build_client)."""
    calls = []

    def build_client(**kwargs):
        calls.append(kwargs)
        return object()

    monkeypatch.setattr(google_provider, "build_client", build_client)
    return calls


class TestOpenAI:
    def test_defaults(self):
        reader = Vorlex(openai_api_key="sk-1")
        assert reader._provider == "openai"
        assert reader.model == resolve_model(vorlex.config.DEFAULT_MODEL, "openai")
        assert (reader._max_file_size_mb, reader._max_pages) == (50, 500)
        assert (reader._streaming, reader._ocr_fallback, reader._verbose) == (False, "off", False)
        assert isinstance(reader._openai_client, openai.OpenAI)
        assert reader._openai_client.api_key == "sk-1"
        assert reader._openai_client.timeout == 120.0
        assert str(reader._openai_client.base_url).startswith("https://api.openai.com")
        assert reader._async_openai_client is None and reader._google_client is None
        assert reader._async_google_client is None
        assert (reader._cache, reader._circuit_breaker, reader._classification) == (None, None, None)
        assert reader._questions == {} and reader.questions == []
        assert reader._max_retries == 3

    def test_argument_beats_environment(self, clean_env):
        clean_env.setenv("OPENAI_API_KEY", "sk-env")
        assert Vorlex(openai_api_key="sk-arg")._openai_api_key == "sk-arg"
        assert Vorlex()._openai_api_key == "sk-env"
        assert Vorlex(openai_api_key="")._openai_api_key == "sk-env"

    def test_missing_key(self, clean_env):
        fails_with(OPENAI_KEY)
        clean_env.setenv("OPENAI_API_KEY", "")
        fails_with(OPENAI_KEY, openai_api_key="")

    def test_unknown_provider_is_refused(self, clean_env):
        # not silently the OpenAI client: the caller's requests would go to the wrong place
        with pytest.raises(
            ValueError, match="provider inválido: 'Mistral'; use 'openai', 'azure', 'google' ou 'grok'"
        ):
            Vorlex(provider="Mistral", openai_api_key="sk")
        clean_env.setenv("OPENAI_PROVIDER", "anthropic")
        with pytest.raises(ValueError, match="OPENAI_PROVIDER inválido: 'anthropic'"):
            Vorlex(openai_api_key="sk")
        assert Vorlex(provider="OpenAI", openai_api_key="sk")._provider == "openai"

    def test_empty_provider_variable_selects_openai(self, clean_env):
        clean_env.setenv("OPENAI_PROVIDER", "")
        reader = Vorlex(openai_api_key="sk")
        assert reader._provider == "openai"
        assert isinstance(reader._openai_client, openai.OpenAI)

    def test_limits_and_switches(self):
        reader = Vorlex(openai_api_key="sk", max_file_size_mb=0, max_pages=0)
        assert (reader._max_file_size_mb, reader._max_pages) == (50, 500)
        reader = Vorlex(
            openai_api_key="sk",
            max_file_size_mb=2.5,
            max_pages=7,
            streaming=True,
            verbose=True,
            max_retries=0,
        )
        assert (reader._max_file_size_mb, reader._max_pages) == (2.5, 7)
        assert reader._streaming is True and reader._verbose is True
        assert reader._max_retries == 0

    @pytest.mark.parametrize(
        "given,stored", [("off", "off"), ("auto", "auto"), ("force", "force"), ("", "off"), (None, "off")]
    )
    def test_ocr_fallback(self, given, stored):
        assert Vorlex(openai_api_key="sk", ocr_fallback=given)._ocr_fallback == stored

    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            (
                {"ocr_fallback": "AUTO"},
                ValueError,
                "ocr_fallback inválido: 'AUTO'; use 'off', 'auto' ou 'force'",
            ),
            ({"ocr_fallback": "sometimes"}, ValueError, "ocr_fallback inválido: 'sometimes'"),
            ({"ocr_fallback": 3}, TypeError, "ocr_fallback"),
            ({"max_retries": -1}, ValueError, "max_retries deve ser 0 ou mais, não -1"),
            ({"cache_ttl": -5}, ValueError, "cache_ttl deve ser um número de segundos maior que 0, não -5"),
            ({"cache_ttl": 0, "enable_cache": True}, ValueError, "cache_ttl"),
            ({"cache_ttl": float("nan")}, ValueError, "cache_ttl"),
        ],
    )
    def test_arguments_outside_their_values_are_refused(self, kwargs, error, message):
        with pytest.raises(error, match=re.escape(message)):
            Vorlex(openai_api_key="sk", **kwargs)

    def test_cache_and_breaker(self):
        reader = Vorlex(
            openai_api_key="sk",
            enable_cache=True,
            cache_ttl=10,
            circuit_breaker=True,
            circuit_breaker_threshold=2,
            circuit_breaker_timeout=9,
        )
        assert reader._cache.ttl_seconds == 10
        assert reader._circuit_breaker._failure_threshold == 2
        assert reader._circuit_breaker._recovery_timeout == 9

    def test_verbose_line(self, vorlex_logs):
        Vorlex(openai_api_key="sk", model="gpt-4o", verbose=True)
        Vorlex(openai_api_key="sk", model="gpt-4o")
        lines = [r.getMessage() for r in vorlex_logs.records if r.name == "vorlex.reader"]
        assert lines == ["Vorlex inicializado (OpenAI). Modelo: gpt-4o"]

    def test_real_call_with_the_built_client(self, chat_server):
        # the client the reader builds works; only the address is redirected
        reader = Vorlex(openai_api_key="sk-real")
        reader._openai_client = reader._openai_client.with_options(base_url=chat_server.base_url)
        answer = reader._call_llm([{"role": "user", "content": "oi"}])
        assert answer.choices[0].message.content == "Resposta do modelo"
        assert chat_server.requests[-1]["headers"]["authorization"] == "Bearer sk-real"


class TestAzure:
    def test_errors_in_order(self, clean_env):
        fails_with(AZURE_KEY, provider="azure")
        fails_with(AZURE_ENDPOINT, provider="azure", azure_api_key="k", azure_deployment="d")
        fails_with(AZURE_DEPLOYMENT, provider="azure", azure_api_key="k", azure_endpoint="http://127.0.0.1:1")
        clean_env.setenv("AZURE_API_KEY", "")
        fails_with(AZURE_KEY, provider="azure", azure_endpoint="http://x", azure_deployment="d")
        clean_env.setenv("AZURE_API_KEY", "k")
        clean_env.setenv("AZURE_API_ENDPOINT", "")
        clean_env.setenv("AZURE_DEPLOYMENT_NAME", "d")
        fails_with(AZURE_ENDPOINT, provider="azure")
        clean_env.setenv("AZURE_API_ENDPOINT", "http://x")
        clean_env.setenv("AZURE_DEPLOYMENT_NAME", "")
        fails_with(AZURE_DEPLOYMENT, provider="azure", azure_deployment="")

    def test_capital_provider_and_environment(self, clean_env, chat_server):
        clean_env.setenv("AZURE_API_KEY", "az-env")
        clean_env.setenv("AZURE_API_ENDPOINT", chat_server.endpoint)
        clean_env.setenv("AZURE_DEPLOYMENT_NAME", "implantacao")
        reader = Vorlex(provider="AZURE", model="gpt-4o")
        assert reader._provider == "azure"
        assert reader.model == "implantacao"
        assert reader._azure_api_version == "2024-02-15-preview"
        assert isinstance(reader._openai_client, openai.AzureOpenAI)
        assert reader._openai_client.timeout == 120.0
        # a real call reaches the deployment path with the key header
        result = reader.extract_from_text("texto", Vorlex.create_question("q", "Q", "{texto}"))
        assert result.status == "OK"
        request = chat_server.requests[-1]
        assert request["path"].startswith(
            "/openai/deployments/implantacao/chat/completions?api-version=2024-02-15-preview"
        )
        assert request["headers"]["api-key"] == "az-env"

    def test_version_precedence(self, clean_env):
        base = dict(provider="azure", azure_api_key="k", azure_endpoint="http://h", azure_deployment="d")
        clean_env.setenv("AZURE_API_VERSION", "2025-01-01")
        assert Vorlex(**base)._azure_api_version == "2025-01-01"
        assert Vorlex(**base, azure_api_version="2030-01-01")._azure_api_version == "2030-01-01"
        clean_env.setenv("AZURE_API_VERSION", "")
        assert Vorlex(**base)._azure_api_version == ""

    def test_arguments_beat_environment(self, clean_env):
        clean_env.setenv("AZURE_API_KEY", "env-key")
        clean_env.setenv("AZURE_API_ENDPOINT", "http://env")
        clean_env.setenv("AZURE_DEPLOYMENT_NAME", "env-dep")
        reader = Vorlex(
            provider="azure", azure_api_key="arg-key", azure_endpoint="http://arg", azure_deployment="arg-dep"
        )
        assert (reader._azure_api_key, reader._azure_endpoint, reader._azure_deployment) == (
            "arg-key",
            "http://arg",
            "arg-dep",
        )
        reader = Vorlex(provider="azure", azure_api_key="", azure_endpoint="", azure_deployment="")
        assert (reader._azure_api_key, reader._azure_endpoint, reader._azure_deployment) == (
            "env-key",
            "http://env",
            "env-dep",
        )

    def test_verbose_line(self, vorlex_logs):
        Vorlex(
            provider="azure",
            azure_api_key="k",
            azure_endpoint="http://h",
            azure_deployment="dep-1",
            verbose=True,
        )
        assert [r.getMessage() for r in vorlex_logs.records if r.name == "vorlex.reader"] == [
            "Vorlex inicializado (Azure). Deployment: dep-1"
        ]


class TestGrok:
    def test_key_precedence(self, clean_env):
        fails_with(GROK_KEY, provider="grok")
        fails_with(GROK_KEY, provider="grok", openai_api_key="sk-openai")
        clean_env.setenv("GROK_API_KEY", "grok-env")
        assert Vorlex(provider="grok")._openai_api_key == "grok-env"
        clean_env.setenv("XAI_API_KEY", "")
        assert Vorlex(provider="grok")._openai_api_key == "grok-env"
        clean_env.setenv("XAI_API_KEY", "xai-env")
        assert Vorlex(provider="grok")._openai_api_key == "xai-env"
        assert Vorlex(provider="grok", grok_api_key="arg")._openai_api_key == "arg"
        assert Vorlex(provider="grok", grok_api_key="")._openai_api_key == "xai-env"

    def test_base_url_and_model(self, clean_env):
        reader = Vorlex(provider="grok", grok_api_key="g", model="gpt-4o")
        assert reader._grok_base_url == get_grok_base_url()
        assert reader.model == resolve_model("gpt-4o", "grok")
        clean_env.setenv("XAI_BASE_URL", "http://127.0.0.1:9/v1")
        assert Vorlex(provider="grok", grok_api_key="g")._grok_base_url == "http://127.0.0.1:9/v1"

    def test_real_call_through_grok_address(self, chat_server, vorlex_logs):
        reader = Vorlex(
            provider="Grok", grok_api_key="xai-key", grok_base_url=chat_server.base_url, verbose=True
        )
        assert reader._provider == "grok"
        assert isinstance(reader._openai_client, openai.OpenAI)
        reader._call_llm([{"role": "user", "content": "oi"}])
        assert chat_server.requests[-1]["headers"]["authorization"] == "Bearer xai-key"
        assert chat_server.requests[-1]["body"]["model"] == reader.model
        assert ("Vorlex inicializado (Grok). Modelo: " + reader.model) in [
            r.getMessage() for r in vorlex_logs.records
        ]


class TestGoogle:
    def test_without_key(self, google_builds):
        reader = Vorlex(provider="google")
        assert google_builds == [{"api_key": ""}]
        assert reader._google_client is reader._async_google_client is not None
        assert reader._openai_client is None and reader._async_openai_client is None
        assert reader.model == resolve_model(vorlex.config.DEFAULT_MODEL, "google")

    def test_provider_from_environment(self, clean_env, google_builds):
        clean_env.setenv("OPENAI_PROVIDER", "Google")
        clean_env.setenv("GOOGLE_API_KEY", "g-env")
        reader = Vorlex(model="gemini-2.5-pro")
        assert reader._provider == "google"
        assert reader.model == "gemini-2.5-pro"
        Vorlex(google_api_key="g-arg")
        assert google_builds == [{"api_key": "g-env"}, {"api_key": "g-arg"}]

    def test_empty_variable_builds_with_empty_key(self, clean_env, google_builds):
        clean_env.setenv("GOOGLE_API_KEY", "")
        Vorlex(provider="google", google_api_key="")
        assert google_builds == [{"api_key": ""}]

    def test_verbose_line(self, google_builds, vorlex_logs):
        reader = Vorlex(provider="google", verbose=True)
        assert "Vorlex inicializado (Google). Modelo: " + reader.model in [
            r.getMessage() for r in vorlex_logs.records
        ]

    def test_real_build_client_with_empty_key(self):
        reader = Vorlex(provider="google")
        assert reader._google_api_key in (None, "")
        assert reader._google_client is not None


class TestModelAndAsyncClient:
    def test_model_property(self):
        reader = Vorlex(
            provider="azure",
            azure_api_key="k",
            azure_endpoint="http://h",
            azure_deployment="dep",
            model="ignored",
        )
        assert reader.model == "dep"
        reader.model = "qualquer coisa"
        assert reader.model == "qualquer coisa" and reader._model == "qualquer coisa"

    def test_available_models_is_a_copy(self):
        first, second = Vorlex.available_models(), Vorlex.available_models()
        assert first == second == MODELS and first is not second and first is not MODELS
        first["novo"] = "x"
        assert "novo" not in MODELS

    def test_async_client_openai(self, chat_server):
        reader = Vorlex(openai_api_key="sk-a")
        client = reader._get_async_client()
        assert isinstance(client, openai.AsyncOpenAI)
        assert client.api_key == "sk-a" and client.timeout == 120.0
        assert reader._get_async_client() is client is reader._async_openai_client

    def test_async_client_grok_answers(self, chat_server):
        reader = Vorlex(provider="grok", grok_api_key="g", grok_base_url=chat_server.base_url)
        client = reader._get_async_client()
        assert isinstance(client, openai.AsyncOpenAI) and not isinstance(client, openai.AsyncAzureOpenAI)

        async def ask():
            return await client.with_options(max_retries=0).chat.completions.create(
                model="grok-3", messages=[{"role": "user", "content": "oi"}]
            )

        assert asyncio.run(ask()).choices[0].message.content == "Resposta do modelo"
        assert chat_server.requests[-1]["headers"]["authorization"] == "Bearer g"

    def test_async_client_azure(self, chat_server):
        reader = Vorlex(
            provider="azure",
            azure_api_key="k",
            azure_endpoint=chat_server.endpoint,
            azure_deployment="dep",
            azure_api_version="2024-10-21",
        )
        client = reader._get_async_client()
        assert isinstance(client, openai.AsyncAzureOpenAI)

        async def ask():
            return await client.with_options(max_retries=0).chat.completions.create(
                model="dep", messages=[{"role": "user", "content": "oi"}]
            )

        asyncio.run(ask())
        assert (
            chat_server.requests[-1]["path"]
            == "/openai/deployments/dep/chat/completions?api-version=2024-10-21"
        )

    def test_collaborators_are_read_at_call_time(self, monkeypatch):
        import vorlex.reader as reader_module

        built = []

        def fake_client(**kwargs):
            built.append(kwargs)
            return "cliente"

        monkeypatch.setattr(reader_module, "OpenAIClient", fake_client)
        monkeypatch.setattr(reader_module, "AsyncOpenAIClient", fake_client)
        reader = Vorlex(openai_api_key="sk")
        assert reader._openai_client == "cliente" and reader._get_async_client() == "cliente"
        assert [{k: v for k, v in kw.items() if k != "http_client"} for kw in built] == [
            {"api_key": "sk", "timeout": 120.0, "max_retries": 0}
        ] * 2
        # Each client gets an HTTP client of its own on the process's one TLS context.
        sync_http, async_http = (kw["http_client"] for kw in built)
        assert sync_http is not async_http
        assert sync_http._transport._pool._ssl_context is reader_module._tls_context

    def test_top_level_export(self):
        assert vorlex.Vorlex is Vorlex


class TestBadArguments:
    @pytest.mark.parametrize(
        "kwargs,name",
        [
            (dict(openai_api_key=5), "openai_api_key"),
            (dict(provider=["azure"]), "provider"),
            (dict(model=1.5), "model"),
            (dict(max_pages="10"), "max_pages"),
            (dict(max_file_size_mb="1"), "max_file_size_mb"),
            (dict(max_retries="3"), "max_retries"),
            (dict(cache_ttl=None), "cache_ttl"),
            (dict(grok_api_key=b"k"), "grok_api_key"),
        ],
    )
    def test_type_errors_name_the_argument(self, kwargs, name, monkeypatch):
        import vorlex.reader as reader_module

        built = []
        monkeypatch.setattr(reader_module, "OpenAIClient", lambda **kw: built.append(kw))
        kwargs.setdefault("openai_api_key", "sk")
        with pytest.raises(TypeError, match=name):
            Vorlex(**kwargs)
        assert built == []
