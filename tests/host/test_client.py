"""DravikObserveClient against a real HTTP server on 127.0.0.1."""

import logging
import urllib.error

import pytest

from dravik_observe.client import DEFAULT_TIMEOUT, DravikObserveClient


def test_prompt_guard_posts_json_and_returns_the_answer(observe_server, monkeypatch):
    monkeypatch.setenv("DRAVIK_OBSERVE_URL", observe_server.url + "/")
    monkeypatch.setenv("DRAVIK_API_KEY", "k-123")
    observe_server.response = {"violations": ["PERSON"], "redacted_text": "hi [PERSON]"}

    answer = DravikObserveClient().prompt_guard_sync(text="hi Zorvan", model="gpt-4o")

    assert answer == {"violations": ["PERSON"], "redacted_text": "hi [PERSON]"}
    (request,) = observe_server.requests
    assert request["path"] == "/api/v1/observe/prompt-guard/"
    assert request["json"] == {"text": "hi Zorvan", "model": "gpt-4o"}
    assert request["headers"]["Authorization"] == "Bearer k-123"


@pytest.mark.parametrize("response", [["not", "a", "dict"], "text", b""])
def test_answers_that_are_not_objects_give_none(observe_server, response):
    DravikObserveClient.configure(base_url=observe_server.url)
    observe_server.response = response
    client = DravikObserveClient()
    assert client.prompt_guard_sync(text="x") is None
    assert client.post_run({"run_id": "r"}) is None


def test_failures_propagate(observe_server):
    # A generous timeout while the server answers (a loaded machine may be slow
    # to schedule its thread), a short one for the stall.
    DravikObserveClient.configure(base_url=observe_server.url, timeout=30)
    observe_server.status = 503
    with pytest.raises(urllib.error.HTTPError):
        DravikObserveClient().prompt_guard_sync(text="x")
    observe_server.status, observe_server.response = 200, b"<html>"
    with pytest.raises(ValueError):
        DravikObserveClient().prompt_guard_sync(text="x")
    observe_server.stall = True
    DravikObserveClient.configure(base_url=observe_server.url, timeout=0.2)
    with pytest.raises(OSError):  # TimeoutError, or URLError wrapping it
        DravikObserveClient().prompt_guard_sync(text="x")


def test_configuration_sources(monkeypatch):
    assert not DravikObserveClient.is_configured()
    with pytest.raises(RuntimeError):
        DravikObserveClient().prompt_guard_sync(text="x")

    monkeypatch.setenv("DRAVIK_OBSERVE_URL", "http://env.invalid")
    monkeypatch.setenv("DRAVIK_OBSERVE_TIMEOUT", "not-a-number")
    assert (DravikObserveClient().base_url, DravikObserveClient().timeout) == ("http://env.invalid", DEFAULT_TIMEOUT)

    DravikObserveClient.configure(base_url="http://override.invalid", timeout=1.5)
    assert (DravikObserveClient().base_url, DravikObserveClient().timeout) == ("http://override.invalid", 1.5)
    DravikObserveClient.configure()
    assert DravikObserveClient().base_url == "http://env.invalid"

    monkeypatch.setenv("DRAVIK_OBSERVE_URL", "file:///etc/passwd")
    with pytest.raises(ValueError):
        DravikObserveClient()


@pytest.mark.parametrize("raw", ["0", "-2.5", "nan", "soon", ""])
def test_invalid_timeouts_fall_back_to_the_default_with_a_warning(monkeypatch, caplog, raw):
    monkeypatch.setenv("DRAVIK_OBSERVE_URL", "http://env.invalid")
    monkeypatch.setenv("DRAVIK_OBSERVE_TIMEOUT", raw)
    with caplog.at_level(logging.WARNING, logger="dravik_observe.client"):
        assert DravikObserveClient().timeout == DEFAULT_TIMEOUT
    # An empty setting counts as unset: nothing to warn about.
    assert len(caplog.records) == (0 if raw == "" else 1)
    DravikObserveClient.configure(timeout=-1)
    assert DravikObserveClient().timeout == DEFAULT_TIMEOUT
    DravikObserveClient.configure(timeout=0.25)
    assert DravikObserveClient().timeout == 0.25


def test_api_key_from_configure_is_sent_as_bearer_token(observe_server, monkeypatch):
    monkeypatch.setenv("DRAVIK_API_KEY", "from-env")
    DravikObserveClient.configure(base_url=observe_server.url, api_key="from-configure")
    DravikObserveClient().prompt_guard_sync(text="x")
    assert observe_server.requests[-1]["headers"]["Authorization"] == "Bearer from-configure"
    DravikObserveClient.configure(base_url=observe_server.url)
    DravikObserveClient().prompt_guard_sync(text="x")
    assert observe_server.requests[-1]["headers"]["Authorization"] == "Bearer from-env"
