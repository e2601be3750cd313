"""A local web server that hands out documents, for the reader's URL downloads.

Routes are scripted per path with :meth:`FileServer.serve` (a body, a status, extra
headers), :meth:`redirect` (a Location answer) or :meth:`stream` (a body of a given
size sent in chunks, without a length unless asked for). It speaks TLS when started with
a certificate (:func:`self_signed` makes one for a host name). Every request path and
Host header is recorded, and for streamed bodies the server counts how many bytes it managed to send
before the client went away, so tests can tell that a download was abandoned early.
"""

from __future__ import annotations

import datetime
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler

from servers.loopback import LoopbackServer


@dataclass
class Route:
    body: bytes = b""
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    stream_size: int | None = None  # send this many bytes in chunks instead of `body`
    declare_length: bool = False  # with stream_size: send Content-Length
    drip_interval: float | None = None  # send the body one byte at a time, this far apart
    drip_headers: bool = False  # with drip_interval: the status line and headers as well


@dataclass
class FileServer(LoopbackServer):
    methods = ("GET",)

    routes: dict[str, Route] = field(default_factory=dict)
    paths: list[str] = field(default_factory=list)
    hosts: list[str] = field(default_factory=list)
    streamed: dict[str, int] = field(default_factory=dict)
    _lock: threading.Lock = field(default_factory=threading.Lock)
    _done: threading.Event = field(default_factory=threading.Event)

    # -- scripting ---------------------------------------------------------------------
    def serve(self, path: str, body: bytes, status: int = 200, **headers: str) -> str:
        self.routes[path] = Route(body=body, status=status, headers=dict(headers))
        return self.url(path)

    def redirect(self, path: str, location: str, status: int = 302) -> str:
        self.routes[path] = Route(status=status, headers={"Location": location})
        return self.url(path)

    def drip(self, path: str, body: bytes, interval: float, headers: bool = False) -> str:
        """Serves `body` (with its length) one byte every `interval` seconds; with
        `headers`, the status line and headers too."""
        self.routes[path] = Route(body=body, drip_interval=interval, drip_headers=headers)
        return self.url(path)

    def stream(self, path: str, size: int, declare_length: bool = False) -> str:
        self.routes[path] = Route(stream_size=size, declare_length=declare_length)
        return self.url(path)

    # -- addresses ---------------------------------------------------------------------
    @property
    def base(self) -> str:
        return self.origin

    def url(self, path: str) -> str:
        return self.origin + path

    def wait_stream_end(self, timeout: float = 10.0) -> None:
        """Waits until a streamed answer has ended (finished or abandoned)."""
        self._done.wait(timeout)

    # -- life --------------------------------------------------------------------------
    def start(self, cert: tuple[str, str] | None = None) -> FileServer:
        """Serves on a free loopback port; `cert` (certificate file, key file) for TLS."""
        return super().start(tls=cert)

    def _respond(self, h: BaseHTTPRequestHandler, method: str) -> None:
        path = h.path.split("?", 1)[0]
        with self._lock:
            self.paths.append(path)
            self.hosts.append(h.headers.get("Host", ""))
        route = self.routes.get(path)
        if route is None:
            route = Route(body=b"not found", status=404)
        if route.stream_size is not None:
            self._stream(h, path, route)
            return
        if route.drip_interval is not None:
            self._drip(h, route)
            return
        h.send_response(route.status)
        for name, value in route.headers.items():
            h.send_header(name, value)
        h.send_header("Content-Length", str(len(route.body)))
        h.send_header("Connection", "close")
        h.end_headers()
        h.wfile.write(route.body)

    def _drip(self, h: BaseHTTPRequestHandler, route: Route) -> None:
        import time

        try:
            data = route.body
            if route.drip_headers:
                head = (
                    f"HTTP/1.1 200 OK\r\nContent-Length: {len(route.body)}\r\nConnection: close\r\n\r\n"
                ).encode()
                data = head + route.body
                h.close_connection = True
            else:
                h.send_response(200)
                h.send_header("Content-Length", str(len(route.body)))
                h.send_header("Connection", "close")
                h.end_headers()
                h.wfile.flush()
            for i in range(len(data)):
                time.sleep(route.drip_interval)
                h.wfile.write(data[i : i + 1])
                h.wfile.flush()
        except OSError:
            pass  # the client gave up

    def _stream(self, h: BaseHTTPRequestHandler, path: str, route: Route) -> None:
        size = route.stream_size or 0
        chunk = b"%PDF" + b"\0" * (64 * 1024 - 4)
        sent = 0
        self._done.clear()
        try:
            h.send_response(200)
            h.send_header("Content-Type", "application/pdf")
            if route.declare_length:
                h.send_header("Content-Length", str(size))
            h.send_header("Connection", "close")
            h.end_headers()
            while sent < size:
                part = chunk[: min(len(chunk), size - sent)]
                h.wfile.write(part)
                h.wfile.flush()
                sent += len(part)
        except OSError:
            pass  # the client stopped reading
        finally:
            with self._lock:
                self.streamed[path] = sent
            self._done.set()


def self_signed(host: str, folder) -> tuple[str, str]:
    """A certificate for `host` signed by itself, and its key, written into `folder`:
    (certificate file, key file). The certificate file doubles as the trusted bundle."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, host)])
    now = datetime.datetime.now(datetime.UTC)
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName([x509.DNSName(host)]), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(key, hashes.SHA256())
    )
    cert_file = f"{folder}/{host}.crt"
    key_file = f"{folder}/{host}.key"
    with open(cert_file, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(key_file, "wb") as f:
        f.write(
            key.private_bytes(
                serialization.Encoding.PEM,
                serialization.PrivateFormat.TraditionalOpenSSL,
                serialization.NoEncryption(),
            )
        )
    return cert_file, key_file
