"""A local stand-in for the Gemini generateContent API, for the real google-genai client.

Each request is recorded (path and JSON body); answers come from a queue of
(status, JSON body) pairs, the last one repeating.
"""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def gemini_answer(text, prompt_tokens=11, completion_tokens=7, thoughts=None, finish="STOP"):
    usage = {
        "promptTokenCount": prompt_tokens,
        "candidatesTokenCount": completion_tokens,
        "totalTokenCount": prompt_tokens + completion_tokens + (thoughts or 0),
    }
    if thoughts:
        usage["thoughtsTokenCount"] = thoughts
    return {
        "candidates": [
            {"content": {"role": "model", "parts": [{"text": text}]}, "finishReason": finish}
        ],
        "usageMetadata": usage,
        "responseId": "resp-1",
    }


class FakeGemini:
    def __init__(self):
        self.requests = []
        self.answers = [(200, gemini_answer("ok"))]
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = json.loads(self.rfile.read(length) or b"{}")
                outer.requests.append({"path": self.path, "body": body,
                                       "key": self.headers.get("x-goog-api-key")})
                status, answer = outer.answers[0] if len(outer.answers) == 1 else outer.answers.pop(0)
                data = json.dumps(answer).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
