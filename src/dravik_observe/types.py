"""Result types shared by the host layer and the compiled guard module."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, List, Optional

__all__ = ["PromptGuardResult"]


@dataclass(kw_only=True)
class PromptGuardResult:
    """Verdict of a prompt check made before an LLM call.

    Built by the prompt guard with keyword arguments only.

    Attributes:
        passed: True when the call may proceed (possibly with redacted input).
        action: What was decided: "allow", "warn", "redact" or "block".
        violations: Human-readable findings that led to the decision.
        source: Where the findings come from: "local", "server", "both" or
            "policy" (the surface gate).
        redacted_messages: Redacted copies of the request's messages when the
            action is "redact", otherwise None.
        _redacted_system: The redacted system prompt; set by the guard after
            construction when it redacts, otherwise None.
    """

    passed: bool
    action: str
    violations: List[str] = field(default_factory=list)
    source: str = "local"
    redacted_messages: Optional[List[Any]] = None
    _redacted_system: Optional[str] = field(default=None, init=False)
