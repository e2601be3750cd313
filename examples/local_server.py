"""A model served on this machine by an OpenAI-compatible server (Ollama, vLLM, llama.cpp):
no key, the model named as the server names it.

    ollama serve & ollama pull llama3.1:8b
    python examples/local_server.py http://localhost:11434/v1 llama3.1:8b [FILE]
"""

from __future__ import annotations

import sys

from vorlex import Vorlex


def main(base_url: str, model: str, path: str) -> int:
    reader = Vorlex(model=model, base_url=base_url)
    reader.add_question(
        Vorlex.create_question("foro", "Foro", "Qual é o foro eleito no contrato?\n\n{texto}")
    )
    result = reader.process(path)
    print(result.get_answer("foro"))
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        print(__doc__)
        sys.exit(2)
    sys.exit(
        main(sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else "examples/samples/contrato.pdf")
    )
