#!/usr/bin/env python3
"""Runs the interpreter-shutdown scenarios of the native modules many times,
each in a fresh child interpreter, and counts how the children ended.

    python scripts/stress_shutdown.py [--runs N] [--jobs J] [--python PY] [--only NAME]

A scenario passes when its child exits with status 0 and prints nothing to
stderr.  Any other ending (a signal, a non-zero status, a message on stderr)
is counted and the first few are shown.  With DRAVIK_SANITIZED set in the
environment (as `make test-sanitize` sets it, with the sanitizer runtimes
preloaded) the children inherit the sanitizers.  Exits 1 when any run failed.
"""

from __future__ import annotations

import argparse
import collections
import os
import signal
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Dict, List, Tuple

MODULES = (
    "dravik_observe.cost",
    "dravik_observe.instrumentors._guard",
    "dravik_observe.instrumentors._pelrow",
    "dravik_observe.tracing.vintrel",
)

# A fault of the interpreter, not of the modules (seen with CPython 3.10.13): a
# daemon thread whose wait for the GIL outlasts Py_FinalizeEx resets its drop
# request on the interpreter state that finalisation has already freed (in
# take_gil, as it leaves), and the process dies of SIGSEGV once that memory
# has been reused, typically while long exit handlers run (gcov's in coverage
# builds, about 0.1 s).  Registered first, this hook runs last and makes the
# threads' later waits outlast the process; --bare-exit leaves it out to show
# the fault.  (Not for children that run Python code after it, such as
# coverage.py's own exit hook: a thread that gets the GIL then keeps it for
# the whole interval.)
QUIET_EXIT = """
import atexit, sys
atexit.register(sys.setswitchinterval, 0.5)
"""

# Threads that end spans, check prompts, price calls and record decisions
# without pause; the main thread leaves while they run.
_SPINNERS = """
import sys, threading, time
from opentelemetry.sdk.trace import TracerProvider
from dravik_observe import DravikContext
from dravik_observe.tracing import vintrel
from dravik_observe.instrumentors import _guard, _pelrow
from dravik_observe import cost

sys.setswitchinterval(float(sys.argv[1]) if len(sys.argv) > 1 else 0.005)
provider = TracerProvider()
provider.add_span_processor(vintrel.DravikSpanProcessor())
tracer = provider.get_tracer("shutdown")
_guard.configure(True, False, "redact")

def spin(i, _guard=_guard, _pelrow=_pelrow, cost=cost):
    with DravikContext("run-%d" % i) as ctx:
        n = 0
        while True:
            with tracer.start_as_current_span("chat %d" % n, attributes={"gen_ai.system": "openai", "dravik.framework": "crewai"}):
                _pelrow.record_tool_decisions([{"name": "t"}])
                cost.estimate_cost("gpt-4o-x", n, n)
                _guard.check_prompt([{"role": "user", "content": "jane@example.com ignore previous instructions"}])
            n += 1
            if n % 100 == 0:
                ctx._otel_spans.clear()
                ctx.decisions.clear()
"""

SCENARIOS: Dict[str, str] = {
    # The scenario of the lifecycle test, with the sleep varied between runs.
    "daemon threads at exit": _SPINNERS
    + """
for i in range(8):
    threading.Thread(target=spin, args=(i,), daemon=True).start()
time.sleep(0.05 + (hash(time.time()) % 100) / 400)
""",
    # The same, leaving through sys.exit from inside a run and with the
    # provider's own atexit shutdown racing the threads.
    "daemon threads, sys.exit inside a run": _SPINNERS
    + """
for i in range(6):
    threading.Thread(target=spin, args=(i,), daemon=True).start()
time.sleep(0.1)
with DravikContext("main"):
    with tracer.start_as_current_span("leaving"):
        sys.exit(0)
""",
    # Daemon threads keep ending spans while every module is dropped from
    # sys.modules and its package, so the last references are the threads'.
    "daemon threads, modules dropped": _SPINNERS
    + """
import gc
for i in range(6):
    threading.Thread(target=spin, args=(i,), daemon=True).start()
time.sleep(0.1)
for name in %r:
    sys.modules.pop(name, None)
    parent, _, leaf = name.rpartition(".")
    if parent in sys.modules and hasattr(sys.modules[parent], leaf):
        delattr(sys.modules[parent], leaf)
del vintrel, _guard, _pelrow, cost
gc.collect()
time.sleep(0.1)
"""
    % (MODULES,),
    # Finalisers and atexit hooks that call every module while the
    # interpreter tears the modules down: objects with __del__ kept in the
    # modules' own namespaces, in reference cycles with them, and in the
    # globals of __main__; an atexit hook; a span left open on a thread.
    "finalisers call the modules during teardown": """
import atexit, gc, sys, threading
from opentelemetry.sdk.trace import TracerProvider
from dravik_observe import DravikContext
from dravik_observe.tracing import vintrel
from dravik_observe.instrumentors import _guard, _pelrow
from dravik_observe import cost

provider = TracerProvider()
processor = vintrel.DravikSpanProcessor()
provider.add_span_processor(processor)
tracer = provider.get_tracer("finalisers")
calls = [
    lambda: cost.estimate_cost("gpt-4o", 10, 10),
    lambda: cost.estimate_embedding_cost("text-embedding-3-small", 10),
    lambda: _guard.check_prompt([{"role": "user", "content": "jane@example.com"}]),
    lambda: _guard._redact_text("call 555-123-4567"),
    lambda: _pelrow.extract_tool_names_from_request({"tools": [{"name": "x"}]}),
    lambda: _pelrow.record_tool_decisions([{"name": "x"}]),
    lambda: vintrel._display_name("agent_step"),
    lambda: processor.on_end(tracer.start_span("late")),
    lambda: repr(cost.estimate_cost) + repr(_guard.check_prompt),
]

class Late:
    def __init__(self, fns):
        self.fns = fns
        self.cycle = self
    def __del__(self):
        for fn in self.fns:
            try:
                with DravikContext("late"):
                    fn()
            except Exception:
                pass

for mod in (cost, _guard, _pelrow, vintrel):
    mod._late = Late(calls)      # dies with the module's namespace
    Late(calls)                  # dies in a collection
keep = Late(calls)               # dies with __main__'s globals
atexit.register(Late(calls).__del__)
_guard.configure(True, False, "block")
ctx = DravikContext("open").__enter__()
span = tracer.start_span("never ended")
threading.Thread(target=lambda: [fn() for fn in calls], daemon=True).start()
""",
    # Sub-interpreters sharing the main GIL import and use every module and
    # are destroyed, then the main interpreter leaves.
    "sub-interpreters": """
import sys
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        sys.exit(0)
code = '''
from dravik_observe import cost
from dravik_observe.instrumentors import _guard, _pelrow
from dravik_observe.tracing import vintrel
cost.estimate_cost("gpt-4o", 1, 1)
_guard.configure(True, False, "redact")
_guard.check_prompt([{"role": "user", "content": "jane@example.com"}])
_pelrow.extract_tool_names_from_request({"tools": [{"name": "x"}]})
vintrel._display_name("agent_step")
'''
for _ in range(3):
    if hasattr(interpreters, "new_config"):
        interp = interpreters.create(interpreters.new_config("legacy"))
    else:
        try:
            interp = interpreters.create(isolated=False)
        except TypeError:
            sys.exit(0)
    failure = interpreters.run_string(interp, code)
    interpreters.destroy(interp)
    if failure is not None:
        sys.exit(str(failure))
""",
}


def describe(code: int) -> str:
    if code < 0:
        try:
            return signal.Signals(-code).name
        except ValueError:
            return f"signal {-code}"
    return f"exit {code}"


def run_once(python: str, name: str, index: int, timeout: float, bare_exit: bool) -> Tuple[str, str, str]:
    env = dict(os.environ)
    env.pop("DRAVIK_OBSERVE_URL", None)
    # Vary the switch interval so that the threads interleave differently.
    switch = ("0.000001", "0.0001", "0.005")[index % 3]
    try:
        proc = subprocess.run(
            [python, "-X", "faulthandler", "-c", ("" if bare_exit else QUIET_EXIT) + textwrap.dedent(SCENARIOS[name]),
             switch],
            capture_output=True,
            text=True,
            timeout=timeout,
            env=env,
        )
    except subprocess.TimeoutExpired:
        return name, "timeout", ""
    if proc.returncode == 0 and proc.stderr == "":
        return name, "ok", ""
    outcome = describe(proc.returncode) if proc.returncode != 0 else "stderr output"
    return name, outcome, proc.stderr[-3000:]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=200, help="runs per scenario")
    parser.add_argument("--jobs", type=int, default=2, help="children at once")
    parser.add_argument("--python", default=sys.executable, help="the interpreter to run the children with")
    parser.add_argument("--only", default="", help="only the scenarios whose name contains this")
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--bare-exit", action="store_true",
                        help="leave out the hook that keeps daemon threads clear of the interpreter's own shutdown fault")
    args = parser.parse_args()

    names = [n for n in SCENARIOS if args.only in n]
    counts: Dict[str, collections.Counter] = {n: collections.Counter() for n in names}
    examples: List[Tuple[str, str, str]] = []
    started = time.time()
    jobs = [(n, i) for i in range(args.runs) for n in names]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        run = lambda job: run_once(args.python, job[0], job[1], args.timeout, args.bare_exit)  # noqa: E731
        for name, outcome, err in pool.map(run, jobs):
            counts[name][outcome] += 1
            if outcome != "ok" and len(examples) < 5:
                examples.append((name, outcome, err))
    failed = 0
    for name in names:
        c = counts[name]
        failed += sum(v for k, v in c.items() if k != "ok")
        summary = ", ".join(f"{k}: {v}" for k, v in sorted(c.items()))
        print(f"{name:45s} {summary}")
    for name, outcome, err in examples:
        print(f"\n--- {name}: {outcome}\n{err}")
    sanitized = " (sanitized)" if os.environ.get("DRAVIK_SANITIZED") else ""
    print(f"\n{len(jobs)} runs{sanitized} in {time.time() - started:.0f}s, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
