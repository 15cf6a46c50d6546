"""The installed catalogue: what it adds, and estimate_cost against genai_prices.calc_price."""

from __future__ import annotations

import logging
import math
import os
import subprocess
import sys
from collections import Counter
from typing import Any, Dict, List, Optional, Tuple

import pytest
from hypothesis import given, settings, strategies as st

from dravik_observe import cost, prices

genai_prices = pytest.importorskip("genai_prices")
from genai_prices import Usage, calc_price  # noqa: E402
from genai_prices import data_snapshot  # noqa: E402

TOKENS_IN, TOKENS_OUT = 1234, 567  # an ordinary call, below every price tier


@pytest.fixture(scope="module")
def catalog() -> prices.Catalog:
    return prices.read_catalog()


def ours(embedding: bool, name: str) -> float:
    if embedding:
        return cost.estimate_embedding_cost(name, TOKENS_IN)
    return cost.estimate_cost(name, TOKENS_IN, TOKENS_OUT)


def theirs(embedding: bool, name: str, provider: Optional[str] = None) -> Any:
    usage = Usage(input_tokens=TOKENS_IN) if embedding else Usage(input_tokens=TOKENS_IN, output_tokens=TOKENS_OUT)
    return calc_price(usage, name, provider_id=provider)


def same(a: float, b: Any) -> bool:
    return math.isclose(a, float(b), rel_tol=1e-9, abs_tol=1e-15)


def test_catalogue_adds_its_names_and_leaves_builtin_records_alone(tables, catalog):
    builtin = dict(cost.MODEL_COSTS)
    before = len(cost.MODEL_COSTS) + len(cost.EMBEDDING_COSTS)
    added = prices.load_catalog()
    assert added == len(cost.MODEL_COSTS) + len(cost.EMBEDDING_COSTS) - before
    assert len(set(catalog.models) | set(catalog.embeddings)) > 1000
    assert all(cost.MODEL_COSTS[k] is v for k, v in builtin.items())
    for name in catalog.models:
        record = cost.MODEL_COSTS[name]
        assert list(record) == ["input", "output"]
        assert all(type(p) is float and 0.0 <= p < 1.0 for p in record.values())
    assert all(type(cost.EMBEDDING_COSTS[n]) is float for n in catalog.embeddings)
    assert prices.load_catalog() == 0


def test_every_name_agrees_with_calc_price_or_the_difference_is_explained(tables, catalog):
    """Each name the loader keys, priced both ways for the same tokens.

    The catalogue's reference for a name is what calc_price charges without a
    provider when that model is one the loader could take, else what the
    provider of the first model listing the name charges.
    """
    builtin = {False: dict(cost.MODEL_COSTS), True: dict(cost.EMBEDDING_COSTS)}
    owner = {id(m): p.id for p in data_snapshot.get_snapshot().providers for m in p.models}
    loaded = {(e.provider, e.model) for e in catalog.entries}
    claimants: Dict[Tuple[bool, str], List[prices.CatalogEntry]] = {}
    for e in catalog.entries:
        for name in e.names:
            claimants.setdefault((e.output is None, name), []).append(e)
    prices.load_catalog()

    outcome: Counter = Counter()
    unexplained = []
    for (embedding, name), listed in claimants.items():
        first = next((e for e in listed if e.model == name), listed[0])
        try:
            ref = theirs(embedding, name)
            if (owner.get(id(ref.model)), ref.model.id) not in loaded:
                raise LookupError
            expected_model = ref.model.id
        except LookupError:
            try:
                ref = theirs(embedding, name, first.provider)
            except LookupError:
                outcome["the catalogue cannot price it"] += 1
                continue
            expected_model = first.model
        if same(ours(embedding, name), ref.total_price):
            outcome["agree"] += 1
        elif name in builtin[embedding]:
            outcome["built-in entry wins"] += 1
        elif ref.model.id != expected_model:
            outcome["the catalogue matches an earlier model"] += 1
        else:
            unexplained.append((name, first.provider, ref.provider.id, ref.model.id, ours(embedding, name),
                                ref.total_price))
    assert not unexplained, unexplained[:20]
    compared = sum(v for k, v in outcome.items() if k != "the catalogue cannot price it")
    assert outcome["agree"] >= 0.95 * compared, outcome


@settings(max_examples=150, deadline=None)
@given(data=st.data())
def test_prefix_search_over_the_loaded_tables_follows_the_plain_rules(catalog, data):
    keys = sorted(catalog.models)
    table = {**catalog.models, **cost.MODEL_COSTS}
    prefix = data.draw(st.sampled_from(["", "gw/", "models/"]))
    name = prefix + data.draw(st.sampled_from(keys))[: data.draw(st.integers(0, 40))]
    name += data.draw(st.text(alphabet="-.:/0123456789abcdeklmprstvx", max_size=12))
    original = cost.MODEL_COSTS
    cost.MODEL_COSTS = table
    try:
        got = cost.estimate_cost(name, 1000, 100, "p")
    finally:
        cost.MODEL_COSTS = original
    assert got == plain_estimate(table, name, 1000, 100)


def plain_estimate(table: dict, model: str, tokens_in: int, tokens_out: int) -> float:
    if model.startswith("models/"):
        model = model[7:]

    def find(name: str) -> Any:
        record = table.get(name)
        if record is None:
            for key in sorted(table, key=len, reverse=True):
                if name.startswith(key):
                    return table[key]
        return record

    record = find(model)
    if record is None and "/" in model:
        record = find(model.split("/")[-1])
    return 0.0 if record is None else tokens_in * record["input"] + tokens_out * record["output"]


def run_python(code: str, **env: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env={**os.environ, **env})


def test_environment_switch_loads_at_first_import():
    code = "from dravik_observe import cost; print(len(cost.MODEL_COSTS), len(cost.EMBEDDING_COSTS))"
    on = run_python(code, DRAVIK_PRICE_CATALOG="1")
    assert on.returncode == 0, on.stderr
    n_models, n_embeddings = map(int, on.stdout.split())
    assert n_models > 1000 and n_embeddings > 20
    assert run_python(code, DRAVIK_PRICE_CATALOG="0").stdout.split() == ["62", "20"]
    # Without the package, the import still succeeds and says why nothing was loaded.
    missing = run_python("import sys; sys.modules['genai_prices'] = None\n" + code, DRAVIK_PRICE_CATALOG="1")
    assert missing.returncode == 0 and missing.stdout.split() == ["62", "20"]
    assert "DRAVIK_PRICE_CATALOG" in missing.stderr and "dravik_observe[prices]" in missing.stderr


def test_unknown_names_still_warn_once(tables, caplog):
    prices.load_catalog()
    with caplog.at_level(logging.WARNING, logger="dravik.observe.cost"):
        assert cost.estimate_cost("zz-no-catalogue-knows-this", 1, 1) == 0.0
        assert cost.estimate_cost("zz-no-catalogue-knows-this", 1, 1) == 0.0
    assert len(caplog.records) == 1
