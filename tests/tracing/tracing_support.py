"""Helpers of the span-capture tests: real ended SDK spans, odd hand-made spans, a loopback server."""

from __future__ import annotations

import json
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Optional

from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.trace import SpanKind, Status, StatusCode

_PLAIN = TracerProvider().get_tracer("plain")


def sdk_span(
    name: str = "span",
    attributes: Optional[dict] = None,
    *,
    kind: SpanKind = SpanKind.INTERNAL,
    start: int = 1_000_000_000,
    end: Optional[int] = 1_000_000_000 + 2_999_999,
    status: Optional[StatusCode] = None,
    parent=None,
):
    """A real, ended SDK span (no processor attached)."""
    from opentelemetry import trace

    context = trace.set_span_in_context(parent) if parent is not None else None
    span = _PLAIN.start_span(name, context=context, attributes=attributes, kind=kind, start_time=start)
    if status is not None:
        span.set_status(Status(status, "described"))
    span.end(end_time=end)
    return span


class FakeSpan:
    """A hand-made span for shapes the SDK never produces."""

    def __init__(self, **props: Any) -> None:
        defaults = dict(attributes={}, name="fake", kind=0, start_time=0, end_time=0, context=None, parent=None, status=None)
        defaults.update(props)
        self.__dict__.update(defaults)


class LoopbackServer:
    """HTTP on 127.0.0.1: GET answers "ok"; POST .../chat/completions answers like an OpenAI-compatible API."""

    def __init__(self) -> None:
        self.requests: list = []
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self) -> None:  # noqa: N802
                outer.requests.append(("GET", self.path, None))
                self._send(200, b"ok", "text/plain")

            def do_POST(self) -> None:  # noqa: N802
                body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", "0"))))
                outer.requests.append(("POST", self.path, body))
                answer = {
                    "id": "chatcmpl-test",
                    "object": "chat.completion",
                    "created": 1700000000,
                    "model": body["model"] + "-2024-07-18",
                    "choices": [
                        {"index": 0, "message": {"role": "assistant", "content": "Paris."}, "finish_reason": "stop"}
                    ],
                    "usage": {"prompt_tokens": 21, "completion_tokens": 4, "total_tokens": 25},
                }
                self._send(200, json.dumps(answer).encode(), "application/json")

            def _send(self, status: int, data: bytes, ctype: str) -> None:
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
