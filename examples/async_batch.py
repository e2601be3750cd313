"""The same batch as coroutines: at most three documents at a time on one event loop.
Needs OPENAI_API_KEY (or OPENAI_BASE_URL with a local server).

    python examples/async_batch.py FILE [FILE ...]
"""

from __future__ import annotations

import asyncio
import sys

from vorlex import ProcessingResult, Vorlex


async def read_all(paths: list[str]) -> list[ProcessingResult]:
    reader = Vorlex()
    reader.add_question(Vorlex.create_question("objeto", "Objeto", "Qual é o objeto do contrato?\n\n{texto}"))
    return await reader.process_batch_async(paths, max_concurrency=3, show_progress=True)


def main(paths: list[str]) -> int:
    for result in asyncio.run(read_all(paths)):
        print(f"{result.document.filename}: {result.get_answer('objeto')}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or ["examples/samples/contrato.pdf"]))
