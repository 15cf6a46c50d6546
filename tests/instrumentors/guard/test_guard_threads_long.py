"""Long texts are scanned without the GIL: another thread keeps running
while the guard reads a long prompt, and the answers stay those of `re`."""

import re
import sys
import threading
import time

import pytest


try:
    from dravik_observe import _rx
except ImportError:  # release wheels leave the engine's test binding out
    _rx = None
from dravik_observe.instrumentors import _guard


def largest_gap_while(fn):
    """Runs fn in a thread; returns (its duration, the largest pause this
    thread saw between two steps of a pure-Python loop meanwhile)."""
    done = threading.Event()
    box = {}

    def work():
        t0 = time.perf_counter()
        box["result"] = fn()
        box["duration"] = time.perf_counter() - t0
        done.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    try:
        worker = threading.Thread(target=work)
        last = time.perf_counter()
        worker.start()
        gap = 0.0
        while not done.is_set():
            now = time.perf_counter()
            gap = max(gap, now - last)
            last = now
        worker.join()
    finally:
        sys.setswitchinterval(old)
    return box["duration"], gap, box["result"]


def test_another_thread_progresses_during_a_long_scan():
    # A pattern the engine must follow to the end of 40 MB of text (re would
    # take quadratic time here; the answers are known).
    _guard._PII_PATTERNS["ssn"] = re.compile(r"(?:a|b)*c")
    text = "ab" * 20_000_000
    for tail, want in (("", []), ("c", ["PII detected: ssn"])):
        t = text + tail
        duration, gap, result = largest_gap_while(lambda: _guard._detect_pii(t) + _guard._detect_pii(t))
        assert result == want + want
        # Holding the GIL would stall this thread for the whole scan.
        assert gap < duration / 2, (gap, duration)


@pytest.mark.skipif(_rx is None, reason="the engine's test binding is not installed")
def test_engine_search_and_sub_release_the_gil_with_the_same_answers():
    p = _rx.compile(r"(?:a|b)*c")
    text = "ab" * 10_000_000 + "c" + "ab" * 10
    duration, gap, (span, subbed) = largest_gap_while(lambda: (p.search(text), p.sub("#", text[:-20])))
    assert span == (0, 20_000_001)
    assert subbed == "#"
    assert gap < duration / 2, (gap, duration)


@pytest.mark.skipif(_rx is None, reason="the engine's test binding is not installed")
def test_concurrent_searches_of_one_pattern_agree():
    # Threads sharing a pattern: a search that finds it busy with another
    # thread's long scan waits (the binding) or asks re (the guard).
    p = _rx.compile(r"x[0-9]+y")
    long_text = "x123" * 100_000 + "x9y"
    short = "aa x42y"
    out = []

    def run(t, n):
        for _ in range(n):
            out.append(p.search(t))

    threads = [threading.Thread(target=run, args=(long_text, 5)), threading.Thread(target=run, args=(short, 200))]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert out.count((len(long_text) - 3, len(long_text))) == 5
    assert out.count((3, 7)) == 200

    _guard._CREDENTIAL_PATTERNS["aws_key"] = re.compile(r"x[0-9]+y")
    results = []

    def guard_run(t, n):
        for _ in range(n):
            results.append((t is long_text, _guard._detect_credentials(t)))

    threads = [threading.Thread(target=guard_run, args=(long_text, 5)),
               threading.Thread(target=guard_run, args=(short, 200))]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert all(r == ["Credential detected: aws_key"] for _, r in results) and len(results) == 205
