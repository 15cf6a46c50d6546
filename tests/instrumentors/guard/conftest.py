"""Fixtures for the prompt-guard tests: clean guard and host state, a stand-in observe service."""

from __future__ import annotations

import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Iterator

import pytest

from dravik_observe.client import DravikObserveClient
from dravik_observe.decisions import surface_gate
from dravik_observe.instrumentors import _guard

_GUARD_ATTRS = (
    "_enabled", "_server_check", "_action", "logger", "_PII_PATTERNS", "_CREDENTIAL_PATTERNS",
    "_INJECTION_PATTERNS", "_extract_text", "_detect_pii", "_detect_credentials", "_detect_injection",
    "_redact_text", "_redact_messages", "_server_check_prompt", "_ml_substitutions", "_apply_substitutions",
    "_redact_messages_ml", "_surface_gate_llm_before", "configure", "check_prompt", "PromptGuardError",
)


@pytest.fixture(autouse=True)
def _clean_state(monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    """Default guard state, surface gate off, no client or policy configuration."""
    saved = {name: getattr(_guard, name) for name in _GUARD_ATTRS}
    tables = [(t, t.copy()) for t in (_guard._PII_PATTERNS, _guard._CREDENTIAL_PATTERNS, _guard._INJECTION_PATTERNS)]
    for name in ("DRAVIK_OBSERVE_URL", "DRAVIK_API_KEY", "DRAVIK_OBSERVE_TIMEOUT", "DRAVIK_POLICY_FILE"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("DRAVIK_SURFACE_GATE", "off")
    DravikObserveClient.configure()
    surface_gate.clear_policy()
    surface_gate.recent_warnings.clear()
    yield
    for name, value in saved.items():
        setattr(_guard, name, value)
    for table, contents in tables:
        table.clear()
        if isinstance(table, dict):
            table.update(contents)
        else:
            table.extend(contents)
    DravikObserveClient.configure()
    surface_gate.clear_policy()
    surface_gate.recent_warnings.clear()


class GuardService:
    """The observe service's prompt-guard endpoint on 127.0.0.1.

    ``response`` is sent as JSON (or as is when it is bytes) with ``status``;
    ``delay`` seconds pass before answering.  Requests are recorded.
    """

    PATH = "/api/v1/observe/prompt-guard/"

    def __init__(self) -> None:
        self.requests: list[dict[str, Any]] = []
        self.response: Any = {}
        self.status = 200
        self.delay = 0.0
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:  # noqa: N802
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                outer.requests.append({"path": self.path, "json": json.loads(body)})
                if outer.delay:
                    time.sleep(outer.delay)
                if self.path != outer.PATH:
                    self.send_error(404)
                    return
                raw = outer.response
                data = raw if isinstance(raw, bytes) else json.dumps(raw).encode()
                try:
                    self.send_response(outer.status)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data)
                except OSError:
                    pass  # the client gave up (timeout tests)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"


@pytest.fixture
def guard_service() -> Iterator[GuardService]:
    service = GuardService()
    thread = threading.Thread(target=service.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    DravikObserveClient.configure(base_url=service.url, timeout=2.0)
    yield service
    service.httpd.shutdown()
    service.httpd.server_close()
    thread.join(5)
