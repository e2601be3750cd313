"""Batches on a Dask cluster against the same batches in one process. One machine can
only show that distribution scales with workers and costs little; the gain across
machines follows from it.

    tesseract_2v1_workers    8 scanned 3-page contracts read with ocr_engine="tesseract"
                             on a LocalCluster of 2 single-threaded worker processes
                             against 1 (one Tesseract process per worker): the speed-up,
                             >= 1.6 on two cores
    tesseract_2w_vs_local    the 2-worker cluster's time against process_batch in this
                             process with Tesseract on every core: <= 1.15
    text_40x3_vs_local       40 text documents x 3 questions against the chat server
                             (50 ms per answer): the 2-worker cluster's time against
                             process_batch with 2 threads, the same concurrency: <= 1.3

The chat server runs in an interpreter of its own, as a provider would. Times are the
best of the runs after one warm-up batch (the workers import the package on their first
task). Needs dask.distributed (pip install 'vorlex[dask]') and, for the first two,
Tesseract.
"""

from __future__ import annotations

import pathlib
import shutil
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # _common, which puts tests/ on the path

from _common import RemoteChat  # noqa: E402

CONTRACT = (
    "CONTRATO DE PRESTACAO DE SERVICOS NUMERO {n}. Clausula {p}: as partes acordam o "
    "objeto, a vigencia de doze meses, o valor mensal de cinco mil reais e o foro da "
    "comarca de Sao Paulo. A contratada prestara os servicos com diligencia e a "
    "contratante pagara ate o quinto dia util de cada mes. "
)


def _cluster(workers: int):
    from dask.distributed import Client, LocalCluster

    cluster = LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    )
    return cluster, Client(cluster)


def _one_tesseract_process():
    import vorlex.ocr

    vorlex.ocr.TESSERACT_WORKERS = 1


def _reader(base_url: str, questions, **kwargs):
    from vorlex.reader import Vorlex

    reader = Vorlex(openai_api_key="sk-bench", base_url=base_url, model="gpt-4o-mini", **kwargs)
    for q in questions:
        reader.add_question(Vorlex.create_question(q, q, "Extraia o " + q + ": {texto}"))
    return reader


def _timed(fn, repeat: int):
    best, out = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def _check(results, n, doc_type=None):
    assert len(results) == n
    for res in results:
        assert all(r.status == "OK" for r in res.results), res.results
        if doc_type:
            assert res.document.doc_type == doc_type, res.document


def bench_tesseract(server) -> None:
    import vorlex.ocr as ocr
    from components.docgen import scanned, text_page_pdf

    docs = [
        scanned(text_page_pdf([CONTRACT.format(n=i, p=p) * 3 for p in range(1, 4)]), dpi=150)
        for i in range(9)
    ]
    warm, docs = docs[:1], docs[1:]
    pages = 3 * len(docs)
    reader = _reader(server.base_url, ["objeto"], ocr_engine="tesseract")
    seconds = {}
    for workers in (1, 2):
        cluster, client = _cluster(workers)
        try:
            client.run(_one_tesseract_process)
            _check(reader.process_batch_distributed(warm, client), 1, "image")
            seconds[workers], results = _timed(
                lambda client=client: reader.process_batch_distributed(docs, client), 1
            )
            _check(results, len(docs), "image")
        finally:
            client.close()
            cluster.close()
    ocr.TESSERACT_WORKERS = None  # one Tesseract process per core
    _check(reader.process_batch(warm), 1, "image")
    seconds["local"], results = _timed(lambda: reader.process_batch(docs, max_workers=2), 1)
    _check(results, len(docs), "image")
    for label, key in (("1 worker", 1), ("2 workers", 2), ("process_batch, all cores", "local")):
        print(
            f"  tesseract {len(docs)} x 3-page scans, {label}: {seconds[key]:.2f} s, "
            f"{pages / seconds[key]:.2f} pages/s"
        )
    print(f"tesseract_2v1_workers: {seconds[1] / seconds[2]:.2f}")
    print("    target >= 1.6")
    print(f"tesseract_2w_vs_local: {seconds[2] / seconds['local']:.2f}")
    print("    target <= 1.15")


def bench_text(server) -> None:
    from components.docgen import text_page_pdf

    docs = [text_page_pdf([CONTRACT.format(n=i, p=1) * 4]) for i in range(44)]
    warm, docs = docs[:4], docs[4:]
    reader = _reader(server.base_url, ["objeto", "valor", "foro"])
    cluster, client = _cluster(2)
    try:
        _check(reader.process_batch_distributed(warm, client), 4)
        remote, results = _timed(lambda: reader.process_batch_distributed(docs, client), 2)
        _check(results, len(docs))
    finally:
        client.close()
        cluster.close()
    _check(reader.process_batch(warm, max_workers=2), 4)
    local, results = _timed(lambda: reader.process_batch(docs, max_workers=2), 2)
    _check(results, len(docs))
    ideal = len(docs) * 3 * 0.05 / 2
    print(
        f"  40 docs x 3 questions, 50 ms answers, concurrency 2: cluster {remote:.2f} s, "
        f"process_batch {local:.2f} s (ideal {ideal:.2f} s)"
    )
    print(f"text_40x3_vs_local: {remote / local:.2f}")
    print("    target <= 1.3")


def main() -> None:
    try:
        import distributed  # noqa: F401
    except ImportError:
        print("  (dask.distributed not installed: pip install 'vorlex[dask]')")
        return
    with RemoteChat(delay=0.0, keep_requests=False) as server:
        if shutil.which("tesseract") is None:
            print("  (tesseract not installed: the scanned batches are not measured)")
        else:
            bench_tesseract(server)
    with RemoteChat(delay=0.05, keep_requests=False) as server:
        bench_text(server)


if __name__ == "__main__":
    main()
