"""The server tier's edit recovery against difflib, measured in the same run.

    python bench/bench_diff.py [--quick] [--cap SECONDS]

_ml_substitutions runs natively while difflib's SequenceMatcher is the
standard library's own.  The baseline is the same function with
SequenceMatcher replaced by a subclass (so it calls difflib, as before the
native diff), capped at --cap seconds per call; difflib's times beyond the
cap are given as "> cap", and on adversarial texts, where difflib is far
slower, they are measured on smaller sizes and extrapolated.  Also: growth
with the prompt's size, the whole check_prompt against a loopback server
tier with and without the service's scrubbed text, and the substitution of
many pairs into many messages against the pair-by-pair Python loop.
"""

from __future__ import annotations

import argparse
import difflib
import math
import os
import random
import signal
import sys
import time
from typing import Any, Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "instrumentors", "guard"))
os.environ["DRAVIK_SURFACE_GATE"] = "off"

from diff_texts import every_other_word, prose, scrub, scrub_fraction, scrub_words  # noqa: E402

from dravik_observe.client import DravikObserveClient  # noqa: E402
from dravik_observe.instrumentors import _guard  # noqa: E402


class Timeout(BaseException):
    """Not an Exception: the guard's failure handling must not swallow it."""


class Baseline(difflib.SequenceMatcher):
    """difflib itself, seen by the guard as a stand-in: it calls it."""


def best_of(fn: Callable[[], Any], min_time: float = 0.3, at_most: int = 50) -> float:
    """The best time of several runs (seconds)."""
    times = []
    start = time.perf_counter()
    while len(times) < at_most and (len(times) < 3 or time.perf_counter() - start < min_time):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def capped(fn: Callable[[], Any], cap: float) -> Optional[float]:
    """Seconds fn() took, or None past `cap` (difflib is plain Python, so an
    alarm interrupts it)."""
    def ring(signum: int, frame: Any) -> None:
        raise Timeout()

    old = signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, cap)
    try:
        t = time.perf_counter()
        fn()
        return time.perf_counter() - t
    except Timeout:
        return None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def with_difflib(fn: Callable[[], Any]) -> Any:
    real = difflib.SequenceMatcher
    difflib.SequenceMatcher = Baseline
    try:
        return fn()
    finally:
        difflib.SequenceMatcher = real


def fmt_ms(s: Optional[float], cap: float) -> str:
    if s is None:
        return f"> {cap:.0f} s"
    return f"{s * 1000:.2f} ms" if s < 10 else f"{s:.1f} s"


def near_identical(quick: bool, cap: float) -> None:
    rng = random.Random(1)
    t2 = prose(2_000, rng)
    t20 = prose(20_000, rng)
    t100 = prose(100_000, rng)
    cases = [
        ("2 KB, 5 words replaced", t2, scrub(t2, 5, rng), 0.2),
        ("2 KB, 19 words replaced", t2, scrub(t2, 19, rng), 0.2),
        ("20 KB, 1% of words replaced", t20, scrub_fraction(t20, 0.01, rng), 2),
        ("20 KB, 175 words replaced", t20, scrub(t20, 175, rng), 2),
        ("100 KB, 800 words replaced", t100, scrub(t100, 800, rng), 20),
    ]
    print(f"{'near-identical pair':<30} {'pairs':>6} {'native':>10} {'difflib':>11} {'speed-up':>10} {'aim':>9}")
    for name, a, b, aim_ms in cases:
        pairs = _guard._ml_substitutions(a, b)
        native = best_of(lambda: _guard._ml_substitutions(a, b))
        base = capped(lambda: with_difflib(lambda: _guard._ml_substitutions(a, b)), cap)
        if base is not None:
            assert with_difflib(lambda: _guard._ml_substitutions(a, b)) == pairs, name
        ratio = f"{base / native:.0f}x" if base is not None else f"> {cap / native:.0f}x"
        verdict = "ok" if native * 1000 <= aim_ms else "MISSED"
        print(f"{name:<30} {len(pairs):>6} {fmt_ms(native, cap):>10} {fmt_ms(base, cap):>11} {ratio:>10} "
              f"{'<= ' + str(aim_ms) + ' ms':>9} {verdict}")


def adversarial(quick: bool, cap: float) -> None:
    rng = random.Random(2)
    bits = random.Random(3)

    def every_other(n: int) -> tuple:
        t = prose(n, random.Random(n))
        return t, every_other_word(t, random.Random(n + 1))

    makers = [
        ("every other word replaced", every_other),
        ('"ab" * n against "ba" * n', lambda n: ("ab" * (n // 2), "ba" * (n // 2))),
        ('"abc" * n against "abd" * n', lambda n: ("abc" * (n // 3), "abd" * (n // 3))),
        ("one character, one changed", lambda n: ("a" * n, "a" * (n // 2) + "b" + "a" * (n // 2 - 1))),
        ("random over {a, b}", lambda n: ("".join(bits.choice("ab") for _ in range(n)),
                                          "".join(bits.choice("ab") for _ in range(n)))),
    ]
    small = (1_000, 2_000) if quick else (1_000, 2_000, 4_000)
    size = 100_000
    print(f"\n{'adversarial pair, 100 KB':<30} {'native':>10} {'aim':>7}   "
          f"{'difflib / native at ' + ', '.join(f'{n // 1000} KB' for n in small):<44} {'difflib at 100 KB (extrapolated)'}")
    for name, make in makers:
        a, b = make(size)
        native = best_of(lambda: _guard._ml_substitutions(a, b), min_time=0.5, at_most=3)
        ratios, times = [], []
        for n in small:
            x, y = make(n)
            mine = best_of(lambda: _guard._ml_substitutions(x, y), min_time=0.05)
            base = capped(lambda: with_difflib(lambda: _guard._ml_substitutions(x, y)), cap)
            times.append(base)
            ratios.append("-" if base is None else f"{base / mine:.0f}x")
        measured = [(n, t) for n, t in zip(small, times) if t is not None]
        if len(measured) >= 2:
            (n0, t0), (n1, t1) = measured[-2], measured[-1]
            exponent = min(3.0, max(1.0, math.log(max(t1 / max(t0, 1e-9), 1.0)) / math.log(n1 / n0)))
            guess = f"{t1 * (size / n1) ** exponent:,.0f} s (n^{exponent:.1f})"
        else:
            guess = f"> {cap:.0f} s at {small[0] // 1000} KB already"
        verdict = "ok" if native < 2 else "MISSED"
        print(f"{name:<30} {fmt_ms(native, cap):>10} {'< 2 s':>7}   {', '.join(ratios):<44} {guess}  {verdict}")


def growth(quick: bool) -> None:
    print(f"\n{'growth (1 word in 25 replaced)':<30} {'native':>10} {'per 100 KB':>11} {'vs 10 KB':>9}")
    base = None
    for kb in (10, 20, 50, 100, 200):
        rng = random.Random(kb)
        a = prose(kb * 1000, rng)
        b = scrub(a, kb * 8, rng)
        t = best_of(lambda: _guard._ml_substitutions(a, b))
        per = t / kb * 100
        base = base or per
        print(f"{str(kb) + ' KB':<30} {fmt_ms(t, 0):>10} {fmt_ms(per, 0):>11} {per / base:>8.2f}x")


def check_prompt(quick: bool) -> None:
    from conftest import GuardService
    import threading

    service = GuardService()
    thread = threading.Thread(target=service.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        DravikObserveClient.configure(base_url=service.url, timeout=10.0)
        _guard.configure(True, server=True, action="redact")
        rng = random.Random(4)
        text = prose(20_000, rng)
        msgs = [{"role": "user", "content": text[k:k + 2_000]} for k in range(0, len(text), 2_000)]
        system = "You are a careful assistant."
        joined = _guard._extract_text(msgs, system)
        scrubbed = scrub(joined, 175, rng)
        print(f"\n{'check_prompt, 20 KB, loopback server, redact':<46} {'time':>10}")
        times = {}
        words = scrub_words(joined, 175, rng)
        for label, response in (("without the scrubbed text", {"violations": ["PERSON detected"]}),
                                ("with it, unchanged (transport only)",
                                 {"violations": ["PERSON detected"], "redacted_text": joined}),
                                ("with it, 1% of words replaced (entities)",
                                 {"violations": ["PERSON detected"],
                                  "redacted_text": scrub_fraction(joined, 0.01, random.Random(6))}),
                                ("with it, 175 entity mentions replaced",
                                 {"violations": ["PERSON detected"], "redacted_text": scrubbed}),
                                ("with it, 175 words of any kind replaced",
                                 {"violations": ["PERSON detected"], "redacted_text": words})):
            service.response = response
            result = _guard.check_prompt(msgs, "m", system)
            assert result.action == "redact"
            times[label] = best_of(lambda: _guard.check_prompt(msgs, "m", system), min_time=1.0)
            ratio = times[label] / times["without the scrubbed text"]
            verdict = "" if len(times) == 1 else f"{ratio:>9.2f}x  (aim: within 2x) {'ok' if ratio <= 2 else 'MISSED'}"
            print(f"{label:<46} {fmt_ms(times[label], 0):>10} {verdict}")
    finally:
        service.httpd.shutdown()
        service.httpd.server_close()
        DravikObserveClient.configure()
        _guard.configure()


def apply_pairs(quick: bool) -> None:
    import guard_reference as ref

    print(f"\n{'substitutions into messages':<52} {'native':>10} {'Python loop':>12} {'speed-up':>9}")
    rng = random.Random(5)
    for kb, count, n_msgs, how in ((20, 175, 10, scrub), (100, 800, 20, scrub), (100, 800, 100, scrub),
                                   (20, 175, 10, scrub_words), (100, 800, 20, scrub_words)):
        text = prose(kb * 1000, rng)
        step = len(text) // n_msgs
        msgs = [{"role": "user", "content": text[k * step:(k + 1) * step]} for k in range(n_msgs)]
        joined = _guard._extract_text(msgs, "")
        pairs = _guard._ml_substitutions(joined, how(joined, count, rng))
        assert _guard._redact_messages_ml(msgs, "", pairs) == ref.redact_messages_ml(msgs, "", pairs)
        native = best_of(lambda: _guard._redact_messages_ml(msgs, "", pairs))
        loop = best_of(lambda: ref.redact_messages_ml(msgs, "", pairs), min_time=0.2, at_most=5)
        label = f"{kb} KB, {len(pairs)} pairs, {n_msgs} messages" + (", any words" if how is scrub_words else "")
        print(f"{label:<52} {fmt_ms(native, 0):>10} {fmt_ms(loop, 0):>12} {loop / native:>8.1f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes, shorter caps")
    parser.add_argument("--cap", type=float, default=None, help="seconds allowed to one difflib call")
    args = parser.parse_args()
    cap = args.cap if args.cap is not None else (10.0 if args.quick else 30.0)
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}\n")
    near_identical(args.quick, cap)
    adversarial(args.quick, cap)
    growth(args.quick)
    check_prompt(args.quick)
    apply_pairs(args.quick)
    print(f"\nload average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
