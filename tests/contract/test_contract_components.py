"""Contract checker plumbing: the model records' indicators, the country adapter base and
registry, the credential holder, the checker's construction, its console lines, the lazy
reader construction and the three extraction questions."""

import contextlib
import os
import subprocess
import sys
import textwrap
from typing import ClassVar
from unittest import mock

import pytest
from pydantic import ValidationError

import vorlex
import vorlex.contract.checker as checker_mod
import vorlex.contract.countries.br.cnpj as cnpj_mod
import vorlex.contract.registry as registry_mod
from vorlex.contract.auth import VorlexAuth
from vorlex.contract.base import CountryAdapter
from vorlex.contract.checker import ContractChecker
from vorlex.contract.models import (
    AssinaturaExtraida,
    CampoVerificado,
    EmpresaExtraida,
    ExtracaoAssinaturas,
    ExtracaoDadosContrato,
    ExtracaoEmpresas,
)
from vorlex.contract.registry import BrazilAdapter, get_adapter

CRED_VARS = (
    "OPENAI_PROVIDER",
    "OPENAI_API_KEY",
    "AZURE_API_KEY",
    "AZURE_API_ENDPOINT",
    "AZURE_DEPLOYMENT_NAME",
    "AZURE_API_VERSION",
)

OPENAI_MSG = "OpenAI API key não configurada. Defina OPENAI_API_KEY ou passe openai_api_key."
AZURE_MSG = (
    "Credenciais Azure não configuradas. Defina AZURE_API_KEY, AZURE_API_ENDPOINT e AZURE_DEPLOYMENT_NAME."
)
DEFAULT_API_VERSION = "2024-02-15-preview"

AZURE_ARGS = dict(azure_api_key="az-key", azure_endpoint="https://127.0.0.1:9/", azure_deployment="gpt4o-dep")
AZURE_ENV = dict(
    AZURE_API_KEY="env-az-key", AZURE_API_ENDPOINT="https://127.0.0.1:8/", AZURE_DEPLOYMENT_NAME="env-dep"
)


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in CRED_VARS:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def subprocess_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=subprocess_env(),
    )


class FakeReader:
    """Stands in for the reader class: records every construction and question."""

    instances: ClassVar[list] = []
    fail_with = None
    fail_on_add = None

    def __init__(self, **kwargs):
        if FakeReader.fail_with is not None:
            raise FakeReader.fail_with
        self.kwargs = kwargs
        self.questions = []
        FakeReader.instances.append(self)

    def add_question(self, question):
        if FakeReader.fail_on_add is not None:
            raise FakeReader.fail_on_add
        self.questions.append(question)
        return self


_MISSING = object()


@contextlib.contextmanager
def installed_reader():
    """Installs FakeReader as `vorlex.Vorlex` (the package resolves it lazily)."""
    FakeReader.instances = []
    FakeReader.fail_with = None
    FakeReader.fail_on_add = None
    old = vorlex.__dict__.get("Vorlex", _MISSING)
    vorlex.Vorlex = FakeReader
    try:
        yield FakeReader
    finally:
        if old is _MISSING:
            vorlex.__dict__.pop("Vorlex", None)
        else:
            vorlex.Vorlex = old


@pytest.fixture
def fake_reader():
    with installed_reader() as reader:
        yield reader


class StubAuth:
    def __init__(
        self,
        has_api_key=True,
        is_azure=False,
        provider="openai",
        is_vorlex_available=True,
        kwargs=None,
        kwargs_error=None,
    ):
        self.has_api_key = has_api_key
        self.is_azure = is_azure
        self.provider = provider
        self.is_vorlex_available = is_vorlex_available
        self._kwargs = kwargs if kwargs is not None else {"provider": provider}
        self._kwargs_error = kwargs_error
        self.kwargs_calls = 0

    def get_vorlex_kwargs(self):
        self.kwargs_calls += 1
        if self._kwargs_error is not None:
            raise self._kwargs_error
        return dict(self._kwargs)


def make_checker(**kwargs):
    kwargs.setdefault("openai_api_key", "sk-test")
    return ContractChecker("BR", **kwargs)


# ---------------------------------------------------------------------------------------------
# Model records
# ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "status, emoji",
    [
        ("aprovado", "✅"),
        ("reprovado", "❌"),
        ("pendente", "⚠️"),
        ("nao_verificado", "➖"),
        ("APROVADO", "❓"),
        ("", "❓"),
    ],
)
def test_campo_emoji_per_status(status, emoji):
    assert CampoVerificado(campo="CNPJ", status=status).emoji == emoji


@pytest.mark.parametrize(
    "model, payload",
    [
        (EmpresaExtraida, {"cnpj": "1", "capital": "10"}),
        (AssinaturaExtraida, {"nome_signatario": "Ana", "assinatura": "x"}),
    ],
)
def test_extracted_records_refuse_unknown_keys(model, payload):
    with pytest.raises(ValidationError):
        model(**payload)


# ---------------------------------------------------------------------------------------------
# Country adapter base and registry
# ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, arg",
    [
        ("validate_company_id", "11222333000181"),
        ("lookup_company", "11222333000181"),
        ("search_companies", "ACME LTDA"),
    ],
)
def test_country_adapter_operations_are_abstract(method, arg):
    class Partial(CountryAdapter):
        country_code = "XX"
        country_name = "Lugar Nenhum"

    with pytest.raises(NotImplementedError):
        getattr(Partial(), method)(arg)


def test_brazil_adapter_identity():
    adapter = get_adapter("BR")
    assert isinstance(adapter, BrazilAdapter)
    assert isinstance(adapter, CountryAdapter)
    assert adapter.country_code == "BR"
    assert isinstance(adapter.country_name, str) and adapter.country_name


@pytest.mark.parametrize("country", ["BR", "br", "Br", "  BR ", "\tbr\n"])
def test_get_adapter_ignores_case_and_blanks(country):
    assert isinstance(get_adapter(country), BrazilAdapter)


@pytest.mark.parametrize("country", ["US", "BRA", "B R", "", "   "])
def test_get_adapter_unknown_country_names_supported_codes(country):
    with pytest.raises(ValueError) as exc:
        get_adapter(country)
    assert "BR" in str(exc.value)


@pytest.mark.parametrize("country", [None, 55, b"BR", ["BR"]])
def test_get_adapter_rejects_non_text(country):
    with pytest.raises(TypeError, match="country"):
        get_adapter(country)


def test_get_adapter_reads_the_table_at_call_time(monkeypatch):
    class Fake(CountryAdapter):
        country_code = "XX"
        country_name = "Terra"

    monkeypatch.setitem(registry_mod.ADAPTERS, "XX", Fake)
    assert isinstance(get_adapter(" xx "), Fake)
    with pytest.raises(ValueError) as exc:
        get_adapter("ZZ")
    assert "XX" in str(exc.value) and "BR" in str(exc.value)

    monkeypatch.delitem(registry_mod.ADAPTERS, "BR")
    with pytest.raises(ValueError):
        get_adapter("BR")


@pytest.mark.parametrize(
    "method, target, arg",
    [
        ("validate_company_id", "validar_cnpj", "11.222.333/0001-81"),
        ("lookup_company", "consultar_cnpj", "11222333000181"),
        ("search_companies", "buscar_cnpj_por_nome", "ACME INDUSTRIA LTDA"),
    ],
)
def test_brazil_adapter_delegates_to_cnpj_module_at_call_time(method, target, arg):
    adapter = BrazilAdapter()
    answer = object()
    with mock.patch(f"vorlex.contract.countries.br.cnpj.{target}", return_value=answer) as fake:
        got = getattr(adapter, method)(arg)
    # validation answers a truth value; the lookups hand the record over unchanged
    assert got is True if method == "validate_company_id" else got is answer
    fake.assert_called_once_with(arg)


def test_brazil_adapter_validation_falls_back_to_the_alphanumeric_rule():
    adapter = BrazilAdapter()
    with (
        mock.patch("vorlex.contract.countries.br.cnpj.validar_cnpj", return_value=False),
        mock.patch("vorlex.contract.countries.br.cnpj.validar_cnpj_alfanumerico", return_value=True) as alfa,
    ):
        assert adapter.validate_company_id("12ABC34501DE35") is True
    alfa.assert_called_once_with("12ABC34501DE35")


@pytest.mark.parametrize(
    "cnpj, valid",
    [
        ("11.222.333/0001-81", True),
        ("11222333000181", True),
        ("12.345.678/0001-99", False),
        ("00000000000000", False),
        ("", False),
    ],
)
def test_brazil_adapter_validates_with_cnpj_rules(cnpj, valid):
    assert BrazilAdapter().validate_company_id(cnpj) is valid
    assert cnpj_mod.validar_cnpj(cnpj) is valid


# ---------------------------------------------------------------------------------------------
# Credential holder
# ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "env, kwargs, provider",
    [
        ({}, {}, "openai"),
        ({}, {"provider": "azure"}, "azure"),
        ({}, {"provider": "AZURE"}, "azure"),
        ({}, {"provider": "OpenAI"}, "openai"),
        ({"OPENAI_PROVIDER": "azure"}, {"provider": "openai"}, "openai"),
        ({"OPENAI_PROVIDER": "openai"}, dict(AZURE_ARGS, provider="azure"), "azure"),
        ({"OPENAI_PROVIDER": "azure"}, {}, "azure"),
        ({"OPENAI_PROVIDER": "openai"}, dict(AZURE_ARGS), "openai"),
        ({"OPENAI_PROVIDER": "azure"}, {"provider": ""}, "azure"),
        ({"OPENAI_PROVIDER": "gemini"}, dict(AZURE_ARGS), "azure"),
        ({"OPENAI_PROVIDER": "gemini"}, {}, "openai"),
        ({}, dict(AZURE_ARGS), "azure"),
        (dict(AZURE_ENV), {}, "azure"),
        ({}, dict(AZURE_ARGS, openai_api_key="sk-x"), "openai"),
        ({"OPENAI_API_KEY": "sk-env"}, dict(AZURE_ARGS), "openai"),
        ({"OPENAI_API_KEY": ""}, dict(AZURE_ARGS), "azure"),
        ({}, dict(AZURE_ARGS, openai_api_key=""), "azure"),
        ({}, {"azure_api_key": "k", "azure_endpoint": "https://127.0.0.1/"}, "openai"),
        ({}, {"azure_api_key": "k", "azure_deployment": "d"}, "openai"),
        (
            {"AZURE_API_KEY": "k", "AZURE_API_ENDPOINT": "https://127.0.0.1/"},
            {"azure_deployment": "d"},
            "azure",
        ),
        ({}, dict(AZURE_ARGS, azure_deployment=""), "openai"),
    ],
)
def test_auth_settles_the_provider(clean_env, env, kwargs, provider):
    for name, value in env.items():
        clean_env.setenv(name, value)
    auth = VorlexAuth(**kwargs)
    assert auth.provider == provider
    assert auth.is_azure is (provider == "azure")


@pytest.mark.parametrize("provider", ["google", "grok", "azure-openai", "open ai"])
def test_auth_rejects_unknown_provider(provider):
    with pytest.raises(ValueError):
        VorlexAuth(provider=provider, openai_api_key="sk-x")


@pytest.mark.parametrize(
    "argument",
    [
        "openai_api_key",
        "provider",
        "azure_api_key",
        "azure_endpoint",
        "azure_deployment",
        "azure_api_version",
    ],
)
def test_auth_type_errors_name_the_argument(argument):
    with pytest.raises(TypeError, match=argument):
        VorlexAuth(**{argument: 42})


@pytest.mark.parametrize(
    "env, kwargs, expected",
    [
        ({}, {"openai_api_key": "sk-x"}, True),
        ({"OPENAI_API_KEY": "sk-env"}, {}, True),
        ({}, {}, False),
        ({"OPENAI_API_KEY": ""}, {"openai_api_key": ""}, False),
        ({}, dict(AZURE_ARGS, provider="azure"), True),
        (dict(AZURE_ENV), {"provider": "azure"}, True),
        ({}, {"provider": "azure", "openai_api_key": "sk-x"}, False),
        ({}, dict(AZURE_ARGS, provider="azure", azure_api_key=""), False),
        ({}, dict(AZURE_ARGS, provider="azure", azure_endpoint=""), False),
        ({}, dict(AZURE_ARGS, provider="azure", azure_deployment=""), False),
        ({"AZURE_DEPLOYMENT_NAME": ""}, dict(AZURE_ARGS, provider="azure", azure_deployment=None), False),
        ({}, dict(AZURE_ARGS, provider="openai"), False),
    ],
)
def test_auth_has_api_key(clean_env, env, kwargs, expected):
    for name, value in env.items():
        clean_env.setenv(name, value)
    assert VorlexAuth(**kwargs).has_api_key is expected


@pytest.mark.parametrize(
    "env, kwargs, expected",
    [
        ({}, {"openai_api_key": "sk-arg"}, {"provider": "openai", "openai_api_key": "sk-arg"}),
        ({"OPENAI_API_KEY": "sk-env"}, {}, {"provider": "openai", "openai_api_key": "sk-env"}),
        (
            {"OPENAI_API_KEY": "sk-env"},
            {"openai_api_key": ""},
            {"provider": "openai", "openai_api_key": "sk-env"},
        ),
        (
            {"OPENAI_API_KEY": "sk-env"},
            {"openai_api_key": "sk-arg"},
            {"provider": "openai", "openai_api_key": "sk-arg"},
        ),
        (
            {},
            dict(AZURE_ARGS, provider="azure"),
            {
                "provider": "azure",
                "azure_api_key": "az-key",
                "azure_endpoint": "https://127.0.0.1:9/",
                "azure_deployment": "gpt4o-dep",
                "azure_api_version": DEFAULT_API_VERSION,
            },
        ),
        (
            {},
            dict(AZURE_ARGS, azure_api_version="2025-01-01"),
            {
                "provider": "azure",
                "azure_api_key": "az-key",
                "azure_endpoint": "https://127.0.0.1:9/",
                "azure_deployment": "gpt4o-dep",
                "azure_api_version": "2025-01-01",
            },
        ),
        (
            dict(AZURE_ENV),
            {"azure_api_key": "", "azure_endpoint": ""},
            {
                "provider": "azure",
                "azure_api_key": "env-az-key",
                "azure_endpoint": "https://127.0.0.1:8/",
                "azure_deployment": "env-dep",
                "azure_api_version": DEFAULT_API_VERSION,
            },
        ),
        (
            dict(AZURE_ENV),
            {"azure_deployment": "arg-dep"},
            {
                "provider": "azure",
                "azure_api_key": "env-az-key",
                "azure_endpoint": "https://127.0.0.1:8/",
                "azure_deployment": "arg-dep",
                "azure_api_version": DEFAULT_API_VERSION,
            },
        ),
    ],
)
def test_auth_reader_kwargs(clean_env, env, kwargs, expected):
    for name, value in env.items():
        clean_env.setenv(name, value)
    auth = VorlexAuth(**kwargs)
    first = auth.get_vorlex_kwargs()
    assert first == expected
    first["model"] = "changed"
    first.pop("provider")
    second = auth.get_vorlex_kwargs()
    assert second == expected and second is not first


def test_auth_sees_the_reader_module():
    assert VorlexAuth(openai_api_key="sk-x").is_vorlex_available is True


def test_auth_reports_missing_reader_module(tmp_path):
    proc = run_python(f"""
        import vorlex, vorlex.contract.auth as auth_mod
        vorlex.__path__[:] = [{str(tmp_path)!r}]
        print("AVAILABLE", auth_mod.VorlexAuth(openai_api_key="sk-x").is_vorlex_available)
    """)
    assert proc.returncode == 0, proc.stderr
    assert "AVAILABLE False" in proc.stdout


# ---------------------------------------------------------------------------------------------
# Module loading
# ---------------------------------------------------------------------------------------------


def test_checker_import_and_construction_load_no_heavy_modules():
    proc = run_python("""
        import sys
        import vorlex.contract.checker as checker_mod
        loaded = [m for m in ("openai", "fitz", "vorlex.reader") if m in sys.modules]
        print("AFTER_IMPORT", loaded)
        checker_mod.ContractChecker("BR", openai_api_key="sk-x", verbose=False)
        loaded = [m for m in ("openai", "fitz", "vorlex.reader") if m in sys.modules]
        print("AFTER_BUILD", loaded)
    """)
    assert proc.returncode == 0, proc.stderr
    assert "AFTER_IMPORT []" in proc.stdout
    assert "AFTER_BUILD []" in proc.stdout


# ---------------------------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------------------------


@pytest.fixture
def spies(monkeypatch):
    """Replaces the checker module's get_adapter and VorlexAuth with recording stand-ins."""
    adapter = mock.Mock(name="adapter")
    auth = StubAuth()
    get_adapter_spy = mock.Mock(return_value=adapter)
    auth_spy = mock.Mock(return_value=auth)
    monkeypatch.setattr(checker_mod, "get_adapter", get_adapter_spy)
    monkeypatch.setattr(checker_mod, "VorlexAuth", auth_spy)
    return mock.Mock(get_adapter=get_adapter_spy, auth_cls=auth_spy, adapter=adapter, auth=auth)


def test_empty_country_fails_before_any_adapter_or_credential_work(spies):
    with pytest.raises(ValueError) as exc:
        ContractChecker("", openai_api_key="sk-x")
    assert str(exc.value) == "country is required (e.g., country='BR')"
    spies.get_adapter.assert_not_called()
    spies.auth_cls.assert_not_called()


def test_empty_country_message_with_real_collaborators():
    with pytest.raises(ValueError) as exc:
        ContractChecker("")
    assert str(exc.value) == "country is required (e.g., country='BR')"


@pytest.mark.parametrize(
    "kwargs, argument",
    [
        ({"country": None}, "country"),
        ({"country": 55}, "country"),
        ({"country": b"BR"}, "country"),
        ({"country": "BR", "model": None}, "model"),
        ({"country": "BR", "model": 4}, "model"),
        ({"country": "BR", "azure_api_version": None}, "azure_api_version"),
        ({"country": "BR", "openai_api_key": 123}, "openai_api_key"),
        ({"country": "BR", "provider": 1}, "provider"),
        ({"country": "BR", "azure_api_key": b"k"}, "azure_api_key"),
        ({"country": "BR", "azure_endpoint": 8080}, "azure_endpoint"),
        ({"country": "BR", "azure_deployment": ["d"]}, "azure_deployment"),
        ({"country": "", "model": None}, "model"),
        ({"country": "", "openai_api_key": 1}, "openai_api_key"),
        ({"country": "BR", "base_url": 8080}, "base_url"),
        ({"country": "BR", "cache_path": 3}, "cache_path"),
        ({"country": "BR", "cache_path": b"r.sqlite"}, "cache_path"),
        ({"country": "BR", "cache_url": ["redis://127.0.0.1"]}, "cache_url"),
        ({"country": "BR", "ocr_engine": True}, "ocr_engine"),
        ({"country": "", "ocr_engine": 1}, "ocr_engine"),
    ],
)
def test_construction_type_errors_come_first_and_name_the_argument(spies, kwargs, argument):
    with pytest.raises(TypeError, match=argument):
        ContractChecker(**kwargs)
    spies.get_adapter.assert_not_called()
    spies.auth_cls.assert_not_called()


def test_construction_wires_collaborators(spies):
    checker = ContractChecker(
        "br",
        openai_api_key="sk-1",
        provider="openai",
        azure_api_key="ak",
        azure_endpoint="https://127.0.0.1/",
        azure_deployment="dep",
        azure_api_version="v1",
        model="gpt-4o-mini",
        verbose=False,
        usar_ai_search=False,
    )
    spies.get_adapter.assert_called_once_with("br")
    spies.auth_cls.assert_called_once_with(
        openai_api_key="sk-1",
        provider="openai",
        azure_api_key="ak",
        azure_endpoint="https://127.0.0.1/",
        azure_deployment="dep",
        azure_api_version="v1",
    )
    assert checker.adapter is spies.adapter
    assert checker._auth is spies.auth
    assert checker.auth is spies.auth
    assert checker.model == "gpt-4o-mini"
    assert not checker.verbose
    assert not checker.usar_ai_search
    assert checker._client is None
    assert checker._vorlex_available is None


def test_construction_defaults(spies):
    checker = ContractChecker("BR")
    spies.auth_cls.assert_called_once_with(
        openai_api_key=None,
        provider=None,
        azure_api_key=None,
        azure_endpoint=None,
        azure_deployment=None,
        azure_api_version=DEFAULT_API_VERSION,
    )
    assert checker.model == "gpt-4o"
    assert checker.verbose
    assert checker.usar_ai_search


def test_get_adapter_error_reaches_caller_unchanged(spies):
    error = LookupError("sem adaptador")
    spies.get_adapter.side_effect = error
    with pytest.raises(LookupError) as exc:
        ContractChecker("BR", openai_api_key="sk-x")
    assert exc.value is error
    spies.auth_cls.assert_not_called()


@pytest.mark.parametrize("country", ["US", "XX"])
def test_unknown_country_error_from_real_registry(country):
    with pytest.raises(ValueError) as exc:
        ContractChecker(country, openai_api_key="sk-x")
    assert "BR" in str(exc.value)


def test_auth_constructor_error_reaches_caller_unchanged(spies):
    error = RuntimeError("cofre fechado")
    spies.auth_cls.side_effect = error
    with pytest.raises(RuntimeError) as exc:
        ContractChecker("BR")
    assert exc.value is error


def test_real_auth_rejects_unknown_provider_through_checker():
    with pytest.raises(ValueError):
        ContractChecker("BR", provider="google", openai_api_key="sk-x")


@pytest.mark.parametrize("is_azure, message", [(True, AZURE_MSG), (False, OPENAI_MSG)])
def test_incomplete_credentials_message_follows_provider(spies, is_azure, message):
    spies.auth_cls.return_value = StubAuth(
        has_api_key=False, is_azure=is_azure, provider="azure" if is_azure else "openai"
    )
    with pytest.raises(ValueError) as exc:
        ContractChecker("BR")
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "env, kwargs, message",
    [
        ({}, {}, OPENAI_MSG),
        ({}, {"provider": "openai", "azure_api_key": "k"}, OPENAI_MSG),
        ({"OPENAI_API_KEY": ""}, {"openai_api_key": ""}, OPENAI_MSG),
        ({}, {"provider": "azure", "azure_api_key": "k"}, AZURE_MSG),
        ({}, {"provider": "azure", "azure_api_key": "k", "azure_endpoint": "https://127.0.0.1/"}, AZURE_MSG),
        ({"OPENAI_PROVIDER": "azure"}, {"openai_api_key": "sk-x"}, AZURE_MSG),
        (
            {"AZURE_API_KEY": "k", "AZURE_API_ENDPOINT": "https://127.0.0.1/"},
            {"provider": "azure", "azure_deployment": ""},
            AZURE_MSG,
        ),
    ],
)
def test_incomplete_credentials_with_real_auth(clean_env, env, kwargs, message):
    for name, value in env.items():
        clean_env.setenv(name, value)
    with pytest.raises(ValueError) as exc:
        ContractChecker("BR", **kwargs)
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "env, kwargs, provider",
    [
        ({}, {"openai_api_key": "sk-x"}, "openai"),
        ({"OPENAI_API_KEY": "sk-env"}, {}, "openai"),
        (dict(AZURE_ENV), {}, "azure"),
        ({}, dict(AZURE_ARGS, provider="Azure"), "azure"),
    ],
)
def test_provider_property_follows_auth(clean_env, env, kwargs, provider):
    for name, value in env.items():
        clean_env.setenv(name, value)
    checker = ContractChecker("BR", **kwargs)
    assert checker.provider == provider
    assert checker.provider == checker.auth.provider
    assert isinstance(checker.auth, VorlexAuth)
    assert isinstance(checker.adapter, BrazilAdapter)


@pytest.mark.parametrize("name", ["provider", "auth"])
def test_provider_and_auth_are_read_only(name):
    checker = make_checker()
    with pytest.raises(AttributeError):
        setattr(checker, name, "outro")


def test_construction_builds_no_reader(fake_reader):
    checker = make_checker()
    assert fake_reader.instances == []
    assert checker._client is None and checker._vorlex_available is None


# ---------------------------------------------------------------------------------------------
# Console lines
# ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("mensagem",), {}, "📋 mensagem\n"),
        (("mensagem", ""), {}, " mensagem\n"),
        (("mensagem",), {"emoji": "🔍"}, "🔍 mensagem\n"),
        (("\n--- Verificando: ACME ---", "🏢"), {}, "🏢 \n--- Verificando: ACME ---\n"),
        (("", "✅"), {}, "✅ \n"),
        (("ação çé",), {"emoji": ""}, " ação çé\n"),
    ],
)
def test_log_line(capsys, args, kwargs, expected):
    make_checker(verbose=True)._log(*args, **kwargs)
    assert capsys.readouterr().out == expected


@pytest.mark.parametrize(
    "verbose, prints",
    [
        (False, False),
        (0, False),
        ("", False),
        ([], False),
        (True, True),
        (1, True),
        ("sim", True),
    ],
)
def test_log_follows_truth_value_of_verbose(capsys, verbose, prints):
    checker = make_checker(verbose=verbose)
    checker._log("x", "⚠️")
    checker._log("y", "❌")
    assert capsys.readouterr().out == ("⚠️ x\n❌ y\n" if prints else "")


# ---------------------------------------------------------------------------------------------
# Lazy reader construction
# ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, reader_kwargs",
    [
        (
            {"openai_api_key": "sk-test", "model": "gpt-4o-mini", "verbose": False},
            {
                "provider": "openai",
                "openai_api_key": "sk-test",
                "model": "gpt-4o-mini",
                "verbose": False,
                "question_concurrency": 3,
            },
        ),
        (
            {"openai_api_key": "sk-test"},
            {
                "provider": "openai",
                "openai_api_key": "sk-test",
                "model": "gpt-4o",
                "verbose": True,
                "question_concurrency": 3,
            },
        ),
        (
            dict(AZURE_ARGS, provider="azure", model="gpt-4.1", verbose=True),
            {
                "provider": "azure",
                "azure_api_key": "az-key",
                "azure_endpoint": "https://127.0.0.1:9/",
                "azure_deployment": "gpt4o-dep",
                "azure_api_version": DEFAULT_API_VERSION,
                "model": "gpt-4.1",
                "verbose": True,
                "question_concurrency": 3,
            },
        ),
    ],
)
def test_init_vorlex_builds_reader_once(capsys, kwargs, reader_kwargs):
    checker = ContractChecker("BR", **kwargs)
    # the reader class is looked up when the first verification needs it
    with installed_reader():
        assert checker._init_vorlex() is True
        assert checker._init_vorlex() is True
    assert len(FakeReader.instances) == 1
    reader = FakeReader.instances[0]
    assert reader.kwargs == reader_kwargs
    assert checker._client is reader
    assert checker._vorlex_available is True
    assert len(reader.questions) == 3
    assert capsys.readouterr().out == ""


def test_init_vorlex_adds_model_and_verbose_to_auth_kwargs(fake_reader):
    checker = make_checker(model="m-1", verbose=False)
    checker._auth = StubAuth(
        kwargs={"provider": "openai", "openai_api_key": "k", "model": "stale", "extra": 1}
    )
    assert checker._init_vorlex() is True
    assert fake_reader.instances[0].kwargs == {
        "provider": "openai",
        "openai_api_key": "k",
        "model": "m-1",
        "verbose": False,
        "extra": 1,
        "question_concurrency": 3,
    }


def test_reader_settings_are_keyword_only_and_kept_on_the_checker(spies, tmp_path):
    with pytest.raises(TypeError):
        ContractChecker(
            "BR", None, None, None, None, None, "v1", "gpt-4o", True, True, "http://127.0.0.1:1/v1"
        )
    bare = ContractChecker("BR")
    assert (bare._base_url, bare._cache_path, bare._cache_url, bare._ocr_engine) == (None, None, None, None)
    given = ContractChecker(
        "BR",
        base_url="http://127.0.0.1:1/v1",
        cache_path=tmp_path / "r.db",
        cache_url="redis://127.0.0.1:1/0",
        ocr_engine="tesseract",
        model="llama3.2:3b",
    )  # a local server's model is named
    assert (given._base_url, given._cache_path, given._cache_url, given._ocr_engine) == (
        "http://127.0.0.1:1/v1",
        tmp_path / "r.db",
        "redis://127.0.0.1:1/0",
        "tesseract",
    )


@pytest.mark.parametrize(
    "settings",
    [
        {"base_url": "http://127.0.0.1:1/v1"},
        {"cache_path": "resultados.sqlite", "ocr_engine": "tesseract"},
        {"base_url": "http://127.0.0.1:1/v1", "cache_url": "redis://127.0.0.1:1/0", "ocr_engine": "azure"},
    ],
    ids=["base_url", "cache_path+ocr_engine", "base_url+cache_url+ocr_engine"],
)
def test_init_vorlex_hands_over_only_the_reader_settings_given(fake_reader, settings):
    checker = make_checker(model="m-1", verbose=False, **settings)
    assert checker._init_vorlex() is True
    assert fake_reader.instances[0].kwargs == dict(
        {
            "provider": "openai",
            "openai_api_key": "sk-test",
            "model": "m-1",
            "verbose": False,
            "question_concurrency": 3,
        },
        **settings,
    )


@pytest.mark.parametrize(
    "verbose, expected",
    [
        (True, "⚠️ Vorlex não disponível. Instale com: pip install vorlex\n"),
        (False, ""),
    ],
)
def test_init_vorlex_without_reader_package(capsys, fake_reader, verbose, expected):
    checker = make_checker(verbose=verbose)
    checker._auth = StubAuth(is_vorlex_available=False)
    assert checker._init_vorlex() is False
    assert checker._vorlex_available is False
    assert checker._client is None
    assert capsys.readouterr().out == expected
    assert checker._init_vorlex() is False
    assert capsys.readouterr().out == ""
    assert fake_reader.instances == []
    assert checker._auth.kwargs_calls == 0


@pytest.mark.parametrize("verbose", [True, False])
def test_init_vorlex_constructor_failure_is_remembered(capsys, fake_reader, verbose):
    checker = make_checker(verbose=verbose)
    fake_reader.fail_with = RuntimeError("sem rede")
    assert checker._init_vorlex() is False
    assert capsys.readouterr().out == ("❌ Erro ao inicializar Vorlex: sem rede\n" if verbose else "")
    assert checker._vorlex_available is False
    assert checker._client is None
    fake_reader.fail_with = None
    assert checker._init_vorlex() is False
    assert capsys.readouterr().out == ""
    assert fake_reader.instances == []


@pytest.mark.parametrize(
    "error, text",
    [
        (ValueError("chave inválida"), "chave inválida"),
        (KeyError("model"), "'model'"),
        (Exception(), ""),
    ],
)
def test_init_vorlex_question_registration_failure(capsys, fake_reader, error, text):
    checker = make_checker()
    fake_reader.fail_on_add = error
    assert checker._init_vorlex() is False
    assert capsys.readouterr().out == "❌ Erro ao inicializar Vorlex: " + text + "\n"
    assert checker._vorlex_available is False
    # the reader built before the failure stays assigned
    assert checker._client is fake_reader.instances[0]
    assert checker._init_vorlex() is False
    assert len(fake_reader.instances) == 1


def test_init_vorlex_credential_kwargs_failure(capsys, fake_reader):
    checker = make_checker()
    checker._auth = StubAuth(kwargs_error=RuntimeError("sem credenciais"))
    assert checker._init_vorlex() is False
    assert capsys.readouterr().out == "❌ Erro ao inicializar Vorlex: sem credenciais\n"
    assert fake_reader.instances == []


def test_init_vorlex_returns_remembered_outcome(fake_reader):
    checker = make_checker()
    checker._vorlex_available = False
    assert checker._init_vorlex() is False
    checker._vorlex_available = True
    assert checker._init_vorlex() is True
    assert fake_reader.instances == []


# ---------------------------------------------------------------------------------------------
# Extraction questions
# ---------------------------------------------------------------------------------------------

QUESTIONS = [
    (
        "empresas",
        "Empresas do Contrato",
        ["cnpj", "contratante", "contratada", "inscrita", "razão social", "ltda", "s/a"],
        ExtracaoEmpresas,
        "Você é um especialista em análise de contratos brasileiros.\n"
        "Extraia TODAS as empresas mencionadas com CNPJ, razão social e papel no contrato.\n\n"
        "REGRAS:\n"
        "1. CNPJ deve ter 14 dígitos (com ou sem formatação)\n"
        "2. Identifique claramente: contratante (quem paga) vs contratada (quem presta serviço)\n"
        "3. Extraia TODAS as empresas, incluindo intervenientes e fiadoras",
        "Analise o contrato e extraia todas as empresas:\n\n{texto}\n\n"
        "Para cada empresa extraia: CNPJ, razão social, nome fantasia, endereço e papel no contrato.",
    ),
    (
        "assinaturas",
        "Assinaturas do Contrato",
        ["assinatura", "assinado", "certificado", "representante", "testemunha", "cpf"],
        ExtracaoAssinaturas,
        "Você é um especialista em análise de contratos.\n"
        "Extraia TODAS as pessoas físicas que assinaram ou são representantes.\n\n"
        "ONDE PROCURAR:\n"
        "1. Bloco de assinaturas no final\n"
        "2. Cláusula de representação legal\n"
        "3. Qualificação das partes\n"
        "4. Cláusula de NOTIFICAÇÕES\n"
        "5. Assinaturas digitais\n"
        "6. Testemunhas",
        "Extraia todas as pessoas físicas mencionadas como representantes:\n\n{texto}\n\n"
        "Para cada pessoa extraia: nome completo, cargo, CPF (se houver), empresa que representa.",
    ),
    (
        "dados_contrato",
        "Dados do Contrato",
        ["contrato", "objeto", "vigência", "valor", "cláusula", "foro"],
        ExtracaoDadosContrato,
        "Você é um especialista em análise de contratos.\nExtraia os dados gerais do contrato.",
        "Extraia os dados gerais do contrato:\n\n{texto}\n\n"
        "Extraia: tipo de contrato, objeto, data, vigência, valor, foro.",
    ),
]


def test_questions_registered_in_order(fake_reader):
    checker = make_checker()
    assert checker._init_vorlex() is True
    questions = fake_reader.instances[0].questions
    assert [q.config.id for q in questions] == ["empresas", "assinaturas", "dados_contrato"]
    assert all(isinstance(q, vorlex.Question) for q in questions)
    assert all(isinstance(q.config, vorlex.QuestionConfig) for q in questions)


@pytest.mark.parametrize("index", range(3), ids=[q[0] for q in QUESTIONS])
def test_question_content(fake_reader, index):
    qid, name, keywords, model, system_prompt, user_prompt = QUESTIONS[index]
    checker = make_checker()
    checker._init_vorlex()
    question = fake_reader.instances[0].questions[index]
    assert question.config.id == qid
    assert question.config.tag == qid
    assert question.config.name == name
    assert list(question.keywords) == keywords
    assert question.response_model is model
    assert question.system_prompt == system_prompt
    assert question.user_prompt == user_prompt
    assert question.page_range is None


def test_setup_questions_registers_on_current_client():
    checker = make_checker()
    client = mock.Mock()
    checker._client = client
    checker._setup_questions()
    calls = client.add_question.call_args_list
    questions = [c.args[0] if c.args else next(iter(c.kwargs.values())) for c in calls]
    assert [q.config.id for q in questions] == ["empresas", "assinaturas", "dados_contrato"]
