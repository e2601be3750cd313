"""What a user waits for: a document's questions side by side, and building a reader.

process_5q_side_by_side_vs_one_wait   process() of one text document with 5 questions,
                                      question_concurrency=5, the local chat server
                                      answering each after 0.2 s: measured time / one
                                      wait of 0.2 s through the bare client. Lower is
                                      better; at most 1.25 (one after another it is ~5).
process_5q_one_at_a_time_vs_one_wait  the same with question_concurrency=1, for scale.
reader_build_first_ms                 building the first reader of this process (its
                                      client's TLS setup included), in milliseconds.
reader_build_second_ms                building another reader of the same process, in
                                      milliseconds (the TLS setup is shared): at most 5.
"""

import os
import pathlib
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from _common import text_pdf  # noqa: E402
from servers.chat import ChatServer  # noqa: E402

DELAY = 0.2


def bench_reader_build():
    # In a fresh interpreter the first reader pays for the TLS setup; here the package may
    # already have built one, so the first figure is taken after forgetting it.
    import vorlex.reader as reader_module
    from vorlex import Vorlex

    reader_module._tls_context = None
    t0 = time.perf_counter()
    Vorlex(openai_api_key="sk-bench")
    first = time.perf_counter() - t0
    seconds = []
    for _ in range(5):
        t0 = time.perf_counter()
        Vorlex(openai_api_key="sk-bench")
        seconds.append(time.perf_counter() - t0)
    print(f"reader_build_first_ms: {first * 1e3:.1f}", flush=True)
    print(f"reader_build_second_ms: {statistics.median(seconds) * 1e3:.1f}", flush=True)


def bench_side_by_side():
    import openai

    from vorlex import Vorlex

    data = text_pdf(3)
    with ChatServer(delay=DELAY) as chat:
        chat.keep_requests = False
        client = openai.OpenAI(api_key="sk-bench", base_url=chat.base_url, max_retries=0)

        def one_wait():
            t0 = time.perf_counter()
            client.chat.completions.create(model="gpt-4o-mini", messages=[{"role": "user", "content": "oi"}])
            return time.perf_counter() - t0

        def process(width):
            reader = Vorlex(base_url=chat.base_url, model="gpt-4o-mini", question_concurrency=width)
            for i in range(5):
                reader.add_question(Vorlex.create_question(f"q{i}", f"Q{i}", f"Pergunta {i}: {{texto}}"))
            reader.process(data)  # warm
            t0 = time.perf_counter()
            result = reader.process(data)
            elapsed = time.perf_counter() - t0
            assert [r.status for r in result.results] == ["OK"] * 5
            return elapsed

        one_wait()
        floor = min(one_wait() for _ in range(3))
        side = min(process(5) for _ in range(3))
        serial = process(1)
    print(
        f"  one wait {floor * 1e3:.0f} ms; 5 questions side by side {side * 1e3:.0f} ms, "
        f"one at a time {serial * 1e3:.0f} ms"
    )
    print(f"process_5q_side_by_side_vs_one_wait: {side / floor:.3f}", flush=True)
    print(f"process_5q_one_at_a_time_vs_one_wait: {serial / floor:.3f}", flush=True)


def main():
    saved = {
        k: os.environ.pop(k, None)
        for k in ("OPENAI_BASE_URL", "VORLEX_BASE_URL", "VORLEX_MODEL", "VORLEX_CACHE_PATH")
    }
    try:
        bench_reader_build()
        bench_side_by_side()
    finally:
        for k, v in saved.items():
            if v is not None:
                os.environ[k] = v


if __name__ == "__main__":
    main()
