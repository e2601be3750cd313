"""Leak check: many calls of each native kernel, and of `extract_from_text` against the
local chat server, after a warm-up. Prints, per kernel, the interpreter's object count
and resident memory after the calls against before (1.000 is flat).

    python bench/leaks.py [--calls 100000] [--extract-calls 10000] [--cycle-calls 2000]

The suite runs `measure()` with small counts (tests/reliability/test_leaks.py).
"""

from __future__ import annotations

import argparse
import gc
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _common import RemoteChat, reader_for, rss_kb  # noqa: E402


def kernels():
    """(name, call) for every native kernel with a representative input."""
    from types import SimpleNamespace

    from components.docgen import text_page_pdf
    from vorlex.cache import DocumentCache
    from vorlex.contract.countries.br import cnpj, keywords
    from vorlex.reader import Vorlex
    from vorlex.utils import extract_main_response, filter_relevant_pages, is_image_bytes

    pages = [SimpleNamespace(text=f"Pagina {i}: clausula de rescisao e foro", metadata={}) for i in range(8)]
    contrato = (
        "CONTRATO DE PRESTAÇÃO DE SERVIÇOS. Cláusula primeira: objeto. "
        "CONTRATANTE e CONTRATADA, foro da comarca, vigência, rescisão. "
    ) * 20
    pdf = text_page_pdf(["um"])
    return [
        ("limpar_cnpj", lambda: cnpj.limpar_cnpj("11.222.333/0001-81")),
        ("validar_cnpj", lambda: cnpj.validar_cnpj("11.222.333/0001-81")),
        ("formatar_cnpj", lambda: cnpj.formatar_cnpj("11222333000181")),
        ("validar_cnpj_alfanumerico", lambda: cnpj.validar_cnpj_alfanumerico("12.ABC.345/01DE-35")),
        (
            "_calcular_digito_cnpj",
            lambda: cnpj._calcular_digito_cnpj("112223330001", [5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2]),
        ),
        (
            "comparar_enderecos",
            lambda: cnpj.comparar_enderecos(
                "Rua das Flores, 123 - Centro, São Paulo/SP",
                {
                    "logradouro": "R. DAS FLORES",
                    "numero": "123",
                    "bairro": "CENTRO",
                    "municipio": "SAO PAULO",
                    "uf": "SP",
                    "cep": "01000-000",
                },
            ),
        ),
        ("_normalizar_endereco", lambda: cnpj._normalizar_endereco("Av. Paulista, 1.000 - apto 5")),
        ("normalizar_texto", lambda: keywords.normalizar_texto(contrato)),
        ("validar_documento_contrato", lambda: keywords.validar_documento_contrato(contrato)),
        ("filter_relevant_pages", lambda: filter_relevant_pages(pages, ["rescisao", "foro"])),
        ("extract_main_response", lambda: extract_main_response({"resposta": [1, 2]})),
        ("is_image_bytes", lambda: is_image_bytes(pdf)),
        ("hash_document", lambda: DocumentCache.hash_document(pdf)),
        ("build_key", lambda: DocumentCache.build_key("ab" * 32, ["f1", "f2"], "gpt-4o", True)),
        ("_has_extractable_text", lambda: Vorlex._has_extractable_text(contrato)),
        ("_is_safe_url(no host)", lambda: __import__("vorlex.reader").reader._is_safe_url("http:///x")),
    ]


def cycles():
    """(name, call) for the cycles through the native awaitables that only the garbage
    collector can free: a reader holding its own coroutine, and a batch task or a Google
    call's task left pending when its event loop closes."""
    import asyncio
    import logging

    from components.docgen import text_page_pdf
    from vorlex.reader import Vorlex

    pdf = text_page_pdf(["Contrato de prestação de serviços com texto bastante para ler."])
    question = Vorlex.create_question("q", "q", "Leia: {texto}")
    # The tasks destroyed with their loop are reported by asyncio: expected here.
    logging.getLogger("asyncio").setLevel(logging.CRITICAL)

    template = Vorlex(openai_api_key="sk-leak", max_retries=0).add_question(question)

    def reader_and_coroutine():
        # A reader of its own each time (a copy: building one makes an HTTP client).
        reader = Vorlex.__new__(Vorlex)
        reader.__dict__.update(vars(template))
        reader.pending = reader.process_async(pdf)

    async def never(*args, **kwargs):
        await asyncio.Event().wait()

    def batch_left_pending():
        reader = Vorlex.__new__(Vorlex)
        reader.__dict__.update(vars(template))
        reader._call_llm_async = never
        loop = asyncio.new_event_loop()
        task = loop.create_task(reader.process_batch_async([pdf, pdf], max_concurrency=1))
        for _ in range(3):
            loop.run_until_complete(asyncio.sleep(0))
        loop.close()
        del task  # left pending on purpose: the loop closed under it, the collector frees it

    from types import SimpleNamespace

    from vorlex.providers import google

    silent = SimpleNamespace(aio=SimpleNamespace(models=SimpleNamespace(generate_content=never)))

    def google_call_left_pending():
        loop = asyncio.new_event_loop()

        async def ask():
            return await google.acall_chat(silent, "gemini", [{"role": "user", "content": "oi"}])

        task = loop.create_task(ask())
        for _ in range(3):
            loop.run_until_complete(asyncio.sleep(0))
        loop.close()
        del task  # left pending on purpose, as above

    return [
        ("cycle: reader and its coroutine", reader_and_coroutine),
        ("cycle: batch task of a closed loop", batch_left_pending),
        ("cycle: Google call task of a closed loop", google_call_left_pending),
    ]


def flat(call, n: int, warm: int) -> tuple[float, float]:
    for _ in range(warm):
        call()
    gc.collect()
    objects, rss = len(gc.get_objects()), rss_kb()
    for _ in range(n):
        call()
    gc.collect()
    return len(gc.get_objects()) / objects, rss_kb() / max(rss, 1)


def measure(calls: int, extract_calls: int, report=print, cycle_calls: int = 2000) -> dict:
    """{name: (object ratio, RSS ratio)} for every kernel, for extract_from_text and for
    the coroutine cycles."""
    from vorlex.reader import Vorlex

    out = {}
    for name, call in kernels():
        out[name] = flat(call, calls, warm=min(calls, 2000))
    for name, call in cycles():
        out[name] = flat(call, cycle_calls, warm=min(cycle_calls, 200))
    # The server in its own process: its request log is not this process's growth.
    with RemoteChat(delay=0.0) as server:
        reader = reader_for(server.base_url, api_key="sk-leak", max_retries=0)
        question = Vorlex.create_question("q", "q", "Leia: {texto}")
        out["extract_from_text"] = flat(
            lambda: reader.extract_from_text("um texto", question),
            extract_calls,
            warm=min(extract_calls, 500),
        )
    for name, (objects, rss) in out.items():
        report(f"  {name}: objects x{objects:.4f}, RSS x{rss:.4f}")
    return out


def main(argv=None) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=100000)
    parser.add_argument("--extract-calls", type=int, default=10000)
    parser.add_argument("--cycle-calls", type=int, default=2000)
    args = parser.parse_args(argv)
    out = measure(args.calls, args.extract_calls, cycle_calls=args.cycle_calls)
    print(f"leaks_worst_objects: {max(o for o, _ in out.values()):.4f}")
    print(f"leaks_worst_rss: {max(r for _, r in out.values()):.4f}")


if __name__ == "__main__":
    sys.path.insert(0, str(HERE.parent / "src"))
    main()
