"""Long crash-fuzzing run over every function of the native modules.

Runs the hardening fuzz driver (tests/hardening/hardening_fuzz.py) for each
module in its own child process, in parallel, with many more examples than
the test suite uses, and prints how many cases ran.  A crash, a swallowed
interrupt, an escaped exception or a wrong result stops that module's run and
its output is shown.

    python bench/fuzz_long.py [--seconds T] [--examples N] [--seed S] [module ...]

With --seconds, each module's run keeps starting new rounds of N examples per
function (each round with the next seed) until T seconds have passed.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

DRIVER_DIR = Path(__file__).resolve().parent.parent / "tests" / "hardening"
MODULES = ("cost", "pelrow", "guard", "tracing")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--examples", type=int, default=2000, help="examples per function and round")
    parser.add_argument("--seconds", type=float, default=0, help="time budget of each module's run")
    parser.add_argument("--rounds", type=int, default=1, help="rounds, each with its own seed")
    parser.add_argument("--seed", type=int, default=None, help="seed of the first round (random by default)")
    parser.add_argument("modules", nargs="*", default=list(MODULES))
    args = parser.parse_args()

    env = dict(os.environ)
    env.pop("DRAVIK_OBSERVE_URL", None)
    env.pop("DRAVIK_SURFACE_GATE", None)
    total = 0
    failed = []
    started = time.monotonic()
    for round_no in range(args.rounds):
        seed = (args.seed if args.seed is not None else int.from_bytes(os.urandom(4), "little")) + round_no
        procs = {
            module: subprocess.Popen(
                [sys.executable, "-X", "faulthandler", "hardening_fuzz.py", "--examples", str(args.examples), "--seed", str(seed), "--seconds", str(args.seconds), module],
                cwd=DRIVER_DIR,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
                env=env,
            )
            for module in args.modules
        }
        for module, proc in procs.items():
            out, err = proc.communicate()
            last = out.strip().splitlines()[-1] if out.strip() else ""
            if proc.returncode == 0 and last.endswith(" cases"):
                cases = int(last.split()[0])
                total += cases
                print(f"round {round_no} seed {seed} {module}: {cases} cases", flush=True)
            else:
                failed.append(module)
                print(f"round {round_no} seed {seed} {module}: FAILED (exit status {proc.returncode})\n{out[-3000:]}\n{err[-8000:]}", flush=True)
    print(f"{total} cases in {time.monotonic() - started:.0f} s; {'failures in ' + ', '.join(failed) if failed else 'no failures'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
