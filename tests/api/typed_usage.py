"""Every public name of the package used as a typed program would use it; mypy in
strict mode must accept it (tests/api/test_types.py). Never run."""

from __future__ import annotations

import asyncio
import pathlib
from typing import Any

from pydantic import BaseModel

import vorlex
from vorlex import (
    CircuitBreaker,
    CircuitState,
    Classification,
    DocumentError,
    DocumentMetadata,
    ModelError,
    PageRange,
    ProcessingError,
    ProcessingMetrics,
    ProcessingResult,
    Question,
    QuestionConfig,
    RateLimitError,
    Result,
    Vorlex,
    VorlexError,
)
from vorlex.cache import DocumentCache
from vorlex.contract import VorlexAuth, get_adapter
from vorlex.contract.checker import ContractChecker, verificar_contrato
from vorlex.contract.countries.br.cnpj import (
    consultar_cnpj,
    formatar_cnpj,
    formatar_cnpj_alfanumerico,
    limpar_cnpj,
    validar_cnpj,
    validar_cnpj_alfanumerico,
)
from vorlex.contract.countries.br.ie import buscar_ie_por_cnpj
from vorlex.contract.countries.br.keywords import normalizar_texto, validar_documento_contrato
from vorlex.exceptions import ModelParseError, ModelRefusalError
from vorlex.models.result import QuestionStatus
from vorlex.ocr import process_pdf_smart, render_page_as_image
from vorlex.utils import MAX_IMAGE_PIXELS, ensure_pdf_bytes, is_image_bytes, load_pdf


class Valor(BaseModel):
    valor: str


def reading() -> None:
    version: str = vorlex.__version__
    reader: Vorlex = Vorlex(
        openai_api_key="sk",
        model="gpt-4o-mini",
        enable_cache=True,
        circuit_breaker=True,
        base_url="http://localhost:11434/v1",
    )
    question: Question = Vorlex.create_question(
        "v",
        "Valor",
        "Valor? {texto}",
        keywords=["valor"],
        page_range=PageRange(start=1, end=2),
        response_model=Valor,
    )
    reader.add_question(question).add_questions([question])
    result: ProcessingResult = reader.process(pathlib.Path("a.pdf"), questions=["v"])
    answer: Any = result.get_answer("v")
    one: Result | None = result.get_result("v")
    metrics: ProcessingMetrics = result.total_metrics
    meta: DocumentMetadata = result.document
    batch: list[ProcessingResult] = reader.process_batch(
        ["a.pdf", "b.pdf"], max_workers=2, show_progress=True
    )
    from_text: Result = reader.extract_from_text("texto", question)
    config: QuestionConfig = question.config
    classification: Classification | None = None
    print(version, answer, one, metrics.tokens, meta.filename, batch, from_text, config, classification)


def settings() -> None:
    azure = Vorlex(
        provider="azure",
        azure_api_key="k",
        azure_endpoint="https://x",
        azure_deployment="d",
        ocr_fallback="auto",
        ocr_engine="tesseract",
    )
    grok = Vorlex(provider="grok", grok_api_key="k", ocr_fallback="force")
    status: QuestionStatus = Vorlex._classify_failure(ValueError("x"))
    answered: bool = status == "OK"
    auth = VorlexAuth(provider="azure")
    checker = ContractChecker("BR", provider="openai", verbose=False)
    print(azure, grok, answered, auth.provider, checker.provider, get_adapter("BR"))


async def reading_async(reader: Vorlex, question: Question) -> int:
    result: ProcessingResult = await reader.process_async(b"%PDF-1.4")
    batch: list[ProcessingResult] = await reader.process_batch_async(
        [b"%PDF-1.4"], max_concurrency=3, show_progress=False
    )
    text: Result = await reader.extract_from_text_async("texto", question)
    return len(batch) + len(result.results) + text.metrics.tokens


def resilience_and_cache() -> None:
    breaker = CircuitBreaker(failure_threshold=3, recovery_timeout=30)
    state: CircuitState = breaker.state
    allowed: bool = breaker.can_execute()
    cache = DocumentCache(60, max_entries=10)
    key: str = DocumentCache.build_key(DocumentCache.hash_document(b"x"), ["f"], "m", False)
    cached: ProcessingResult | None = cache.get(key)
    print(state, allowed, cached, cache.stats())


def errors() -> None:
    try:
        asyncio.run(reading_async(Vorlex(openai_api_key="sk"), Vorlex.create_question("a", "b", "c")))
    except (DocumentError, ProcessingError, RateLimitError, ModelError, VorlexError) as exc:
        print(exc)
    except (ModelRefusalError, ModelParseError) as exc:
        refused: VorlexError = exc
        print(refused)


def utilities(data: bytes) -> None:
    pdf: bytes = ensure_pdf_bytes(data)
    image: bool = is_image_bytes(data)
    pages = load_pdf(pdf)
    limit: int | None = MAX_IMAGE_PIXELS
    smart = process_pdf_smart(pdf, ocr_fallback="auto")
    print(image, pages[0].text, limit, smart, render_page_as_image)


def brazil() -> None:
    ok: bool = validar_cnpj("11.222.333/0001-81") and validar_cnpj_alfanumerico("12ABC34501DE35")
    text: str = formatar_cnpj(limpar_cnpj("11222333000181")) + formatar_cnpj_alfanumerico("x")
    record: dict[str, Any] | None = consultar_cnpj("11222333000181")
    ie: dict[str, Any] | None = buscar_ie_por_cnpj("11222333000181")
    screened: tuple[bool, int, list[str]] = validar_documento_contrato(normalizar_texto(text))
    checker = ContractChecker("BR", openai_api_key="sk", verbose=False)
    verdict: dict[str, Any] = checker.verificar("contrato.pdf")
    same: dict[str, Any] = verificar_contrato("contrato.pdf", "BR")
    print(ok, record, ie, screened, verdict["resultado_final"], same)
