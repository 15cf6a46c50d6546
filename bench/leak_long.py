"""Long leak run: every function of the native modules along its success and
error paths, first with the per-path object, block and traced-memory checks of
the test suite at a much larger count, then for many rounds of all paths while
the process's resident memory is watched.

    python bench/leak_long.py [--calls N] [--rounds R]

Prints the per-path results and the resident memory after each round; exits 1
when a path grows or the resident memory keeps growing.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "hardening"))

import hardening_leaks  # noqa: E402


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20000, help="calls per path in the per-path check")
    parser.add_argument("--rounds", type=int, default=12, help="rounds of all paths while RSS is watched")
    parser.add_argument("--per-round", type=int, default=2000, help="calls per path and round")
    args = parser.parse_args()

    failures = hardening_leaks.check(args.calls)
    print(f"per-path check: {len(failures)} leaking paths {failures if failures else ''}", flush=True)

    paths = hardening_leaks.paths()
    samples = []
    for round_no in range(args.rounds):
        for _label, fn in paths:
            for _ in range(args.per_round):
                fn()
        gc.collect()
        samples.append(rss_bytes())
        print(f"round {round_no}: RSS {samples[-1] / 2**20:.1f} MiB", flush=True)
    # The first rounds fill caches and free lists; after them RSS must stay flat.
    settled = samples[len(samples) // 3 :]
    growth = settled[-1] - settled[0]
    calls = len(paths) * args.per_round * (len(settled) - 1)
    print(f"RSS growth after warm-up: {growth / 2**20:+.2f} MiB over {calls} calls")
    rss_bad = growth > 4 * 2**20
    return 1 if failures or rss_bad else 0


if __name__ == "__main__":
    sys.exit(main())
