"""Module teardown, each case in a child interpreter (the driver is teardown_driver.py).

Copies of every module are imported, used and freed many times with the
references and allocated blocks of the interpreter watched; and functions
whose module the collector has cleared (as it does with a garbage cycle, in
any order, while a finaliser may still call them) fail cleanly instead of
reading freed state."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
MODULES = (
    "dravik_observe.cost",
    "dravik_observe.instrumentors._guard",
    "dravik_observe.instrumentors._pelrow",
    "dravik_observe.tracing.vintrel",
)
# Copies per window (three windows): the sanitizer build runs much slower.
ROUNDS = 12 if os.environ.get("DRAVIK_SANITIZED") else 30


def run_driver(*args: str) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env.pop("DRAVIK_OBSERVE_URL", None)
    env.pop("DRAVIK_SURFACE_GATE", None)
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "teardown_driver.py", *args],
        cwd=HERE,
        capture_output=True,
        text=True,
        timeout=600,
        env=env,
    )


def report(proc: subprocess.CompletedProcess) -> str:
    return f"exit status {proc.returncode}\nstdout:\n{proc.stdout[-4000:]}\nstderr:\n{proc.stderr[-4000:]}"


@pytest.mark.parametrize("module", MODULES)
def test_freed_copies_leave_no_references_or_blocks_behind(module: str) -> None:
    proc = run_driver("leaks", module, str(ROUNDS))
    assert proc.returncode == 0, report(proc)
    assert "0 objects gaining references" in proc.stdout, report(proc)


@pytest.mark.parametrize("cleared", ["state", "functions"])
@pytest.mark.parametrize("module", MODULES)
def test_functions_of_a_cleared_module_fail_cleanly(module: str, cleared: str) -> None:
    """Calls raise RuntimeError (or return None where failures are ignored), introspection works."""
    proc = run_driver("cleared", module, cleared)
    assert proc.returncode == 0, report(proc)
    assert proc.stderr == "", report(proc)
    assert "functions fail cleanly" in proc.stdout, report(proc)
