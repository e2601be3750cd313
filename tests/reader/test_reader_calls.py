"""Model call layer: call paths, failure statuses, side usage and aggregated metrics."""

import asyncio
import logging
import threading
import types

import openai
import pydantic
import pytest
from pydantic import BaseModel

import vorlex.providers.google as google_provider
from servers.chat import ChatServer
from vorlex.config import calculate_cost
from vorlex.exceptions import ModelError
from vorlex.models import ProcessingMetrics, Result
from vorlex.reader import Vorlex

MESSAGES = [{"role": "system", "content": "s"}, {"role": "user", "content": "u"}]


class Resposta(BaseModel):
    resposta: str


def usage(**kw):
    return types.SimpleNamespace(usage=types.SimpleNamespace(**kw))


class TestClassifyFailure:
    def test_statuses(self):
        RateLimitError = type("RateLimitError", (Exception,), {})
        SubRate = type("SubRate", (RateLimitError,), {})
        cases = [
            (RateLimitError(), "PROVIDER_UNAVAILABLE"),
            (type("APITimeoutError", (OSError,), {})(), "PROVIDER_UNAVAILABLE"),
            (type("APIConnectionError", (Exception,), {})(), "PROVIDER_UNAVAILABLE"),
            (SubRate(), "ERROR"),
            (type("ProviderAuthError", (Exception,), {})(), "AUTH_ERROR"),
            (type("PermissionDeniedError", (Exception,), {})(), "AUTH_ERROR"),
            (type("AuthenticationError", (Exception,), {})(), "AUTH_ERROR"),
            (type("GoogleContentFilterBlocked", (Exception,), {})(), "REFUSED"),
            (type("ModelRefusalError", (Exception,), {})(), "REFUSED"),
            (ModelError("x"), "ERROR"),
            (ValueError("x"), "ERROR"),
        ]
        for exc, status in cases:
            assert Vorlex._classify_failure(exc) == status, type(exc).__name__

    def test_validation_error_any_name(self):
        with pytest.raises(pydantic.ValidationError) as info:
            Resposta.model_validate({})
        assert Vorlex._classify_failure(info.value) == "PARSE_ERROR"

    def test_openai_errors(self, make_reader, chat_server):
        reader = make_reader(max_retries=0)
        for status, expected in [
            (429, "PROVIDER_UNAVAILABLE"),
            (401, "AUTH_ERROR"),
            (403, "AUTH_ERROR"),
            (500, "PROVIDER_UNAVAILABLE"),
            (503, "PROVIDER_UNAVAILABLE"),
            (400, "ERROR"),
        ]:
            chat_server.push(ChatServer.error(status))
            with pytest.raises(openai.APIStatusError) as info:
                reader._call_llm(MESSAGES)
            assert Vorlex._classify_failure(info.value) == expected
        reader._openai_client = openai.OpenAI(api_key="k", base_url="http://127.0.0.1:9/v1", max_retries=0)
        with pytest.raises(openai.APIConnectionError) as info:
            reader._call_llm(MESSAGES)
        assert Vorlex._classify_failure(info.value) == "PROVIDER_UNAVAILABLE"


class TestCallPaths:
    def test_text_call(self, make_reader, chat_server):
        reader = make_reader(model="gpt-4.1")
        response = reader._call_llm(MESSAGES)
        assert response.choices[0].message.content == "Resposta do modelo"
        assert chat_server.requests[-1]["body"]["messages"] == MESSAGES
        assert chat_server.requests[-1]["body"]["model"] == "gpt-4.1"

    def test_structured_call_prefers_beta(self, make_reader, chat_server):
        reader = make_reader()
        real = reader._openai_client
        calls = []

        class Completions:
            def parse(self, **kwargs):
                calls.append("beta")
                return real.chat.completions.parse(**kwargs)

        reader._openai_client = types.SimpleNamespace(
            beta=types.SimpleNamespace(chat=types.SimpleNamespace(completions=Completions())),
            chat=types.SimpleNamespace(completions=None),
        )
        response = reader._call_llm(MESSAGES, Resposta)
        assert calls == ["beta"]
        assert response.choices[0].message.parsed == Resposta(resposta="valor de resposta")

    def test_retry_wraps_every_attempt(self, make_reader, chat_server):
        reader = make_reader(max_retries=3)
        chat_server.push(ChatServer.error(500), ChatServer.error(503), ChatServer.text("enfim"))
        reader._retry = __import__("vorlex.resilience").resilience.create_retry_decorator(
            max_retries=3, min_wait=0, max_wait=0
        )
        assert reader._call_llm(MESSAGES).choices[0].message.content == "enfim"
        assert len(chat_server.requests) == 3

    def test_replacing_the_policy_takes_effect(self, make_reader, chat_server):
        reader = make_reader(max_retries=0)
        reader._call_llm(MESSAGES)
        used = []

        def counting(fn):
            def run(*args):
                used.append(len(args))
                return fn(*args)

            return run

        reader._retry = counting
        reader._call_llm(MESSAGES)
        reader._call_llm(MESSAGES, Resposta)
        assert used == [3, 3]
        assert len(chat_server.requests) == 3

    def test_model_is_read_at_each_attempt(self, make_reader, chat_server):
        reader = make_reader()
        models = []

        def retry_twice(fn):
            def run(*args):
                models.append(reader.model)
                try:
                    return fn(*args)
                except openai.InternalServerError:
                    reader.model = "segundo"
                    return fn(*args)

            return run

        reader._retry = retry_twice
        chat_server.push(ChatServer.error(500))
        reader._call_llm(MESSAGES)
        assert [r["body"]["model"] for r in chat_server.requests] == ["gpt-4o-mini", "segundo"]

    def test_google_paths(self, monkeypatch):
        calls = []
        monkeypatch.setattr(google_provider, "build_client", lambda **kw: "cliente-google")
        monkeypatch.setattr(
            google_provider, "call_structured", lambda *a: calls.append(("structured",) + a) or "s"
        )
        monkeypatch.setattr(google_provider, "call_chat", lambda *a: calls.append(("chat",) + a) or "c")
        reader = Vorlex(provider="google", model="gemini-2.5-flash")
        assert reader._call_llm(MESSAGES, Resposta) == "s"
        assert reader._call_llm(MESSAGES) == "c"
        assert calls == [
            ("structured", "cliente-google", "gemini-2.5-flash", MESSAGES, Resposta),
            ("chat", "cliente-google", "gemini-2.5-flash", MESSAGES),
        ]

    def test_google_failures_are_retried(self, monkeypatch):
        attempts = []

        def flaky(*args):
            attempts.append(1)
            if len(attempts) == 1:
                raise ModelError("instavel")
            return "ok"

        monkeypatch.setattr(google_provider, "build_client", lambda **kw: "g")
        monkeypatch.setattr(google_provider, "call_chat", flaky)
        monkeypatch.setattr(
            "vorlex.resilience.wait_random_exponential", lambda **kw: __import__("tenacity").wait_none()
        )
        reader = Vorlex(provider="google", max_retries=1)
        assert reader._call_llm(MESSAGES) == "ok" and len(attempts) == 2


class TestSideUsage:
    def test_absent_until_reset(self):
        reader = Vorlex(openai_api_key="sk")
        assert not hasattr(reader, "_side_usage")
        reader._reset_side_usage()
        assert reader._side_usage == {
            "prompt_tokens": 0,
            "completion_tokens": 0,
            "tokens": 0,
            "cost_usd": 0.0,
        }

    def test_record_resets_first_and_adds(self):
        reader = Vorlex(openai_api_key="sk", model="gpt-4o")
        reader._record_side_usage(usage(prompt_tokens=10, completion_tokens=5, total_tokens=0))
        reader._record_side_usage(usage(prompt_tokens="4", completion_tokens=2.9, total_tokens=9))
        side = reader._side_usage
        assert (side["prompt_tokens"], side["completion_tokens"], side["tokens"]) == (14, 7, 24)
        expected = calculate_cost("gpt-4o", 10, 5) + calculate_cost("gpt-4o", 4, 2)
        assert side["cost_usd"] == pytest.approx(expected)

    def test_missing_usage_changes_nothing(self):
        reader = Vorlex(openai_api_key="sk")
        reader._record_side_usage(object())
        reader._record_side_usage(types.SimpleNamespace(usage=None))
        assert not hasattr(reader, "_side_usage")
        reader._record_side_usage(usage())  # all figures missing: zeros
        assert reader._side_usage["tokens"] == 0

    def test_non_numeric_usage_is_logged_and_skipped(self, vorlex_logs):
        reader = Vorlex(openai_api_key="sk")
        reader._reset_side_usage()
        reader._record_side_usage(usage(prompt_tokens="dez", completion_tokens=1))
        assert reader._side_usage["tokens"] == 0
        warnings = [r for r in vorlex_logs.records if r.levelno == logging.WARNING]
        assert warnings[-1].msg == "Uso de tokens em formato inesperado, metrica ignorada: %s"
        assert isinstance(warnings[-1].args[0], ValueError)

    def test_cost_failure_keeps_token_additions(self, monkeypatch):
        import vorlex.reader as reader_module

        def bad_cost(*args):
            raise TypeError("preco")

        monkeypatch.setattr(reader_module, "calculate_cost", bad_cost)
        reader = Vorlex(openai_api_key="sk")
        reader._record_side_usage(usage(prompt_tokens=3, completion_tokens=2, total_tokens=5))
        assert reader._side_usage == {
            "prompt_tokens": 3,
            "completion_tokens": 2,
            "tokens": 5,
            "cost_usd": 0.0,
        }

    def test_other_errors_pass(self):
        class Broken:
            @property
            def prompt_tokens(self):
                raise KeyError("x")

        reader = Vorlex(openai_api_key="sk")
        with pytest.raises(KeyError):
            reader._record_side_usage(types.SimpleNamespace(usage=Broken()))

    def test_each_thread_keeps_its_own_run(self):
        reader = Vorlex(openai_api_key="sk", model="gpt-4o")
        barrier = threading.Barrier(4)
        seen = {}

        def run(n):
            reader._reset_side_usage()
            barrier.wait()
            for _ in range(50):
                reader._record_side_usage(usage(prompt_tokens=n, completion_tokens=1, total_tokens=n + 1))
            barrier.wait()
            seen[n] = dict(reader._side_usage)

        threads = [threading.Thread(target=run, args=(n,)) for n in (1, 2, 3, 4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for n in (1, 2, 3, 4):
            assert seen[n]["prompt_tokens"] == 50 * n
            assert seen[n]["tokens"] == 50 * (n + 1)
        assert not hasattr(reader, "_side_usage")  # the main thread ran nothing

    def test_each_task_keeps_its_own_run(self):
        reader = Vorlex(openai_api_key="sk")
        reader._reset_side_usage()

        async def run(n):
            reader._reset_side_usage()
            for _ in range(n):
                reader._record_side_usage(usage(prompt_tokens=1, completion_tokens=1))
                await asyncio.sleep(0)
            return reader._side_usage["tokens"]

        async def main():
            return await asyncio.gather(run(3), run(5), run(7))

        assert asyncio.run(main()) == [6, 10, 14]
        assert reader._side_usage["tokens"] == 0

    def test_shared_context_additions_are_not_lost(self):
        # threads that share one accumulator (set explicitly) still add exactly
        reader = Vorlex(openai_api_key="sk")
        shared = {"prompt_tokens": 0, "completion_tokens": 0, "tokens": 0, "cost_usd": 0.0}

        def run():
            reader._side_usage = shared
            for _ in range(500):
                reader._record_side_usage(usage(prompt_tokens=1, completion_tokens=1))

        threads = [threading.Thread(target=run) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert shared["tokens"] == 4000 and shared["prompt_tokens"] == 2000


class TestAggregate:
    def test_no_results_no_side(self):
        reader = Vorlex(openai_api_key="sk", model="gpt-4o")
        metrics = reader._aggregate_metrics([], 1.23456, 17, 0.12345678)
        assert isinstance(metrics, ProcessingMetrics)
        assert (
            metrics.time_seconds,
            metrics.tokens,
            metrics.prompt_tokens,
            metrics.completion_tokens,
            metrics.cost_usd,
            metrics.model,
        ) == (1.23, 17, 0, 0, 0.123457, "gpt-4o")

    def test_results_and_side(self):
        reader = Vorlex(openai_api_key="sk")
        results = [
            Result(
                question_id="a",
                answer="x",
                metrics=ProcessingMetrics(prompt_tokens=10, completion_tokens=2, tokens=12, cost_usd=0.1),
            ),
            Result(question_id="b", answer="y", status="ERROR"),
        ]
        reader._reset_side_usage()
        reader._side_usage.update(prompt_tokens=5, completion_tokens=1, tokens=6, cost_usd=0.0000004)
        metrics = reader._aggregate_metrics(results, 0.005, 12, 0.1)
        assert (metrics.tokens, metrics.prompt_tokens, metrics.completion_tokens) == (18, 15, 3)
        assert metrics.cost_usd == round(0.1 + 0.0000004, 6)
        assert metrics.time_seconds == round(0.005, 2)

    def test_partial_side_mapping(self):
        reader = Vorlex(openai_api_key="sk")
        reader._side_usage = {"tokens": 4}
        metrics = reader._aggregate_metrics([], 0, 1, 0.0)
        assert (metrics.tokens, metrics.prompt_tokens, metrics.cost_usd) == (5, 0, 0.0)


class TestCountingCaller:
    def test_counts_and_returns_unchanged(self, make_reader, chat_server):
        reader = make_reader(model="gpt-4o")
        reader._reset_side_usage()
        caller = reader._counting_llm_caller()
        chat_server.push(ChatServer.text("pagina", prompt_tokens=100, completion_tokens=20))
        response = caller(MESSAGES, None)
        assert response.choices[0].message.content == "pagina"
        chat_server.push(ChatServer.json({"resposta": "r"}, prompt_tokens=1, completion_tokens=1))
        assert caller(MESSAGES, response_model=Resposta).choices[0].message.parsed.resposta == "r"
        assert reader._side_usage["tokens"] == 122
        assert reader._side_usage["cost_usd"] == pytest.approx(
            calculate_cost("gpt-4o", 100, 20) + calculate_cost("gpt-4o", 1, 1)
        )

    def test_goes_through_patched_methods(self):
        reader = Vorlex(openai_api_key="sk")
        seen = []
        reader._call_llm = lambda messages, response_model=None: seen.append("call") or "raw"
        reader._record_side_usage = lambda raw: seen.append(("record", raw))
        assert reader._counting_llm_caller()(MESSAGES) == "raw"
        assert seen == ["call", ("record", "raw")]
