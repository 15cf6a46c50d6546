"""The main demonstration: ``python -m dravik_observe.demo``.

Runs each demo section in turn: pricing and tool decisions, span capture on a
traced agent run, and the prompt guard.
"""

from __future__ import annotations

import importlib
import importlib.util

SECTIONS = [
    ("Cost estimation and tool decisions", "dravik_observe.demos.pricing"),
    ("Span capture", "dravik_observe.demos.tracing"),
    ("Prompt guard", "dravik_observe.demos.guard"),
]


def main() -> None:
    for title, module_name in SECTIONS:
        if importlib.util.find_spec(module_name) is None:
            continue
        print(f"\n=== {title} " + "=" * max(0, 60 - len(title)))
        importlib.import_module(module_name).main()


if __name__ == "__main__":
    main()
