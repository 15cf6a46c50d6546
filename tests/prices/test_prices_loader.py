"""load_catalog on made-up catalogues: price rules, keys, bad prices, unknown layouts, concurrency."""

from __future__ import annotations

import datetime as dt
import logging
import sys
import threading
import types
from decimal import Decimal
from typing import Any, List

import pytest

from dravik_observe import cost, prices

pytestmark = pytest.mark.usefixtures("tables")


def model(gp: Any, model_id: str, match: Any = None, prices_: Any = None, **per_million: Any) -> Any:
    if prices_ is None:
        prices_ = gp.ModelPrice(**{k: Decimal(str(v)) if type(v) in (int, float) else v
                                   for k, v in per_million.items()})
    return gp.ModelInfo(id=model_id, match=match or gp.ClauseEquals(equals=model_id), prices=prices_)


def provider(gp: Any, provider_id: str, models: List[Any], model_match: Any = None) -> Any:
    return gp.Provider(id=provider_id, name=provider_id, api_pattern="https://example\\.invalid", models=models,
                       model_match=model_match)


def snapshot() -> list:
    return [[(k, v if isinstance(v, float) else (id(v), dict(v))) for k, v in table.items()]
            for table in (cost.MODEL_COSTS, cost.EMBEDDING_COSTS)]


def test_price_rules(gp, fake_catalogue):
    P = gp.ModelPrice
    past, future = dt.date(2000, 1, 1), dt.date(2999, 1, 1)
    fake_catalogue([provider(gp, "acme", [
        model(gp, "flat", input_mtok=0.8, output_mtok=4, cache_read_mtok=0.08, web_searches_kcount=10),
        model(gp, "tiered", input_mtok=gp.TieredPrices(base=Decimal(1), tiers=[gp.Tier(start=200_000, price=Decimal(2))]),
              output_mtok=Decimal(5)),
        model(gp, "tiered-low", input_mtok=gp.TieredPrices(base=Decimal(1), tiers=[gp.Tier(start=31_999, price=Decimal(2))]),
              output_mtok=Decimal(5)),
        model(gp, "repriced", prices_=[gp.ConditionalPrice(prices=P(input_mtok=Decimal(1), output_mtok=Decimal(2))),
                                       gp.ConditionalPrice(constraint=gp.StartDateConstraint(start_date=past),
                                                           prices=P(input_mtok=Decimal(3), output_mtok=Decimal(4)))]),
        model(gp, "repricing-soon", prices_=[gp.ConditionalPrice(prices=P(input_mtok=Decimal(1), output_mtok=Decimal(2))),
                                             gp.ConditionalPrice(constraint=gp.StartDateConstraint(start_date=future),
                                                                 prices=P(input_mtok=Decimal(3), output_mtok=Decimal(4)))]),
        model(gp, "off-peak", prices_=[gp.ConditionalPrice(prices=P(input_mtok=Decimal(1), output_mtok=Decimal(2))),
                                       gp.ConditionalPrice(constraint=gp.TimeOfDateConstraint(
                                           start_time=dt.time(1), end_time=dt.time(5)),
                                           prices=P(input_mtok=Decimal(0.5), output_mtok=Decimal(1)))]),
        model(gp, "per-call-fee", input_mtok=1, output_mtok=2, requests_kcount=5),
        model(gp, "audio-only", input_audio_mtok=3),
        model(gp, "free:free"),
        model(gp, "embedder", input_mtok=0.13),
    ])])
    catalog = prices.read_catalog()
    assert catalog.version == "7.7.7" and catalog.bad_prices == 0 and catalog.not_per_token == 5
    assert catalog.models == {
        "flat": {"input": 0.8 / 1_000_000, "output": 4 / 1_000_000},
        "tiered": {"input": 1e-06, "output": 5e-06},
        "repriced": {"input": 3e-06, "output": 4e-06},
        "free:free": {"input": 0.0, "output": 0.0},
    }
    assert catalog.models["flat"]["input"] == 8.000000000000001e-07  # the quotient, as the built-in tables
    assert catalog.embeddings == {"embedder": 0.13 / 1_000_000}
    assert prices.load_catalog() == 5
    assert cost.estimate_cost("tiered", 1000, 100) == 1000 * 1e-06 + 100 * 5e-06
    assert cost.estimate_embedding_cost("embedder", 1000) == 1000 * 1.3e-07
    assert list(cost.MODEL_COSTS["flat"]) == ["input", "output"]


def test_keys_come_from_ids_and_literal_clauses(gp, fake_catalogue):
    C = gp
    fake_catalogue([provider(gp, "acme", [
        model(gp, "acme-large", match=C.ClauseOr(or_=[
            C.ClauseStartsWith(starts_with="acme-large"), C.ClauseEquals(equals="Acme Large"),
            C.ClauseOr(or_=[C.ClauseStartsWith(starts_with="al-")]), C.ClauseContains(contains="large"),
            C.ClauseRegex(regex="^acme"), C.ClauseEndsWith(ends_with="-xl"), C.ClauseEquals(equals=""),
            C.ClauseAnd(and_=[C.ClauseStartsWith(starts_with="and-"), C.ClauseContains(contains="x")]),
        ]), input_mtok=2, output_mtok=6),
    ])])
    assert prices.read_catalog().entries[0].names == ("acme-large", "Acme Large", "al-")
    prices.load_catalog()
    priced = 1000 * 2e-06 + 10 * 6e-06
    assert cost.estimate_cost("acme-large-2025-01-01", 1000, 10) == priced
    assert cost.estimate_cost("gateway/al-v2", 1000, 10) == priced
    assert cost.estimate_cost("and-x", 1000, 10) == 0.0


def test_one_price_per_name(gp, fake_catalogue):
    C = gp
    fake_catalogue([
        provider(gp, "reseller", [model(gp, "acme-1", input_mtok=9, output_mtok=9),
                                  model(gp, "zeta-alias", match=C.ClauseOr(or_=[C.ClauseEquals(equals="zeta-1")]),
                                        input_mtok=7, output_mtok=7)]),
        provider(gp, "acme", [model(gp, "acme-1", input_mtok=1, output_mtok=2)],
                 model_match=C.ClauseStartsWith(starts_with="acme-")),
        provider(gp, "zeta-host", [model(gp, "zeta-1", input_mtok=3, output_mtok=3)]),
        provider(gp, "late", [model(gp, "zeta-1", input_mtok=4, output_mtok=4)]),
    ])
    models = prices.read_catalog().models
    assert models["acme-1"] == {"input": 1e-06, "output": 2e-06}  # the provider the catalogue picks
    assert models["zeta-1"] == {"input": 3e-06, "output": 3e-06}  # a model's own id before another's alias


def test_builtin_entries_win_unless_override_and_loading_again_adds_nothing(gp, fake_catalogue):
    fake_catalogue([provider(gp, "acme", [model(gp, "gpt-4o", input_mtok=99, output_mtok=99),
                                          model(gp, "acme-1", input_mtok=1, output_mtok=1)])])
    builtin = cost.MODEL_COSTS["gpt-4o"]
    assert prices.load_catalog() == 1
    assert prices.load_catalog() == 0
    assert cost.MODEL_COSTS["gpt-4o"] is builtin and builtin["input"] == 2.5e-06
    assert prices.load_catalog(override=True) == 1
    assert cost.MODEL_COSTS["gpt-4o"] == {"input": 9.9e-05, "output": 9.9e-05}
    assert prices.load_catalog(override=True) == 0
    cost.MODEL_COSTS["acme-1"]["input"] = 5.0  # a table record is not the catalogue's own object
    assert prices.read_catalog().models["acme-1"]["input"] == 1e-06


@pytest.mark.parametrize("bad", [
    dict(input_mtok=-1, output_mtok=1),
    dict(input_mtok=Decimal("NaN"), output_mtok=1),
    dict(input_mtok=Decimal("sNaN"), output_mtok=1),
    dict(input_mtok=1, output_mtok=Decimal("Infinity")),
    dict(input_mtok=1, output_mtok=float("nan")),
    dict(input_mtok="1.0", output_mtok=1),
    dict(input_mtok=True, output_mtok=1),
    dict(output_mtok=1),
    dict(input_mtok=Decimal("1e400"), output_mtok=1),
])
def test_bad_prices_skip_their_model_and_are_counted(gp, fake_catalogue, caplog, bad):
    fake_catalogue([provider(gp, "acme", [model(gp, "broken", **bad), model(gp, "fine", input_mtok=1, output_mtok=1)])])
    with caplog.at_level(logging.INFO, logger="dravik_observe.prices"):
        assert prices.load_catalog() == 1
    assert prices.read_catalog().bad_prices == 1
    assert "broken" not in cost.MODEL_COSTS and "fine" in cost.MODEL_COSTS
    assert "'broken' of 'acme'" in caplog.text


def layouts(gp: Any) -> list:
    good = provider(gp, "acme", [model(gp, "acme-1", input_mtok=1, output_mtok=1)])
    P = gp.ModelPrice
    return [
        ("no list of providers", "a few providers"),
        ("prices of type dict", [good, provider(gp, "odd", [model(gp, "x", prices_={"input_mtok": 1})])]),
        ("has no 'match'", [good, types.SimpleNamespace(id="odd", models=[types.SimpleNamespace(id="x", prices=P())])]),
        ("has no 'models'", [good, types.SimpleNamespace(id="odd")]),
        ("price constraint of type", [good, provider(gp, "odd", [model(gp, "x", prices_=[
            gp.ConditionalPrice(constraint=types.SimpleNamespace(region="eu"), prices=P())])])]),
        ("price list item of type", [good, provider(gp, "odd", [model(gp, "x", prices_=[P()])])]),
        ("price constraint of type", [good, provider(gp, "odd", [model(gp, "x", prices_=[
            gp.ConditionalPrice(constraint=gp.TimeOfDateConstraint(start_time=dt.time(1), end_time=dt.time(2)),
                                prices=P()),
            gp.ConditionalPrice(constraint="weekends", prices=P())])])]),
        ("a model id of type int", [good, provider(gp, "odd", [model(gp, 5, match=gp.ClauseEquals(equals="x"))])]),
    ]


@pytest.mark.parametrize("case", range(8))
def test_unknown_layout_raises_naming_the_version_and_changes_nothing(gp, fake_catalogue, case):
    what, providers = layouts(gp)[case]
    fake_catalogue(providers, version="9.1.0")
    before = snapshot()
    with pytest.raises(prices.CatalogLayoutError) as info:
        prices.load_catalog(override=True)
    assert "genai-prices 9.1.0" in str(info.value) and what in str(info.value)
    assert snapshot() == before


def test_unknown_types_module_and_missing_package(gp, fake_catalogue, monkeypatch):
    fake_catalogue([], version="10.0")
    monkeypatch.setitem(sys.modules, "genai_prices.types", types.ModuleType("genai_prices.types"))
    with pytest.raises(prices.CatalogLayoutError, match=r"genai-prices 10\.0: .*lacks ModelPrice"):
        prices.load_catalog()
    monkeypatch.setitem(sys.modules, "genai_prices", None)
    before = snapshot()
    with pytest.raises(ImportError, match=r"pip install 'dravik_observe\[prices\]'"):
        prices.load_catalog()
    assert snapshot() == before


def test_tables_that_are_not_dicts_are_refused_before_any_change(gp, fake_catalogue, monkeypatch):
    fake_catalogue([provider(gp, "acme", [model(gp, "m", input_mtok=1, output_mtok=1), model(gp, "e", input_mtok=1)])])
    monkeypatch.setattr(cost, "EMBEDDING_COSTS", types.MappingProxyType({}))
    with pytest.raises(TypeError, match="EMBEDDING_COSTS of type mappingproxy"):
        prices.load_catalog()
    assert "m" not in cost.MODEL_COSTS


def test_concurrent_loads_add_each_key_once(gp, fake_catalogue):
    fake_catalogue([provider(gp, "acme", [model(gp, f"m{i}", input_mtok=i, output_mtok=1) for i in range(300)])])
    results: List[int] = []
    start = threading.Barrier(6)

    def load() -> None:
        start.wait()
        results.append(prices.load_catalog())

    threads = [threading.Thread(target=load) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(results) == [0, 0, 0, 0, 0, 300]
    assert cost.estimate_cost("m299", 1_000_000, 0) == 299.0
