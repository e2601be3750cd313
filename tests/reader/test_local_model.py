"""Against a real local model server (llama-cpp-python's, as scripts/local_model_check.sh
starts it): structured answers through json_object after one refused request, answers
cut short by max_tokens, and the asynchronous twin. Skipped unless
VORLEX_LOCAL_MODEL_URL names the server (VORLEX_LOCAL_MODEL_NAME its model)."""

from __future__ import annotations

import asyncio
import os

import pytest
from pydantic import BaseModel

from vorlex import Question, QuestionConfig
from vorlex.reader import Vorlex

URL = os.environ.get("VORLEX_LOCAL_MODEL_URL")
pytestmark = [
    pytest.mark.local_model,
    pytest.mark.skipif(not URL, reason="VORLEX_LOCAL_MODEL_URL names no local model server"),
]
TEXT = "CONTRATANTE: ACME SOLUÇÕES LTDA. CONTRATADA: BETA SERVIÇOS S.A. Valor: R$ 12.000,00."


class Partes(BaseModel):
    contratante: str
    contratada: str


def reader(**kwargs):
    return Vorlex(
        base_url=URL, model=os.environ.get("VORLEX_LOCAL_MODEL_NAME", "smollm2"), timeout=600, **kwargs
    )


def ask(response_model=None, max_tokens=None):
    return Question(
        config=QuestionConfig(id="q", name="Pergunta", max_tokens=max_tokens),
        system_prompt="Você extrai dados de contratos.",
        user_prompt="Quem são as partes?\n\n{texto}",
        response_model=response_model,
    )


def test_structured_answer_through_json_object():
    r = reader(max_tokens=128)
    first = r.extract_from_text(TEXT, ask(Partes))
    assert first.status == "OK", (first.answer, first.raw_text)
    assert r._structured_modes == {(URL, r.model): "json_object"}
    assert set(first.raw_result) == {"contratante", "contratada"}
    assert first.metrics.tokens == first.metrics.prompt_tokens + first.metrics.completion_tokens > 0


def test_an_answer_cut_by_max_tokens():
    result = reader().extract_from_text(TEXT, ask(max_tokens=3))
    assert (result.status, result.finish_reason) == ("OK", "length")
    assert result.metrics.completion_tokens == 3


def test_the_async_twin():
    result = asyncio.run(reader(max_tokens=128).extract_from_text_async(TEXT, ask(Partes)))
    assert result.status == "OK", (result.answer, result.raw_text)
