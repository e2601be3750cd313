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
tokens = words in the answer (at least 1), total = their sum (the llama.cpp mode counts
as described below).

``ChatServer.llama_cpp()`` (or ``server.llama = True``) answers as llama.cpp's OpenAI-compatible
servers do (llama-cpp-python's ``llama_cpp.server``, ``llama-server``):

* a ``response_format`` of type ``json_schema`` is refused with HTTP 500 and the body
  of a request-validation failure naming ``response_format`` ("Input should be 'text'
  or 'json_object'");
* ``{"type": "json_object", "schema": {...}}`` is honoured: the default answer is a
  JSON document that satisfies that schema;
* usage counts tokens as a BPE tokenizer roughly does (about four characters a token,
  plus the chat template's few tokens per message);
* a completion longer than ``max_tokens`` (or than ``token_limit``, the server's own
  limit, when set) is cut to that many tokens, with ``finish_reason`` "length";
* a prompt and completion beyond ``context_size`` are refused with HTTP 400 and the
  "maximum context length" body;
* one request is answered at a time: others wait behind it (``peak`` tells the most
  requests seen in flight at once, waiting included).

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
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler
from typing import Any

from servers.loopback import LoopbackServer


def _words(text: Any) -> int:
    if isinstance(text, str):
        return len(text.split())
    if isinstance(text, list):  # content parts (vision messages)
        return sum(_words(part.get("text", "")) for part in text if isinstance(part, dict))
    return 0


def _bpe_tokens(text: Any) -> int:
    """About what a BPE tokenizer gives: one token per four characters, at least one
    per word."""
    if isinstance(text, list):
        return sum(_bpe_tokens(part.get("text", "")) for part in text if isinstance(part, dict))
    if not isinstance(text, str) or not text:
        return 0
    return max(len(text.split()), (len(text) + 3) // 4)


def _cut_to_tokens(text: str, tokens: int) -> str:
    """The first ``tokens`` tokens of ``text`` (as ``_bpe_tokens`` counts them)."""
    return text[: max(0, tokens) * 4]


# llama-cpp-python's answer to a response_format it does not know (its request
# validation error, sent as a 500).
LLAMA_FORMAT_ERROR = (
    "[{'type': 'literal_error', 'loc': ('body', 'response_format', 'type'), 'msg': "
    "\"Input should be 'text' or 'json_object'\", 'input': 'json_schema', 'ctx': "
    "{'expected': \"'text' or 'json_object'\"}}]"
)
# Tokens of the chat template around each message (<|im_start|>role ... <|im_end|>).
LLAMA_TEMPLATE_TOKENS = 5


def _resolve(schema: dict[str, Any], root: dict[str, Any]) -> dict[str, Any]:
    ref = schema.get("$ref")
    if not ref:
        return schema
    node: Any = root
    for part in ref.lstrip("#/").split("/"):
        node = node[part]
    return node


def sample_for_schema(schema: dict[str, Any], root: dict[str, Any] | None = None, name: str = "campo") -> Any:
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
        self.responder: Callable[[dict[str, Any]], Any] | None = None
        self.requests: list[dict[str, Any]] = []
        # Long runs (stress, leak checks) turn the log off and only count.
        self.keep_requests = True
        self.answered = 0
        self._queue: collections.deque = collections.deque()
        self._lock = threading.Lock()
        # llama.cpp-like behaviour (see the module's notes).
        self.llama = False
        self.token_limit: int | None = None
        self.context_size = 2048
        self.peak = 0
        self._in_flight = 0
        self._one_at_a_time = threading.Lock()

    @classmethod
    def llama_cpp(cls, token_limit: int | None = None, context_size: int = 2048, **kwargs: Any) -> ChatServer:
        """A server that answers as llama.cpp's OpenAI-compatible servers do."""
        server = cls(**kwargs)
        server.llama = True
        server.model_name = "smollm2-135m-instruct"
        server.token_limit = token_limit
        server.context_size = context_size
        return server

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

    def push(self, *responses: dict[str, Any]) -> ChatServer:
        """Queue responses, answered in order before any default answer."""
        with self._lock:
            self._queue.extend(responses)
        return self

    def reset(self) -> None:
        with self._lock:
            self._queue.clear()
            self.requests.clear()
        self.responder = None
        self.peak = 0

    @property
    def pending(self) -> int:
        with self._lock:
            return len(self._queue)

    @staticmethod
    def text(
        content: str,
        prompt_tokens: int | None = None,
        completion_tokens: int | None = None,
        total_tokens: int | None = None,
    ) -> dict[str, Any]:
        return {
            "kind": "text",
            "content": content,
            "prompt_tokens": prompt_tokens,
            "completion_tokens": completion_tokens,
            "total_tokens": total_tokens,
        }

    @staticmethod
    def json(
        obj: Any,
        prompt_tokens: int | None = None,
        completion_tokens: int | None = None,
        total_tokens: int | None = None,
    ) -> dict[str, Any]:
        return ChatServer.text(
            json.dumps(obj, ensure_ascii=False), prompt_tokens, completion_tokens, total_tokens
        )

    @staticmethod
    def error(
        status: int, message: str | None = None, headers: dict[str, str] | None = None
    ) -> dict[str, Any]:
        kinds = {
            400: "invalid_request_error",
            401: "invalid_api_key",
            403: "permission_denied",
            429: "rate_limit_exceeded",
            500: "server_error",
            503: "service_unavailable",
        }
        body = {
            "error": {
                "message": message or f"erro simulado {status}",
                "type": kinds.get(status, "error"),
                "code": kinds.get(status),
                "param": None,
            }
        }
        return ChatServer.raw(status, json.dumps(body), headers)

    @staticmethod
    def raw(status: int, body: Any, headers: dict[str, str] | None = None) -> dict[str, Any]:
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

    def _next_response(self, body: dict[str, Any]) -> dict[str, Any]:
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
        if fmt.get("type") == "json_object" and isinstance(fmt.get("schema"), dict):
            return self.json(sample_for_schema(fmt["schema"]))
        return self.text(self.default_text)

    def _llama_refusal(self, body: dict[str, Any]) -> dict[str, Any] | None:
        """The error llama.cpp's server answers before generating, or None."""
        fmt = body.get("response_format")
        if isinstance(fmt, dict) and fmt.get("type") not in (None, "text", "json_object"):
            error = {
                "error": {
                    "message": LLAMA_FORMAT_ERROR,
                    "type": "internal_server_error",
                    "param": None,
                    "code": None,
                }
            }
            return self.raw(500, json.dumps(error))
        prompt = self._llama_prompt_tokens(body)
        wanted = body.get("max_tokens") or 0
        if prompt + wanted > self.context_size:
            message = (
                f"This model's maximum context length is {self.context_size} tokens. "
                f"However, you requested {prompt + wanted} tokens ({prompt} in the "
                f"messages, {wanted} in the completion). Please reduce the length of "
                f"the messages or completion."
            )
            error = {
                "error": {
                    "message": message,
                    "type": "invalid_request_error",
                    "param": "messages",
                    "code": "context_length_exceeded",
                }
            }
            return self.raw(400, json.dumps(error))
        return None

    @staticmethod
    def _llama_prompt_tokens(body: dict[str, Any]) -> int:
        messages = body.get("messages", [])
        return sum(_bpe_tokens(m.get("content")) + LLAMA_TEMPLATE_TOKENS for m in messages) + 3

    def _handle(self, handler: BaseHTTPRequestHandler, body: dict[str, Any]) -> None:
        if not self.llama:
            self._answer(handler, body)
            return
        with self._lock:
            self._in_flight += 1
            self.peak = max(self.peak, self._in_flight)
        try:
            with self._one_at_a_time:  # one generation at a time, as one llama.cpp slot
                self._answer(handler, body)
        finally:
            with self._lock:
                self._in_flight -= 1

    def _answer(self, handler: BaseHTTPRequestHandler, body: dict[str, Any]) -> None:
        with self._lock:
            headers = {k.lower(): v for k, v in handler.headers.items()}
            if self.keep_requests:
                self.requests.append({"path": handler.path, "headers": headers, "body": body})
            else:
                self.answered += 1
        response = self._llama_refusal(body) if self.llama else None
        if response is None:
            response = self._next_response(body)
        if self.delay:
            time.sleep(self.delay)
        if response["kind"] == "raw":
            self.send(handler, response["status"], response["body"], headers=response["headers"])
            return
        content = response["content"]
        finish_reason = "stop"
        prompt = response["prompt_tokens"]
        completion = response["completion_tokens"]
        if self.llama:
            limits = [n for n in (body.get("max_tokens"), self.token_limit) if n]
            if limits and _bpe_tokens(content) > min(limits):
                content = _cut_to_tokens(content, min(limits))
                finish_reason = "length"
            if prompt is None:
                prompt = self._llama_prompt_tokens(body)
            if completion is None:
                # The end-of-turn token counts when the model stopped by itself.
                completion = _bpe_tokens(content) + (1 if finish_reason == "stop" else 0)
        if prompt is None:
            prompt = sum(_words(m.get("content")) for m in body.get("messages", []))
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
            "choices": [
                {
                    "index": 0,
                    "finish_reason": finish_reason,
                    "logprobs": None,
                    "message": {"role": "assistant", "content": content, "refusal": None},
                }
            ],
            "usage": {"prompt_tokens": prompt, "completion_tokens": completion, "total_tokens": total},
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
