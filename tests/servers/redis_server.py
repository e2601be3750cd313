"""A real Redis server (Debian's redis-server) on a free loopback port, for the cache
tests: nothing saved to disk, stopped (and restartable) at will.

    with RedisServer() as server:
        url = server.url            # redis://127.0.0.1:<port>/0
        server.stop(); server.start()
"""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Self

from servers.loopback import HOST, free_port


def available() -> bool:
    return shutil.which("redis-server") is not None


class RedisServer:
    def __init__(self) -> None:
        # The port is kept across stop() and start(): a restarted server is the same one.
        self.port = free_port()
        self._proc: subprocess.Popen[bytes] | None = None
        self._dir = tempfile.mkdtemp(prefix="vorlex-redis-")

    @property
    def url(self) -> str:
        return f"redis://{HOST}:{self.port}/0"

    def start(self) -> Self:
        self._proc = subprocess.Popen(
            [
                "redis-server",
                "--port",
                str(self.port),
                "--bind",
                HOST,
                "--save",
                "",
                "--appendonly",
                "no",
                "--dir",
                self._dir,
                "--protected-mode",
                "yes",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            # A preloaded library (a sanitizer runtime checking this interpreter's
            # modules) is not the server's business.
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        )
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with socket.create_connection((HOST, self.port), timeout=0.2) as s:
                    s.sendall(b"PING\r\n")
                    if s.recv(16).startswith(b"+PONG"):
                        return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("redis-server did not start")

    def stop(self) -> None:
        if self._proc is not None:
            self._proc.terminate()
            self._proc.wait(10)
            self._proc = None

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
        shutil.rmtree(self._dir, ignore_errors=True)
