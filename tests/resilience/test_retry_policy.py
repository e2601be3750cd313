import logging
import subprocess
import sys
import textwrap

import openai
import pytest
import tenacity

import vorlex.resilience as resilience
from vorlex.exceptions import DocumentError, ModelError, RateLimitError
from vorlex.resilience import RETRYABLE_EXCEPTIONS, create_retry_decorator, noop_decorator


@pytest.fixture
def sleeps(monkeypatch):
    """Record tenacity's sleeps instead of sleeping."""
    seen = []
    # tenacity binds nap.sleep when a decorator is built; nap.sleep calls time.sleep.
    monkeypatch.setattr(tenacity.nap.time, "sleep", seen.append)
    return seen


def flaky(errors, result="ok"):
    """A callable raising the given errors in turn, then returning result."""
    state = {"calls": 0}

    def fn(*args, **kwargs):
        state["calls"] += 1
        if errors:
            raise errors.pop(0)
        return (result, args, kwargs)

    fn.state = state
    return fn


def retry_lines(caplog):
    return [r for r in caplog.records if r.name == "vorlex.resilience"]


def test_retryable_set_order():
    assert (
        RateLimitError,
        ModelError,
        openai.RateLimitError,
        openai.APITimeoutError,
        openai.APIConnectionError,
        openai.InternalServerError,
    ) == RETRYABLE_EXCEPTIONS
    assert resilience.VorlexRateLimitError is RateLimitError


@pytest.mark.parametrize("n", [0, -2, 0.9])
def test_no_retry_runs_once_and_is_noop(n, caplog):
    caplog.set_level(logging.DEBUG)
    deco = create_retry_decorator(max_retries=n)
    assert deco is noop_decorator
    fn = flaky([ModelError("boom")])
    assert deco(fn) is fn
    with pytest.raises(ModelError):
        deco(fn)()
    assert fn.state["calls"] == 1 and retry_lines(caplog) == []


def test_model_error_then_result(sleeps, caplog):
    caplog.set_level(logging.WARNING, logger="vorlex.resilience")
    fn = flaky([ModelError("boom")])
    wrapped = create_retry_decorator(max_retries=3)(fn)
    assert wrapped(1, k=2) == ("ok", (1,), {"k": 2})
    assert fn.state["calls"] == 2
    (rec,) = retry_lines(caplog)
    assert rec.levelname == "WARNING"
    assert rec.msg == "Retry %d/%d após erro: %s. Aguardando %.1fs..."
    assert rec.args[:3] == (1, 3, "ModelError")
    assert 0 <= rec.args[3] <= 1.0 and rec.getMessage().startswith(
        "Retry 1/3 após erro: ModelError. Aguardando "
    )


def test_last_error_itself_reraised_after_attempts(sleeps, caplog):
    caplog.set_level(logging.WARNING, logger="vorlex.resilience")
    errors = [RateLimitError("r1"), ModelError("m2")]
    last = ModelError("last")
    fn = flaky(errors + [last])
    wrapped = create_retry_decorator(max_retries=2)(fn)
    with pytest.raises(ModelError) as info:
        wrapped()
    assert info.value is last
    assert fn.state["calls"] == 3
    assert [r.args[:3] for r in retry_lines(caplog)] == [(1, 2, "RateLimitError"), (2, 2, "ModelError")]


def test_max_retries_one_counter_reads_1_of_1(sleeps, caplog):
    caplog.set_level(logging.WARNING, logger="vorlex.resilience")
    fn = flaky([ModelError("a"), ModelError("b")])
    with pytest.raises(ModelError, match="b"):
        create_retry_decorator(max_retries=1)(fn)()
    assert fn.state["calls"] == 2
    assert [r.getMessage()[:26] for r in retry_lines(caplog)] == ["Retry 1/1 após erro: Model"]


def test_non_retryable_error_passes_at_once(sleeps, caplog):
    caplog.set_level(logging.DEBUG)
    fn = flaky([DocumentError("no")])
    with pytest.raises(DocumentError):
        create_retry_decorator(max_retries=5)(fn)()
    assert fn.state["calls"] == 1 and retry_lines(caplog) == [] and sleeps == []


def test_subclass_of_retryable_is_retried(sleeps):
    class Custom(ModelError):
        pass

    fn = flaky([Custom("x")])
    assert create_retry_decorator(max_retries=1)(fn)()[0] == "ok"


def test_openai_errors_are_retried(sleeps):
    import httpx

    req = httpx.Request("POST", "http://127.0.0.1/v1/chat/completions")
    fn = flaky([openai.APITimeoutError(request=req), openai.APIConnectionError(request=req)])
    assert create_retry_decorator(max_retries=2)(fn)()[0] == "ok"
    assert fn.state["calls"] == 3


@pytest.mark.parametrize(
    "min_wait,max_wait,windows",
    [
        (1.0, 16.0, [1, 2, 4, 8, 16, 16]),
        (0.0, 16.0, [0, 0, 0, 0, 0, 0]),
        (2.0, 0.5, [0.5] * 6),
    ],
)
def test_waits_within_windows(sleeps, min_wait, max_wait, windows):
    for _ in range(20):
        sleeps.clear()
        fn = flaky([ModelError(str(i)) for i in range(6)])
        create_retry_decorator(max_retries=6, min_wait=min_wait, max_wait=max_wait)(fn)()
        assert len(sleeps) == 6
        for waited, top in zip(sleeps, windows, strict=True):
            assert 0 <= waited <= top


def test_argument_types():
    with pytest.raises(TypeError, match="max_retries"):
        create_retry_decorator(max_retries="3")
    with pytest.raises(TypeError, match="min_wait"):
        create_retry_decorator(min_wait=None)
    assert create_retry_decorator(max_retries=2.7) is not noop_decorator


def test_empty_retryable_set_gives_noop(monkeypatch):
    monkeypatch.setattr(resilience, "RETRYABLE_EXCEPTIONS", ())
    assert create_retry_decorator(max_retries=3) is noop_decorator


def test_log_retry_without_outcome_or_next_action(caplog):
    caplog.set_level(logging.WARNING, logger="vorlex.resilience")

    class Stop:
        max_attempt_number = 4

    class State:
        outcome = None
        next_action = None
        attempt_number = 2
        retry_object = type("R", (), {"stop": Stop()})()

    resilience._log_retry(State())
    assert retry_lines(caplog)[-1].getMessage() == "Retry 2/3 após erro: unknown. Aguardando 0.0s..."


def test_without_openai_only_package_errors_and_one_log_line():
    code = textwrap.dedent("""
        import logging, sys
        logging.basicConfig(level=logging.ERROR, format="%(levelname)s|%(name)s|%(message)s")
        sys.modules["openai"] = None
        import vorlex.resilience as r
        print([t.__name__ for t in r.RETRYABLE_EXCEPTIONS])
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['RateLimitError', 'ModelError']"
    assert out.stderr.strip().splitlines() == [
        "ERROR|vorlex.resilience|Pacote 'openai' nao importou: erros de rede do provider OpenAI "
        "nao serao repetidos. Reinstale a dependencia (pip install openai)."
    ]
