"""The life of every fake service here: an HTTP server on 127.0.0.1 at a port the system
picks, served on a daemon thread, stopped at the end of the test.

    class FakeThing(LoopbackServer):
        def _respond(self, handler, method):   # one request; `handler` is the
            ...                                 # BaseHTTPRequestHandler serving it

    with FakeThing() as server:                 # or server = FakeThing().start(); ...; server.stop()
        requests.get(server.origin + "/path")

A service answers in its `_respond` (`send` writes a whole answer with its length);
the class attributes below say how it speaks
(HTTP/1.1 keep-alive or HTTP/1.0, Nagle off, how soon it notices a stop, whether a
client that went away is reported). Subclasses may be dataclasses: the server's own
state lives in attributes set by start(), never in __init__.

`free_port()` gives a loopback port nobody listens on, for services that are not HTTP
servers of this process (redis_server.py) or for a connection meant to be refused.
"""

from __future__ import annotations

import socket
import ssl
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HOST = "127.0.0.1"


def free_port() -> int:
    """A loopback port that was free a moment ago."""
    with socket.socket() as s:
        s.bind((HOST, 0))
        return int(s.getsockname()[1])


class LoopbackServer:
    """Base of the fake services: start(), stop(), a with block, and their address."""

    # How the service speaks; a subclass sets what its real counterpart does.
    methods: tuple[str, ...] = ("GET", "POST")  # others get http.server's own 501
    protocol_version = "HTTP/1.1"  # keep-alive; "HTTP/1.0" closes after each answer
    disable_nagle_algorithm = False  # True: headers and body go out at once
    poll_interval = 0.5  # seconds serve_forever waits between checks for stop()
    daemon_threads = True  # False: stop() waits for the requests being answered
    report_errors = True  # False: a client that gave up mid-answer is not printed

    _httpd: ThreadingHTTPServer | None = None
    _thread: threading.Thread | None = None
    _address: tuple[str, int] | None = None
    _tls = False

    # -- the service -----------------------------------------------------------------

    def _respond(self, handler: BaseHTTPRequestHandler, method: str) -> None:
        """Answers one request (`method` is one of `methods`) through `handler`."""
        raise NotImplementedError

    # -- life ------------------------------------------------------------------------

    def start(self, tls: tuple[str, str] | None = None):
        """Serves on a free loopback port; `tls` (certificate file, key file) for HTTPS."""
        service = self

        def answer(method):
            return lambda handler: service._respond(handler, method)

        handler = type(
            "Handler",
            (BaseHTTPRequestHandler,),
            {
                "protocol_version": self.protocol_version,
                "disable_nagle_algorithm": self.disable_nagle_algorithm,
                "log_message": lambda handler, *args: None,  # keep test output clean
                **{f"do_{method}": answer(method) for method in self.methods},
            },
        )

        class Server(ThreadingHTTPServer):
            daemon_threads = service.daemon_threads

            def handle_error(self, request, client_address):
                if service.report_errors:
                    super().handle_error(request, client_address)

        self.stopping = threading.Event()
        self._httpd = Server((HOST, 0), handler)
        if tls is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self._httpd.socket = context.wrap_socket(self._httpd.socket, server_side=True)
        self._tls = tls is not None
        self._address = self._httpd.server_address[:2]
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, args=(self.poll_interval,), daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stops serving and closes the socket; answers waiting in `pause` end at once."""
        stopping = getattr(self, "stopping", None)
        if stopping is not None:
            stopping.set()
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None
        if self._thread is not None:
            self._thread.join(5)
            self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @staticmethod
    def send(
        handler: BaseHTTPRequestHandler,
        status: int,
        data: bytes,
        content_type: str = "application/json",
        headers: dict[str, str] | None = None,
    ) -> None:
        """One answer: status, Content-Type, Content-Length, `headers`, then `data`."""
        handler.send_response(status)
        handler.send_header("Content-Type", content_type)
        handler.send_header("Content-Length", str(len(data)))
        for name, value in (headers or {}).items():
            handler.send_header(name, value)
        handler.end_headers()
        handler.wfile.write(data)

    def pause(self, seconds: float) -> bool:
        """Waits `seconds` before an answer; True when the server stopped meanwhile."""
        return self.stopping.wait(seconds)

    # -- address -----------------------------------------------------------------------

    @property
    def port(self) -> int:
        assert self._address is not None, "server not started"
        return self._address[1]

    @property
    def origin(self) -> str:
        """scheme://127.0.0.1:port"""
        return f"{'https' if self._tls else 'http'}://{HOST}:{self.port}"
