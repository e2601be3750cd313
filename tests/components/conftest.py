"""Fixtures of the component tests: generated PDFs and the local Gemini stand-in."""

from __future__ import annotations

import pytest

from components.docgen import LOREM, mixed_pdf, text_page_pdf
from servers.gemini import FakeGemini


@pytest.fixture
def text_pdf() -> bytes:
    return text_page_pdf([f"Pagina {i}. " + LOREM * 4 for i in range(1, 4)])


@pytest.fixture
def scanned_pdf() -> bytes:
    return mixed_pdf(["scan"])


@pytest.fixture
def gemini():
    server = FakeGemini().start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def gemini_client(gemini):
    from google import genai

    return genai.Client(api_key="test-key", http_options={"base_url": gemini.url})
