import logging
import threading

import pytest

import vorlex.resilience as resilience
from vorlex.resilience import CircuitBreaker, CircuitState


class FakeClock:
    def __init__(self, now=1_000_000.0):
        self.now = now

    def time(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(resilience, "time", fake)
    return fake


def messages(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "vorlex.resilience"]


def test_state_enum_values_are_member_names():
    import enum

    assert issubclass(CircuitState, enum.Enum)
    assert [(m.name, m.value) for m in CircuitState] == [
        ("CLOSED", "CLOSED"),
        ("OPEN", "OPEN"),
        ("HALF_OPEN", "HALF_OPEN"),
    ]
    assert CircuitState("OPEN") is CircuitState.OPEN


def test_fields_are_plain_attributes_in_constructor_order():
    b = CircuitBreaker()
    assert list(vars(b)) == [
        "_failure_threshold",
        "_recovery_timeout",
        "_state",
        "_failure_count",
        "_last_failure_time",
        "_probe_in_flight",
        "_lock",
    ]
    assert (b._failure_threshold, b._recovery_timeout, b._state) == (5, 60, CircuitState.CLOSED)
    assert isinstance(b._lock, type(threading.Lock()))


def test_constructor_truncates_numbers_and_rejects_other_types():
    b = CircuitBreaker(failure_threshold=3.9, recovery_timeout=2.5)
    assert (b._failure_threshold, b._recovery_timeout) == (3, 2)
    with pytest.raises(TypeError, match="failure_threshold"):
        CircuitBreaker(failure_threshold="5")
    with pytest.raises(TypeError, match="recovery_timeout"):
        CircuitBreaker(recovery_timeout=None)


def test_opens_on_fifth_consecutive_failure_and_logs_count(clock, caplog):
    caplog.set_level(logging.INFO, logger="vorlex.resilience")
    b = CircuitBreaker()
    for _ in range(4):
        b.record_failure()
    assert b.state is CircuitState.CLOSED and b.can_execute()
    b.record_failure()
    assert b.state is CircuitState.OPEN
    assert not b.can_execute()
    assert messages(caplog) == [("WARNING", "Circuit breaker: CLOSED -> OPEN (5 falhas consecutivas)")]
    rec = next(r for r in caplog.records if r.name == "vorlex.resilience")
    assert rec.msg == "Circuit breaker: CLOSED -> OPEN (%d falhas consecutivas)" and rec.args == (5,)


def test_success_resets_count_so_only_consecutive_failures_count(clock):
    b = CircuitBreaker(failure_threshold=2)
    b.record_failure()
    b.record_success()
    b.record_failure()
    assert b.state is CircuitState.CLOSED and b._failure_count == 1


@pytest.mark.parametrize("threshold", [1, 0, -3])
def test_threshold_one_or_less_opens_on_first_failure(clock, threshold):
    b = CircuitBreaker(failure_threshold=threshold)
    assert b.can_execute()
    b.record_failure()
    assert b._state is CircuitState.OPEN


def test_recovery_trial_and_close(clock, caplog):
    caplog.set_level(logging.INFO, logger="vorlex.resilience")
    b = CircuitBreaker(failure_threshold=1, recovery_timeout=30)
    b.record_failure()
    clock.now += 29.9
    assert b.state is CircuitState.OPEN and not b.can_execute()
    clock.now += 0.1  # exactly the recovery period: >= admits
    for _ in range(3):  # reading the state never promotes it
        assert b.state is CircuitState.HALF_OPEN
    assert b._state is CircuitState.OPEN
    assert b.can_execute() is True
    assert b._state is CircuitState.HALF_OPEN and b._probe_in_flight
    assert b.can_execute() is False  # trial in flight
    b.record_success()
    assert b.state is CircuitState.CLOSED and b._failure_count == 0 and not b._probe_in_flight
    assert [m for _, m in messages(caplog)] == [
        "Circuit breaker: CLOSED -> OPEN (1 falhas consecutivas)",
        "Circuit breaker: OPEN -> HALF_OPEN (chamada de teste)",
        "Circuit breaker: HALF_OPEN -> CLOSED (recuperado)",
    ]


def test_failed_trial_reopens_and_restarts_period_count_keeps_growing(clock, caplog):
    caplog.set_level(logging.INFO, logger="vorlex.resilience")
    b = CircuitBreaker(failure_threshold=2, recovery_timeout=10)
    b.record_failure()
    b.record_failure()
    clock.now += 10
    assert b.can_execute()
    clock.now += 5
    b.record_failure()
    assert b._state is CircuitState.OPEN and b._failure_count == 3
    assert b._last_failure_time == clock.now
    clock.now += 9
    assert not b.can_execute()
    clock.now += 1
    assert b.can_execute()
    assert ("WARNING", "Circuit breaker: HALF_OPEN -> OPEN (falha na recuperação)") in messages(caplog)


def test_reports_while_open(clock, caplog):
    caplog.set_level(logging.INFO, logger="vorlex.resilience")
    b = CircuitBreaker(failure_threshold=1, recovery_timeout=10)
    b.record_failure()
    clock.now += 8
    b.record_failure()  # admitted before opening: renews the period, logs the new count
    assert b._failure_count == 2 and b._last_failure_time == clock.now
    assert messages(caplog)[-1] == ("WARNING", "Circuit breaker: CLOSED -> OPEN (2 falhas consecutivas)")
    caplog.clear()
    b.record_success()  # closes silently
    assert b._state is CircuitState.CLOSED and messages(caplog) == []


def test_recovery_timeout_zero_first_call_is_trial(clock):
    b = CircuitBreaker(failure_threshold=1, recovery_timeout=0)
    b.record_failure()
    assert b.can_execute() and b._state is CircuitState.HALF_OPEN
    assert not b.can_execute()


def test_unreported_trial_blocks_until_reported_or_reset(clock):
    b = CircuitBreaker(failure_threshold=1, recovery_timeout=1)
    b.record_failure()
    clock.now += 5
    assert b.can_execute()
    assert not any(b.can_execute() for _ in range(10))
    b.reset()
    assert (b._state, b._failure_count, b._last_failure_time, b._probe_in_flight) == (
        CircuitState.CLOSED,
        0,
        0,
        False,
    )
    assert b.can_execute()


def test_clock_moves_and_assigned_failure_time_change_decision(clock):
    b = CircuitBreaker(failure_threshold=1, recovery_timeout=60)
    b.record_failure()
    clock.now -= 100  # clock set back: longer wait
    clock.now += 150
    assert not b.can_execute()
    clock.now += 10
    assert b.state is CircuitState.HALF_OPEN
    b._last_failure_time = clock.now  # an assigned field is what the breaker reads
    assert b.state is CircuitState.OPEN and not b.can_execute()


def test_patched_recovery_elapsed_is_used():
    b = CircuitBreaker(failure_threshold=1, recovery_timeout=10_000)
    b.record_failure()
    b._recovery_elapsed = lambda: True
    assert b.can_execute()


def test_sixteen_threads_get_exactly_one_trial(clock):
    b = CircuitBreaker(failure_threshold=1, recovery_timeout=5)
    b.record_failure()
    clock.now += 5
    start = threading.Barrier(16)
    answers = []
    lock = threading.Lock()

    def worker():
        start.wait()
        got = b.can_execute()
        with lock:
            answers.append(got)

    threads = [threading.Thread(target=worker) for _ in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(answers) == [False] * 15 + [True]


def test_lock_released_when_clock_fails(monkeypatch):
    b = CircuitBreaker(failure_threshold=1)

    class Broken:
        def time(self):
            raise RuntimeError("clock broken")

    monkeypatch.setattr(resilience, "time", Broken())
    with pytest.raises(RuntimeError):
        b.record_failure()
    assert not b._lock.locked()


def test_subclass_and_method_patch_take_effect():
    calls = []

    class Counting(CircuitBreaker):
        def record_failure(self):
            calls.append("f")
            super().record_failure()

    c = Counting(failure_threshold=1)
    c.record_failure()
    assert calls == ["f"] and c._state is CircuitState.OPEN
