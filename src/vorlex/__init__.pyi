"""Vorlex: read documents with large language models."""

from vorlex.exceptions import (
    DocumentError as DocumentError,
    ModelError as ModelError,
    ProcessingError as ProcessingError,
    RateLimitError as RateLimitError,
    VorlexError as VorlexError,
)
from vorlex.models import (
    Classification as Classification,
    DocumentMetadata as DocumentMetadata,
    PageRange as PageRange,
    ProcessingMetrics as ProcessingMetrics,
    ProcessingResult as ProcessingResult,
    Question as Question,
    QuestionConfig as QuestionConfig,
    Result as Result,
)
from vorlex.reader import Vorlex as Vorlex
from vorlex.resilience import CircuitBreaker as CircuitBreaker, CircuitState as CircuitState

__version__: str
# The names vorlex/__init__.py imports on first use (its _LAZY table).
__all__ = [
    "CircuitBreaker",
    "CircuitState",
    "Classification",
    "DocumentError",
    "DocumentMetadata",
    "ModelError",
    "PageRange",
    "ProcessingError",
    "ProcessingMetrics",
    "ProcessingResult",
    "Question",
    "QuestionConfig",
    "RateLimitError",
    "Result",
    "Vorlex",
    "VorlexError",
]
