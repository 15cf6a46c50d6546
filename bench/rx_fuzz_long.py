"""Long differential run of the linear-time engine against `re`.

    python bench/rx_fuzz_long.py [--seconds N] [--seed S]

Random patterns in the supported syntax (inline and scoped flags, lazy
repeats, anchors; with and without IGNORECASE, MULTILINE and DOTALL) on
random texts, the guard's own patterns on texts built to come close to
them, and the rules of a real secret scanner on texts of their keywords; every case compares search spans at several positions and the result
of substitution.  Tables of several patterns are also scanned in one pass
(random patterns, the guard's, a sample of the rules) over texts long enough
for the vector kernels and the narrowing blocks to decide.  Prints how many cases were compared; exits 1 on the first
disagreement, printing it.
"""

import argparse
import faulthandler
import os
import random
import re
import signal
import sys
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "regex"))

from dravik_observe import _rx  # noqa: E402
from rx_cases import (  # noqa: E402
    DIGITS, FOLDING, GUARD_PATTERNS, KEYWORDS, OTHER, PUNCT, RANDOM_FLAGS, WHITESPACE, WORDISH, random_pattern,
    random_text,
)


def guard_text(rng):
    pieces = []
    for _ in range(rng.randint(0, 16)):
        kind = rng.randint(0, 6)
        if kind <= 2:
            w = rng.choice(KEYWORDS)
            pieces.append("".join(c.upper() if rng.random() < 0.5 else c for c in w) if rng.random() < 0.5 else w)
        elif kind == 3:
            pieces.append("".join(rng.choice(WHITESPACE) for _ in range(rng.randint(1, 3))))
        elif kind == 4:
            pieces.append("".join(rng.choice(DIGITS) for _ in range(rng.randint(1, 5))))
        elif kind == 5:
            pieces.append("".join(rng.choice(PUNCT + " ") for _ in range(rng.randint(1, 3))))
        else:
            alphabet = FOLDING + WORDISH + OTHER + "abcdefghijklmnopqrstuvwxyz0123456789"
            pieces.append("".join(rng.choice(alphabet) for _ in range(rng.randint(1, 24))))
    return "".join(pieces)


RULES_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "instrumentors", "guard", "data",
                          "gitleaks_rules.toml")


def load_rules():
    """The secret-scanner rules re compiles, with the engine's forms."""
    with open(RULES_FILE, encoding="utf-8") as f:
        found = re.findall(r"^id = \"([^\"]+)\"\nregex = '''(.*)'''$", f.read(), re.M)
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for rule_id, regex in found:
            try:
                ref = re.compile(regex)
                out.append((rule_id, ref, _rx.compile(ref.pattern, ref.flags)))
            except (re.error, ValueError):
                pass
    return out


RULE_PIECES = ["api", "KEY", "token", "secret", "password", "github", "slack", "twitter", "aws", "ghp_", "xoxb-",
               "glpat-", "sk-ant-api03-", "AKIA", "=", " = ", ": ", "=>", "'", '"', "`", "\n", "\\n", ";", " ", "-",
               "_", ".", "abcdef0123456789", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "0123456789" * 2, "é", "😀", "ſ"]


def rule_text(rng):
    return "".join(rng.choice(RULE_PIECES) for _ in range(rng.randint(0, 24)))


class SlowReference(Exception):
    pass


def _too_slow(signum, frame):
    raise SlowReference()


def compare_table(refs, scanner, text, what):
    """False when re's backtracking took too long to give the reference."""
    signal.signal(signal.SIGALRM, _too_slow)
    signal.setitimer(signal.ITIMER_REAL, 2.0)
    try:
        want = [(m.span() if m else None) for m in (r.search(text) for r in refs)]
    except SlowReference:
        return False
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    got = scanner.search_each(text)
    if got != want:
        bad = [(r.pattern, g, w) for r, g, w in zip(refs, got, want) if g != w]
        raise AssertionError("%s: table scan of %r: (pattern, got, re) %r" % (what, text, bad))
    return True


FILLER = "the quarterly report covers revenue, churn and hiring plans. "


def long_text(rng, piece, most=12):
    """Pieces placed among filler, up to a few thousand characters."""
    out = []
    for _ in range(rng.randint(1, most)):
        out.append(FILLER[rng.randint(0, len(FILLER) - 1):] + FILLER * rng.randint(0, most // 2))
        out.append(piece(rng))
    return "".join(out)


def compare(ref, mine, text, what):
    for pos in (0, 1, len(text) // 2):
        m = ref.search(text, pos)
        want = m.span() if m else None
        got = mine.search(text, pos)
        if got != want:
            raise AssertionError("%s: search(%r, %d) = %r, re gives %r" % (what, text, pos, got, want))
    want = ref.sub("<>", text)
    got = mine.sub("<>", text)
    if got != want:
        raise AssertionError("%s: sub on %r = %r, re gives %r" % (what, text, got, want))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--seed", type=int, default=int(time.time()))
    args = ap.parse_args()
    rng = random.Random(args.seed)
    guard = [(label, p, _rx.compile(p.pattern, p.flags)) for label, p in GUARD_PATTERNS]
    rules = load_rules()
    guard_table = ([p for _, p, _ in guard], _rx.Scanner([m for _, _, m in guard]))
    cases = patterns = refused = tables = slow = 0
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        # Random patterns; the accepted ones of a round also form a table.
        table = []
        for _ in range(50):
            # A case that hangs shows where (re's own backtracking, or the engine).
            faulthandler.dump_traceback_later(60)
            pattern = random_pattern(rng)
            flags = rng.choice(RANDOM_FLAGS)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    ref = re.compile(pattern, flags)
                except re.error:
                    ref = None
            try:
                mine = _rx.compile(pattern, flags)
            except ValueError:
                mine = None
            if ref is None and mine is not None:
                raise AssertionError("engine accepts %r which re rejects" % pattern)
            if ref is None or mine is None:
                refused += 1
                continue
            patterns += 1
            began = time.perf_counter()
            for _ in range(8):
                compare(ref, mine, random_text(rng, 40), "pattern %r flags %d" % (pattern, flags))
                cases += 1
            # re's backtracking on a longer text must stay bounded.
            if time.perf_counter() - began < 0.001:
                table.append((ref, mine))
        for _ in range(2):
            part = rng.sample(table, min(len(table), rng.randint(2, 24)))
            scanner = _rx.Scanner([m for _, m in part])
            for _ in range(4):
                if compare_table([r for r, _ in part], scanner, long_text(rng, lambda g: random_text(g, 40), 3),
                                 "random table"):
                    tables += 1
                else:
                    slow += 1
        # Guard patterns.
        for _ in range(20):
            text = guard_text(rng)
            for label, p, mine in guard:
                compare(p, mine, text, label)
                cases += 1
        if compare_table(guard_table[0], guard_table[1], long_text(rng, guard_text), "guard table"):
            tables += 1
        else:
            slow += 1
        # The secret-scanner rules on texts of their keywords and tokens.
        for _ in range(5):
            text = rule_text(rng)
            sample = rng.sample(rules, 20)
            for label, p, mine in sample:
                compare(p, mine, text, label)
                cases += 1
            if compare_table([p for _, p, _ in sample], _rx.Scanner([m for _, _, m in sample]),
                             long_text(rng, rule_text, 4), "rule table"):
                tables += 1
            else:
                slow += 1
    print("seed %d: %d cases compared (%d random patterns accepted, %d refused), %d table scans (%d skipped: re "
          "too slow), no disagreement" % (args.seed, cases, patterns, refused, tables, slow))


if __name__ == "__main__":
    main()
