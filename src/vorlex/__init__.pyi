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
__all__: list[str]
