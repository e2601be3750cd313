"""The records of the reader: questions, page ranges, results and metrics."""

from vorlex.models.question import Classification, PageRange, Question, QuestionConfig
from vorlex.models.result import DocumentMetadata, ProcessingMetrics, ProcessingResult, Result

__all__ = [
    "Classification",
    "DocumentMetadata",
    "PageRange",
    "ProcessingMetrics",
    "ProcessingResult",
    "Question",
    "QuestionConfig",
    "Result",
]
