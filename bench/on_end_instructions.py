"""Instructions per span of the span processor, counted by callgrind.

Instruction counts do not depend on the machine's load, so they show a change
in the span capture's hot path on a busy machine where bench_tracing.py's
times cannot.  For the synthetic 15-attribute LLM span of bench_tracing.py:

* ``on_end`` inside a run: inclusive instructions of the native on_end per
  call (the host's ``_record_integration`` included), for spans of traces of
  their own and for children of one root span (which share its ids), with
  the heaviest callees when ``--top`` is given; the difference of 1,000 and
  5,000 calls, with a fixed hash seed;
* per span, the SDK's start and end alone, and what DravikSpanProcessor (in
  a run) and the plain-Python baseline add to them: the difference of two
  runs of different lengths, so that start-up cancels out; records are kept
  on the run as they are in bench_tracing.py, and the garbage collector runs
  as it would.

Needs valgrind.  ``python bench/on_end_instructions.py --symbols
build/py3.10 [--top N]``: on_end is found by its symbol, and the installed
extension is stripped, so the build directory's copy (which keeps its
symbols) is loaded in its place; without it only the per-span figures mean
anything.
"""

from __future__ import annotations

import argparse
import gc
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
SHORT, LONG = 400, 1600
# A fixed hash seed: dict probe sequences, and so the counts, repeat exactly.
ENV = dict(os.environ, PYTHONHASHSEED="0")


def load_unstripped(directory: str) -> None:
    """Loads the span-capture extension from `directory` (the build's copy,
    which keeps its symbols) in place of the installed, stripped one."""
    import importlib.util

    import dravik_observe.tracing

    found = sorted(Path(directory).glob("vintrel.*"))
    if not found:
        sys.exit(f"no vintrel extension in {directory}")
    name = "dravik_observe.tracing.vintrel"
    spec = importlib.util.spec_from_file_location(name, found[0])
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    dravik_observe.tracing.vintrel = module


def child(mode: str, n: int) -> None:
    sys.path.insert(0, str(HERE))
    if os.environ.get("DRAVIK_SYMBOLS_DIR"):
        load_unstripped(os.environ["DRAVIK_SYMBOLS_DIR"])
    from bench_tracing import LLM_ATTRIBUTES, _internal, ended_span  # noqa: F401
    from opentelemetry.sdk.trace import TracerProvider

    from dravik_observe import DravikContext
    from dravik_observe.tracing.vintrel import DravikSpanProcessor

    if mode in ("on_end", "on_end_child"):
        # Spans of their own (ids included), ended beforehand: as root spans
        # of traces of their own, or as children of one root span, whose ids
        # they share.
        tracer = TracerProvider().get_tracer("bench")
        context = None
        if mode == "on_end_child":
            from opentelemetry import trace

            context = trace.set_span_in_context(tracer.start_span("root"))
        spans = []
        for _ in range(n):
            span = tracer.start_span("chat gpt-4o-mini", context=context, kind=_internal(), attributes=LLM_ATTRIBUTES)
            span.end()
            spans.append(span._readable_span())
        processor = DravikSpanProcessor()
        # The garbage of the imports is collected before, not in a collection
        # that one of the counted calls happens to start.
        gc.collect()
        with DravikContext("instructions", client=None) as run:
            for span in spans:
                processor.on_end(span)
        assert len(run._otel_spans) == n
        return
    provider = TracerProvider()
    if mode == "native":
        provider.add_span_processor(DravikSpanProcessor())
    elif mode == "plain":
        from plain_span_processor import PlainSpanProcessor

        provider.add_span_processor(PlainSpanProcessor())
    start_span = provider.get_tracer("bench").start_span
    kind = _internal()
    run = DravikContext("instructions", client=None) if mode != "sdk" else None
    if run is not None:
        run.__enter__()
    for _ in range(50):  # warm-up: first-use imports and caches
        start_span("chat gpt-4o-mini", kind=kind, attributes=LLM_ATTRIBUTES).end()
    if run is not None:
        run._otel_spans.clear()
    for _ in range(n):
        start_span("chat gpt-4o-mini", kind=kind, attributes=LLM_ATTRIBUTES).end()
    if run is not None:
        assert len(run._otel_spans) == n
        run._otel_spans.clear()
        run.__exit__(None, None, None)


def callgrind(args: list, extra: list, out: Path) -> str:
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *extra,
           sys.executable, __file__, *args]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=ENV)
    if proc.returncode != 0:
        sys.exit(f"callgrind failed:\n{proc.stderr[-3000:]}")
    return proc.stderr


def total_ir(out: Path) -> int:
    for line in out.read_text().splitlines():
        if line.startswith("summary:") or line.startswith("totals:"):
            return int(line.split()[1])
    raise RuntimeError("no totals in callgrind output")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", nargs=2, metavar=("MODE", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--top", type=int, default=0, help="list the N heaviest callees of on_end")
    parser.add_argument("--calls", type=int, default=1000, help="on_end calls counted")
    parser.add_argument("--symbols", metavar="DIR", help="load the extension from DIR (the unstripped build copy)")
    parser.add_argument("--no-spans", action="store_true", help="on_end only, not the per-span deltas")
    opts = parser.parse_args()
    if opts.child:
        child(opts.child[0], int(opts.child[1]))
        return
    if shutil.which("valgrind") is None:
        sys.exit("valgrind not found")
    if opts.symbols:
        ENV["DRAVIK_SYMBOLS_DIR"] = str(Path(opts.symbols).resolve())
    with tempfile.TemporaryDirectory() as tmp:
        # Two lengths: the first call's one-time work (class checks, caches) cancels out.
        print(f"Python {sys.version.split()[0]}")
        for mode, label in (("on_end", "root spans"), ("on_end_child", "children of one root span")):
            counts = []
            for calls in (opts.calls, 5 * opts.calls):
                out = Path(tmp) / f"{mode}-{calls}.out"
                callgrind(["--child", mode, str(calls)], ["--toggle-collect=*on_end_impl*"], out)
                counts.append(total_ir(out))
            per_call = (counts[1] - counts[0]) / (4 * opts.calls)
            print(f"on_end inside a run, 15-attribute LLM span, {label}: {per_call:,.0f} instructions per call")
            if per_call == 0:
                print("  (on_end not found: the extension has no symbols; see --symbols)")
            if mode == "on_end":
                top_out = out
        out = top_out
        calls = 5 * opts.calls
        if opts.top:
            annotate = subprocess.run(["callgrind_annotate", "--inclusive=yes", f"--threshold=100", str(out)],
                                      capture_output=True, text=True).stdout
            rows = []
            for line in annotate.splitlines():
                m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)", line)
                if m:
                    name = re.sub(r"\s*\[[^]]*\]$", "", m.group(2))
                    name = re.sub(r"^.*?:(?=[A-Za-z_])", "", name) if not name.startswith("???") else name[4:]
                    rows.append((int(m.group(1).replace(",", "")) / calls, name))
            for ir, fn in [r for r in rows if "PyEval" not in r[1] and "main" not in r[1]][: opts.top]:
                print(f"  {ir:>9,.0f}  {fn[:150]}")
        if opts.no_spans:
            return
        per_span = {}
        for mode in ("sdk", "native", "plain"):
            irs = []
            for n in (SHORT, LONG):
                o = Path(tmp) / f"{mode}-{n}.out"
                callgrind(["--child", mode, str(n)], [], o)
                irs.append(total_ir(o))
            per_span[mode] = (irs[1] - irs[0]) / (LONG - SHORT)
        sdk = per_span["sdk"]
        native = per_span["native"] - sdk
        plain = per_span["plain"] - sdk
        print(f"per span: SDK start+end alone {sdk:,.0f}; added by DravikSpanProcessor in a run "
              f"{native:,.0f} ({native / sdk:.1%}); by the plain-Python processor {plain:,.0f} "
              f"({plain / native:.1f}x the native)")


if __name__ == "__main__":
    main()
