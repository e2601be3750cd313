"""A local OpenAI-compatible chat server for tests and benchmarks.

Serves ``POST /v1/chat/completions`` (and the Azure path
``/openai/deployments/<name>/chat/completions``) on 127.0.0.1 with an ephemeral port.

Usage::

    with ChatServer() as server:
        client = openai.OpenAI(api_key="test", base_url=server.base_url, max_retries=0)
        server.push(ChatServer.error(429), ChatServer.text("depois do limite"))
        ...
        server.requests[-1]["body"]["messages"]

What it answers, per request:

* the next scripted response, when the queue (``push``) is not empty;
* otherwise ``server.responder(body)`` when a responder is set (it returns a response
  built with the helpers below, or a plain string for a text answer);
* otherwise, when the request carries a ``response_format`` of type ``json_schema``, a
  JSON document that satisfies that schema (see ``sample_for_schema``);
* otherwise the text ``server.default_text``.

Response helpers (static methods):

* ``ChatServer.text(content, prompt_tokens=None, completion_tokens=None, total_tokens=None)``
* ``ChatServer.json(obj, ...)``: the content is ``json.dumps(obj)``, sent as is (use
  it for schema-violating answers);
* ``ChatServer.error(status, message=None, headers=None)``: an OpenAI-style error body
  with that HTTP status (429, 401, 500, ...);
* ``ChatServer.raw(status, body, headers=None)``: any body (bytes or text).

Usage figures, unless given: prompt tokens = words in all message contents, completion
tokens = words in the answer (at least 1), total = their sum.

``delay`` (seconds, settable at any time) is slept before each answer. ``requests``
logs every request as ``{"path", "headers", "body"}`` (header names in lower case,
body decoded from JSON); with ``keep_requests = False`` nothing is logged and
``answered`` counts the requests instead.
"""

from __future__ import annotations

import collections
import json
import threading
import time
from http.server import BaseHTTPRequestHandler
from typing import Any, Callable, Dict, List, Optional

from servers.loopback import LoopbackServer


def _words(text: Any) -> int:
    if isinstance(text, str):
        return len(text.split())
    if isinstance(text, list):  # content parts (vision messages)
        return sum(_words(part.get("text", "")) for part in text if isinstance(part, dict))
    return 0


def _resolve(schema: Dict[str, Any], root: Dict[str, Any]) -> Dict[str, Any]:
    ref = schema.get("$ref")
    if not ref:
        return schema
    node: Any = root
    for part in ref.lstrip("#/").split("/"):
        node = node[part]
    return node


def sample_for_schema(schema: Dict[str, Any], root: Optional[Dict[str, Any]] = None,
                      name: str = "campo") -> Any:
    """A value that satisfies ``schema`` (the subset that structured outputs use:
    objects, arrays, strings, numbers, integers, booleans, null, enum, const, anyOf,
    $ref into $defs). Strings read "valor de <property name>"; integers 7; numbers 7.5;
    booleans true; arrays hold one item."""
    root = root if root is not None else schema
    schema = _resolve(schema, root)
    if "const" in schema:
        return schema["const"]
    if "enum" in schema:
        return schema["enum"][0]
    for key in ("anyOf", "oneOf"):
        if key in schema:
            options = [_resolve(s, root) for s in schema[key]]
            non_null = [s for s in options if s.get("type") != "null"]
            return sample_for_schema((non_null or options)[0], root, name)
    kind = schema.get("type")
    if isinstance(kind, list):
        kind = next((k for k in kind if k != "null"), "null")
    if kind == "object" or "properties" in schema:
        props = schema.get("properties", {})
        return {key: sample_for_schema(sub, root, key) for key, sub in props.items()}
    if kind == "array":
        return [sample_for_schema(schema.get("items", {"type": "string"}), root, name)]
    if kind == "string":
        return "valor de " + name
    if kind == "integer":
        return 7
    if kind == "number":
        return 7.5
    if kind == "boolean":
        return True
    return None


class ChatServer(LoopbackServer):
    """The fake service; start with ``start()`` or use it as a context manager."""

    methods = ("POST",)
    disable_nagle_algorithm = True  # headers and body go out at once

    def __init__(self, delay: float = 0.0, default_text: str = "Resposta do modelo"):
        self.delay = delay
        self.default_text = default_text
        self.model_name = "gpt-4o-mini"
        self.responder: Optional[Callable[[Dict[str, Any]], Any]] = None
        self.requests: List[Dict[str, Any]] = []
        # Long runs (stress, leak checks) turn the log off and only count.
        self.keep_requests = True
        self.answered = 0
        self._queue: collections.deque = collections.deque()
        self._lock = threading.Lock()

    # -- addresses ---------------------------------------------------------------

    @property
    def base_url(self) -> str:
        """Base address for ``openai.OpenAI(base_url=...)``."""
        return self.origin + "/v1"

    @property
    def endpoint(self) -> str:
        """Endpoint for ``openai.AzureOpenAI(azure_endpoint=...)``."""
        return self.origin

    # -- scripting ---------------------------------------------------------------

    def push(self, *responses: Dict[str, Any]) -> "ChatServer":
        """Queue responses, answered in order before any default answer."""
        with self._lock:
            self._queue.extend(responses)
        return self

    def reset(self) -> None:
        with self._lock:
            self._queue.clear()
            self.requests.clear()
        self.responder = None

    @property
    def pending(self) -> int:
        with self._lock:
            return len(self._queue)

    @staticmethod
    def text(content: str, prompt_tokens: Optional[int] = None,
             completion_tokens: Optional[int] = None,
             total_tokens: Optional[int] = None) -> Dict[str, Any]:
        return {"kind": "text", "content": content, "prompt_tokens": prompt_tokens,
                "completion_tokens": completion_tokens, "total_tokens": total_tokens}

    @staticmethod
    def json(obj: Any, prompt_tokens: Optional[int] = None,
             completion_tokens: Optional[int] = None,
             total_tokens: Optional[int] = None) -> Dict[str, Any]:
        return ChatServer.text(json.dumps(obj, ensure_ascii=False), prompt_tokens,
                               completion_tokens, total_tokens)

    @staticmethod
    def error(status: int, message: Optional[str] = None,
              headers: Optional[Dict[str, str]] = None) -> Dict[str, Any]:
        kinds = {400: "invalid_request_error", 401: "invalid_api_key",
                 403: "permission_denied", 429: "rate_limit_exceeded",
                 500: "server_error", 503: "service_unavailable"}
        body = {"error": {"message": message or f"erro simulado {status}",
                          "type": kinds.get(status, "error"), "code": kinds.get(status),
                          "param": None}}
        return ChatServer.raw(status, json.dumps(body), headers)

    @staticmethod
    def raw(status: int, body: Any, headers: Optional[Dict[str, str]] = None) -> Dict[str, Any]:
        data = body if isinstance(body, bytes) else str(body).encode("utf-8")
        return {"kind": "raw", "status": status, "body": data, "headers": headers or {}}

    # -- serving -----------------------------------------------------------------

    def _respond(self, handler: BaseHTTPRequestHandler, method: str) -> None:
        length = int(handler.headers.get("Content-Length") or 0)
        raw = handler.rfile.read(length) if length else b""
        try:
            body = json.loads(raw or b"{}")
        except ValueError:
            body = {"_raw": raw.decode("utf-8", "replace")}
        self._handle(handler, body)

    def _next_response(self, body: Dict[str, Any]) -> Dict[str, Any]:
        with self._lock:
            if self._queue:
                return self._queue.popleft()
        if self.responder is not None:
            got = self.responder(body)
            return self.text(got) if isinstance(got, str) else got
        fmt = body.get("response_format") or {}
        if fmt.get("type") == "json_schema":
            schema = (fmt.get("json_schema") or {}).get("schema") or {}
            return self.json(sample_for_schema(schema))
        return self.text(self.default_text)

    def _handle(self, handler: BaseHTTPRequestHandler, body: Dict[str, Any]) -> None:
        with self._lock:
            headers = {k.lower(): v for k, v in handler.headers.items()}
            if self.keep_requests:
                self.requests.append({"path": handler.path, "headers": headers,
                                      "body": body})
            else:
                self.answered += 1
        response = self._next_response(body)
        if self.delay:
            time.sleep(self.delay)
        if response["kind"] == "raw":
            self.send(handler, response["status"], response["body"], headers=response["headers"])
            return
        content = response["content"]
        prompt = response["prompt_tokens"]
        if prompt is None:
            prompt = sum(_words(m.get("content")) for m in body.get("messages", []))
        completion = response["completion_tokens"]
        if completion is None:
            completion = max(1, _words(content))
        total = response["total_tokens"]
        if total is None:
            total = prompt + completion
        payload = {
            "id": f"chatcmpl-{len(self.requests) + self.answered}",
            "object": "chat.completion",
            "created": int(time.time()),
            "model": body.get("model", self.model_name),
            "choices": [{"index": 0, "finish_reason": "stop", "logprobs": None,
                         "message": {"role": "assistant", "content": content,
                                     "refusal": None}}],
            "usage": {"prompt_tokens": prompt, "completion_tokens": completion,
                      "total_tokens": total},
        }
        self.send(handler, 200, json.dumps(payload).encode("utf-8"))


class InFlight:
    """Counts the model requests being answered at the same moment (use it as a context
    manager inside a responder); `peak` is the most seen at once."""

    def __init__(self):
        self.now = 0
        self.peak = 0
        self.lock = threading.Lock()

    def __enter__(self):
        with self.lock:
            self.now += 1
            self.peak = max(self.peak, self.now)

    def __exit__(self, *exc):
        with self.lock:
            self.now -= 1
