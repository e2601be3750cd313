"""The contract check: companies and signatories extracted by the model, checked
against the federal registry, and a verdict with the printed report. Needs
OPENAI_API_KEY and access to the registry services.

    python examples/contract_check.py [examples/samples/contrato.pdf]
"""

from __future__ import annotations

import sys

from vorlex.contract.checker import verificar_contrato


def main(path: str) -> int:
    result = verificar_contrato(path, "BR")
    print(f"Veredito: {result['resultado_final']} - {result['justificativa']}")
    return 0 if result["resultado_final"] == "APROVADO" else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "examples/samples/contrato.pdf"))
