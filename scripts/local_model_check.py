"""Vorlex against a real local model server (see scripts/local_model_check.sh).

    python scripts/local_model_check.py BASE_URL MODEL

Asks a plain, a structured and a re-asked question, and prints for each its status,
the structured mode the reader settled on, the requests it took (refused ones included)
and its tokens beside the usage the server reported for those requests. Then runs
`vorlex verify` on the sample contract through the same server, the registry answered by
the tests' local fake (nothing leaves the machine). Exits 1 when a figure disagrees or a
question did not end as expected.
"""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
import tempfile

import httpx
import openai
from pydantic import BaseModel, field_validator

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from vorlex import Question, QuestionConfig  # noqa: E402
from vorlex.reader import Vorlex  # noqa: E402

TEXT = (
    "CONTRATO DE PRESTAÇÃO DE SERVIÇOS. CONTRATANTE: ACME SOLUÇÕES LTDA. CONTRATADA: "
    "BETA SERVIÇOS S.A. Valor total: R$ 12.000,00, pagos em 12 parcelas mensais."
)


class Partes(BaseModel):
    contratante: str
    contratada: str


class Valor(BaseModel):
    """Refuses the first answer it sees, whatever it says: the question is asked again."""

    valor_total: str

    @field_validator("valor_total")
    @classmethod
    def _first_answer_is_refused(cls, value: str) -> str:
        Valor.seen = getattr(Valor, "seen", 0) + 1
        if Valor.seen == 1:
            raise ValueError("escreva o valor com o símbolo da moeda, como no contrato")
        return value


class ServerLog:
    """The server's side of each request: its HTTP status and the usage it reported."""

    def __init__(self) -> None:
        self.exchanges: list[tuple[int, dict]] = []

    def hook(self, response: httpx.Response) -> None:
        response.read()
        try:
            usage = response.json().get("usage") or {}
        except ValueError:
            usage = {}
        self.exchanges.append((response.status_code, usage))

    def take(self) -> list[tuple[int, dict]]:
        out, self.exchanges = self.exchanges, []
        return out


def reader_for(base_url: str, model: str, log: ServerLog) -> Vorlex:
    reader = Vorlex(
        base_url=base_url, model=model, max_tokens=256, timeout=600, max_retries=1, validation_retries=2
    )
    reader._openai_client = openai.OpenAI(
        api_key="not-needed",
        base_url=base_url,
        max_retries=0,
        timeout=600,
        http_client=httpx.Client(event_hooks={"response": [log.hook]}, timeout=600),
    )
    return reader


def question(qid: str, prompt: str, response_model=None) -> Question:
    return Question(
        config=QuestionConfig(id=qid, name=qid),
        system_prompt=("Você extrai dados de contratos. Responda em português."),
        user_prompt=prompt,
        response_model=response_model,
    )


def check_question(reader: Vorlex, log: ServerLog, q: Question) -> bool:
    result = reader.extract_from_text(TEXT, q)
    exchanges = log.take()
    answered = [usage for status, usage in exchanges if status == 200]
    server = {
        k: sum(u.get(k, 0) for u in answered) for k in ("prompt_tokens", "completion_tokens", "total_tokens")
    }
    mine = {
        "prompt_tokens": result.metrics.prompt_tokens,
        "completion_tokens": result.metrics.completion_tokens,
        "total_tokens": result.metrics.tokens,
    }
    mode = (
        reader._structured_modes.get((reader._base_url, reader.model), reader._structured_output)
        if q.response_model
        else "texto"
    )
    print(
        f"- {q.config.id}: status {result.status}, modo {mode}, "
        f"{len(exchanges)} pedido(s) (HTTP {[s for s, _ in exchanges]}), "
        f"{len(answered)} resposta(s); tokens vorlex {mine} / servidor {server}; "
        f"finish_reason {result.finish_reason}"
    )
    print(f"  resposta: {str(result.answer)[:160]!r}")
    if result.status != "OK":
        print(f"  raw_text: {str(result.raw_text)[:160]!r}")
    return mine == server


def verify_sample(base_url: str, model: str) -> int:
    from contract.contracts import registros_exemplo
    from servers.registry import RegistryServer

    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(
            [sys.executable, str(ROOT / "examples" / "make_samples.py"), folder],
            check=True,
            capture_output=True,
        )
        with RegistryServer() as registry:
            registry.brasil_api.update(registros_exemplo(procurador_socio=True, endereco_beta_confere=True))
            launch = (
                "import sys, vorlex.contract.countries.br.cnpj as m\n"
                f"m.BRASIL_API_URL = {registry.brasil_api_url!r}\n"
                f"m.RECEITA_WS_URL = {registry.receita_ws_url!r}\n"
                f"m.CASADOSDADOS_API = {registry.casa_dos_dados_url!r}\n"
                "from vorlex.__main__ import main\n"
                "sys.exit(main(sys.argv[1:]))\n"
            )
            run = subprocess.run(
                [
                    sys.executable,
                    "-c",
                    launch,
                    "verify",
                    str(pathlib.Path(folder) / "contrato.pdf"),
                    "--json",
                    "--base-url",
                    base_url,
                    "--model",
                    model,
                    "--max-tokens",
                    "512",
                    "--timeout",
                    "900",
                    "--no-cache",
                    "--no-ai-search",
                ],
                capture_output=True,
                text=True,
                timeout=3600,
            )
    print(f"- vorlex verify: exit {run.returncode}")
    try:
        result = json.loads(run.stdout)
    except ValueError:
        print(run.stdout[-1500:] + run.stderr[-1500:])
        return 1
    print(f"  veredito {result['resultado_final']}: {result['justificativa']}")
    print(f"  métricas {result.get('metricas')}")
    return 0 if run.returncode in (0, 1, 3) else 1


def main(argv: list[str]) -> int:
    base_url, model = argv[0], argv[1]
    log = ServerLog()
    reader = reader_for(base_url, model, log)
    print(f"== {reader!r}")
    agree = [
        check_question(reader, log, question("simples", "Quem é a contratante? {texto}")),
        check_question(
            reader, log, question("estruturada", "Quem são as partes deste contrato?\n\n{texto}", Partes)
        ),
        check_question(
            reader, log, question("reperguntada", "Qual o valor total deste contrato?\n\n{texto}", Valor)
        ),
    ]
    failed = 0 if all(agree) else 1
    if failed:
        print("os tokens da Vorlex e do servidor diferem")
    return failed | verify_sample(base_url, model)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
