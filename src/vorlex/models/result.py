"""Result records."""

from typing import TYPE_CHECKING, Any, Dict, List, Literal, Optional

from pydantic import BaseModel, ConfigDict, Field

# What became of one question: answered, nothing to ask about, or why it failed (the
# batch runners add ERROR and CIRCUIT_OPEN for whole documents).
QuestionStatus = Literal[
    "OK",
    "NO_DATA",
    "PARSE_ERROR",
    "PROVIDER_UNAVAILABLE",
    "AUTH_ERROR",
    "REFUSED",
    "ERROR",
    "CIRCUIT_OPEN",
]


class ProcessingMetrics(BaseModel):
    time_seconds: float = 0.0
    tokens: int = 0
    prompt_tokens: int = 0
    completion_tokens: int = 0
    cost_usd: float = 0.0
    model: Optional[str] = None


class Result(BaseModel):
    model_config = ConfigDict(arbitrary_types_allowed=True, validate_assignment=False)

    question_id: str
    question_name: str = ""
    answer: Any = None
    raw_result: Optional[Dict[str, Any]] = None
    metrics: ProcessingMetrics = Field(default_factory=ProcessingMetrics)
    # A QuestionStatus for type checkers; validated as a plain str, so that a record
    # built with any other text is accepted as before.
    if TYPE_CHECKING:
        status: QuestionStatus = "OK"
    else:
        status: str = "OK"
    pages_used: int = 0
    pages_total: int = 0
    # The text the model last sent (structured or not; on "PARSE_ERROR" the text that
    # failed), and the server's finish_reason ("stop", "length", ...); None when the
    # model was not answered.
    raw_text: Optional[str] = None
    finish_reason: Optional[str] = None


class DocumentMetadata(BaseModel):
    filename: str
    doc_type: str = "pdf"
    num_pages: int = 0
    size_kb: float = 0.0
    ocr_method: Optional[str] = None


class ProcessingResult(BaseModel):
    model_config = ConfigDict(arbitrary_types_allowed=True)

    document: DocumentMetadata
    results: List[Result] = Field(default_factory=list)
    classification: Optional[Dict[str, Any]] = None
    total_metrics: ProcessingMetrics = Field(default_factory=ProcessingMetrics)
    # True when the result was served from the reader's cache: its metrics are those
    # recorded when it was computed, and nothing was spent for it now.
    from_cache: bool = False

    def get_result(self, question_id: str) -> Optional[Result]:
        for result in self.results:
            if result.question_id == question_id:
                return result
        return None

    def get_answer(self, question_id: str) -> Any:
        result = self.get_result(question_id)
        return result.answer if result is not None else None
