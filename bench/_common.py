"""What the benchmarks share, so that each bench_<area>.py holds only its measurements.

    best_of, paired      timing: the best of n runs; two sides run alternately, so that
                         a burst of load from elsewhere on the machine hits both alike
    print_ratios         the `name: ratio` line and the figures behind it, per benchmark
    text_pdf, tagged_pdf generated PDFs: pages of random contract words; pages naming
                         their document (optionally with a large attachment)
    bare_documents       the floor of PDF loading: a bare PyMuPDF loop making Documents
    reader_for           a reader whose OpenAI clients talk to a local server
    cache_hit            a cached `process` against hashing the same bytes
    RemoteChat           the local chat server in an interpreter of its own
    rss_kb               resident memory of this process

Importing this module puts tests/ on the path: the fake services (tests/servers) and
the document makers (tests/components/docgen.py) live there. A benchmark file finds
this module through its own folder (`sys.path.insert(0, <bench folder>)`).
"""

from __future__ import annotations

import os
import pathlib
import random
import resource
import subprocess
import sys
import time
from collections.abc import Callable, Iterable

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent / "tests"
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))


# -- timing -------------------------------------------------------------------------------


def best_of(fn: Callable[[], object], repeat: int, number: int = 1) -> float:
    """Seconds of one call of `fn`: the best of `repeat` rounds of `number` calls each."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def paired(
    vorlex_fn: Callable[[], object], base_fn: Callable[[], object], repeat: int
) -> tuple[float, float]:
    """Best times of both, measured alternately so that machine noise hits both."""
    v, b = [], []
    for _ in range(repeat):
        v.append(best_of(vorlex_fn, 1))
        b.append(best_of(base_fn, 1))
    return min(v), min(b)


def print_ratios(benches: Iterable[Callable[[], tuple[str, float, float, float, str]]]) -> None:
    """Runs each benchmark, which returns (name, vorlex seconds, baseline seconds, ratio,
    target), and prints its ratio line with the figures behind it."""
    for bench in benches:
        name, v, b, ratio, target = bench()
        print(f"{name}: {ratio:.3f}")
        print(f"    vorlex {v * 1000:.2f} ms, baseline {b * 1000:.2f} ms, target {target}", flush=True)


# -- documents ------------------------------------------------------------------------------

WORDS = [
    "contrato",
    "clausula",
    "vigencia",
    "pagamento",
    "rescisao",
    "foro",
    "partes",
    "objeto",
    "valor",
    "prazo",
    "servicos",
    "obrigacoes",
    "contratante",
    "contratada",
    "testemunhas",
    "assinatura",
]


def text_pdf(pages: int) -> bytes:
    """A PDF of `pages` pages of 300 random contract words each (the same every time)."""
    import pymupdf

    rnd = random.Random(7)
    doc = pymupdf.open()
    for i in range(pages):
        page = doc.new_page()
        text = f"Pagina {i + 1}\n" + " ".join(rnd.choice(WORDS) for _ in range(300))
        page.insert_textbox(pymupdf.Rect(40, 40, 560, 800), text, fontsize=9)
    data = doc.tobytes()
    doc.close()
    return data


def tagged_pdf(pages: int, tag: str, attachment: int = 0) -> bytes:
    """A PDF whose pages name `tag` and their number; `attachment` random bytes embedded
    (a large document that reads as fast as a small one)."""
    import pymupdf

    doc = pymupdf.open()
    for p in range(pages):
        page = doc.new_page()
        text = (
            f"Documento {tag}, pagina {p + 1}. Clausula de objeto, valor, vigencia e "
            f"foro da comarca, com as assinaturas das partes e testemunhas. "
        ) * 4
        page.insert_textbox(pymupdf.Rect(50, 50, 550, 800), text, fontsize=10)
    if attachment:
        doc.embfile_add("anexo.bin", os.urandom(attachment))
    data = doc.tobytes()
    doc.close()
    return data


def bare_documents(data: bytes) -> list:
    """What vorlex.utils.load_pdf makes, made by a bare PyMuPDF loop from Python."""
    import pymupdf
    from llama_index.core.schema import Document

    doc = pymupdf.open(stream=data, filetype="pdf")
    out = [
        Document(text=page.get_text(), metadata={"page": i + 1, "source": "text", "filename": "document.pdf"})
        for i, page in enumerate(doc)
    ]
    doc.close()
    return out


# -- the reader and its model server --------------------------------------------------------


def reader_for(
    base_url: str,
    *,
    api_key: str = "sk-bench",
    async_client: bool = False,
    questions: Iterable[str] = (),
    **kwargs,
):
    """Vorlex(openai_api_key=api_key, **kwargs) whose OpenAI client (and, with
    `async_client`, its async client) talks to `base_url` without retries of its own;
    each name in `questions` becomes the question "Extraia o <name>: {texto}"."""
    import openai

    from vorlex.reader import Vorlex

    reader = Vorlex(openai_api_key=api_key, **kwargs)
    reader._openai_client = openai.OpenAI(api_key=api_key, base_url=base_url, max_retries=0)
    if async_client:
        reader._async_openai_client = openai.AsyncOpenAI(api_key=api_key, base_url=base_url, max_retries=0)
    for q in questions:
        reader.add_question(Vorlex.create_question(q, q, "Extraia o " + q + ": {texto}"))
    return reader


def cache_hit(server, data: bytes, repeat: int, **cache_kwargs) -> tuple[float, float]:
    """(seconds of `process(data)` served from the cache, seconds of sha256 of `data`):
    a reader with its cache on (`cache_kwargs` pick the store) answers one question about
    `data` through `server` once; the hit is then timed against hashing the same bytes,
    the least a content-keyed hit can cost, alternately `repeat` times."""
    import hashlib

    from vorlex.reader import Vorlex

    reader = reader_for(server.base_url, enable_cache=True, **cache_kwargs)
    reader.add_question(Vorlex.create_question("q", "q", "Leia: {texto}"))
    first = reader.process(data)
    calls = len(server.requests)
    hit = reader.process(data)
    # The same result, marked as served from the cache, and no model asked again.
    assert hit.from_cache and hit.model_copy(update={"from_cache": False}) == first
    assert len(server.requests) == calls
    return paired(lambda: reader.process(data), lambda: hashlib.sha256(data).hexdigest(), repeat)


class RemoteChat:
    """The chat server in its own interpreter, as a provider would be: its request
    handling does not compete with the reader for this interpreter's lock."""

    def __init__(self, delay: float, keep_requests: bool = True):
        code = (
            "import sys; sys.path.insert(0, sys.argv[1]);"
            "from servers.chat import ChatServer;"
            "s = ChatServer(delay=float(sys.argv[2])).start();"
            "s.keep_requests = sys.argv[3] == '1';"
            "print(s.port, flush=True); sys.stdin.read()"
        )
        self.proc = subprocess.Popen(
            [sys.executable, "-c", code, str(TESTS), str(delay), "1" if keep_requests else "0"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.base_url = f"http://127.0.0.1:{int(self.proc.stdout.readline())}/v1"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.stdin.close()
        self.proc.wait(10)


# -- memory --------------------------------------------------------------------------------


def rss_kb() -> int:
    """Resident memory of this process now, in kB (the peak where /proc is missing)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
