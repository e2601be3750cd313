"""Question records."""

from typing import Any, List, Literal, Optional, Tuple

from pydantic import BaseModel, ConfigDict, Field

from vorlex import _records


class QuestionConfig(BaseModel):
    id: str
    name: str
    tag: Optional[str] = None
    # Most tokens the model may answer this question with (sent as max_tokens); None
    # takes the reader's max_tokens, and a reader without one leaves it to the server.
    max_tokens: Optional[int] = Field(default=None, ge=1)


class PageRange(BaseModel):
    """Pages ``start``..``end`` (1-based) counted from the first page, or from the last
    when ``from_position`` is "end" (1 is the last page)."""

    start: int = Field(ge=1)
    end: int = Field(ge=1)
    from_position: Literal["start", "end"] = "start"

    def get_page_indices(self, total_pages: int) -> Tuple[List[int], bool]:
        """(0-based indices in reading order, False when the document is too short)."""
        return _records.page_indices(self.start, self.end, self.from_position, total_pages)


class Question(BaseModel):
    model_config = ConfigDict(arbitrary_types_allowed=True)

    config: QuestionConfig
    system_prompt: str
    user_prompt: str
    keywords: List[str] = Field(default_factory=list)
    page_range: Optional[PageRange] = None
    response_model: Optional[Any] = None

    def cache_fingerprint(self) -> str:
        """A digest of the settings that shape the answer, for cache keys."""
        return _records.question_fingerprint(self)


class Classification(BaseModel):
    model_config = ConfigDict(arbitrary_types_allowed=True)

    system_prompt: str
    user_prompt: str
    response_model: Optional[Any] = None
