"""A small program using the public API, checked with mypy --strict."""

from __future__ import annotations

from typing import Any

from dravik_observe import DravikContext
from dravik_observe.cost import EMBEDDING_COSTS, MODEL_COSTS, estimate_cost, estimate_embedding_cost
from dravik_observe.instrumentors._guard import PromptGuardError, check_prompt, configure
from dravik_observe.instrumentors._pelrow import extract_tool_names_from_request, record_tool_decisions
from dravik_observe.prices import Catalog, CatalogLayoutError, load_catalog, read_catalog
from dravik_observe.tracing.vintrel import DravikSpanProcessor
from dravik_observe.types import PromptGuardResult


def price(model: str, tokens_in: int, tokens_out: int) -> float:
    usd: float = estimate_cost(model, tokens_in, tokens_out, provider="openai")
    usd += estimate_embedding_cost("text-embedding-3-small", 100)
    per_token: dict[str, float] = MODEL_COSTS["gpt-4o"]
    return usd + per_token["input"] * 0 + EMBEDDING_COSTS["bge"]


def catalogue_names(load: bool) -> int:
    try:
        if load:
            return load_catalog(override=False)
        catalog: Catalog = read_catalog()
    except (ImportError, CatalogLayoutError):
        return 0
    chat: dict[str, dict[str, float]] = catalog.models
    embedding_price: float | None = next(iter(catalog.entries)).output
    return len(chat) + len(catalog.embeddings) + catalog.bad_prices + (embedding_price is None)


def guarded_call(messages: list[dict[str, Any]]) -> list[dict[str, Any]]:
    configure(enabled=True, server=False, action="redact")
    result: PromptGuardResult | None = check_prompt(messages, "gpt-4o", "")
    if result is None or result.passed:
        return messages
    if result.action == "redact" and result.redacted_messages is not None:
        return list(result.redacted_messages)
    raise PromptGuardError(result)


def record(request: dict[str, Any], tool_calls: list[dict[str, Any]]) -> list[str]:
    offered: list[str] = extract_tool_names_from_request(request)
    with DravikContext("typed-run") as run:
        record_tool_decisions(tool_calls, offered)
        record_tool_decisions(tool_calls)
    assert run.run_id
    return offered


def install_processor() -> bool:
    from opentelemetry.sdk.trace import TracerProvider

    provider = TracerProvider()
    processor = DravikSpanProcessor()
    provider.add_span_processor(processor)
    flushed: bool = processor.force_flush(1000)
    processor.shutdown()
    return flushed


if __name__ == "__main__":
    print(install_processor())
    print(price("gpt-4o", 10, 10))
    print(catalogue_names(False) > 0)
    print(guarded_call([{"role": "user", "content": "hello"}]))
    print(record({"tools": [{"name": "x"}]}, [{"name": "x"}]))
