"""The surface gate: rule matching, policy sources and warnings."""

from __future__ import annotations

import json
import logging
import os

import pytest

from dravik_observe.decisions import surface_gate
from dravik_observe.decisions.surface_gate import SurfaceOutcome, emit_warn, gate_surface, set_policy

RULES = [
    {"name": "secrets", "surface": "llm.before", "action": "block",
     "pattern": r"sk-[A-Za-z0-9]{8,}", "reason": "API key in prompt"},
    {"name": "pii", "action": "redact", "contains": ["SSN", "passport"]},
    {"name": "legacy", "surface": "llm.*", "model": "gpt-3.5*", "action": "warn", "reason": "old model"},
    {"name": "trusted", "surface": "llm.before", "model": "local/*", "action": "allow", "reason": "local"},
    {"name": "local-block", "model": "local/*", "action": "block"},
]


@pytest.mark.parametrize(
    ("surface", "payload", "expected"),
    [
        ("llm.before", {"model": "gpt-4o", "text": "key sk-abcdefgh1234"},
         ("block", "secrets", "API key in prompt")),
        ("tool.before", {"model": "gpt-4o", "text": "key sk-abcdefgh1234"},
         ("allow", None, "")),  # rule scoped to another surface
        ("llm.before", {"model": "gpt-4o", "text": "my ssn is ..."}, ("redact", "pii", "")),
        ("llm.before", {"model": "GPT-3.5-turbo", "text": "hello"}, ("warn", "legacy", "old model")),
        ("llm.after", {"model": "gpt-3.5-turbo"}, ("warn", "legacy", "old model")),
        ("llm.before", {"model": "local/llama", "text": "hello"}, ("allow", "trusted", "local")),
        ("llm.after", {"model": "local/llama", "text": "hello"}, ("block", "local-block", "")),
        ("llm.before", {"model": "gpt-4o", "text": "hello"}, ("allow", None, "")),
        ("llm.before", {}, ("allow", None, "")),
    ],
)
def test_first_matching_rule_decides(surface, payload, expected):
    set_policy(RULES)
    outcome = gate_surface(surface, payload)
    assert (outcome.action, outcome.rule, outcome.reason) == expected
    assert outcome.surface == surface
    assert outcome.is_block == (expected[0] == "block")


def test_no_policy_allows_everything():
    outcome = gate_surface("llm.before", {"model": "m", "text": "sk-abcdefgh1234"})
    assert outcome == SurfaceOutcome(surface="llm.before", action="allow", reason="", rule=None)


def test_policy_file_is_reloaded_and_in_process_policy_wins(tmp_path, monkeypatch):
    path = tmp_path / "policy.json"
    path.write_text(json.dumps([{"name": "v1", "action": "block", "contains": "alpha"}]))
    monkeypatch.setenv("DRAVIK_POLICY_FILE", str(path))
    assert gate_surface("llm.before", {"text": "ALPHA"}).rule == "v1"

    path.write_text(json.dumps({"rules": [{"name": "v2", "action": "warn", "contains": "alpha"}]}))
    stat = os.stat(path)
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1_000_000_000))
    assert gate_surface("llm.before", {"text": "alpha"}).rule == "v2"

    set_policy([{"name": "inline", "action": "allow"}])
    assert gate_surface("llm.before", {"text": "alpha"}).rule == "inline"
    surface_gate.clear_policy()
    assert gate_surface("llm.before", {"text": "alpha"}).rule == "v2"

    path.write_text(json.dumps([{"action": "forbid"}]))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 2_000_000_000))
    with pytest.raises(ValueError):
        gate_surface("llm.before", {"text": "alpha"})


@pytest.mark.parametrize(
    "rule",
    [
        {"action": "forbid"},
        {"contains": ["x"]},  # no action
        {"action": "block", "contain": ["x"]},  # misspelt condition would match everything
        {"action": "block", "pattern": "("},
        {"action": "block", "pattern": 5},  # not a string
        {"action": "block", "contains": [""]},  # an empty needle would match everything
        {"action": "block", "contains": 5},
        {"name": "named", "action": "block", "model": ["gpt-*"]},
        "block",  # not an object
    ],
)
def test_invalid_rules_are_rejected_and_keep_the_previous_policy(rule):
    set_policy([{"name": "kept", "action": "warn"}])
    with pytest.raises(ValueError):
        set_policy([{"action": "allow"}, rule])
    assert gate_surface("llm.before", {}).rule == "kept"


def test_emit_warn_logs_and_keeps_recent_warnings(caplog):
    outcome = SurfaceOutcome(surface="llm.before", action="warn", reason="old model", rule="legacy")
    with caplog.at_level(logging.WARNING, logger="dravik_observe.decisions.surface_gate"):
        emit_warn(outcome)

    (record,) = caplog.records
    assert record.name == "dravik_observe.decisions.surface_gate"
    assert record.args == ("llm.before", "old model")
    assert list(surface_gate.recent_warnings) == [outcome]


@pytest.mark.parametrize("document", ['"block"', "5", '{"rules": {"action": "block"}}'])
def test_policy_file_that_is_not_a_list_of_rules_is_rejected(tmp_path, monkeypatch, document):
    path = tmp_path / "policy.json"
    path.write_text(document)
    monkeypatch.setenv("DRAVIK_POLICY_FILE", str(path))
    with pytest.raises(ValueError, match="expected a list of rules"):
        gate_surface("llm.before", {"text": "alpha"})
