"""``dravik-observe cost``: price a model call or list the price tables."""

from __future__ import annotations

import argparse
import sys
from typing import Optional

from dravik_observe import cost


def _per_million(price: float) -> str:
    return f"{price * 1_000_000:.4f}".rstrip("0").rstrip(".")


def print_tables() -> None:
    width = max(len(k) for k in (*cost.MODEL_COSTS, *cost.EMBEDDING_COSTS, *cost.MULTIMODAL_COSTS))
    print("Chat and completion models (USD per million tokens)")
    print(f"  {'model':<{width}}  {'input':>10}  {'output':>10}")
    for model, record in cost.MODEL_COSTS.items():
        print(f"  {model:<{width}}  {_per_million(record['input']):>10}  {_per_million(record['output']):>10}")
    print("\nEmbedding models (USD per million input tokens)")
    print(f"  {'model':<{width}}  {'input':>10}")
    for model, price in cost.EMBEDDING_COSTS.items():
        print(f"  {model:<{width}}  {_per_million(price):>10}")
    print("\nImage and speech models (USD, flat price per unit)")
    for key, price in cost.MULTIMODAL_COSTS.items():
        print(f"  {key:<{width}}  {price:>10g}")
    print(f"\nFree providers: {', '.join(sorted(cost._FREE_PROVIDERS))}")


def _load_catalog() -> Optional[str]:
    """Loads the catalogue; the note to print, or None after an error message."""
    from dravik_observe.prices import CatalogLayoutError, _apply, read_catalog

    try:
        catalog = read_catalog()
        added = _apply(catalog, override=False)
    except (ImportError, CatalogLayoutError) as exc:
        print(f"dravik-observe cost: error: {exc}", file=sys.stderr)
        return None
    return (f"Price catalogue genai-prices {catalog.version}: {added} keys added "
            f"({len(catalog.models)} chat and {len(catalog.embeddings)} embedding names; built-in prices win)")


def run_cost(args: argparse.Namespace) -> int:
    if args.catalog:
        note = _load_catalog()
        if note is None:
            return 2
        if args.list:
            print(note + "\n")
    if args.list:
        print_tables()
        return 0
    expected = 1 if args.embedding else 2
    if args.model is None or len(args.tokens) != expected:
        usage = "cost MODEL TOKENS --embedding" if args.embedding else "cost MODEL TOKENS_IN TOKENS_OUT"
        print(f"dravik-observe cost: error: expected {usage} (or --list)", file=sys.stderr)
        return 2
    if args.embedding:
        usd = cost.estimate_embedding_cost(args.model, args.tokens[0], args.provider)
        print(f"{args.model}: {args.tokens[0]} tokens = {usd:.6f} USD")
    else:
        tokens_in, tokens_out = args.tokens
        usd = cost.estimate_cost(args.model, tokens_in, tokens_out, args.provider)
        print(f"{args.model}: {tokens_in} in + {tokens_out} out = {usd:.6f} USD")
    return 0
