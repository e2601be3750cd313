"""Benchmarks of document processing.

cache_hit_10mb        `process` of a 10 MB PDF whose result is cached, against
                      hashlib.sha256 of the same bytes
batch_40x3_4workers   a batch of 40 generated 5-page PDFs x 3 questions against the local
                      chat server answering after 50 ms, on 4 workers, against the ideal
                      time 40 x 3 x 50 ms / 4
streaming_peak_500p   peak memory of `process` on a 500-page text PDF with streaming=True
                      against streaming=False (each measured in a fresh interpreter)
"""

from __future__ import annotations

import json
import pathlib
import resource
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _common import RemoteChat, best_of, cache_hit, reader_for, tagged_pdf  # noqa: E402


def bench_batch() -> None:
    docs = [tagged_pdf(5, f"D{i}") for i in range(40)]
    with RemoteChat(delay=0.05) as server:
        reader = reader_for(server.base_url, questions=("objeto", "valor", "foro"))
        reader.process_batch(docs[:4], max_workers=4)  # warm the client and the loaders
        results = []
        elapsed = best_of(lambda: results.append(reader.process_batch(docs, max_workers=4)), 3)
        assert all(r.status == "OK" for batch in results for d in batch for r in d.results)
    ideal = 40 * 3 * 0.05 / 4
    print(f"  batch 40 docs x 3 questions, 4 workers: {elapsed:.3f} s (ideal {ideal:.3f} s)")
    print(f"batch_40x3_4workers: {elapsed / ideal:.2f}")


def bench_cache_hit() -> None:
    from servers.chat import ChatServer

    data = tagged_pdf(3, "grande", attachment=10 * 1024 * 1024)
    with ChatServer() as server:
        hit, base = cache_hit(server, data, 40)
    from vorlex.utils import get_document_metadata

    meta = best_of(lambda: get_document_metadata(data, filename="document.pdf"), 20)
    print(
        f"  cache hit on {len(data) / 1048576:.1f} MB: {hit * 1000:.2f} ms; "
        f"sha256 {base * 1000:.2f} ms; of the hit, vorlex.utils.get_document_metadata "
        f"{meta * 1000:.2f} ms"
    )
    print(f"cache_hit_10mb: {hit / base:.2f}")


def _memory_child(streaming: bool, path: str) -> None:
    """Runs in a fresh interpreter: one `process` of a 500-page PDF; prints the peak."""
    import tracemalloc

    from servers.chat import ChatServer
    from vorlex.reader import Vorlex

    data = pathlib.Path(path).read_bytes()
    with ChatServer() as server:
        reader = reader_for(server.base_url, streaming=streaming)
        # The question reads one page, so the run's cost is the loading.
        reader.add_question(Vorlex.create_question("q", "q", "Leia: {texto}", keywords=["pagina 250."]))
        import weakref

        import pymupdf

        import vorlex.utils  # noqa: F401  (loaded before the baseline is taken)

        # Live PyMuPDF page objects, counted as they are made.
        live = weakref.WeakSet()
        most = [0]
        page_init = pymupdf.Page.__init__

        def counting_init(page, *a, **k):
            page_init(page, *a, **k)
            live.add(page)
            most[0] = max(most[0], len(live))

        pymupdf.Page.__init__ = counting_init
        reader.process(tagged_pdf(2, "aquecimento pagina 250."))  # imports and first calls
        most[0] = 0
        base_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        tracemalloc.start()
        t0 = time.perf_counter()
        result = reader.process(data)
        elapsed = time.perf_counter() - t0
        _, py_peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert result.results[0].pages_total == 500
    print(
        json.dumps(
            {
                "rss_growth_kb": rss - base_rss,
                "python_peak_kb": py_peak // 1024,
                "seconds": elapsed,
                "live_pages": most[0],
            }
        )
    )


def bench_streaming_memory() -> None:
    import tempfile

    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "longo.pdf"
        path.write_bytes(tagged_pdf(500, "longo"))
        for streaming in (False, True):
            proc = subprocess.run(
                [sys.executable, __file__, "--memory-child", "1" if streaming else "0", str(path)],
                capture_output=True,
                text=True,
                check=True,
            )
            out[streaming] = json.loads(proc.stdout.strip().splitlines()[-1])
    for streaming, m in out.items():
        print(
            f"  500 pages, streaming={streaming}: peak RSS growth {m['rss_growth_kb']} kB, "
            f"Python peak {m['python_peak_kb']} kB, at most {m['live_pages']} PyMuPDF "
            f"page objects alive, {m['seconds']:.2f} s"
        )
    eager, lazy = out[False], out[True]
    print(f"streaming_peak_500p: {max(lazy['rss_growth_kb'], 1) / max(eager['rss_growth_kb'], 1):.2f}")


def main() -> None:
    import gc

    bench_cache_hit()
    gc.collect()
    bench_batch()
    bench_streaming_memory()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--memory-child":
        _memory_child(sys.argv[2] == "1", sys.argv[3])
    else:
        main()
