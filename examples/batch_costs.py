"""A batch on a thread pool behind the circuit breaker, with the progress bar and the
token and cost totals. Needs OPENAI_API_KEY (or OPENAI_BASE_URL with a local server).

    python examples/batch_costs.py FILE [FILE ...]
"""

from __future__ import annotations

import sys

from vorlex import Vorlex


def main(paths: list[str]) -> int:
    reader = Vorlex(circuit_breaker=True, enable_cache=True)
    reader.add_question(
        Vorlex.create_question("resumo", "Resumo", "Resuma o documento em uma frase.\n\n{texto}")
    )
    results = reader.process_batch(paths, max_workers=4, show_progress=True)
    tokens = sum(r.total_metrics.tokens for r in results)
    cost = sum(r.total_metrics.cost_usd for r in results)
    for r in results:
        print(f"{r.document.filename}: {r.get_answer('resumo')}")
    print(f"{len(results)} documentos, {tokens} tokens, US$ {cost:.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or ["examples/samples/contrato.pdf"]))
