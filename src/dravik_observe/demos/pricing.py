"""Demo section: pricing model calls and recording the model's tool decisions."""

from __future__ import annotations

import logging

from dravik_observe import DravikContext
from dravik_observe.cost import estimate_cost, estimate_embedding_cost
from dravik_observe.instrumentors._pelrow import extract_tool_names_from_request, record_tool_decisions

CALLS = [
    ("gpt-4o-2024-08-06", 1200, 350, ""),
    ("claude-3-5-sonnet-20241022", 4000, 800, ""),
    ("models/gemini-2.5-pro", 900, 120, ""),
    ("openrouter/anthropic/claude-3-5-haiku-20241022", 2000, 400, ""),
    ("llama3.2", 5000, 1000, "ollama"),
    ("brand-new-model", 100, 100, "acme"),
]


def main() -> None:
    logging.basicConfig(level=logging.WARNING, format="  [log %(name)s] %(message)s")
    print("Pricing model calls")
    print(f"  {'model':<48} {'in':>6} {'out':>6}  {'provider':<8} {'cost (USD)':>12}")
    total = 0.0
    for model, tokens_in, tokens_out, provider in CALLS:
        usd = estimate_cost(model, tokens_in, tokens_out, provider)
        total += usd
        print(f"  {model:<48} {tokens_in:>6} {tokens_out:>6}  {provider or '-':<8} {usd:>12.6f}")
    emb = estimate_embedding_cost("text-embedding-3-small", 25_000)
    print(f"  {'text-embedding-3-small (embedding)':<48} {25_000:>6} {'':>6}  {'-':<8} {emb:>12.6f}")
    print(f"  total: {total + emb:.6f} USD")

    print("\nRecording the model's tool decisions on a run")
    request = {
        "model": "gpt-4o",
        "tools": [
            {"type": "function", "function": {"name": "web_search"}},
            {"type": "function", "function": {"name": "calculator"}},
            {"name": "read_file"},
        ],
    }
    offered = extract_tool_names_from_request(request)
    print(f"  offered tools: {', '.join(offered)}")
    with DravikContext("pricing-demo") as run:
        record_tool_decisions([{"name": "web_search", "arguments": '{"q": "weather"}'}], offered)
        record_tool_decisions([{"name": "calculator"}, {"name": "read_file"}], offered)
    for decision in run.decisions:
        print(f"  decision {decision['name']!r}: chose {decision['chosen']!r} "
              f"from {decision['options']} ({decision['reasoning']})")
