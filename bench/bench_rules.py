"""The prompt guard with a real secret-scanner rule set added to its tables,
against plain ``re`` on the same tables, in the same run.

    python bench/bench_rules.py [--quick]

The default rules of an open-source secret scanner (tests/instrumentors/guard/
data/gitleaks_rules.toml) are compiled with ``re``, unmodified, and added to
``_CREDENTIAL_PATTERNS`` next to the built-in patterns.  Printed:
  * how many rules ``re`` compiles and how many of those the native engine
    takes (the rest run through ``re`` inside the guard);
  * compile time per rule, engine against ``re`` (median and worst);
  * ``check_prompt`` (action "block", no server tier) on prompts of 2 KB,
    100 KB and 1 MB of clean English-like prose (ASCII, with non-ASCII
    characters of the BMP, and with one emoji), native against the same
    check written in plain Python over ``re``; MB/s and the ratio;
  * the first call after the tables changed (every pattern compiled) and
    the second (all cached).
"""

from __future__ import annotations

import argparse
import os
import random
import re
import statistics
import sys
import time
import warnings

os.environ["DRAVIK_SURFACE_GATE"] = "off"
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from dravik_observe import _rx  # noqa: E402
from dravik_observe.instrumentors import _guard  # noqa: E402

import bench_guard  # noqa: E402
from bench_regex import NON_ASCII_BMP, english  # noqa: E402

RULES_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "instrumentors", "guard", "data",
                          "gitleaks_rules.toml")


def load_rules():
    text = open(RULES_FILE, encoding="utf-8").read()
    rules = re.findall(r"^id = \"([^\"]+)\"\nregex = '''(.*)'''$", text, re.M)
    compiled = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for rule_id, regex in rules:
            try:
                compiled.append((rule_id, re.compile(regex)))
            except re.error:
                pass
    return rules, compiled


def per_call(fn, min_time=0.3):
    """(wall seconds, processor seconds) per call: on a busy machine the
    second says more."""
    fn()
    n, start, cpu = 0, time.perf_counter(), time.process_time()
    while True:
        fn()
        n += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_time and n >= 3:
            return elapsed / n, (time.process_time() - cpu) / n


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="skip the 1 MB prompts")
    quick = parser.parse_args().quick
    rules, compiled = load_rules()
    taken = 0
    t_rx, t_re = [], []
    for _, p in compiled:
        try:
            t0 = time.perf_counter()
            _rx.compile(p.pattern, p.flags)
            t_rx.append(time.perf_counter() - t0)
            taken += 1
        except ValueError:
            continue
        re.purge()
        t0 = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            re.compile(p.pattern, p.flags)
        t_re.append(time.perf_counter() - t0)
    print("CPython %s, load average %.2f" % (sys.version.split()[0], os.getloadavg()[0]))
    print("rules: %d in the file, %d compiled by re, %d of those taken by the engine (%.1f%%)"
          % (len(rules), len(compiled), taken, 100.0 * taken / len(compiled)))
    print("compile per rule: engine median %.0f us, worst %.0f us; re median %.0f us, worst %.0f us"
          % (statistics.median(t_rx) * 1e6, max(t_rx) * 1e6, statistics.median(t_re) * 1e6, max(t_re) * 1e6))

    for label, p in compiled:
        _guard._CREDENTIAL_PATTERNS[label] = p
    bench_guard.PII = dict(_guard._PII_PATTERNS)
    bench_guard.CREDENTIALS = dict(_guard._CREDENTIAL_PATTERNS)
    bench_guard.INJECTION = list(_guard._INJECTION_PATTERNS)
    _guard.configure(True, False, "block")
    rng = random.Random(7)
    emoji_text = lambda n: english(n // 2, rng) + "\U0001f600" + english(n - n // 2 - 1, rng)  # noqa: E731
    sizes = [2_000, 100_000] if quick else [2_000, 100_000, 1_000_000]
    cases = []
    for n in sizes:
        cases.append(("clean ASCII %s" % bench_guard._size(n), english(n, rng)))
        cases.append(("clean BMP %s" % bench_guard._size(n), english(n, rng, NON_ASCII_BMP)))
        cases.append(("one emoji %s" % bench_guard._size(n), emoji_text(n)))

    first = cases[0][1]
    msgs = bench_guard.as_prompt(first)
    start = time.perf_counter()
    _guard.check_prompt(msgs)
    print("first check after adding the rules (compiles them): %.1f ms" % ((time.perf_counter() - start) * 1e3))

    print("\n(wall clock; processor time in brackets)")
    print("%-18s %22s %22s %22s %8s" % ("prompt", "native ms", "re ms", "native MB/s", "ratio"))
    for name, text in cases:
        msgs = bench_guard.as_prompt(text)
        assert _guard.check_prompt(msgs) == bench_guard.py_check_prompt(msgs), name
        nbytes = len(text.encode("utf-8"))
        a, a_cpu = per_call(lambda: _guard.check_prompt(msgs))
        b, b_cpu = per_call(lambda: bench_guard.py_check_prompt(msgs), min_time=0.1)
        print("%-18s %10.3f (%9.3f) %10.1f (%9.1f) %10.1f (%9.1f) %8.0f" % (
            name, a * 1e3, a_cpu * 1e3, b * 1e3, b_cpu * 1e3, nbytes / a / 1e6, nbytes / max(a_cpu, 1e-9) / 1e6,
            b_cpu / max(a_cpu, 1e-9)))


if __name__ == "__main__":
    main()
