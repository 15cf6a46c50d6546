"""The built-in price tables: contents, order and exact doubles."""

import subprocess
import sys

import pytest

from dravik_observe import cost

# (key, per-million input, per-million output) in table order.
MODEL_ROWS = [
    ("gpt-4o", 2.5, 10), ("gpt-4o-mini", 0.15, 0.6), ("gpt-4-turbo", 10, 30), ("gpt-4", 30, 60),
    ("gpt-3.5-turbo", 0.5, 1.5), ("o1", 15, 60), ("o1-mini", 3, 12), ("o3-mini", 1.1, 4.4),
    ("claude-opus-4-8", 15, 75), ("claude-opus-4-7", 15, 75), ("claude-opus-4-6", 15, 75),
    ("claude-sonnet-4-6", 3, 15), ("claude-sonnet-4-5", 3, 15), ("claude-haiku-4-5", 0.8, 4),
    ("claude-opus-4", 15, 75), ("claude-sonnet-4", 3, 15), ("claude-3-5-sonnet", 3, 15),
    ("claude-3-5-haiku", 0.8, 4), ("claude-3-haiku", 0.25, 1.25), ("gemini-2.5-flash-lite", 0.1, 0.4),
    ("gemini-2.0-flash", 0.1, 0.4), ("gemini-1.5-pro", 1.25, 5), ("gemini-1.5-flash", 0.075, 0.3),
    ("llama-3.3-70b", 0.59, 0.79), ("llama-3.1-8b", 0.05, 0.08), ("mistral-large", 2, 6),
    ("mistral-small", 0.1, 0.3), ("mistral-medium", 2.7, 8.1), ("codestral", 0.3, 0.9),
    ("open-mistral-nemo", 0.15, 0.15), ("pixtral", 0.15, 0.15), ("command-a-03-2025", 2.5, 10),
    ("command-r-plus-08-2024", 2.5, 10), ("command-r-08-2024", 0.15, 0.6), ("command-r-plus", 2.5, 10),
    ("command-r", 0.15, 0.6), ("command-light", 0.3, 0.6), ("gemini-2.5-pro", 1.25, 10),
    ("gemini-2.5-flash", 0.15, 0.6), ("amazon.titan-text-express", 0.2, 0.6),
    ("amazon.titan-text-lite", 0.15, 0.2), ("amazon.nova-pro", 0.8, 3.2), ("amazon.nova-lite", 0.06, 0.24),
    ("amazon.nova-micro", 0.035, 0.14), ("ai21.jamba-1-5-large", 2, 8), ("ai21.jamba-1-5-mini", 0.2, 0.4),
    ("meta.llama3-1-70b-instruct", 0.72, 0.72), ("meta.llama3-1-8b-instruct", 0.22, 0.22),
    ("llama-3.3-70b-versatile", 0.59, 0.79), ("llama-3.1-70b-versatile", 0.59, 0.79),
    ("llama-3.1-8b-instant", 0.05, 0.08), ("llama3-70b-8192", 0.59, 0.79), ("llama3-8b-8192", 0.05, 0.08),
    ("mixtral-8x7b-32768", 0.24, 0.24), ("gemma2-9b-it", 0.2, 0.2),
    ("deepseek-r1-distill-llama-70b", 0.75, 0.99), ("deepseek-chat", 0.14, 0.28),
    ("deepseek-reasoner", 0.55, 2.19), ("meta-llama/Llama-3.3-70B", 0.88, 0.88),
    ("meta-llama/Meta-Llama-3.1-8B", 0.18, 0.18),
    ("accounts/fireworks/models/llama-v3p3-70b-instruct", 0.9, 0.9), ("vllm", 0, 0),
]

EMBEDDING_ROWS = [
    ("text-embedding-3-large", 0.13), ("text-embedding-3-small", 0.02), ("text-embedding-ada-002", 0.1),
    ("embed-v4.0", 0.1), ("embed-english-v3.0", 0.1), ("embed-multilingual-v3.0", 0.1),
    ("embed-english-light-v3.0", 0.1), ("voyage-3-large", 0.18), ("voyage-3", 0.06), ("voyage-3-lite", 0.02),
    ("voyage-code-3", 0.18), ("jina-embeddings-v3", 0.02), ("jina-embeddings-v2", 0.02),
    ("text-embedding-005", 0), ("mistral-embed", 0.1), ("amazon.titan-embed-text-v2", 0.02),
    ("amazon.titan-embed-text-v1", 0.1), ("sentence-transformers", 0), ("bge", 0), ("e5", 0),
]

MULTIMODAL_ROWS = [
    ("dall-e-3-1024x1024-standard", 0.04), ("dall-e-3-1024x1792-standard", 0.08),
    ("dall-e-3-1792x1024-standard", 0.08), ("dall-e-3-1024x1024-hd", 0.08), ("dall-e-3-1024x1792-hd", 0.12),
    ("dall-e-3-1792x1024-hd", 0.12), ("dall-e-2-1024x1024", 0.02), ("dall-e-2-512x512", 0.018),
    ("dall-e-2-256x256", 0.016), ("whisper-1", 0.006), ("tts-1", 15 / 1_000_000), ("tts-1-hd", 30 / 1_000_000),
    ("whisper-large-v3", 0.0), ("whisper-large-v3-turbo", 0.0), ("distil-whisper-large-v3-en", 0.0),
]


def test_model_costs_rows_order_and_exact_quotients():
    assert type(cost.MODEL_COSTS) is dict
    assert list(cost.MODEL_COSTS) == [row[0] for row in MODEL_ROWS]
    records = list(cost.MODEL_COSTS.values())
    assert len({id(r) for r in records}) == 62, "each key owns its record"
    for (key, per_m_in, per_m_out), record in zip(MODEL_ROWS, records):
        assert list(record) == ["input", "output"], key
        for value, per_m in ((record["input"], per_m_in), (record["output"], per_m_out)):
            assert type(value) is float
            assert value.hex() == (per_m / 1_000_000).hex(), key


def test_quotients_differ_from_the_short_decimals():
    assert cost.MODEL_COSTS["claude-haiku-4-5"]["input"] == 8.000000000000001e-07 != 8e-07
    assert repr(cost.MODEL_COSTS["deepseek-reasoner"]["output"]) == "2.1899999999999998e-06"
    assert repr(cost.MODEL_COSTS["gemini-2.0-flash"]["input"]) == "1.0000000000000001e-07"
    assert cost.MODEL_COSTS["vllm"] == {"input": 0.0, "output": 0.0}


def test_embedding_and_multimodal_tables():
    assert list(cost.EMBEDDING_COSTS) == [k for k, _ in EMBEDDING_ROWS]
    for key, per_m in EMBEDDING_ROWS:
        assert type(cost.EMBEDDING_COSTS[key]) is float
        assert cost.EMBEDDING_COSTS[key].hex() == (per_m / 1_000_000).hex(), key
    assert list(cost.MULTIMODAL_COSTS.items()) == MULTIMODAL_ROWS
    assert all(type(v) is float for v in cost.MULTIMODAL_COSTS.values())


def test_module_state_and_order():
    assert type(cost._FREE_PROVIDERS) is frozenset
    assert cost._FREE_PROVIDERS == {"ollama", "local"}
    assert "vllm" not in cost._FREE_PROVIDERS
    assert type(cost._UNKNOWN_MODELS_LOGGED) is set
    assert cost._cost_logger.name == "dravik.observe.cost"
    code = "from dravik_observe import cost; print([n for n in vars(cost) if not n.startswith('__')])"
    names = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert eval(names) == ["logging", "_cost_logger", "_UNKNOWN_MODELS_LOGGED", "MODEL_COSTS", "MULTIMODAL_COSTS",
                     "EMBEDDING_COSTS", "_FREE_PROVIDERS", "estimate_cost", "estimate_embedding_cost"]


def test_unknown_models_set_starts_empty_in_a_fresh_interpreter():
    out = subprocess.run([sys.executable, "-c", "from dravik_observe import cost; print(len(cost._UNKNOWN_MODELS_LOGGED))"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "0"


def test_the_built_in_tables_changed_in_place_are_read_by_the_next_estimate():
    """Hosts add and re-price models in the module's own dicts; no cached search may hide that."""
    # Searches over the built-in keys first, so that anything cached about them is warm.
    assert cost.estimate_cost("gpt-4o-2024-08-06", 1000, 0) == 0.0025
    assert cost.estimate_embedding_cost("text-embedding-3-small-v2", 1000) == 2e-05
    try:
        cost.MODEL_COSTS["zz-probe"] = {"input": 1.0, "output": 2.0}
        cost.EMBEDDING_COSTS["zz-probe"] = 3.0
        assert cost.estimate_cost("zz-probe-2025", 1, 1) == 3.0
        assert cost.estimate_embedding_cost("zz-probe-v2", 2) == 6.0
        cost.MODEL_COSTS["zz-probe"]["output"] = 0.0
        assert cost.estimate_cost("zz-probe-2025", 1, 1) == 1.0
        cost.MODEL_COSTS["zz-probe-2025"] = {"input": 5.0, "output": 0.0}
        assert cost.estimate_cost("zz-probe-2025", 1, 1) == 5.0
        assert cost.estimate_cost("zz-probe-2025-01", 1, 1) == 5.0
        assert cost.estimate_cost("zz-probe-2024", 1, 1) == 1.0
    finally:
        for key in ("zz-probe", "zz-probe-2025"):
            cost.MODEL_COSTS.pop(key, None)
        cost.EMBEDDING_COSTS.pop("zz-probe", None)
    assert cost.estimate_cost("gpt-4o-2024-08-06", 1000, 0) == 0.0025
    assert type(cost.MULTIMODAL_COSTS) is dict
