"""Fixtures for the host-layer tests: a clean configuration and a real HTTP server."""

from __future__ import annotations

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Iterator

import pytest

from dravik_observe.client import DravikObserveClient
from dravik_observe.decisions import surface_gate


@pytest.fixture(autouse=True)
def _clean_host_state(monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    """Each test starts without client configuration, policy or recorded warnings."""
    for name in ("DRAVIK_OBSERVE_URL", "DRAVIK_API_KEY", "DRAVIK_OBSERVE_TIMEOUT", "DRAVIK_POLICY_FILE"):
        monkeypatch.delenv(name, raising=False)
    _reset()
    yield
    _reset()


def _reset() -> None:
    DravikObserveClient.configure()
    surface_gate.clear_policy()
    surface_gate.recent_warnings.clear()


class ObserveServer:
    """A stand-in observe service on 127.0.0.1 that records the requests it gets.

    ``status`` and ``response`` (a JSON value, or raw bytes) shape the answer;
    with ``stall`` set, requests get no answer until the test ends.
    """

    def __init__(self) -> None:
        self.requests: list[dict[str, Any]] = []
        self.status, self.response, self.stall = 200, {}, False
        self.release = threading.Event()
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:  # noqa: N802
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                outer.requests.append({"path": self.path, "headers": dict(self.headers), "json": json.loads(body)})
                if outer.stall:
                    outer.release.wait()
                    return
                raw = outer.response
                data = raw if isinstance(raw, bytes) else json.dumps(raw).encode()
                self.send_response(outer.status)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"


@pytest.fixture
def observe_server() -> Iterator[ObserveServer]:
    server = ObserveServer()
    thread = threading.Thread(target=server.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield server
    server.release.set()
    server.httpd.shutdown()
    server.httpd.server_close()
