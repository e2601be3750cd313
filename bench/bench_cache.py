"""Result cache stores.

cache_hit_10mb_<store>   `process` of a 10 MB PDF whose result is in the cache (memory,
                         SQLite file, Redis on loopback), against hashlib.sha256 of the
                         same bytes (the least a content-keyed hit can cost). Targets:
                         memory <= 1.5, SQLite <= 2.0, Redis <= 2.5.
put_get_1000_<store>     put then get of 1,000 results: results per second (reported),
                         and the ratio of its time to the memory store's.
"""

from __future__ import annotations

import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from _common import best_of, cache_hit, tagged_pdf


def _stores(tmp: pathlib.Path, redis_url):
    out = {"memory": {}, "sqlite": {"cache_path": tmp / "results.sqlite"}}
    if redis_url:
        out["redis"] = {"cache_url": redis_url}
    return out


def _record(i: int):
    from vorlex.models import DocumentMetadata, ProcessingMetrics, ProcessingResult, Result

    return ProcessingResult(
        document=DocumentMetadata(filename=f"doc-{i}.pdf", num_pages=3),
        results=[
            Result(
                question_id=q,
                answer=f"resposta {i} {q}",
                status="OK",
                metrics=ProcessingMetrics(tokens=120, cost_usd=0.0001),
            )
            for q in ("a", "b", "c")
        ],
        total_metrics=ProcessingMetrics(tokens=360, cost_usd=0.0003),
    )


def main() -> None:
    from servers import redis_server
    from servers.chat import ChatServer
    from vorlex.cache import DocumentCache

    redis = None
    if redis_server.available():
        redis = redis_server.RedisServer().start()
    else:
        print("  (redis-server not installed: the Redis store is not measured)")
    try:
        with tempfile.TemporaryDirectory() as tmp:
            stores = _stores(pathlib.Path(tmp), redis.url if redis else None)
            data = tagged_pdf(3, "grande", attachment=10 * 1024 * 1024)
            with ChatServer() as server:
                for name, kwargs in stores.items():
                    hit, base = cache_hit(server, data, 30, **kwargs)
                    print(f"  {name}: hit {hit * 1000:.2f} ms, sha256 {base * 1000:.2f} ms")
                    print(f"cache_hit_10mb_{name}: {hit / base:.2f}")

            records = [_record(i) for i in range(1000)]
            memory_time = None
            for name, kwargs in stores.items():
                if name == "sqlite":
                    kwargs = {"cache_path": pathlib.Path(tmp) / "rates.sqlite"}
                cache = DocumentCache(max_entries=2000, **kwargs)

                def cycle(cache: DocumentCache = cache) -> None:
                    for i, r in enumerate(records):
                        cache.put(f"k{i}", r)
                    for i in range(len(records)):
                        assert cache.get(f"k{i}") is not None

                elapsed = best_of(cycle, 3)
                memory_time = memory_time or elapsed
                print(
                    f"  {name}: put+get of 1000 results in {elapsed * 1000:.0f} ms, "
                    f"{1000 / elapsed:.0f} results/s"
                )
                print(f"put_get_1000_{name}: {elapsed / memory_time:.2f}")
                cache.close()
    finally:
        if redis:
            redis.stop()


if __name__ == "__main__":
    main()
