"""Fixtures of the OCR tests: the fake Read service, generated PDFs and images, a
recording model caller, and a switch that makes the retry back-off instantaneous."""

from __future__ import annotations

import io
import logging
from types import SimpleNamespace

import pymupdf
import pytest
from PIL import Image, ImageDraw, ImageFont

import vorlex.ocr as ocr
from servers.ocr import FakeOcrService


@pytest.fixture
def ocr_service(monkeypatch):
    """The fake Azure Read service, and the OCR module configured to use it."""
    service = FakeOcrService().start()
    monkeypatch.setattr(ocr, "get_azure_config", lambda: (service.endpoint, service.key), raising=False)
    try:
        yield service
    finally:
        service.stop()


@pytest.fixture
def sleeps(monkeypatch):
    """Back-off sleeps of the retry policy, recorded instead of slept."""
    import tenacity.nap

    recorded: list[float] = []
    monkeypatch.setattr(tenacity.nap.time, "sleep", recorded.append)
    return recorded


@pytest.fixture
def ocr_logs(caplog):
    caplog.set_level(logging.DEBUG, logger="vorlex.ocr")
    return caplog


def records(caplog, level=None):
    return [r for r in caplog.records if r.name == "vorlex.ocr" and (level is None or r.levelname == level)]


def messages(caplog, level=None):
    return [r.getMessage() for r in records(caplog, level)]


# -- images and PDFs -------------------------------------------------------------------


def image_bytes(width: int, height: int, fmt: str = "PNG", color="white") -> bytes:
    buf = io.BytesIO()
    Image.new("RGB", (width, height), color).save(buf, format=fmt)
    return buf.getvalue()


def scan_of(text: str, width: int = 1240, height: int = 1754) -> bytes:
    """A page photograph: `text` drawn into an image, no text layer anywhere."""
    img = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(img)
    font = ImageFont.load_default(size=36)
    for i, line in enumerate(text.splitlines() or [text]):
        draw.text((80, 120 + 50 * i), line, fill="black", font=font)
    buf = io.BytesIO()
    img.save(buf, format="PNG")
    return buf.getvalue()


class PdfBuilder:
    """Builds a PDF page by page: text pages, scanned pages, blank pages."""

    def __init__(self):
        self.doc = pymupdf.open()

    def text(self, text: str) -> PdfBuilder:
        page = self.doc.new_page()
        page.insert_textbox(pymupdf.Rect(50, 50, 545, 790), text, fontsize=10)
        return self

    def scanned(self, drawn_text: str = "CONTRATO DIGITALIZADO", own_text: str = "") -> PdfBuilder:
        page = self.doc.new_page()
        page.insert_image(page.rect, stream=scan_of(drawn_text))
        if own_text:
            page.insert_text((50, 40), own_text, fontsize=8)
        return self

    def blank(self) -> PdfBuilder:
        self.doc.new_page()
        return self

    def bytes(self) -> bytes:
        return self.doc.tobytes()

    def save(self, path) -> str:
        self.doc.save(str(path))
        return str(path)


@pytest.fixture
def pdf():
    return PdfBuilder


@pytest.fixture
def kit():
    """Helpers shared by the OCR tests (conftest modules are not importable)."""
    return SimpleNamespace(image=image_bytes, scan=scan_of, words=words, records=records, messages=messages)


def words(n: int) -> str:
    """Own text of exactly n characters once stripped."""
    base = ("clausula contrato ") * (n // 10 + 2)
    return base[:n].strip().ljust(n, "x")


# -- model caller ----------------------------------------------------------------------


class ChatCaller:
    """Stands in for the reader's counting model caller: records each call and answers
    in the chat-completions shape."""

    def __init__(self, *answers):
        self.answers = list(answers) or ["texto do modelo"]
        self.calls: list[tuple] = []

    def __call__(self, messages, response_model):
        self.calls.append((messages, response_model))
        answer = self.answers[min(len(self.calls), len(self.answers)) - 1]
        if isinstance(answer, BaseException):
            raise answer
        message = SimpleNamespace(content=answer, parsed=None)
        usage = SimpleNamespace(prompt_tokens=10, completion_tokens=5, total_tokens=15)
        return SimpleNamespace(choices=[SimpleNamespace(message=message)], usage=usage)


@pytest.fixture
def caller():
    return ChatCaller
