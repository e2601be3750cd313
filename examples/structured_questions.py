"""Questions with structured answers: each answer is a pydantic record filled in by
the model. Needs OPENAI_API_KEY (or OPENAI_BASE_URL with a local server).

    python examples/structured_questions.py [examples/samples/contrato.pdf]
"""

from __future__ import annotations

import sys

from pydantic import BaseModel, Field

from vorlex import Vorlex


class Valor(BaseModel):
    valor_mensal: str = Field(description="o valor mensal do contrato, como escrito")


class Partes(BaseModel):
    contratante: str
    contratada: str


def main(path: str) -> int:
    reader = Vorlex(verbose=False)
    reader.add_question(
        Vorlex.create_question(
            "valor",
            "Valor",
            "Qual é o valor mensal deste contrato?\n\n{texto}",
            keywords=["valor", "R$"],
            response_model=Valor,
        )
    )
    reader.add_question(
        Vorlex.create_question(
            "partes",
            "Partes",
            "Quem são a contratante e a contratada?\n\n{texto}",
            page_range=None,
            response_model=Partes,
        )
    )
    result = reader.process(path)
    for r in result.results:
        print(f"{r.question_name} [{r.status}]: {r.answer}")
    print(f"tokens: {result.total_metrics.tokens}, custo: US$ {result.total_metrics.cost_usd:.4f}")
    return 0 if all(r.status == "OK" for r in result.results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "examples/samples/contrato.pdf"))
