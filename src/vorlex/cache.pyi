"""The reader's result cache, keyed by document content and settings."""

import os
import sqlite3
import threading
from typing import Any, Dict, Optional, Sequence, Tuple, Union

from vorlex.models import ProcessingResult

# Seconds a Redis store that failed is left alone before it is tried again.
REDIS_RETRY_SECONDS: int

class DocumentCache:
    """Results by document content, question settings, model and classify flag.

    An entry expires ttl_seconds after it is stored (the clock is vorlex.cache.time);
    expired entries are never returned. At most max_entries results are kept: storing
    one more drops the least recently used. Thread-safe."""

    ttl_seconds: Union[int, float]
    max_entries: int
    _entries: Dict[str, Tuple[float, ProcessingResult]]
    _hits: int
    _misses: int
    _lock: threading.Lock

    cache_path: Optional[Union[str, "os.PathLike[str]"]]
    cache_url: Optional[str]
    cache_prefix: str
    _backend: str
    # The stores' connections, opened on first use (None until then), and whether a
    # store's failure was already logged (one warning per cache).
    _sqlite: Optional[sqlite3.Connection]
    _redis: Any
    _warned: bool

    def __init__(
        self,
        ttl_seconds: Union[int, float] = 3600,
        *,
        max_entries: int = 1000,
        cache_path: Optional[Union[str, "os.PathLike[str]"]] = None,
        cache_url: Optional[str] = None,
        cache_prefix: str = "vorlex:",
    ) -> None: ...
    @staticmethod
    def hash_document(data: Union[bytes, bytearray, memoryview]) -> str: ...
    @staticmethod
    def build_key(
        document_hash: str,
        fingerprints: Sequence[str],
        model: Optional[str],
        classify: Any,
        *,
        endpoint: Optional[str] = None,
    ) -> str: ...
    def get(self, key: str) -> Optional[ProcessingResult]: ...
    def put(self, key: str, result: ProcessingResult) -> None: ...
    def clear(self) -> None: ...
    def stats(self) -> Dict[str, int]: ...
    def close(self) -> None: ...
