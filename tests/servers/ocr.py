"""A local stand-in for Azure AI Vision Image Analysis (the Read feature).

It speaks the service's REST form, so the real ``ImageAnalysisClient`` talks to it:

    POST {endpoint}/computervision/imageanalysis:analyze?api-version=...&features=read
    Ocp-Apim-Subscription-Key: <key>
    Content-Type: application/octet-stream
    <image bytes>

and answers with the Read JSON (``readResult.blocks[].lines[].text``) or the
service's error JSON. Tests script the answers in request order with :meth:`reply`;
with nothing scripted it answers the :attr:`default_lines`. Every request is recorded
(query, headers, body and the decoded image size), so tests can see exactly what the
client sent.
"""

from __future__ import annotations

import io
import json
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler
from urllib.parse import parse_qs, urlsplit

from PIL import Image

from servers.loopback import LoopbackServer

ANALYZE_PATH = "/computervision/imageanalysis:analyze"


@dataclass
class Reply:
    """One scripted answer: a Read result with `lines` (a list of blocks, each a list
    of line texts), or an error `status`; `delay` seconds before answering."""

    blocks: list[list[str]] | None = None
    status: int = 200
    delay: float = 0.0
    read_result: bool = True
    retry_after: str | None = None


@dataclass
class Request:
    path: str
    query: dict[str, list[str]]
    headers: dict[str, str]
    body: bytes
    image_size: tuple[int, int] | None = None
    image_format: str | None = None


@dataclass
class FakeOcrService(LoopbackServer):
    methods = ("POST",)
    poll_interval = 0.05

    key: str = "test-vision-key"
    default_lines: list[str] = field(default_factory=lambda: ["texto lido"])
    requests: list[Request] = field(default_factory=list)
    _script: list[Reply] = field(default_factory=list)
    _lock: threading.Lock = field(default_factory=threading.Lock)

    # -- control -------------------------------------------------------------------

    def reply(self, *replies: Reply) -> None:
        with self._lock:
            self._script.extend(replies)

    def lines(self, *texts: str) -> None:
        """Script one answer of a single block with these lines."""
        self.reply(Reply(blocks=[list(texts)]))

    def fail(self, *statuses: int) -> None:
        self.reply(*(Reply(status=s) for s in statuses))

    @property
    def endpoint(self) -> str:
        return self.origin

    # -- the service ---------------------------------------------------------------

    def _next(self) -> Reply:
        with self._lock:
            if self._script:
                return self._script.pop(0)
        return Reply(blocks=[list(self.default_lines)])

    def _respond(self, h: BaseHTTPRequestHandler, method: str) -> None:
        length = int(h.headers.get("Content-Length") or 0)
        body = h.rfile.read(length)
        url = urlsplit(h.path)
        req = Request(
            path=url.path,
            query=parse_qs(url.query),
            headers={k.lower(): v for k, v in h.headers.items()},
            body=body,
        )
        try:
            with Image.open(io.BytesIO(body)) as img:
                req.image_size = img.size
                req.image_format = img.format
        except Exception:  # noqa: BLE001 - any body the imaging library cannot read is no image
            pass
        with self._lock:
            self.requests.append(req)

        if url.path != ANALYZE_PATH:
            return self._error(h, 404, "404", "Resource not found")
        if req.headers.get("ocp-apim-subscription-key") != self.key:
            return self._error(
                h,
                401,
                "401",
                "Access denied due to invalid subscription key or wrong API endpoint.",
            )
        reply = self._next()
        if reply.delay:
            self.pause(reply.delay)
        if reply.status != 200:
            return self._error(h, reply.status, str(reply.status), "scripted failure", reply.retry_after)
        if req.image_size is None:
            return self._error(h, 400, "InvalidImageFormat", "Input data is not a valid image.")
        w, h_px = req.image_size
        payload = {"modelVersion": "2023-10-01", "metadata": {"width": w, "height": h_px}}
        if reply.read_result:
            payload["readResult"] = {
                "blocks": [
                    {"lines": [_line(text, i) for i, text in enumerate(block)]}
                    for block in (reply.blocks or [])
                ]
            }
        self._send(h, 200, payload)

    def _error(self, h, status, code, message, retry_after=None):
        headers = {"Retry-After": retry_after} if retry_after else {}
        self._send(h, status, {"error": {"code": code, "message": message}}, headers)

    def _send(self, h, status, payload, headers=None):
        try:
            self.send(h, status, json.dumps(payload).encode(), "application/json; charset=utf-8", headers)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up (a time-out test)


def _line(text: str, row: int) -> dict:
    y = 10 + 20 * row
    polygon = [{"x": 10, "y": y}, {"x": 200, "y": y}, {"x": 200, "y": y + 15}, {"x": 10, "y": y + 15}]
    return {
        "text": text,
        "boundingPolygon": polygon,
        "words": [{"text": word, "boundingPolygon": polygon, "confidence": 0.99} for word in text.split()],
    }
