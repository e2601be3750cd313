"""A local stand-in for the Gemini generateContent API, for the real google-genai client.

Each request is recorded (path and JSON body); answers come from a queue of
(status, JSON body) pairs, the last one repeating.
"""

import json

from servers.loopback import LoopbackServer


def gemini_answer(text, prompt_tokens=11, completion_tokens=7, thoughts=None, finish="STOP"):
    usage = {
        "promptTokenCount": prompt_tokens,
        "candidatesTokenCount": completion_tokens,
        "totalTokenCount": prompt_tokens + completion_tokens + (thoughts or 0),
    }
    if thoughts:
        usage["thoughtsTokenCount"] = thoughts
    return {
        "candidates": [{"content": {"role": "model", "parts": [{"text": text}]}, "finishReason": finish}],
        "usageMetadata": usage,
        "responseId": "resp-1",
    }


class FakeGemini(LoopbackServer):
    methods = ("POST",)
    protocol_version = "HTTP/1.0"  # one answer per connection
    poll_interval = 0.05
    daemon_threads = False  # stop() waits for the answers being written

    def __init__(self):
        self.requests = []
        self.answers = [(200, gemini_answer("ok"))]

    @property
    def url(self):
        return self.origin

    def _respond(self, h, method):
        length = int(h.headers.get("Content-Length") or 0)
        body = json.loads(h.rfile.read(length) or b"{}")
        self.requests.append({"path": h.path, "body": body, "key": h.headers.get("x-goog-api-key")})
        status, answer = self.answers[0] if len(self.answers) == 1 else self.answers.pop(0)
        self.send(h, status, json.dumps(answer).encode())
