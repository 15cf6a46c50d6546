"""estimate_cost and estimate_embedding_cost: matching, conversion, errors, warnings."""

import decimal
import logging

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from dravik_observe import cost


@pytest.fixture
def fresh_unknowns():
    seen = cost._UNKNOWN_MODELS_LOGGED
    saved = set(seen)
    seen.clear()
    yield seen
    seen.clear()
    seen.update(saved)


def python_estimate(model, tokens_in, tokens_out, provider="", table=None):
    """The documented matching rules, written plainly."""
    table = cost.MODEL_COSTS if table is None else table
    if provider and provider in cost._FREE_PROVIDERS:
        return 0.0
    if model.startswith("models/"):
        model = model[7:]

    def find(name):
        record = table.get(name)
        if record is None:
            for key in sorted(table.keys(), key=len, reverse=True):
                if name.startswith(key):
                    return table.get(key)
        return record

    record = find(model)
    if record is None and "/" in model:
        record = find(model.split("/")[-1])
    if record is None:
        return 0.0
    return float(tokens_in) * float(record["input"]) + float(tokens_out) * float(record["output"])


@pytest.mark.parametrize("model,tin,tout,expected", [
    ("gpt-4o", 1000, 500, 0.0075),
    ("claude-haiku-4-5", 1, 0, 8.000000000000001e-07),
    ("claude-sonnet-4-5", 2000, 1000, 0.021),
])
def test_known_prices(model, tin, tout, expected):
    assert cost.estimate_cost(model, tin, tout) == expected


@pytest.mark.parametrize("model,priced_as", [
    ("gpt-4o-2024-08-06", "gpt-4o"),
    ("gpt-4o-mini-2024-07-18", "gpt-4o-mini"),
    ("gpt-4-0613", "gpt-4"),
    ("claude-3-5-sonnet-20241022", "claude-3-5-sonnet"),
    ("models/gemini-2.5-pro", "gemini-2.5-pro"),
    ("o1-preview", "o1"),
    ("meta-llama/Llama-3.3-70B-Instruct-Turbo", "meta-llama/Llama-3.3-70B"),
    ("gateway/anthropic/claude-3-5-haiku-20241022", "claude-3-5-haiku"),
    ("vllm-served-model", "vllm"),
])
def test_prefix_and_bare_name_matching(model, priced_as):
    record = cost.MODEL_COSTS[priced_as]
    assert cost.estimate_cost(model, 1000, 100) == 1000 * record["input"] + 100 * record["output"]


def test_models_prefix_is_removed_once_and_only_at_the_start(monkeypatch, fresh_unknowns):
    monkeypatch.setattr(cost, "MODEL_COSTS", {"models/acme": {"input": 1.0, "output": 0.0}})
    assert cost.estimate_cost("models/models/acme", 1, 0) == 1.0
    assert cost.estimate_cost("models/acme", 1, 0) == 0.0
    assert fresh_unknowns == {"acme"}
    assert cost.estimate_cost("x-models/acme", 1, 0) == 0.0


def test_free_providers(caplog, fresh_unknowns):
    with caplog.at_level(logging.WARNING, logger="dravik.observe.cost"):
        assert cost.estimate_cost("no-such-model", 10, 10, "ollama") == 0.0
        assert cost.estimate_cost("gpt-4o", 10, 10, provider="local") == 0.0
    assert not caplog.records and not fresh_unknowns
    assert cost.estimate_cost("gpt-4o", 10, 0, "Ollama") > 0
    assert cost.estimate_cost("gpt-4o", 10, 0, "vllm") > 0


def test_unknown_model_warns_once(caplog, fresh_unknowns):
    with caplog.at_level(logging.WARNING, logger="dravik.observe.cost"):
        assert cost.estimate_cost("mystery-1", 5, 5, "acme") == 0.0
        assert cost.estimate_cost("mystery-1", 5, 5, "acme") == 0.0
        assert cost.estimate_cost("", 1, 1) == 0.0
    assert fresh_unknowns == {"mystery-1", ""}
    first = caplog.records[0]
    assert first.name == "dravik.observe.cost" and first.levelno == logging.WARNING
    assert first.args == ("mystery-1", "acme")
    assert first.getMessage() == (
        "estimate_cost: no cost mapping for model='mystery-1' (provider='acme'). Returning 0.0 \u2014 cost "
        "analytics will understate spend on this model until MODEL_COSTS is updated. Suppressing further "
        "warnings for this model.")
    assert len(caplog.records) == 2


def test_failing_logger_or_set_is_swallowed(monkeypatch, fresh_unknowns):
    class Broken:
        def warning(self, *args):
            raise RuntimeError("log backend down")

    monkeypatch.setattr(cost, "_cost_logger", Broken())
    assert cost.estimate_cost("mystery-2", 1, 1) == 0.0
    assert "mystery-2" in fresh_unknowns  # added before the warning
    monkeypatch.delattr(cost, "_UNKNOWN_MODELS_LOGGED")
    assert cost.estimate_cost("mystery-3", 1, 1) == 0.0


def test_interrupt_from_logger_propagates(monkeypatch, fresh_unknowns):
    class Interrupting:
        def warning(self, *args):
            raise KeyboardInterrupt

    monkeypatch.setattr(cost, "_cost_logger", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        cost.estimate_cost("mystery-4", 1, 1)


def test_tables_are_read_at_call_time(monkeypatch, fresh_unknowns):
    monkeypatch.setitem(cost.MODEL_COSTS, "acme-large", {"input": 1.0, "output": 2.0})
    assert cost.estimate_cost("acme-large-v2", 3, 4) == 11.0
    monkeypatch.setattr(cost, "MODEL_COSTS", {"gpt": {"input": 1.0, "output": 0.0}})
    assert cost.estimate_cost("gpt-4o", 7, 7) == 7.0
    monkeypatch.setattr(cost, "_FREE_PROVIDERS", frozenset({"acme"}))
    assert cost.estimate_cost("gpt-4o", 7, 7, "acme") == 0.0
    monkeypatch.setitem(cost.EMBEDDING_COSTS, "acme-embed", 2.0)
    assert cost.estimate_embedding_cost("acme-embed-v1", 4) == 8.0


def test_unusual_tables_follow_the_sort_then_scan_rule(monkeypatch):
    class Table(dict):
        pass

    table = Table({"ab": {"input": 1.0, "output": 0.0}, "abc": {"input": 2.0, "output": 0.0}})
    monkeypatch.setattr(cost, "MODEL_COSTS", table)
    assert cost.estimate_cost("abcd", 1, 0) == 2.0
    # A non-str key takes the generic path; a tuple key is a startswith() alternative there.
    monkeypatch.setattr(cost, "MODEL_COSTS", {("zz", "ab"): {"input": 5.0, "output": 0.0}, "a": {"input": 1.0, "output": 0.0}})
    assert cost.estimate_cost("abq", 1, 0) == 5.0


@pytest.mark.parametrize("value,exc", [
    ([1, 2], TypeError),
    ({"input": 1.0}, KeyError),
    ({"input": "1.0", "output": 1.0}, TypeError),
])
def test_malformed_records_raise(monkeypatch, value, exc):
    monkeypatch.setitem(cost.MODEL_COSTS, "broken-model", value)
    with pytest.raises(exc):
        cost.estimate_cost("broken-model", 1, 1)


def test_token_conversion():
    price = cost.MODEL_COSTS["gpt-4o"]["input"]
    assert cost.estimate_cost("gpt-4o", 10.9, 0) == 10 * price
    assert cost.estimate_cost("gpt-4o", True, False) == price
    assert cost.estimate_cost("gpt-4o", decimal.Decimal("3.7"), 0) == 3 * price
    assert cost.estimate_cost("gpt-4o", -5, 0) == -5 * price
    with pytest.raises(ValueError):
        cost.estimate_cost("gpt-4o", float("nan"), 0)
    with pytest.raises(OverflowError):
        cost.estimate_cost("gpt-4o", float("inf"), 0)
    with pytest.raises(OverflowError):
        cost.estimate_cost("gpt-4o", 10**400, 0)


def test_argument_errors():
    class S(str):
        pass

    cases = [
        (lambda: cost.estimate_cost("gpt-4o", "5", 1),
         "Argument 'tokens_in' has incorrect type (expected int, got str)"),
        (lambda: cost.estimate_cost("gpt-4o", 1, None),
         "Argument 'tokens_out' has incorrect type (expected int, got NoneType)"),
        (lambda: cost.estimate_cost(None, "x", 1),
         "Argument 'tokens_in' has incorrect type (expected int, got str)"),  # numbers are converted first
        (lambda: cost.estimate_cost(None, 1, 1),
         "Argument 'model' has incorrect type (expected str, got NoneType)"),
        (lambda: cost.estimate_cost("gpt-4o", 1, 1, None),
         "Argument 'provider' has incorrect type (expected str, got NoneType)"),
        (lambda: cost.estimate_cost("gpt-4o", 1),
         "estimate_cost() takes at least 3 positional arguments (2 given)"),
        (lambda: cost.estimate_cost("gpt-4o", 1, 1, "", 5),
         "estimate_cost() takes at most 4 positional arguments (5 given)"),
        (lambda: cost.estimate_cost("gpt-4o", 1, 1, tokens=3),
         "estimate_cost() got an unexpected keyword argument 'tokens'"),
        (lambda: cost.estimate_cost("gpt-4o", 1, 1, model="x"),
         "estimate_cost() got multiple values for keyword argument 'model'"),
        (lambda: cost.estimate_embedding_cost(),
         "estimate_embedding_cost() takes at least 2 positional arguments (0 given)"),
        (lambda: cost.estimate_embedding_cost("bge", [1]),
         "Argument 'tokens' has incorrect type (expected int, got list)"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        cost.estimate_cost(S("gpt-4o"), 1, 1)
    text = str(info.value)
    assert text.startswith("Argument 'model' has incorrect type (expected str, got S)")
    assert "subclasses of built-in types" in text


def test_keywords_bind_like_positionals():
    expected = cost.estimate_cost("gpt-4o", 3, 4, "openai")
    assert cost.estimate_cost(tokens_out=4, provider="openai", model="gpt-4o", tokens_in=3) == expected
    assert cost.estimate_embedding_cost(model="text-embedding-3-small", tokens=1000) == 2e-05


def test_embedding_estimates(caplog, fresh_unknowns):
    with caplog.at_level(logging.WARNING):
        assert cost.estimate_embedding_cost("text-embedding-3-large-2024", 10) == 10 * 0.13 / 1_000_000
        assert cost.estimate_embedding_cost("bge-large-en-v1.5", 10_000) == 0.0
        assert cost.estimate_embedding_cost("e5-mistral", 10_000) == 0.0
        assert cost.estimate_embedding_cost("unheard-of", 10) == 0.0
        assert cost.estimate_embedding_cost("models/text-embedding-3-small", 10) == 0.0
        assert cost.estimate_embedding_cost("voyage-3", 10, "local") == 0.0
    assert not caplog.records and not fresh_unknowns


names = st.text(alphabet="abcdegilmnoprstuv-./0123456789", max_size=40)


@settings(max_examples=300, deadline=None)
@given(prefix=st.sampled_from(["", "models/", "x/", "a/b/"] + list(cost.MODEL_COSTS)), rest=names,
       tin=st.integers(-10**6, 10**9), tout=st.integers(0, 10**9))
def test_matches_the_plain_rules(prefix, rest, tin, tout):
    model = prefix + rest
    assert cost.estimate_cost(model, tin, tout, "p") == python_estimate(model, tin, tout, "p")


keys = st.text(alphabet="ab-/é", min_size=0, max_size=4)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ops=st.lists(st.tuples(st.sampled_from(["add", "del", "set", "price"]), keys), max_size=30))
def test_table_changes_between_calls_are_seen(monkeypatch, ops):
    # Adding, removing and re-pricing keys between estimates must never leave a
    # stale answer behind, whatever caching the search does.
    table = {"a": {"input": 1.0, "output": 0.0}}
    with monkeypatch.context() as m:
        m.setattr(cost, "MODEL_COSTS", table)
        for op, key in ops:
            if op == "add":
                table[key] = {"input": float(len(table) + 2), "output": 0.0}
            elif op == "del":
                table.pop(key, None)
            elif op == "set" and key in table:
                table[key] = {"input": 0.5, "output": 0.0}
            else:
                assert cost.estimate_cost(key + "ab", 1, 0, "p") == python_estimate(key + "ab", 1, 0, "p", table)


wide = st.text(alphabet="ab-\u00e9\u0100\u20ac\U0001f600", max_size=6)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(keys=st.lists(wide, max_size=80, unique=True), names=st.lists(wide, min_size=1, max_size=10))
def test_prefix_search_with_many_keys_of_mixed_widths(monkeypatch, keys, names):
    # Keys and names of every character width, sharing prefixes: the index
    # must give what the sort-then-scan gives, for chat and embedding tables.
    table = {k: {"input": float(i + 1), "output": 0.0} for i, k in enumerate(keys)}
    embeddings = {k: float(i + 1) for i, k in enumerate(keys)}
    with monkeypatch.context() as m:
        m.setattr(cost, "MODEL_COSTS", table)
        m.setattr(cost, "EMBEDDING_COSTS", embeddings)
        for name in names:
            assert cost.estimate_cost(name, 1, 0, "p") == python_estimate(name, 1, 0, "p", table)
            best = max((k for k in keys if name.startswith(k)), key=len, default=None)
            assert cost.estimate_embedding_cost(name, 1) == (embeddings[name] if name in embeddings
                                                             else embeddings[best] if best is not None else 0.0)
