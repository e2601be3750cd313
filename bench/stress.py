"""Thread stress: threads sharing one reader, cache and breaker run a mix of `process`,
`process_batch` and `extract_from_text` against the local chat server, which answers
some requests with 429 and 500. Checked throughout: nothing escapes, no thread hangs,
every result's totals are its own questions' usage, the cache's counters agree with the
lookups made; the resident memory is sampled as it goes.

    python bench/stress.py [--seconds 120] [--threads 8]

The suite runs `run()` for 20 seconds (tests/reliability/test_stress.py).
"""

from __future__ import annotations

import argparse
import pathlib
import random
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _common import reader_for, rss_kb  # noqa: E402


def _rss_mb() -> float:
    return rss_kb() / 1024


def _responder(rng_lock, rng):
    from servers.chat import ChatServer

    def respond(body):
        with rng_lock:
            roll = rng.random()
        if roll < 0.08:
            return ChatServer.error(429)
        if roll < 0.12:
            return ChatServer.error(500)
        return "resposta"

    return respond


def run(seconds: float = 120.0, threads: int = 8, base_url: str | None = None, report=print) -> dict:
    """Runs the mix for `seconds` and returns the figures; raises AssertionError on the
    first inconsistency."""
    from components.docgen import text_page_pdf
    from servers.chat import ChatServer

    server = None
    if base_url is None:
        server = ChatServer().start()
        server.keep_requests = False  # a log of every request would be the growth measured
        base_url = server.base_url
    rng = random.Random(7)
    rng_lock = threading.Lock()
    if server is not None:
        server.responder = _responder(rng_lock, rng)

    reader = reader_for(
        base_url,
        api_key="sk-stress",
        questions=("objeto", "valor", "foro"),
        max_retries=0,
        enable_cache=True,
        circuit_breaker=True,
        circuit_breaker_threshold=1000,
    )
    docs = [
        text_page_pdf([f"Documento DOC-{i} com clausulas de objeto, valor e foro."] * 2) for i in range(24)
    ]

    lookups = 0
    counter = threading.Lock()
    real_process = reader.process

    def counted_process(*args, **kwargs):
        nonlocal lookups
        with counter:
            lookups += 1
        return real_process(*args, **kwargs)

    reader.process = counted_process  # every process call makes one cache lookup

    failures: list = []
    done = {"process": 0, "batch": 0, "extract": 0}
    deadline = time.monotonic() + seconds
    samples = []

    def check(res):
        kinds = {r.question_id for r in res.results}
        if kinds & {"circuit_breaker", "error"}:
            return
        m = res.total_metrics
        assert m.tokens == sum(r.metrics.tokens for r in res.results), res
        assert m.prompt_tokens == sum(r.metrics.prompt_tokens for r in res.results), res
        assert m.completion_tokens == sum(r.metrics.completion_tokens for r in res.results), res

    def worker(seed: int):
        local = random.Random(seed)
        try:
            while time.monotonic() < deadline:
                op = local.random()
                if op < 0.5:
                    check(reader.process(docs[local.randrange(len(docs))]))
                    key = "process"
                elif op < 0.75:
                    batch = [docs[local.randrange(len(docs))] for _ in range(local.randint(1, 4))]
                    for res in reader.process_batch(batch, max_workers=local.choice([None, 2])):
                        check(res)
                    key = "batch"
                else:
                    r = reader.extract_from_text("um texto de contrato", reader.questions[0])
                    assert r.metrics.tokens == r.metrics.prompt_tokens + r.metrics.completion_tokens
                    key = "extract"
                with counter:
                    done[key] += 1
        except BaseException as exc:  # noqa: BLE001 - every escape is a finding
            failures.append(exc)

    pool = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(threads)]
    start_rss = _rss_mb()
    for t in pool:
        t.start()
    while any(t.is_alive() for t in pool) and time.monotonic() < deadline + 60:
        time.sleep(min(5.0, max(0.1, seconds / 20)))
        samples.append(_rss_mb())
    hung = [t for t in pool if t.is_alive()]
    if server is not None:
        server.stop()
    stats = reader.cache_stats()
    figures = {
        "ops": dict(done),
        "lookups": lookups,
        "cache": stats,
        "hung": len(hung),
        "failures": [repr(f) for f in failures[:3]],
        "rss_start_mb": start_rss,
        "rss_samples_mb": samples,
    }
    assert not hung, figures
    assert not failures, figures
    assert stats["hits"] + stats["misses"] == lookups, figures
    assert stats["size"] <= reader._cache.max_entries, figures
    report(
        f"  {threads} threads, {seconds:.0f} s: {done}; cache {stats}; "
        f"RSS {start_rss:.0f} MB -> {samples[-1] if samples else start_rss:.0f} MB "
        f"(peak {max(samples or [start_rss]):.0f} MB)"
    )
    return figures


def main(argv=None) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=120.0)
    parser.add_argument("--threads", type=int, default=8)
    args = parser.parse_args(argv)
    import logging

    logging.getLogger("vorlex").setLevel(logging.CRITICAL)  # the injected failures are expected
    figures = run(args.seconds, args.threads)
    half = figures["rss_samples_mb"][len(figures["rss_samples_mb"]) // 2 :] or [figures["rss_start_mb"]]
    print(f"stress_rss_second_half_growth: {max(half) / min(half):.3f}")


if __name__ == "__main__":
    sys.path.insert(0, str(HERE.parent / "src"))
    main()
