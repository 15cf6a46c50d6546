"""Cost estimation and tool-decision recording against plain-Python equivalents.

Prints ns per call for the native functions and for the same logic written in
plain Python, measured in this run, and the ratio between them.
"""

from __future__ import annotations

import logging
import timeit
from typing import Any, Callable

from dravik_observe import cost
from dravik_observe.instrumentors import _pelrow
from dravik_observe.instrumentors._context_var import _current_context

logging.getLogger("dravik.observe.cost").disabled = True

MODEL_COSTS = {k: dict(v) for k, v in cost.MODEL_COSTS.items()}
FREE = frozenset({"ollama", "local"})
SEEN: set[str] = set()
LOG = logging.getLogger("bench.baseline")
LOG.disabled = True


def py_prefix(name: str, table: dict) -> Any:
    for key in sorted(table.keys(), key=len, reverse=True):
        if name.startswith(key):
            return table[key]
    return None


def py_estimate_cost(model: str, tokens_in: int, tokens_out: int, provider: str = "") -> float:
    if provider and provider in FREE:
        return 0.0
    if model.startswith("models/"):
        model = model[7:]
    costs = MODEL_COSTS.get(model)
    if costs is None:
        costs = py_prefix(model, MODEL_COSTS)
    if costs is None and "/" in model:
        bare = model.split("/")[-1]
        costs = MODEL_COSTS.get(bare) or py_prefix(bare, MODEL_COSTS)
    if costs is not None:
        return tokens_in * float(costs["input"]) + tokens_out * float(costs["output"])
    try:
        if model not in SEEN:
            SEEN.add(model)
            LOG.warning("no cost mapping for model=%r (provider=%r)", model, provider)
    except Exception:
        pass
    return 0.0


def py_record_tool_decisions(tool_calls: list, available_tools: list | None = None) -> None:
    ctx = _current_context.get()
    if ctx is None or not tool_calls:
        return
    try:
        names = [tc["name"] for tc in tool_calls]
        options = available_tools if available_tools else names
        if len(names) == 1:
            ctx.record_decision(name=f"tool_call:{names[0]}", options=options, chosen=names[0],
                                reasoning="Auto-detected from LLM tool_calls response", instrumentation_type="auto")
        else:
            ctx.record_decision(name="tool_calls", options=options, chosen=", ".join(names),
                                reasoning=f"Auto-detected {len(names)} parallel tool calls from LLM response",
                                instrumentation_type="auto")
    except Exception:
        pass


def ns_per_call(fn: Callable[..., Any], args: tuple, repeat: int = 7) -> float:
    """Best-of-`repeat` time of one direct call ``fn(*args)`` with constant arguments."""
    names = [f"a{i}" for i in range(len(args))]
    timer = timeit.Timer(f"fn({', '.join(names)})", globals={"fn": fn, **dict(zip(names, args))})
    number, _ = timer.autorange()
    return min(timer.repeat(repeat, number)) / number * 1e9


class SinkContext:
    """A run context whose record_decision does nothing, so the recorder itself is timed."""

    run_id = "bench"

    def record_decision(self, **kwargs: Any) -> None:
        pass


def main() -> None:
    cases = [
        ("estimate_cost exact hit", ("gpt-4o", 1000, 500)),
        ("estimate_cost prefix hit", ("claude-3-5-sonnet-20241022", 1000, 500)),
        ("estimate_cost bare-name hit", ("openrouter/anthropic/claude-3-5-haiku-20241022", 1000, 500)),
        ("estimate_cost unknown model", ("totally-unknown-model", 1000, 500)),
        ("estimate_cost free provider", ("llama3.2", 1000, 500, "ollama")),
    ]
    print(f"{'case':<36} {'native ns':>10} {'python ns':>10} {'speed-up':>9}")
    for label, args in cases:
        native = ns_per_call(cost.estimate_cost, args)
        python = ns_per_call(py_estimate_cost, args)
        print(f"{label:<36} {native:>10.0f} {python:>10.0f} {python / native:>8.1f}x")

    token = _current_context.set(SinkContext())
    try:
        for label, calls in [("record_tool_decisions, one call", [{"name": "web_search"}]),
                             ("record_tool_decisions, three calls", [{"name": "a"}, {"name": "b"}, {"name": "c"}])]:
            offered = ["web_search", "a", "b", "c"]
            native = ns_per_call(_pelrow.record_tool_decisions, (calls, offered))
            python = ns_per_call(py_record_tool_decisions, (calls, offered))
            print(f"{label:<36} {native:>10.0f} {python:>10.0f} {python / native:>8.1f}x")
    finally:
        _current_context.reset(token)


if __name__ == "__main__":
    main()
