"""The server tier through the host client, against a real HTTP endpoint on 127.0.0.1."""

import logging
import socket

import pytest

from dravik_observe import client as client_module
from dravik_observe.client import DravikObserveClient
from dravik_observe.instrumentors import _guard

LOGGER = "dravik_observe.instrumentors._guard"
FAILED = "Server-side prompt guard failed: %s"


def failure_records(caplog):
    return [r for r in caplog.records if r.name == LOGGER and r.msg == FAILED]


def test_request_and_plain_violations(guard_service):
    _guard.configure(True, server=True)
    guard_service.response = {"violations": ["Person name detected"], "redacted_text": "x"}
    result = _guard.check_prompt([{"role": "user", "content": "Say hi to Zorvan"}], "gpt-4o", "Be nice.")
    assert guard_service.requests == [{"path": "/api/v1/observe/prompt-guard/",
                                       "json": {"text": "Be nice.\nSay hi to Zorvan", "model": "gpt-4o"}}]
    assert (result.passed, result.action, result.source) == (False, "block", "server")
    assert result.violations == ["[server] Person name detected"]


def test_local_and_server_findings(guard_service):
    _guard.configure(True, server=True, action="warn")
    guard_service.response = {"violations": [
        {"detail": "Organisation detected", "score": 0.9},
        {"kind": "address"},
        "PII detected: ssn",  # equal to a local finding: dropped
        "Location", "Location",  # stored with the tag, so the second is kept too
        {"detail": 7},
    ]}
    result = _guard.check_prompt([{"content": "ssn 123-45-6789 at Acme"}])
    assert result.source == "both" and result.passed is True
    assert result.violations == [
        "PII detected: ssn", "[server] Organisation detected", "[server] {'kind': 'address'}",
        "[server] Location", "[server] Location", "[server] 7"]


def test_server_without_findings_keeps_local_source(guard_service):
    _guard.configure(True, server=True)
    for response in ({}, {"violations": []}, {"violations": None, "redacted_text": None}):
        guard_service.response = response
        assert _guard.check_prompt([{"content": "hello"}]).source == "local"
        assert _guard.check_prompt([{"content": "123-45-6789"}]).source == "local"


def test_ml_substitutions_reach_every_message(guard_service):
    _guard.configure(True, server=True, action="redact")
    msgs = [{"role": "user", "content": "Zorvan Quill lives at 12 Elm St, ssn 123-45-6789"},
            {"role": "user", "content": [{"type": "text", "text": "Ask Zorvan Quill."}, {"type": "image"}]},
            {"role": "assistant", "content": "Zorvan who?"}]
    system = "Help Zorvan Quill."
    text = _guard._extract_text(msgs, system)
    guard_service.response = {
        "violations": ["PERSON detected"],
        "redacted_text": text.replace("Zorvan Quill", "[PERSON]").replace("12 Elm St", "<ADDR>")
                             .replace("Zorvan who", "[PERSON] who"),
    }
    result = _guard.check_prompt(msgs, "m", system)
    assert result.source == "both" and result.action == "redact" and result.passed is False
    assert result.violations == ["PII detected: ssn", "[server] PERSON detected"]
    assert result.redacted_messages == [
        {"role": "user", "content": "[PERSON] lives at <ADDR>, ssn ##SSN##"},
        {"role": "user", "content": [{"type": "text", "text": "Ask [PERSON]."}, {"type": "image"}]},
        {"role": "assistant", "content": "[PERSON] who?"}]
    assert result._redacted_system == "Help [PERSON]."
    assert msgs[0]["content"].startswith("Zorvan Quill lives")


def test_scrubbed_text_of_the_wrong_type_is_ignored(guard_service):
    _guard.configure(True, server=True, action="redact")
    for scrubbed in (5, ["x"], {"a": 1}, "", None):
        guard_service.response = {"violations": ["Person"], "redacted_text": scrubbed}
        result = _guard.check_prompt([{"content": "Zorvan 123-45-6789"}])
        assert result.redacted_messages == [{"content": "Zorvan ##SSN##"}]


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}"


@pytest.mark.parametrize("setup", ["unreachable", "timeout", "non_json", "http_error"])
def test_failures_fall_back_to_the_local_result(guard_service, caplog, setup):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    if setup == "unreachable":
        DravikObserveClient.configure(base_url=closed_port_url())
    elif setup == "timeout":
        DravikObserveClient.configure(base_url=guard_service.url, timeout=0.2)
        guard_service.delay = 1.0
    elif setup == "non_json":
        guard_service.response = b"<html>not json</html>"
    else:
        guard_service.status = 500
    _guard.configure(True, server=True)
    caplog.clear()
    result = _guard.check_prompt([{"content": "ssn 123-45-6789"}])
    assert (result.source, result.violations) == ("local", ["PII detected: ssn"])
    [record] = failure_records(caplog)
    assert record.levelno == logging.DEBUG and isinstance(record.args[0], Exception)


def test_list_answer(guard_service, caplog, monkeypatch):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    _guard.configure(True, server=True)
    guard_service.response = ["PII detected: x"]
    # The host client already turns an answer that is not an object into None.
    assert _guard._server_check_prompt("text") is None
    assert failure_records(caplog) == []
    assert _guard.check_prompt([{"content": "hello"}]).violations == []

    class RawClient(DravikObserveClient):
        def prompt_guard_sync(self, *, text, model=""):
            return self._post_json(self.PROMPT_GUARD_PATH, {"text": text, "model": model})

    monkeypatch.setattr(client_module, "DravikObserveClient", RawClient)
    result = _guard.check_prompt([{"content": "ssn 123-45-6789"}])
    assert (result.source, result.violations) == ("local", ["PII detected: ssn"])
    [record] = failure_records(caplog)
    assert isinstance(record.args[0], TypeError)


def test_unconfigured_client_sends_nothing(guard_service, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    DravikObserveClient.configure()
    _guard.configure(True, server=True)
    assert _guard.check_prompt([{"content": "ssn 123-45-6789"}]).source == "local"
    assert guard_service.requests == [] and failure_records(caplog) == []


def test_env_var_configures_the_client(guard_service, monkeypatch):
    DravikObserveClient.configure()
    monkeypatch.setenv("DRAVIK_OBSERVE_URL", guard_service.url)
    guard_service.response = {"violations": ["Name"]}
    assert _guard._server_check_prompt("hi", "m") == {"violations": ["Name"]}
    assert guard_service.requests[0]["json"] == {"text": "hi", "model": "m"}


def test_server_off_sends_nothing(guard_service):
    _guard.configure(True, server=False)
    _guard.check_prompt([{"content": "hello"}])
    assert guard_service.requests == []


@pytest.mark.parametrize("response, error", [
    ({"violations": [5]}, AttributeError),
    ({"violations": [None]}, AttributeError),
    ({"violations": 5}, TypeError),
])
def test_malformed_violation_entries_propagate(guard_service, response, error):
    _guard.configure(True, server=True)
    guard_service.response = response
    with pytest.raises(error):
        _guard.check_prompt([{"content": "hello"}])


def test_violations_given_as_a_string_are_read_per_character(guard_service):
    _guard.configure(True, server=True)
    guard_service.response = {"violations": "ab"}
    assert _guard.check_prompt([{"content": "hello"}]).violations == ["[server] a", "[server] b"]


def test_string_form_of_an_entry_only_without_detail(monkeypatch):
    class Loud(dict):
        def __str__(self):
            raise RuntimeError("no string form")

    class Lookup:
        """A mapping of its own: get() with a default, counted."""

        def __init__(self, **items):
            self.items, self.gets, self.strs = items, [], 0

        def get(self, key, default=None):
            self.gets.append(key)
            return self.items.get(key, default)

        def __str__(self):
            self.strs += 1
            return f"Lookup{sorted(self.items)}"

    with_detail, without = Lookup(detail="Account number"), Lookup(kind="iban")
    response = {"violations": [Loud(detail="Person name"), with_detail, without]}
    monkeypatch.setattr(_guard, "_server_check_prompt", lambda text, model="": response)
    _guard.configure(True, server=True)
    result = _guard.check_prompt([{"content": "hello"}])
    assert result.violations == ["[server] Person name", "[server] Account number", "[server] Lookup['kind']"]
    assert (with_detail.gets, with_detail.strs, without.gets, without.strs) == (["detail"], 0, ["detail"], 1)
    response["violations"] = [Loud(kind="x")]
    with pytest.raises(RuntimeError, match="no string form"):
        _guard.check_prompt([{"content": "hello"}])
