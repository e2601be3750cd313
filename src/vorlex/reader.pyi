"""The Vorlex document reader."""

import contextvars
import logging
import os
import threading
from typing import (
    IO,
    Any,
    Awaitable,
    Callable,
    Coroutine as _Coroutine,
    Dict,
    Generator,
    List,
    Literal,
    Mapping,
    Optional,
    Tuple,
    Type,
    TypeVar,
    Union,
    final,
)

from vorlex.config import DEFAULT_MODEL as DEFAULT_MODEL, MODELS as MODELS, Provider
from vorlex.models import (
    Classification,
    DocumentMetadata,
    PageRange,
    ProcessingMetrics,
    ProcessingResult,
    Question,
    Result,
)
from vorlex.models.result import QuestionStatus
from vorlex.ocr import OcrEngine, OcrMode

logger: logging.Logger
# Seconds a whole download of a document address may take (60); read at each download.
DOWNLOAD_TIMEOUT_SECONDS: float

Messages = List[Dict[str, Any]]
DocumentSource = Union[bytes, bytearray, memoryview, str, os.PathLike, IO[bytes]]
# A list of documents (the reader takes a list; each kind of list is accepted as it is).
DocumentList = Union[List[str], List[bytes], List["os.PathLike[str]"], List[IO[bytes]], List[DocumentSource]]
LLMCaller = Callable[..., Any]

_T = TypeVar("_T")

@final
class Coroutine(_Coroutine[Any, Any, _T]):
    """The coroutine object of the reader's asynchronous operations (vorlex.reader.Coroutine):
    awaitable, and accepted by asyncio wherever a coroutine is."""
    def __await__(self) -> Generator[Any, None, _T]: ...
    def __iter__(self) -> "Coroutine[_T]": ...
    def __next__(self) -> Any: ...
    def send(self, value: Any) -> Any: ...
    def throw(self, *args: Any) -> Any: ...
    def close(self) -> None: ...
    def __repr__(self) -> str: ...
    @property
    def __name__(self) -> str: ...  # type: ignore[override]
    @property
    def __qualname__(self) -> str: ...  # type: ignore[override]
    @property
    def cr_running(self) -> bool: ...
    @property
    def cr_await(self) -> Any: ...
    @property
    def cr_frame(self) -> None: ...
    @property
    def cr_code(self) -> None: ...

class _LoopClientCloser:
    """Closes an asynchronous client the reader built when its event loop shuts down."""
    def __init__(self, client: Any) -> None: ...
    def aclose(self) -> Awaitable[Any]: ...

class Vorlex:
    MAX_FILE_SIZE_MB: int
    MAX_PAGES: int
    REQUEST_TIMEOUT_SECONDS: float

    _verbose: bool
    _question_concurrency: int
    _given_keys: Tuple[str, ...]
    _built_clients: Tuple[Any, ...]
    _structured_output: str
    _validation_retries: int
    _max_tokens: Optional[int]
    _timeout: Optional[float]
    # The structured mode that worked, per (base URL or provider, model), for "auto".
    _structured_modes: Dict[Tuple[str, str], str]
    _base_url: Optional[str]
    _max_file_size_mb: Union[int, float]
    _max_pages: int
    _streaming: bool
    _ocr_fallback: OcrMode
    _ocr_engine: OcrEngine
    _provider: Provider
    _azure_api_key: Optional[str]
    _azure_endpoint: Optional[str]
    _azure_api_version: Optional[str]
    _azure_deployment: Optional[str]
    _google_api_key: Optional[str]
    _openai_api_key: str
    _grok_base_url: str
    _openai_client: Any
    _async_openai_client: Any
    _google_client: Any
    _async_google_client: Any
    _model: str
    _max_retries: int
    _retry: Callable[[Callable[..., Any]], Callable[..., Any]]
    _cache: Any
    _circuit_breaker: Any
    _questions: Dict[str, Question]
    _classification: Optional[Classification]
    # Side usage of the current run (thread / asyncio task); absent before the first
    # reset in that context. A property over _side_usage_var, one value per context.
    _side_usage: Dict[str, Union[int, float]]
    _side_usage_var: contextvars.ContextVar[Optional[Dict[str, Union[int, float]]]]
    _side_usage_lock: threading.RLock

    # -- construction and provider configuration ----------------------------------
    def __init__(
        self,
        openai_api_key: Optional[str] = None,
        model: Optional[str] = None,
        verbose: bool = False,
        max_file_size_mb: Optional[float] = None,
        max_pages: Optional[int] = None,
        provider: Optional[Provider] = None,
        azure_api_key: Optional[str] = None,
        azure_endpoint: Optional[str] = None,
        azure_api_version: Optional[str] = None,
        azure_deployment: Optional[str] = None,
        google_api_key: Optional[str] = None,
        grok_api_key: Optional[str] = None,
        grok_base_url: Optional[str] = None,
        max_retries: int = 3,
        enable_cache: bool = False,
        cache_ttl: int = 3600,
        streaming: bool = False,
        circuit_breaker: bool = False,
        circuit_breaker_threshold: int = 5,
        circuit_breaker_timeout: int = 60,
        ocr_fallback: OcrMode = "off",
        *,
        base_url: Optional[str] = None,
        cache_path: Optional[Union[str, "os.PathLike[str]"]] = None,
        cache_url: Optional[str] = None,
        ocr_engine: Optional[OcrEngine] = None,
        question_concurrency: int = 1,
        structured_output: Literal["auto", "json_schema", "json_object", "prompt"] = "auto",
        validation_retries: int = 1,
        max_tokens: Optional[int] = None,
        timeout: Optional[float] = None,
    ) -> None: ...
    def __repr__(self) -> str: ...
    @property
    def model(self) -> str: ...
    @model.setter
    def model(self, value: str) -> None: ...
    @staticmethod
    def available_models() -> Dict[str, str]: ...
    def _get_async_client(self) -> Any: ...

    # -- question registry --------------------------------------------------------
    @property
    def questions(self) -> List[Question]: ...
    def add_question(self, question: Question) -> "Vorlex": ...
    def add_questions(self, questions: List[Question]) -> "Vorlex": ...
    def remove_question(self, question_id: str) -> "Vorlex": ...
    def clear_questions(self) -> "Vorlex": ...
    def set_classification(self, classification: Classification) -> "Vorlex": ...
    def clear_cache(self) -> "Vorlex": ...
    def cache_stats(self) -> Dict[str, int]: ...
    @staticmethod
    def create_question(
        question_id: str,
        name: str,
        user_prompt: str,
        system_prompt: str = "Você é um especialista em extração de informações.",
        keywords: Optional[List[str]] = None,
        page_range: Optional[PageRange] = None,
        response_model: Optional[Type[Any]] = None,
    ) -> Question: ...
    def _select_questions(self, question_ids: Optional[List[str]] = None) -> List[Question]: ...

    # -- model calls and usage accounting -----------------------------------------
    def _call_llm(
        self,
        messages: Messages,
        response_model: Optional[Type[Any]] = None,
        max_tokens: Optional[int] = None,
    ) -> Any: ...
    @staticmethod
    def _classify_failure(exc: BaseException) -> QuestionStatus: ...
    def _reset_side_usage(self) -> None: ...
    def _record_side_usage(self, raw_result: Any) -> None: ...
    def _aggregate_metrics(
        self, results: List[Result], total_time: float, total_tokens: int, total_cost: float
    ) -> ProcessingMetrics: ...
    def _counting_llm_caller(self) -> LLMCaller: ...

    # -- question execution -------------------------------------------------------
    def extract_from_text(self, text: str, question: Question) -> Result: ...
    def _execute_question(self, text: str, question: Question) -> Result: ...
    @staticmethod
    def _has_extractable_text(text: str) -> bool: ...
    def _empty_document_result(self, question: Question) -> Result: ...

    # -- document resolution and loading ------------------------------------------
    def _resolve_document(
        self, document: DocumentSource, filename: Optional[str] = None
    ) -> Tuple[bytes, Dict[str, Any], DocumentMetadata, str]: ...
    def _load_documents(
        self,
        source: Union[bytes, str, os.PathLike],
        metadata: Mapping[str, Any],
        display_name: str,
    ) -> List[Any]: ...

    # -- processing ---------------------------------------------------------------
    def process(
        self,
        document: DocumentSource,
        questions: Optional[List[str]] = None,
        classify: bool = False,
        filename: Optional[str] = None,
    ) -> ProcessingResult: ...
    def _run_questions(
        self, questions_to_run: List[Question], documents: List[Any]
    ) -> Tuple[List[Result], float, int, float]: ...
    def _classify_results(
        self, results: List[Result], doc_info: Mapping[str, Any]
    ) -> Optional[Dict[str, Any]]: ...

    # -- batches ------------------------------------------------------------------
    def process_batch(
        self,
        documents: DocumentList,
        questions: Optional[List[str]] = None,
        classify: bool = False,
        max_workers: Optional[int] = None,
        *,
        show_progress: bool = False,
    ) -> List[ProcessingResult]: ...
    def _process_batch_sequential(
        self, documents: DocumentList, questions: Optional[List[str]], classify: bool
    ) -> List[ProcessingResult]: ...
    def _process_batch_parallel(
        self,
        documents: DocumentList,
        questions: Optional[List[str]],
        classify: bool,
        max_workers: int,
    ) -> List[ProcessingResult]: ...
    def _process_single_safe(
        self, doc: DocumentSource, questions: Optional[List[str]], classify: bool
    ) -> ProcessingResult: ...
    def _make_circuit_open_result(self, doc: DocumentSource) -> ProcessingResult: ...

    # -- batches on a Dask cluster; pickling ----------------------------------------
    def process_batch_distributed(
        self,
        documents: DocumentList,
        client: Any,
        *,
        questions: Optional[List[str]] = None,
        classify: bool = False,
        show_progress: bool = False,
    ) -> List[ProcessingResult]: ...
    def _process_single_distributed(
        self, doc: DocumentSource, questions: Optional[List[str]], classify: bool
    ) -> ProcessingResult: ...
    def __getstate__(self) -> Dict[str, Any]: ...
    def __setstate__(self, state: Dict[str, Any]) -> None: ...

    # -- the asynchronous pipeline ------------------------------------------------
    # Coroutines: calling one checks its arguments and returns the coroutine; its work
    # runs when it is awaited. Only model calls suspend.
    def extract_from_text_async(self, text: str, question: Question) -> Coroutine[Result]: ...
    def process_async(
        self,
        document: DocumentSource,
        questions: Optional[List[str]] = None,
        classify: bool = False,
        filename: Optional[str] = None,
    ) -> Coroutine[ProcessingResult]: ...
    def process_batch_async(
        self,
        documents: DocumentList,
        questions: Optional[List[str]] = None,
        classify: bool = False,
        max_concurrency: int = 5,
        *,
        show_progress: bool = False,
    ) -> Coroutine[List[ProcessingResult]]: ...
    def _call_llm_async(
        self,
        messages: Messages,
        response_model: Optional[Type[Any]] = None,
        max_tokens: Optional[int] = None,
    ) -> Coroutine[Any]: ...
    def _execute_question_async(self, text: str, question: Question) -> Coroutine[Result]: ...
    def _classify_results_async(
        self, results: List[Result], doc_info: Mapping[str, Any]
    ) -> Coroutine[Optional[Dict[str, Any]]]: ...
    def _run_questions_async(
        self, questions_to_run: List[Question], documents: List[Any]
    ) -> Coroutine[Tuple[List[Result], float, int, float]]: ...

def _is_safe_url(url: str) -> bool:
    """True when the URL has a host and every address it resolves to (IPv4 and IPv6)
    is public."""
