import subprocess
import sys
import textwrap

import pydantic
import pytest

import vorlex
import vorlex.config as config
from vorlex.exceptions import DocumentError, ModelError, ProcessingError, RateLimitError, VorlexError
from vorlex.models import (
    Classification,
    DocumentMetadata,
    PageRange,
    ProcessingMetrics,
    ProcessingResult,
    Question,
    QuestionConfig,
    Result,
)
from vorlex.models.result import ProcessingMetrics as MetricsFromResult


def run_python(code):
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_import_vorlex_is_light():
    out = run_python("""
        import sys, vorlex
        from vorlex import Question, PageRange, QuestionConfig
        print(sorted(m for m in ("openai", "fitz", "pymupdf", "llama_index", "google.genai")
                     if m in sys.modules))
    """)
    assert out == "[]"


def test_lazy_top_level_names():
    assert vorlex.Question is Question and vorlex.PageRange is PageRange
    assert vorlex.QuestionConfig is QuestionConfig
    assert MetricsFromResult is ProcessingMetrics
    with pytest.raises(AttributeError):
        _ = vorlex.NoSuchThing


def test_error_hierarchy_and_text():
    for cls in (DocumentError, ProcessingError, ModelError, RateLimitError):
        assert issubclass(cls, VorlexError)
    assert issubclass(RateLimitError, ModelError)
    err = DocumentError("Arquivo não encontrado: x.pdf")
    assert str(err) == "Arquivo não encontrado: x.pdf" and err.args == ("Arquivo não encontrado: x.pdf",)
    assert DocumentError.__module__ == "vorlex.exceptions"


class TestPageRange:
    @pytest.mark.parametrize(
        "start,end,pos,total,expected",
        [
            (1, 3, "start", 10, ([0, 1, 2], True)),
            (2, 2, "start", 2, ([1], True)),
            (1, 3, "start", 2, ([0, 1], False)),
            (5, 6, "start", 3, ([], False)),
            (1, 2, "end", 10, ([8, 9], True)),  # the last two pages, in reading order
            (2, 3, "end", 10, ([7, 8], True)),
            (1, 4, "end", 3, ([0, 1, 2], False)),
            (1, 1, "end", 0, ([], False)),
        ],
    )
    def test_indices(self, start, end, pos, total, expected):
        assert PageRange(start=start, end=end, from_position=pos).get_page_indices(total) == expected

    def test_validation(self):
        with pytest.raises(pydantic.ValidationError):
            PageRange(start=0, end=2)
        with pytest.raises(pydantic.ValidationError):
            PageRange(start=1, end=2, from_position="middle")
        with pytest.raises(TypeError, match="total_pages"):
            PageRange(start=1, end=2).get_page_indices("10")


def make_question(**kw):
    base = dict(config=QuestionConfig(id="q1", name="Q"), system_prompt="s", user_prompt="{texto}")
    base.update(kw)
    return Question(**base)


class Answer(pydantic.BaseModel):
    valor: str


class Answer2(pydantic.BaseModel):
    valor: int


def test_fingerprint_is_stable_and_sensitive():
    fp = make_question().cache_fingerprint()
    assert fp == make_question().cache_fingerprint()
    assert isinstance(fp, str) and len(fp) == 64
    variants = [
        make_question(user_prompt="Leia: {texto}"),
        make_question(system_prompt="t"),
        make_question(keywords=["a"]),
        make_question(page_range=PageRange(start=1, end=2)),
        make_question(page_range=PageRange(start=1, end=2, from_position="end")),
        make_question(response_model=Answer),
        make_question(response_model=Answer2),
        make_question(config=QuestionConfig(id="q2", name="Q")),
    ]
    fps = {v.cache_fingerprint() for v in variants}
    assert len(fps) == len(variants) and fp not in fps


def test_record_defaults():
    r = Result(question_id="q", answer="x", status="ERROR")
    m = r.metrics
    assert (m.time_seconds, m.tokens, m.prompt_tokens, m.completion_tokens, m.cost_usd) == (0, 0, 0, 0, 0)
    doc = DocumentMetadata(filename="a.pdf")
    pr = ProcessingResult(document=doc, results=[r])
    assert pr.get_result("q") is r and pr.get_answer("q") == "x"
    assert pr.get_result("nope") is None and pr.get_answer("nope") is None
    assert pr.classification is None and pr.total_metrics.tokens == 0
    pr.classification = {"tipo": "x"}
    r.status = "OK"
    assert pr.classification == {"tipo": "x"} and r.status == "OK"
    Classification(system_prompt="s", user_prompt="{dados}", response_model=None)


class TestConfig:
    def test_models_and_default(self):
        assert config.DEFAULT_MODEL in config.MODELS
        assert all(isinstance(k, str) and isinstance(v, str) for k, v in config.MODELS.items())

    def test_resolve_model(self):
        assert config.resolve_model("gpt-4o", "openai") == "gpt-4o"
        assert config.resolve_model("my-finetune", "openai") == "my-finetune"
        assert config.resolve_model(config.DEFAULT_MODEL, "grok").startswith("grok")
        assert config.resolve_model("grok-4", "grok") == "grok-4"
        assert config.resolve_model(config.DEFAULT_MODEL, "google").startswith("gemini")
        assert config.resolve_model("gemini-2.5-pro", "google") == "gemini-2.5-pro"

    def test_provider_defaults_are_read_at_each_call(self, monkeypatch):
        assert config.PROVIDER_DEFAULT_MODELS["grok"].startswith("grok")
        assert config.PROVIDER_DEFAULT_MODELS["google"].startswith("gemini")
        monkeypatch.setitem(config.PROVIDER_DEFAULT_MODELS, "grok", "grok-house")
        assert config.resolve_model("gpt-4o", "grok") == "grok-house"
        monkeypatch.setattr(config, "PROVIDER_DEFAULT_MODELS", {"grok": "g", "google": "gemini-house"})
        assert config.resolve_model(None, "google") == "gemini-house"
        assert config.resolve_model("gpt-4o", "grok") == "g"
        assert config.resolve_model("gemini-2.5-pro", "google") == "gemini-2.5-pro"

    def test_grok_base_url_env(self, monkeypatch):
        monkeypatch.delenv("XAI_BASE_URL", raising=False)
        default = config.get_grok_base_url()
        assert default.startswith("https://")
        monkeypatch.setenv("XAI_BASE_URL", "http://127.0.0.1:9/v1")
        assert config.get_grok_base_url() == "http://127.0.0.1:9/v1"
        monkeypatch.setenv("XAI_BASE_URL", "")
        assert config.get_grok_base_url() == default

    def test_cost(self, monkeypatch):
        prompt, completion = config.PRICES["gpt-4o"]
        assert config.calculate_cost("gpt-4o", 1_000_000, 2_000_000) == pytest.approx(prompt + 2 * completion)
        assert config.calculate_cost("unknown-model", 1000, 1000) == 0.0
        assert config.calculate_cost(None, 10, 10) == 0.0
        monkeypatch.setitem(config.PRICES, "mine", (1.0, 0.0))
        assert config.calculate_cost("mine", 500_000, 7) == pytest.approx(0.5)
        with pytest.raises(TypeError, match="prompt_tokens"):
            config.calculate_cost("gpt-4o", "10", 1)

    def test_tables_are_the_package_data(self):
        """MODELS, PRICES and the default model are models.toml's, entry for entry and in
        its order; prices as (prompt, completion) float tuples."""
        import os
        import tomllib

        path = os.path.join(os.path.dirname(config.__file__), "data", "models.toml")
        with open(path, "rb") as fh:
            data = tomllib.load(fh)
        assert data["default_model"] == config.DEFAULT_MODEL
        assert list(config.MODELS.items()) == list(data["models"].items())
        assert list(config.PRICES) == list(data["prices"])
        for name, (prompt, completion) in data["prices"].items():
            assert config.PRICES[name] == (float(prompt), float(completion))
            assert all(type(v) is float for v in config.PRICES[name])
        assert config.resolve_model("gpt-4o", "grok") == data["provider_defaults"]["grok"]
        assert config.resolve_model("gpt-4o", "google") == data["provider_defaults"]["google"]
        assert data["provider_defaults"] == config.PROVIDER_DEFAULT_MODELS

    def test_a_price_edited_in_the_data_file_changes_the_cost(self, tmp_path):
        """A copy of the package with one price edited: the same compiled module reads
        the new price at import, no rebuild."""
        import os
        import re
        import shutil

        package = tmp_path / "vorlex"
        shutil.copytree(
            os.path.dirname(config.__file__), package, ignore=shutil.ignore_patterns("__pycache__")
        )
        table = package / "data" / "models.toml"
        text, edits = re.subn(
            r'(?m)^"gpt-4o" = \[.*\]$', '"gpt-4o" = [7.0, 11.0]', table.read_text(encoding="utf-8")
        )
        assert edits == 1
        table.write_text(text + '"house-model" = [1, 3]\n', encoding="utf-8")
        out = subprocess.run(
            [
                sys.executable,
                "-c",
                textwrap.dedent("""
                import vorlex.config as c
                print(c.__file__)
                print(c.calculate_cost("gpt-4o", 1_000_000, 1_000_000))
                print(c.calculate_cost("gpt-4o-2024-08-06", 2_000_000, 0))
                print(c.price_known("house-model"), c.PRICES["house-model"])
            """),
            ],
            capture_output=True,
            text=True,
            timeout=120,
            cwd=tmp_path,
            env=dict(os.environ, PYTHONPATH=str(tmp_path)),
        )
        assert out.returncode == 0, out.stderr
        where, cost, snapshot, house = out.stdout.splitlines()
        assert where.startswith(str(package))
        assert float(cost) == pytest.approx(18.0)
        assert float(snapshot) == pytest.approx(14.0)
        assert house == "True (1.0, 3.0)"
        # This process still has the price it imported.
        assert config.calculate_cost("gpt-4o", 1_000_000, 1_000_000) != pytest.approx(18.0)

    def test_a_broken_data_file_fails_the_import_naming_it(self, tmp_path):
        import os
        import shutil

        package = tmp_path / "vorlex"
        shutil.copytree(
            os.path.dirname(config.__file__), package, ignore=shutil.ignore_patterns("__pycache__")
        )
        table = package / "data" / "models.toml"
        table.write_text(table.read_text(encoding="utf-8") + '"half-priced" = [1.0]\n', encoding="utf-8")
        out = subprocess.run(
            [sys.executable, "-c", "import vorlex.config"],
            capture_output=True,
            text=True,
            timeout=120,
            cwd=tmp_path,
            env=dict(os.environ, PYTHONPATH=str(tmp_path)),
        )
        assert out.returncode != 0
        assert f"ImportError: {table}: prices.half-priced must be [prompt, completion]" in out.stderr

    def test_azure_config(self, monkeypatch):
        monkeypatch.setenv("AZURE_AI_VISION_ENDPOINT", "http://127.0.0.1:1")
        monkeypatch.setenv("AZURE_AI_VISION_KEY", "k")
        assert config.get_azure_config() == ("http://127.0.0.1:1", "k")
        monkeypatch.delenv("AZURE_AI_VISION_KEY")
        assert config.get_azure_config()[1] == ""

    def test_vision_prompt(self):
        assert isinstance(config.VISION_FALLBACK_PROMPT, str) and len(config.VISION_FALLBACK_PROMPT) > 40


@pytest.mark.parametrize("bad", [None, 3.5, b"x", [1], object()])
def test_no_crash_on_bad_types(bad):
    from vorlex.resilience import CircuitBreaker, create_retry_decorator

    with pytest.raises(TypeError, match="total_pages"):
        PageRange(start=1, end=1).get_page_indices(bad)
    if bad is not None:  # None asks for the default model
        with pytest.raises(TypeError, match="model"):
            config.resolve_model(bad, "openai")
    if not isinstance(bad, float):  # numbers are truncated
        with pytest.raises(TypeError, match="prompt_tokens"):
            config.calculate_cost("gpt-4o", bad, 1)
        with pytest.raises(TypeError, match="failure_threshold"):
            CircuitBreaker(failure_threshold=bad)
        with pytest.raises(TypeError, match="max_retries"):
            create_retry_decorator(max_retries=bad)
