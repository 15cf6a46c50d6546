"""PromptGuardResult as the compiled guard builds and reads it."""

import pytest

from dravik_observe.types import PromptGuardResult


def test_prompt_guard_result_contract():
    result = PromptGuardResult(passed=True, action="redact", redacted_messages=[{"role": "user"}])
    assert (result.violations, result.source, result._redacted_system) == ([], "local", None)
    result._redacted_system = "sys"
    assert result._redacted_system == "sys"
    with pytest.raises(TypeError):
        PromptGuardResult(True, "allow")  # type: ignore[misc]  # keywords only
