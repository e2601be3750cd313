"""Document utilities: PDF loading, page filtering, format checks."""

import os
from typing import IO, Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union, final

from llama_index.core.schema import Document

MAX_IMAGE_PIXELS: Optional[int]

PdfSource = Union[bytes, bytearray, memoryview, str, os.PathLike, IO[bytes]]

@final
class PageIterator(Iterator[Document]):
    """Page documents of one PDF, produced one at a time (the PDF stays open meanwhile)."""
    def __iter__(self) -> "PageIterator": ...
    def __next__(self) -> Document: ...
    def close(self) -> None: ...

def load_pdf(source: PdfSource, filename: Optional[str] = None) -> List[Document]:
    """One Document per page, in page order; metadata: page (1-based), source "text", filename."""

def load_pdf_lazy(source: PdfSource, filename: Optional[str] = None) -> PageIterator:
    """Like load_pdf; the PDF is opened on the first next() and closed after the last page."""

def filter_relevant_pages(
    pages: Sequence[Any], keywords: Optional[Sequence[str]] = None
) -> Tuple[List[Any], Dict[str, Any]]:
    """Pages whose text contains at least one keyword (both compared after NFD, marks
    dropped, lower case); no keywords selects every page. The summary holds
    total_pages, relevant_pages and keyword_hits (pages per keyword)."""

def needs_ocr(source: PdfSource, min_chars: int = 100) -> bool:
    """True when some page has at most min_chars characters of own text and shows an image."""

def get_document_metadata(
    data: Union[bytes, bytearray, memoryview], filename: Optional[str] = "document.pdf"
) -> Dict[str, Any]:
    """{"filename", "num_pages", "doc_type" ("image" or "pdf"), "size_kb"}; raises the PDF
    library's error for unreadable bytes."""

def ensure_pdf_bytes(data: Union[bytes, bytearray, memoryview]) -> Any:
    """An image becomes a one-page PDF; anything else is returned unchanged."""

def is_image_bytes(data: Union[bytes, bytearray, memoryview]) -> bool:
    """True for PNG, JPEG, TIFF, BMP or GIF data."""

def extract_main_response(parsed: Any) -> Any:
    """The only field's value of a single-field answer, else the whole mapping."""

def _ensure_bytes(source: Union[bytes, bytearray, memoryview, IO[bytes]]) -> bytes:
    """Bytes of a PDF given as bytes or a readable stream (a seekable stream is put back)."""
