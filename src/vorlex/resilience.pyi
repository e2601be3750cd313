import enum
import threading
from typing import Any, Callable, Tuple, Type, TypeVar

F = TypeVar("F", bound=Callable[..., Any])  # noqa: PYI001 - the name help() and inspect.signature show

class CircuitState(enum.Enum):
    CLOSED = "CLOSED"
    OPEN = "OPEN"
    HALF_OPEN = "HALF_OPEN"

class CircuitBreaker:
    _failure_threshold: int
    _recovery_timeout: int
    _state: CircuitState
    _failure_count: int
    _last_failure_time: float
    _probe_in_flight: bool
    _lock: threading.Lock
    def __init__(self, failure_threshold: int = 5, recovery_timeout: int = 60) -> None: ...
    @property
    def state(self) -> CircuitState: ...
    def _recovery_elapsed(self) -> bool: ...
    def can_execute(self) -> bool: ...
    def record_success(self) -> None: ...
    def record_failure(self) -> None: ...
    def reset(self) -> None: ...

RETRYABLE_EXCEPTIONS: Tuple[Type[BaseException], ...]

def noop_decorator(fn: F) -> F: ...
def create_retry_decorator(
    max_retries: int = 3, min_wait: float = 1.0, max_wait: float = 16.0
) -> Callable[[F], F]: ...
def _log_retry(retry_state: Any) -> None: ...
