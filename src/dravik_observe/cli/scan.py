"""``dravik-observe scan``: the prompt guard over a file or standard input."""

from __future__ import annotations

import json
import sys
from typing import Any, List, Optional, Tuple

from dravik_observe.types import PromptGuardResult


class InputError(Exception):
    """The input cannot be read or is not a prompt."""


def read_input(path: str) -> str:
    try:
        if path == "-":
            return sys.stdin.read()
        with open(path, encoding="utf-8") as handle:
            return handle.read()
    except (OSError, UnicodeDecodeError) as exc:
        where = "standard input" if path == "-" else path
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise InputError(f"cannot read {where}: {reason}") from None


def _system_text(value: Any) -> str:
    """A system prompt as text: a string, or the text blocks of a list."""
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    if isinstance(value, list):
        parts = [b.get("text", "") for b in value if isinstance(b, dict) and b.get("type") == "text"]
        if all(isinstance(p, str) for p in parts):
            return "\n".join(parts)
    raise InputError("\"system\" must be a string or a list of text blocks")


def parse_prompt(raw: str, input_format: str) -> Tuple[List[Any], str]:
    """(messages, system) from plain text or a JSON chat request."""
    stripped = raw.lstrip()
    as_json = input_format == "json" or (input_format == "auto" and stripped[:1] in ("{", "["))
    if not as_json:
        return [{"role": "user", "content": raw}], ""
    try:
        data = json.loads(raw)
    except json.JSONDecodeError as exc:
        raise InputError(f"malformed JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    if isinstance(data, list):
        return data, ""
    if isinstance(data, dict) and isinstance(data.get("messages", []), list):
        return list(data.get("messages", [])), _system_text(data.get("system"))
    raise InputError("JSON input must be an object with a \"messages\" list, or a list of messages")


def _outcome(result: Optional[PromptGuardResult], action: str) -> dict:
    if result is None:
        return {"clean": True, "action": "allow", "passed": True, "violations": [], "source": "local"}
    outcome = {
        "clean": not result.violations,
        "action": result.action,
        "passed": result.passed,
        "violations": list(result.violations),
        "source": result.source,
    }
    if result.redacted_messages is not None:
        outcome["redacted_messages"] = result.redacted_messages
        outcome["redacted_system"] = getattr(result, "_redacted_system", None)
    return outcome


def _print_report(outcome: dict) -> None:
    if outcome["clean"]:
        print("clean: no findings")
        return
    count = len(outcome["violations"])
    print(f"{count} finding{'s' if count != 1 else ''} (action: {outcome['action']}, source: {outcome['source']})")
    for violation in outcome["violations"]:
        print(f"  - {violation}")
    if "redacted_messages" in outcome:
        print("redacted messages:")
        for message in outcome["redacted_messages"]:
            print(f"  {json.dumps(message, ensure_ascii=False)}")
        if outcome.get("redacted_system"):
            print(f"redacted system prompt: {outcome['redacted_system']}")


def run_scan(path: str, *, action: str, input_format: str, model: str, as_json: bool) -> int:
    from dravik_observe.instrumentors import _guard

    try:
        messages, system = parse_prompt(read_input(path), input_format)
    except InputError as exc:
        print(f"dravik-observe scan: error: {exc}", file=sys.stderr)
        return 2
    _guard.configure(enabled=True, server=False, action=action)
    try:
        result = _guard.check_prompt(messages, model, system)
    except TypeError as exc:
        print(f"dravik-observe scan: error: unsupported message shape: {exc}", file=sys.stderr)
        return 2
    outcome = _outcome(result, action)
    if as_json:
        print(json.dumps(outcome, ensure_ascii=False, indent=2, default=str))
    else:
        _print_report(outcome)
    return 0 if outcome["clean"] else 1
