"""The persistent stores of DocumentCache against a real SQLite file and a real Redis
server: records come back equal, across processes; expiry; the entry limit; threads
and processes writing at once; and the faults that must leave a run going (a corrupt
or unusable file, Redis stopped mid-run, entries of another version)."""

from __future__ import annotations

import json
import logging
import os
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vorlex.cache as cache_mod
from servers import redis_server
from vorlex.cache import DocumentCache
from vorlex.models import DocumentMetadata, ProcessingMetrics, ProcessingResult, Result


class Clock:
    def __init__(self, now=1000.0):
        self.now = now

    def time(self):
        return self.now


def record(name="a.pdf", tokens=7):
    return ProcessingResult(
        document=DocumentMetadata(filename=name, num_pages=3, size_kb=12.5, ocr_method="ocr"),
        results=[
            Result(
                question_id="v",
                question_name="Valor",
                answer={"valor": "R$ 10,00"},
                raw_result={"valor": "R$ 10,00"},
                status="OK",
                pages_used=2,
                pages_total=3,
                metrics=ProcessingMetrics(tokens=tokens, cost_usd=0.001, model="m"),
            ),
            Result(question_id="n", answer=["á", 1, None], status="NO_DATA"),
        ],
        classification={"tipo": "contrato"},
        total_metrics=ProcessingMetrics(tokens=tokens, cost_usd=0.001, time_seconds=1.5),
    )


@pytest.fixture(params=["sqlite", "redis"])
def store(request, tmp_path):
    """A factory of caches on one store: the same file, or the same server and prefix."""
    if request.param == "sqlite":
        path = tmp_path / "cache" / "results.sqlite"
        yield "sqlite", lambda **kw: DocumentCache(cache_path=path, **kw), {"cache_path": str(path)}
    else:
        server = request.getfixturevalue("redis")
        prefix = f"t{time.monotonic_ns()}:"
        yield (
            "redis",
            lambda **kw: DocumentCache(cache_url=server.url, cache_prefix=prefix, **kw),
            {"cache_url": server.url, "cache_prefix": prefix},
        )


def test_a_stored_record_comes_back_equal_and_is_counted(store):
    kind, make, _ = store
    cache = make()
    assert cache._backend == kind
    assert cache.get("k") is None
    cache.put("k", record())
    got = cache.get("k")
    assert got == record() and type(got) is ProcessingResult
    assert cache.stats() == {"hits": 1, "misses": 1, "size": 1}
    cache.put("k", record(tokens=9))  # stored again: replaced
    assert cache.get("k").total_metrics.tokens == 9
    cache.clear()
    assert cache.get("k") is None and cache.stats()["size"] == 0


def test_a_record_stored_by_one_process_is_a_hit_in_another(store):
    _kind, make, kwargs = store
    make().put("shared", record("outro.pdf"))
    code = textwrap.dedent("""
        import json, sys
        from vorlex.cache import DocumentCache
        cache = DocumentCache(**json.loads(sys.argv[1]))
        print(cache.get("shared").model_dump_json())
        cache.put("back", cache.get("shared"))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, "-c", code, json.dumps(kwargs)], capture_output=True, text=True, env=env, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert ProcessingResult.model_validate_json(run.stdout) == record("outro.pdf")
    assert make().get("back") == record("outro.pdf")


def test_entries_expire(store, monkeypatch):
    kind, make, _ = store
    if kind == "sqlite":
        clock = Clock()
        monkeypatch.setattr(cache_mod, "time", clock)
        cache = make(ttl_seconds=60)
        cache.put("k", record())
        clock.now += 59.9
        assert cache.get("k") is not None
        clock.now += 0.1
        assert cache.get("k") is None
    else:
        cache = make(ttl_seconds=0.3)  # Redis keeps the time itself
        cache.put("k", record())
        assert cache.get("k") is not None
        time.sleep(0.5)
        assert cache.get("k") is None
    assert cache.stats()["size"] == 0


def test_the_least_recently_used_entries_go_beyond_the_limit(store, monkeypatch):
    _kind, make, _ = store
    clock = Clock()
    monkeypatch.setattr(cache_mod, "time", clock)
    cache = make(max_entries=3)
    for key in "abc":
        clock.now += 1
        cache.put(key, record(key))
    clock.now += 1
    assert cache.get("a") is not None  # a is now the newest
    for key in "de":
        clock.now += 1
        cache.put(key, record(key))
    assert cache.stats()["size"] == 3
    assert [k for k in "abcde" if cache.get(k) is not None] == ["a", "d", "e"]


def test_threads_and_processes_writing_at_once_leave_every_entry_whole(store):
    _kind, make, kwargs = store
    cache = make(max_entries=10_000)
    errors = []

    def work(n):
        try:
            for i in range(40):
                cache.put(f"t{n}-{i % 10}", record(f"t{n}-{i}.pdf", tokens=i))
                got = cache.get(f"t{n}-{(i * 7) % 10}")
                assert got is None or got.document.filename.startswith(f"t{n}-")
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    code = textwrap.dedent("""
        import json, sys
        from vorlex.cache import DocumentCache
        from vorlex.models import DocumentMetadata, ProcessingResult
        cache = DocumentCache(max_entries=10_000, **json.loads(sys.argv[1]))
        for i in range(100):
            cache.put(f"p{sys.argv[2]}-{i % 20}",
                      ProcessingResult(document=DocumentMetadata(filename="x" * (i * 50))))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", code, json.dumps(kwargs), str(n)], env=env, stderr=subprocess.PIPE
        )
        for n in range(2)
    ]
    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for p in procs:
        assert p.wait(120) == 0, p.stderr.read().decode()
    assert not errors, errors
    fresh = make(max_entries=10_000)
    for n in range(8):
        for k in range(10):
            assert fresh.get(f"t{n}-{k}").document.filename.startswith(f"t{n}-")
    for n in range(2):
        for k in range(20):
            name = fresh.get(f"p{n}-{k}").document.filename
            assert set(name) <= {"x"} and len(name) % 50 == 0
    assert fresh.stats()["size"] == 8 * 10 + 2 * 20


def test_entries_of_another_version_are_misses_and_removed(store):
    kind, make, kwargs = store
    cache = make()
    cache.put("old", record())
    if kind == "sqlite":
        with sqlite3.connect(kwargs["cache_path"]) as conn:
            conn.execute(
                "UPDATE vorlex_cache SET result = ? WHERE key = 'old'", ('{"documento": "formato antigo"}',)
            )
    else:
        import redis as redis_lib

        redis_lib.Redis.from_url(kwargs["cache_url"]).set(kwargs["cache_prefix"] + "old", b"\x00lixo")
    assert cache.get("old") is None
    assert cache.stats() == {"hits": 0, "misses": 1, "size": 0}


def test_redis_stopped_mid_run_degrades_to_misses_with_one_warning(caplog, tmp_path):
    if not redis_server.available():
        pytest.skip("redis-server is not installed")
    pytest.importorskip("redis")
    caplog.set_level(logging.WARNING, logger="vorlex.cache")
    server = redis_server.RedisServer().start()
    try:
        cache = DocumentCache(cache_url=server.url)
        cache.put("k", record())
        assert cache.get("k") == record()
        server.stop()
        assert cache.get("k") is None
        cache.put("k2", record())  # nothing raised, nothing stored
        assert cache.get("k2") is None
        assert cache.stats() == {"hits": 1, "misses": 2, "size": 0}
    finally:
        server.stop()
    warnings = [r for r in caplog.records if r.name == "vorlex.cache"]
    assert len(warnings) == 1
    assert warnings[0].getMessage().startswith("Cache redis indisponível, seguindo sem cache: ")


@pytest.mark.parametrize("fault", ["corrupt file", "a folder", "unreachable redis"])
def test_an_unusable_store_is_a_warning_and_misses(fault, tmp_path, caplog):
    caplog.set_level(logging.WARNING, logger="vorlex.cache")
    if fault == "corrupt file":
        path = tmp_path / "results.sqlite"
        path.write_bytes(b"isto nao e um banco sqlite" * 100)
        cache = DocumentCache(cache_path=path)
    elif fault == "a folder":
        cache = DocumentCache(cache_path=tmp_path)
    else:
        pytest.importorskip("redis")
        cache = DocumentCache(cache_url="redis://127.0.0.1:9/0")
    cache.put("k", record())
    assert cache.get("k") is None
    assert cache.stats()["size"] == 0
    cache.clear()
    assert len([r for r in caplog.records if r.name == "vorlex.cache"]) == 1


def test_store_arguments():
    with pytest.raises(ValueError, match="not both"):
        DocumentCache(cache_path="a.sqlite", cache_url="redis://127.0.0.1/0")
    with pytest.raises(ValueError, match="redis://"):
        DocumentCache(cache_url="http://127.0.0.1/")
    with pytest.raises(TypeError, match="cache_path"):
        DocumentCache(cache_path=3)
    assert DocumentCache()._backend == "memory"


def test_the_reader_keeps_its_results_in_the_named_store(make_reader, chat_server, tmp_path, monkeypatch):
    from components.docgen import text_page_pdf
    from vorlex.reader import Vorlex

    pdf = text_page_pdf(["Contrato com texto bastante para a pergunta do leitor."])
    path = tmp_path / "c.sqlite"
    for _ in range(2):
        reader = make_reader(cache_path=path)
        reader.add_question(Vorlex.create_question("q", "Q", "Pergunta {texto}"))
        assert reader.process(pdf).results[0].status == "OK"
    assert len(chat_server.requests) == 1
    assert reader.cache_stats() == {"hits": 1, "misses": 0, "size": 1}
    # Named in the environment, for readers built by other code.
    monkeypatch.setenv("VORLEX_CACHE_PATH", str(path))
    assert Vorlex(openai_api_key="sk")._cache.cache_path == str(path)


# -- rows and keys that are not what this version writes --------------------------------


@pytest.mark.parametrize(
    "expires_at, result",
    [("amanhã", None), (None, None), (b"\x00\x01", None), (4102444800.0, b"{}"), (4102444800.0, 7)],
)
def test_a_bad_sqlite_row_is_a_miss_one_warning_and_removed(expires_at, result, tmp_path, caplog):
    """The file is shared: another program may have written a row of other kinds (a table
    made without constraints). process_batch must go on: a miss, one warning, row gone."""
    path = tmp_path / "results.sqlite"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE vorlex_cache (key TEXT PRIMARY KEY, result, expires_at, size, used_at)")
    cache = DocumentCache(cache_path=path)
    cache.put("k", record())
    cache.put("vizinho", record("b.pdf"))
    with sqlite3.connect(path) as conn:
        conn.execute("UPDATE vorlex_cache SET expires_at = ? WHERE key = 'k'", (expires_at,))
        if result is not None:
            conn.execute("UPDATE vorlex_cache SET result = ? WHERE key = 'k'", (result,))
    caplog.set_level(logging.WARNING, logger="vorlex.cache")
    assert cache.get("k") is None
    assert cache.get("k") is None  # removed: the second read is a plain miss
    assert cache.get("vizinho") == record("b.pdf")
    warnings = [r.getMessage() for r in caplog.records if r.name == "vorlex.cache"]
    assert len(warnings) == 1 and "k" in warnings[0], warnings
    with sqlite3.connect(path) as conn:
        assert [k for (k,) in conn.execute("SELECT key FROM vorlex_cache")] == ["vizinho"]


def test_a_bad_sqlite_row_does_not_stop_a_batch(make_reader, chat_server, tmp_path, caplog):
    from components.docgen import text_page_pdf
    from vorlex.reader import Vorlex

    path = tmp_path / "c.sqlite"
    pdf = text_page_pdf(["Contrato com texto bastante para a pergunta do leitor."])
    reader = make_reader(cache_path=path)
    reader.add_question(Vorlex.create_question("q", "Q", "Pergunta {texto}"))
    assert reader.process(pdf).results[0].status == "OK"
    with sqlite3.connect(path) as conn:
        conn.execute("UPDATE vorlex_cache SET expires_at = 'texto'")
    results = reader.process_batch([pdf, pdf])
    assert [r.results[0].status for r in results] == ["OK", "OK"]


@pytest.fixture
def redis_client(redis):
    import redis as redis_lib

    client = redis_lib.Redis.from_url(redis.url)
    client.flushdb()
    yield client
    client.flushdb()


def test_redis_prefixes_never_reach_each_others_keys(redis, redis_client):
    outer = DocumentCache(cache_url=redis.url, cache_prefix="vorlex:")
    inner = DocumentCache(cache_url=redis.url, cache_prefix="vorlex:tenantB:")
    glob = DocumentCache(cache_url=redis.url, cache_prefix="[vu]")
    redis_client.set("v", b"alheio")
    outer.put("a", record("a.pdf"))
    inner.put("b", record("b.pdf"))
    inner.put("c", record("c.pdf"))
    glob.put("d", record("d.pdf"))
    assert (outer.stats()["size"], inner.stats()["size"], glob.stats()["size"]) == (1, 2, 1)
    outer.clear()
    assert outer.get("a") is None and inner.get("b") == record("b.pdf")
    glob.clear()
    assert redis_client.get("v") == b"alheio" and inner.get("c") == record("c.pdf")
    assert inner.stats()["size"] == 2


def test_no_redis_key_takes_the_place_of_the_index(redis, redis_client):
    cache = DocumentCache(cache_url=redis.url, cache_prefix="p:", max_entries=2)
    for key in (":lru", "lru", "x"):
        cache.put(key, record(key))
    cache.put("y", record("y"))  # still works: the index was not overwritten
    assert cache.get("y") == record("y") and cache.stats()["size"] == 2
    with pytest.raises(ValueError, match="key"):
        cache.put("", record())


def test_an_empty_redis_prefix_is_refused(redis):
    with pytest.raises(ValueError, match="cache_prefix"):
        DocumentCache(cache_url=redis.url, cache_prefix="")


@pytest.mark.parametrize("ttl", [float("inf"), 1e16, 1e300])
def test_a_redis_lifetime_beyond_its_clock_stores_without_expiry(ttl, redis, redis_client):
    cache = DocumentCache(ttl, cache_url=redis.url, cache_prefix="ttl:")
    cache.put("k", record())
    time.sleep(0.05)
    assert cache.get("k") == record()
    assert redis_client.pttl("ttl:k") == -1  # kept, no lifetime


def test_redis_evicts_expired_entries_before_live_ones(redis, redis_client):
    """An entry read (so marked recently used) and then expired is not worth a live one."""
    cache = DocumentCache(cache_url=redis.url, cache_prefix="lru:", max_entries=2)
    cache.put("velho", record("velho"))
    cache.put("vivo", record("vivo"))
    assert cache.get("velho") is not None  # now the most recent in the index
    redis_client.delete("lru:velho")  # as if its lifetime ran out
    cache.put("novo", record("novo"))
    assert cache.get("vivo") == record("vivo") and cache.get("novo") == record("novo")
    assert cache.stats()["size"] == 2


def test_a_redis_that_does_not_answer_is_left_alone_for_a_while(monkeypatch, caplog):
    """A server that accepts connections and never answers costs the 1 s timeout once,
    not on every operation; after REDIS_RETRY_SECONDS it is tried again. One warning."""
    import socket

    pytest.importorskip("redis")
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(16)  # connections complete in the backlog; nothing is ever read
    clock = Clock()
    monkeypatch.setattr(cache_mod, "time", clock)
    caplog.set_level(logging.WARNING, logger="vorlex.cache")
    try:
        cache = DocumentCache(cache_url=f"redis://127.0.0.1:{silent.getsockname()[1]}/0")
        start = time.monotonic()
        assert cache.get("k") is None
        first = time.monotonic() - start
        start = time.monotonic()
        for _ in range(5):
            cache.put("k", record())
            assert cache.get("k") is None
        assert cache.stats()["size"] == 0
        cache.clear()
        rest = time.monotonic() - start
        clock.now += cache_mod.REDIS_RETRY_SECONDS + 1
        start = time.monotonic()
        assert cache.get("k") is None
        again = time.monotonic() - start
    finally:
        silent.close()
    assert first >= 0.9 and again >= 0.9  # tried: the timeout
    assert rest < 0.5, rest  # skipped
    assert len([r for r in caplog.records if r.name == "vorlex.cache"]) == 1
