"""DocumentCache: hashing, keys, expiry on a patched clock, counters, threads."""

from __future__ import annotations

import hashlib
import subprocess
import sys
import textwrap
import threading
from types import SimpleNamespace

import pytest

import vorlex.cache as cache_mod
from vorlex.cache import DocumentCache
from vorlex.models import DocumentMetadata, ProcessingResult


class Clock:
    def __init__(self, now=1000.0):
        self.now = now

    def time(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setattr(cache_mod, "time", c)
    return c


def result(name="a.pdf"):
    return ProcessingResult(document=DocumentMetadata(filename=name), results=[])


@pytest.mark.parametrize("data", [b"", b"abc", bytes(range(256)) * 1000, b"x" * (3 << 20)])
def test_hash_document_is_sha256_hex(data):
    want = hashlib.sha256(data).hexdigest()
    assert DocumentCache.hash_document(data) == want
    assert DocumentCache.hash_document(bytearray(data)) == want
    assert DocumentCache.hash_document(memoryview(data)) == want
    assert DocumentCache().hash_document(data) == want  # also through an instance


def test_hash_document_from_many_threads():
    blobs = [bytes([i]) * (1 << 20) for i in range(8)]
    out = [None] * 8

    def work(i):
        out[i] = DocumentCache.hash_document(blobs[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert out == [hashlib.sha256(b).hexdigest() for b in blobs]


def test_build_key_changes_with_every_input():
    base = ("h" * 64, ["fp1", "fp2"], "gpt-4o-mini", False)
    key = DocumentCache.build_key(*base)
    assert key == DocumentCache.build_key(*base)
    variants = [
        ("g" * 64, ["fp1", "fp2"], "gpt-4o-mini", False),
        ("h" * 64, ["fp2", "fp1"], "gpt-4o-mini", False),  # order of questions
        ("h" * 64, ["fp1"], "gpt-4o-mini", False),
        ("h" * 64, ["fp1", "fp2"], "gpt-4o", False),
        ("h" * 64, ["fp1", "fp2"], "gpt-4o-mini", True),
        ("h" * 64, ["fp1", "fp2"], None, False),
    ]
    keys = {DocumentCache.build_key(*v) for v in variants}
    assert len(keys) == len(variants) and key not in keys


def test_build_key_fields_cannot_run_into_each_other():
    assert DocumentCache.build_key("h", ["ab", "c"], "m", False) != DocumentCache.build_key(
        "h", ["a", "bc"], "m", False
    )
    assert DocumentCache.build_key("h", ["a"], "m", False) != DocumentCache.build_key("h", [], "am", False)
    assert DocumentCache.build_key("h", [], "", False) != DocumentCache.build_key("h", [], None, False)


def test_put_get_and_stats(clock):
    c = DocumentCache(ttl_seconds=60)
    r = result()
    assert c.get("k") is None
    c.put("k", r)
    got = c.get("k")
    assert got == r and got is not r
    # what a caller does to its copy (or to the result it stored) never reaches the cache
    got.results.append("mudado")
    got.document.filename = "mudado.pdf"
    r.document.filename = "outro.pdf"
    again = c.get("k")
    assert again.document.filename == "a.pdf" and "mudado" not in again.results
    assert c.get("other") is None
    assert c.stats() == {"hits": 2, "misses": 2, "size": 1}
    c.put("k", result("b.pdf"))  # replaces
    assert c.get("k").document.filename == "b.pdf"
    c.clear()
    assert c.get("k") is None
    assert c.stats() == {"hits": 3, "misses": 3, "size": 0}


def test_entries_expire_on_the_module_clock(clock):
    c = DocumentCache(ttl_seconds=10)
    c.put("k", result())
    clock.now += 9.999
    assert c.get("k") is not None
    clock.now += 0.001  # ttl seconds after storing: expired
    assert c.get("k") is None
    clock.now -= 5  # the entry is gone, not merely hidden
    assert c.get("k") is None
    assert c.stats() == {"hits": 1, "misses": 2, "size": 0}


def test_stats_and_put_drop_expired_entries(clock):
    c = DocumentCache(ttl_seconds=5)
    c.put("old", result())
    clock.now += 3
    c.put("new", result())
    clock.now += 3
    assert c.stats()["size"] == 1
    clock.now += 10
    c.put("newest", result())
    assert set(c._entries) == {"newest"}


def test_an_entry_time_that_changes_the_entries_while_a_put_sweeps():
    """Reading a stored time may run Python that empties the entries under the sweep;
    the put goes on (in a child process: this used to bring the interpreter down)."""
    out = subprocess.run(
        [
            sys.executable,
            "-c",
            textwrap.dedent("""
        from vorlex.cache import DocumentCache

        c = DocumentCache()

        class StoredAt:
            def __float__(self):
                c._entries.clear()
                return 0.0

        # A key made at run time: the entries hold its only reference.
        c._entries["".join(["ex", "pired"])] = (StoredAt(), 1)
        c.put("z", {"answer": 3})
        print(sorted(c._entries), c.get("z"))
    """),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[0] == "['z'] {'answer': 3}"


def test_an_expired_entry_that_cannot_be_removed_fails_the_put(clock):
    """The sweep's removal error reaches the caller as itself."""

    class Key(str):
        hashed = 0

        def __hash__(self):
            Key.hashed += 1
            if Key.hashed > 1:
                raise RuntimeError("no hash today")
            return str.__hash__(self)

    c = DocumentCache(ttl_seconds=5)
    c._entries[Key("old")] = (clock.now - 10, 1)
    with pytest.raises(RuntimeError, match="no hash today"):
        c.put("new", 2)
    assert not c._lock.locked()


def test_ttl_can_be_changed_on_the_instance(clock):
    c = DocumentCache(ttl_seconds=100)
    c.put("k", result())
    clock.now += 50
    c.ttl_seconds = 10
    assert c.get("k") is None


def test_fields_are_instance_attributes():
    c = DocumentCache(ttl_seconds=7)
    assert vars(c).keys() >= {"ttl_seconds", "_entries", "_hits", "_misses", "_lock"}
    assert c.ttl_seconds == 7 and isinstance(c._lock, type(threading.Lock()))


def test_operations_hold_the_instance_lock():
    c = DocumentCache()
    events = []

    class Lock:
        def acquire(self):
            events.append("acquire")

        def release(self):
            events.append("release")

    c._lock = Lock()
    c.put("k", 1)
    c.get("k")
    c.stats()
    c.clear()
    assert events == ["acquire", "release"] * 4


def test_lock_is_released_when_the_clock_fails(monkeypatch):
    c = DocumentCache()
    monkeypatch.setattr(cache_mod, "time", SimpleNamespace(time=lambda: 1 / 0))
    with pytest.raises(ZeroDivisionError):
        c.put("k", 1)
    assert not c._lock.locked()


def test_concurrent_use_keeps_counts_exact():
    c = DocumentCache(ttl_seconds=3600)
    n_threads, n_ops = 16, 300

    def work(t):
        for i in range(n_ops):
            key = f"{t}-{i % 10}"
            if i % 3 == 0:
                c.put(key, i)
            else:
                c.get(key)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stats = c.stats()
    gets = n_threads * sum(1 for i in range(n_ops) if i % 3)
    assert stats["hits"] + stats["misses"] == gets
    assert stats["size"] == n_threads * 10


@pytest.mark.parametrize("ttl", [-1, float("nan")])
def test_bad_ttl_is_refused(ttl):
    with pytest.raises(ValueError):
        DocumentCache(ttl_seconds=ttl)
