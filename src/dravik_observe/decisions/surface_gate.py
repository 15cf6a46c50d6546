"""Policy-driven gate for the surfaces where the kit can intervene.

A surface is a named point in an instrumented call, such as "llm.before" (just
before a model is called). The prompt guard asks :func:`gate_surface` for a
decision on the call's payload ({"model": ..., "text": ...}) and acts on it:
block the call, log a warning through :func:`emit_warn`, redact the prompt, or
let it through.

Decisions come from a policy: an ordered list of rules. The first rule whose
conditions all hold decides; when none does, the call is allowed. A rule is a
dict with these keys:

``action`` (required)
    "allow", "block", "warn" or "redact".
``surface``
    Glob of the surfaces the rule applies to; "*" (every surface) by default.
``model``
    Glob matched against the payload's model name, ignoring case.
``contains``
    A string or a list of strings; holds when any of them occurs in the
    payload's text, ignoring case.
``pattern``
    Regular expression searched for in the payload's text.
``name``, ``reason``
    Reported on the outcome.

Example policy file::

    [
      {"name": "no-secrets", "surface": "llm.before", "action": "block",
       "pattern": "sk-[A-Za-z0-9]{20,}", "reason": "API key in prompt"},
      {"name": "legacy-models", "model": "gpt-3.5*", "action": "warn",
       "reason": "deprecated model"}
    ]

The policy is set in-process with :func:`set_policy`, or read from the JSON
file named by ``DRAVIK_POLICY_FILE`` (a list of rules, or an object with a
"rules" list); the file is read again whenever its path or modification time
changes. An in-process policy takes precedence over the file.
"""

from __future__ import annotations

import collections
import fnmatch
import json
import logging
import os
import re
from dataclasses import dataclass
from typing import Any, Deque, Dict, Iterable, Mapping, Optional, Pattern, Tuple

__all__ = [
    "ACTIONS",
    "SurfaceOutcome",
    "clear_policy",
    "emit_warn",
    "gate_surface",
    "recent_warnings",
    "set_policy",
]

logger = logging.getLogger(__name__)

ACTIONS = frozenset({"allow", "block", "warn", "redact"})
"""The actions a rule may take."""

POLICY_FILE_ENV = "DRAVIK_POLICY_FILE"

_RULE_KEYS = frozenset({"name", "surface", "action", "model", "contains", "pattern", "reason"})


@dataclass
class SurfaceOutcome:
    """The gate's decision for one call on one surface."""

    surface: str
    action: str = "allow"
    reason: str = ""
    rule: Optional[str] = None

    @property
    def is_block(self) -> bool:
        """Whether the call must not be made."""
        return self.action == "block"


recent_warnings: Deque[SurfaceOutcome] = collections.deque(maxlen=100)
"""The latest outcomes passed to :func:`emit_warn`, oldest first."""


@dataclass(frozen=True)
class _Rule:
    name: Optional[str]
    surface: str
    action: str
    model: Optional[str]
    contains: Tuple[str, ...]
    pattern: Optional[Pattern[str]]
    reason: str

    def matches(self, surface: str, model: str, text: str) -> bool:
        if not fnmatch.fnmatchcase(surface, self.surface):
            return False
        if self.model is not None and not fnmatch.fnmatchcase(model.lower(), self.model):
            return False
        if self.contains:
            folded = text.lower()
            if not any(needle in folded for needle in self.contains):
                return False
        if self.pattern is not None and self.pattern.search(text) is None:
            return False
        return True


def _optional_str(raw: Mapping[str, Any], key: str, label: str) -> Optional[str]:
    value = raw.get(key)
    if value is not None and not isinstance(value, str):
        raise ValueError(f"{label}: {key!r} must be a string, got {type(value).__name__}")
    return value


def _parse_rule(raw: Any, index: int) -> _Rule:
    """Validate one rule of a policy and compile it."""
    if not isinstance(raw, Mapping):
        raise ValueError(f"policy rule #{index} must be an object, got {type(raw).__name__}")
    label = f"policy rule #{index}" + (f" ({raw['name']!r})" if raw.get("name") else "")
    unknown = sorted(str(key) for key in raw if key not in _RULE_KEYS)
    if unknown:
        raise ValueError(f"{label}: unknown key(s) {', '.join(unknown)}")
    action = raw.get("action")
    if action not in ACTIONS:
        raise ValueError(f"{label}: action must be one of {sorted(ACTIONS)}, got {action!r}")

    contains = raw.get("contains")
    if contains is None:
        needles: Tuple[str, ...] = ()
    else:
        if isinstance(contains, str):
            contains = [contains]
        if not isinstance(contains, list) or not all(isinstance(n, str) and n for n in contains):
            raise ValueError(f"{label}: 'contains' must be a non-empty string or a list of them")
        needles = tuple(n.lower() for n in contains)

    pattern_text = _optional_str(raw, "pattern", label)
    try:
        pattern = re.compile(pattern_text) if pattern_text is not None else None
    except re.error as exc:
        raise ValueError(f"{label}: invalid pattern: {exc}") from exc

    model = _optional_str(raw, "model", label)
    return _Rule(
        name=_optional_str(raw, "name", label),
        surface=_optional_str(raw, "surface", label) or "*",
        action=action,
        model=model.lower() if model is not None else None,
        contains=needles,
        pattern=pattern,
        reason=_optional_str(raw, "reason", label) or "",
    )


def _parse_policy(rules: Iterable[Any]) -> Tuple[_Rule, ...]:
    return tuple(_parse_rule(raw, index) for index, raw in enumerate(rules))


# The in-process policy, or None; when set it is used instead of the file.
_policy: Optional[Tuple[_Rule, ...]] = None
# The last policy read from a file, with the (path, mtime, size) it was read at.
_file_cache: Optional[Tuple[Tuple[str, int, int], Tuple[_Rule, ...]]] = None


def set_policy(rules: Iterable[Mapping[str, Any]]) -> None:
    """Use ``rules`` as the policy of this process, in place of any policy file.

    Raises:
        ValueError: A rule is invalid; the previous policy stays in force.
    """
    global _policy
    _policy = _parse_policy(rules)


def clear_policy() -> None:
    """Drop the in-process policy; the policy file (if any) applies again."""
    global _policy
    _policy = None


def _load_file(path: str) -> Tuple[_Rule, ...]:
    global _file_cache
    stat = os.stat(path)
    key = (path, stat.st_mtime_ns, stat.st_size)
    cache = _file_cache
    if cache is not None and cache[0] == key:
        return cache[1]
    with open(path, encoding="utf-8") as handle:
        document = json.load(handle)
    if isinstance(document, dict):
        document = document.get("rules", [])
    if not isinstance(document, list):
        raise ValueError(f"policy file {path}: expected a list of rules")
    rules = _parse_policy(document)
    _file_cache = (key, rules)
    return rules


def _active_rules() -> Tuple[_Rule, ...]:
    if _policy is not None:
        return _policy
    path = os.environ.get(POLICY_FILE_ENV, "").strip()
    return _load_file(path) if path else ()


def gate_surface(surface: str, payload: Dict[str, Any]) -> SurfaceOutcome:
    """Decide what to do with a call on ``surface``.

    Args:
        surface: The surface name, e.g. "llm.before".
        payload: The call's facts; "model" and "text" are read, missing ones
            count as empty.

    Returns:
        The outcome of the first matching rule, or "allow" with an empty
        reason when no rule matches.

    Raises:
        OSError, ValueError: The policy file cannot be read or is invalid.
    """
    model = str(payload.get("model") or "")
    text = str(payload.get("text") or "")
    for rule in _active_rules():
        if rule.matches(surface, model, text):
            return SurfaceOutcome(surface=surface, action=rule.action, reason=rule.reason, rule=rule.name)
    return SurfaceOutcome(surface=surface)


def emit_warn(outcome: SurfaceOutcome) -> None:
    """Report a "warn" decision: log it and keep it in :data:`recent_warnings`."""
    logger.warning("Surface gate warning on %s: %s", outcome.surface, outcome.reason)
    recent_warnings.append(outcome)

