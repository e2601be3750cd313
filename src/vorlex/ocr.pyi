"""Page rendering, cloud OCR, the vision-model fallback and OCR-aware PDF loading.

Collaborators are module attributes read at each call, so they can be patched here:
fitz (PyMuPDF), Image (PIL.Image), io, Document, the tenacity names, and, imported
anew at every use, get_azure_config, VISION_FALLBACK_PROMPT, the Azure client classes,
needs_ocr, load_pdf, _ensure_bytes and call_vision.
"""

import os
from typing import IO, Any, Callable, Dict, List, Literal, Optional, Tuple, Union

from llama_index.core.schema import Document

from vorlex.config import Provider

PdfSource = Union[bytes, bytearray, memoryview, str, os.PathLike, IO[bytes]]
ImageBytes = Union[bytes, bytearray, memoryview]
LlmCaller = Callable[[List[Dict[str, Any]], None], Any]

AZURE_OCR_TIMEOUT_SECONDS: float
"""Connection and read time-out of every OCR request, in seconds (30)."""
MIN_DIM: int
"""Images whose shorter side is below this many pixels are not sent to OCR (200)."""
MAX_DIM: int
"""Images whose longer side exceeds this are scaled down to it before OCR (16000)."""
AZURE_CLIENT_OPTIONS: Dict[str, Any]
"""Extra keyword arguments of every ImageAnalysisClient (the client's own retries off)."""
TESSERACT_DPI: int
"""Resolution at which Tesseract reads a page (300)."""
TESSERACT_WORKERS: Optional[int]
"""Worker processes reading pages with Tesseract (None: one per core)."""

OcrEngine = Literal["azure", "tesseract"]
# How the vision model helps the cloud OCR: not at all, when OCR found nothing, or instead of it.
OcrMode = Literal["off", "auto", "force"]

def _ocr_engine(value: Optional[str] = None) -> OcrEngine:
    """The value given, else VORLEX_OCR_ENGINE, else "azure"; ValueError for others."""

def _tesseract_setup() -> Tuple[Optional[str], str, Optional[str]]:
    """(tessdata folder, languages, None), or (None, languages, why Tesseract cannot run).
    Languages from VORLEX_OCR_LANGUAGES ("por+eng"); the folder from TESSDATA_PREFIX or
    the installed Tesseract."""

def _tesseract_pages(
    source: Union[str, "os.PathLike[str]", bytes],
    page_numbers: List[int],
    languages: str,
    tessdata: str,
    dpi: int,
) -> Tuple[List[Optional[str]], Optional[str]]:
    """Tesseract's text of each page (None where it failed), with the first failure."""

def _tesseract_worker() -> None:
    """A worker process's main: one pickled _tesseract_pages job from standard input,
    its pickled answer on standard output."""

def render_page_as_image(doc: Any, page_num: int, dpi: float = 150) -> bytes:
    """Page page_num (0-based) of an open PDF as PNG bytes at dpi dots per inch.
    Errors of the PDF library reach the caller."""

def _is_transient_azure_error(exc: BaseException) -> bool:
    """True when the error has no HTTP status, or a status of 429 or 5xx."""

def perform_azure_ocr(image_bytes: ImageBytes, image_format: str = "png") -> Optional[str]:
    """Text read by Azure AI Vision (Read, language "pt"), or None. Up to three attempts
    on transient failures; never raises for bad images or service failures."""

def perform_vision_fallback(
    image_bytes: ImageBytes,
    llm_caller: Optional[LlmCaller],
    image_format: str = "png",
    provider: Provider = "openai",
    google_client: Any = None,
    google_model: Optional[str] = None,
) -> Optional[str]:
    """Text of a page image read by a vision model: through llm_caller(messages, None)
    in the chat-completions shape, or through call_vision for provider "google".
    Blank answers and every failure give None."""

def load_pdf_with_ocr(
    source: PdfSource,
    use_azure: bool = True,
    filename: Optional[str] = None,
    ocr_fallback: OcrMode = "off",
    llm_caller: Optional[LlmCaller] = None,
    provider: Provider = "openai",
    google_client: Any = None,
    google_model: Optional[str] = None,
    *,
    ocr_engine: Optional[OcrEngine] = None,
) -> List[Document]:
    """One Document per page with text: pages of more than 100 characters as they are
    (metadata page, source "text"); shorter pages rendered and read by cloud OCR and/or
    the vision model (metadata page, source, ocr_failed). ocr_fallback: "off", "auto"
    (vision after OCR found nothing) or "force" (vision only). ocr_engine "tesseract"
    (or VORLEX_OCR_ENGINE) reads the pages on this machine instead of the cloud OCR;
    such pages carry ocr_engine "tesseract" in their metadata."""

def process_pdf_smart(
    source: PdfSource,
    min_chars: int = 100,
    filename: Optional[str] = None,
    ocr_fallback: OcrMode = "off",
    llm_caller: Optional[LlmCaller] = None,
    provider: Provider = "openai",
    google_client: Any = None,
    google_model: Optional[str] = None,
    *,
    ocr_engine: Optional[OcrEngine] = None,
) -> List[Document]:
    """load_pdf_with_ocr (cloud OCR on) when needs_ocr(source, min_chars), else load_pdf."""
