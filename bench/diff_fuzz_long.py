"""Long differential run of the native diff against difflib.

    python bench/diff_fuzz_long.py [--seconds N] [--seed S] [--max-size N]

Pairs of every family in tests/diff/diff_cases.py (near-identical, prose with
tags, independent, pure insertions and deletions, repetitive, runs, chains,
mixed widths), over alphabets of every string width with lone surrogates,
at random sizes.  Every pair is compared in every search mode against
SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks(), the
opcodes of the default mode against get_opcodes(), _ml_substitutions against
its difflib-based reference, and _apply_substitutions with the recovered
pairs (and shuffled ones) against the pair-by-pair loop.  Prints how many
cases were compared; exits 1 on the first disagreement, printing it.
"""

import argparse
import difflib
import faulthandler
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "diff"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "instrumentors", "guard"))

from diff_cases import FAMILIES, pair  # noqa: E402

import guard_reference as ref  # noqa: E402
from dravik_observe import _diff  # noqa: E402
from dravik_observe.instrumentors import _guard  # noqa: E402

MODES = ("auto", "table", "small", "suffix_array", "budget", "seeds", "seeds_sa")
# difflib is cubic on chains and quadratic on repetitive texts: keep those short.
SLOW = {"chain": 150, "repetitive": 600, "runs": 600}


def disagree(what, a, b, got, want):
    print(f"DISAGREEMENT in {what}\na = {a!r}\nb = {b!r}\ngot  {got!r}\nwant {want!r}")
    sys.exit(1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--seed", type=int, default=int(time.time()))
    ap.add_argument("--max-size", type=int, default=2000)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    cases = pairs_compared = 0
    per_family = dict.fromkeys(FAMILIES, 0)
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        family = rng.choice(FAMILIES)
        limit = min(args.max_size, SLOW.get(family, args.max_size))
        size = int(limit ** rng.random())  # sizes spread over orders of magnitude
        a, b = pair(rng, family, size)
        faulthandler.dump_traceback_later(120)
        matcher = difflib.SequenceMatcher(None, a, b, autojunk=False)
        want = [tuple(m) for m in matcher.get_matching_blocks()]
        for mode in MODES:
            got = _diff.matching_blocks(a, b, mode)
            if got != want:
                disagree(f"matching blocks, mode {mode}, family {family}", a, b, got, want)
            cases += 1
        got = _diff.opcodes(a, b)
        if got != matcher.get_opcodes():
            disagree(f"opcodes, family {family}", a, b, got, matcher.get_opcodes())
        got = _guard._ml_substitutions(a, b)
        want_pairs = ref.ml_substitutions(a, b)
        if got != want_pairs:
            disagree(f"_ml_substitutions, family {family}", a, b, got, want_pairs)
        for pairs in (want_pairs, rng.sample(want_pairs, len(want_pairs)) + [(b[:3], a[:2])] * 8):
            text = a if rng.random() < 0.5 else b
            got = _guard._apply_substitutions(text, pairs)
            if got != ref.apply_substitutions(text, pairs):
                disagree(f"_apply_substitutions, family {family}, pairs {pairs!r}", text, "",
                         got, ref.apply_substitutions(text, pairs))
            pairs_compared += 1
        cases += 2
        per_family[family] += 1
        faulthandler.cancel_dump_traceback_later()
    detail = ", ".join(f"{k} {v}" for k, v in per_family.items())
    print(f"seed {args.seed}: {cases} cases compared ({sum(per_family.values())} pairs of strings: {detail}; "
          f"{pairs_compared} substitution runs), no disagreement")


if __name__ == "__main__":
    main()
