"""Every memory allocation along every path of the leak checks made to fail,
one at a time.

For each path of hardening_leaks.py, the path runs once per allocation it
makes with just that one allocation failing (k = 0, 1, ... until the k-th
allocation is no longer reached inside the call).  Each such call must end cleanly (a result,
MemoryError, or the path's own outcome) and never as SystemError (a native
function that returned NULL without an exception, or a result with one
pending); and the next undisturbed call must give the undisturbed result, so
that no failure leaves a cache or a table half-built.  A crash kills the
process.

    python alloc_failures.py [--only SUBSTRING] [--limit N]

Needs the interpreter's _testcapi (its allocation hooks).
"""

from __future__ import annotations

import _imp
import argparse
import gc
import importlib.util
import sys
from typing import Any, Callable, List, Tuple

import _testcapi

import hardening_leaks

Outcome = Tuple[str, Any]


# The modules whose attributes the paths rebind for the length of a call.  A
# failing allocation can stop a path's own clean-up half-way, so they are
# put back after every attempt.
PATCHED = (
    hardening_leaks.cost_mod,
    hardening_leaks.guard_mod,
    hardening_leaks.pelrow_mod,
    hardening_leaks.tracing_mod,
    hardening_leaks.host_client,
    hardening_leaks.host_gate,
    hardening_leaks.difflib,
)


def snapshot() -> List[Tuple[dict, dict]]:
    return [(vars(m), dict(vars(m))) for m in PATCHED]


def restore(saved: List[Tuple[dict, dict]]) -> None:
    for namespace, before in saved:
        for name, value in before.items():
            if namespace.get(name) is not value:
                namespace[name] = value


# Allocations made after the call while the failure is still armed: one of
# them fails exactly when the call made fewer allocations than the index.
PROBE = (None,) * 64


def attempt(fn: Callable[[], Any], k: int, saved: List[Tuple[dict, dict]]) -> Tuple[Outcome, bool]:
    """Runs `fn` with its k-th allocation failing: the outcome, and whether the
    k-th allocation happened inside the call."""
    # The run context is made active outside the disturbed window: before
    # 3.12 the interpreter's own context variables can crash when an
    # allocation fails inside them.
    token = None
    if isinstance(fn, hardening_leaks.InContext):
        token = hardening_leaks._current_context.set(fn.ctx)
        fn = fn.fn
    reached = True
    _testcapi.set_nomemory(k, k + 1)
    try:
        result = fn()
        try:
            for _ in PROBE:
                object()
        except MemoryError:
            reached = False
        _testcapi.remove_mem_hooks()
    except BaseException as exc:  # noqa: BLE001 - judged by the caller
        _testcapi.remove_mem_hooks()
        outcome: Outcome = ("raised", exc)
    else:
        outcome = ("returned", result)
    if token is not None:
        hardening_leaks._current_context.reset(token)
    restore(saved)
    return outcome, reached


def same(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except Exception:  # noqa: BLE001 - incomparable results count as different
        return False


def check_path(label: str, fn: Callable[[], Any], limit: int, problems: List[str]) -> int:
    """Fails each allocation of the path in turn; returns how many there were."""
    saved = snapshot()
    baseline = fn()
    comparable = same(fn(), baseline)  # results that differ from call to call are not compared
    for k in range(limit):
        (kind, value), reached = attempt(fn, k, saved)
        if not reached:
            return k
        if kind == "raised" and isinstance(value, SystemError):
            problems.append(f"{label}: allocation {k}: SystemError {value}")
        elif kind == "raised" and not isinstance(value, MemoryError):
            # An ordinary exception may only come from code that turned the
            # MemoryError into its own error.
            if not isinstance(value.__context__, MemoryError) and not isinstance(value.__cause__, MemoryError):
                problems.append(f"{label}: allocation {k}: {type(value).__name__} {value}")
        after = fn()
        if comparable and not same(after, baseline):
            problems.append(f"{label}: allocation {k}: the next call gave {after!r:.200} instead of {baseline!r:.200}")
    problems.append(f"{label}: more than {limit} allocations")
    return limit


def fresh_copy(name: str) -> Callable[[], Any]:
    """A path that makes and initialises a new copy of the module, outside the
    import system (whose own locks do not survive a failed allocation), and
    drops it."""
    spec = importlib.util.find_spec(name)

    def run() -> None:
        _imp.exec_dynamic(_imp.create_dynamic(spec))

    return run


# Not the span capture: at import it probes OpenTelemetry's attribute class,
# whose dict-items loop an allocation failure turns into a crash of the
# interpreter itself on 3.10 (dictiter_new frees an untracked iterator).
COPIES = [(f"new copy of {name}", fresh_copy(name)) for name in (
    "dravik_observe.cost",
    "dravik_observe.instrumentors._pelrow",
    "dravik_observe.instrumentors._guard",
)]


def main(argv: Any = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default="")
    parser.add_argument("--limit", type=int, default=4096, help="most allocations tried per path")
    parser.add_argument("--verbose", action="store_true", help="one line per path")
    args = parser.parse_args(argv)
    # A tracer (coverage.py under `make coverage`) would allocate inside the
    # disturbed calls and take their failures.
    sys.settrace(None)
    problems: List[str] = []
    paths = [(label, fn) for label, fn in hardening_leaks.paths() + COPIES if args.only in label]
    failed_allocations = 0
    for label, fn in paths:
        fn()  # warm the caches and lazy imports first
        gc.collect()
        gc.disable()
        try:
            count = check_path(label, fn, args.limit, problems)
        finally:
            gc.enable()
        failed_allocations += count
        if args.verbose:
            print(f"{count:6d} {label}")
    for line in problems[:40]:
        print(line)
    print(f"{len(paths)} paths, {failed_allocations} allocations failed one at a time, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
