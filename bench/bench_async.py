"""Benchmarks of the asynchronous pipeline.

batch_async_40x3_c5   `process_batch_async` of 40 generated 5-page PDFs x 3 questions,
                      max_concurrency 5, against the local chat server answering after
                      50 ms, with the real async client, against the ideal time
                      40 x 3 x 50 ms / 5; the same batch through `process_batch` on 5
                      workers is printed beside it
async_objects_10k     10,000 `extract_from_text_async` calls after a warm-up: the
                      interpreter's object count after them against before (1.00 is flat);
                      the resident memory growth is printed beside it
"""

from __future__ import annotations

import asyncio
import gc
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _common import RemoteChat, best_of, reader_for, rss_kb, tagged_pdf  # noqa: E402


def _reader(server):
    return reader_for(server.base_url, async_client=True, questions=("objeto", "valor", "foro"))


def bench_batch() -> None:
    docs = [tagged_pdf(5, f"D{i}") for i in range(40)]
    with RemoteChat(delay=0.05) as server:
        reader = _reader(server)

        async def run_batches(times):
            out = []
            best = float("inf")
            loop = asyncio.get_running_loop()
            await reader.process_batch_async(docs[:5], max_concurrency=5)  # warm up
            for _ in range(times):
                t0 = loop.time()
                out.append(await reader.process_batch_async(docs, max_concurrency=5))
                best = min(best, loop.time() - t0)
            await reader._async_openai_client.close()  # its connections end with this loop
            return best, out

        elapsed, results = asyncio.run(run_batches(3))
        assert all(r.status == "OK" for batch in results for d in batch for r in d.results)
        reader.process_batch(docs[:5], max_workers=5)
        threaded = best_of(lambda: reader.process_batch(docs, max_workers=5), 3)
    ideal = 40 * 3 * 0.05 / 5
    print(
        f"  async batch 40 docs x 3 questions, max_concurrency 5: {elapsed:.3f} s; "
        f"process_batch on 5 workers: {threaded:.3f} s (ratio {threaded / ideal:.2f}); "
        f"ideal {ideal:.3f} s"
    )
    print(f"batch_async_40x3_c5: {elapsed / ideal:.2f}")


def bench_objects() -> None:
    from vorlex.reader import Vorlex

    with RemoteChat(delay=0.0) as server:
        reader = _reader(server)
        question = Vorlex.create_question("q", "q", "Leia: {texto}")

        async def calls(n, width=4):
            for _ in range(n // width):
                got = await asyncio.gather(
                    *[reader.extract_from_text_async("um texto curto", question) for _ in range(width)]
                )
                assert all(r.status == "OK" for r in got)

        async def main():
            await calls(2000)  # warm-up: client pools, caches, free lists
            gc.collect()
            before, rss_before = len(gc.get_objects()), rss_kb()
            await calls(10000)
            gc.collect()
            after, rss_after = len(gc.get_objects()), rss_kb()
            await reader._async_openai_client.close()
            return before, after, rss_before, rss_after

        before, after, rss_before, rss_after = asyncio.run(main())
    print(
        f"  10,000 extract_from_text_async: objects {before} -> {after}, RSS {rss_before} -> {rss_after} kB"
    )
    print(f"async_objects_10k: {after / before:.3f}")


def main() -> None:
    bench_batch()
    bench_objects()


if __name__ == "__main__":
    sys.path.insert(0, str(HERE.parent / "src"))
    main()
