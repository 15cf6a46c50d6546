"""A maintained price catalogue on top of the built-in price tables.

The built-in tables of ``dravik_observe.cost`` know a few dozen models. The
``genai-prices`` package (``pip install dravik_observe[prices]``) keeps prices
for well over a thousand; ``load_catalog`` copies the ones that the
estimators can express into ``MODEL_COSTS`` and ``EMBEDDING_COSTS``, so that
``estimate_cost`` prices them at native speed. ``read_catalog`` reads and
checks the catalogue without touching the tables.
"""

from __future__ import annotations

import datetime as _dt
import importlib
import logging
import math
import threading
from dataclasses import dataclass
from decimal import Decimal
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

__all__ = ["Catalog", "CatalogEntry", "CatalogLayoutError", "ORDINARY_PROMPT_TOKENS", "load_catalog", "read_catalog"]

logger = logging.getLogger(__name__)

# Calls with prompts up to this many tokens are ordinary; a tier that starts
# at or above it (the catalogue's tiers apply above their start) leaves them
# at the base price.
ORDINARY_PROMPT_TOKENS = 32_000

_EXTRA_HINT = "the price catalogue needs the genai-prices package: pip install 'dravik_observe[prices]'"

_lock = threading.Lock()


class CatalogLayoutError(RuntimeError):
    """The installed catalogue is laid out in a way this loader does not know."""


@dataclass(frozen=True)
class CatalogEntry:
    """One catalogue model that the estimators can price."""

    provider: str
    model: str
    names: Tuple[str, ...]
    input: float  # USD per token
    output: Optional[float]  # USD per token; None for an input-only (embedding) model


@dataclass(frozen=True)
class Catalog:
    """The catalogue as read, and the table entries it makes."""

    version: str
    entries: Tuple[CatalogEntry, ...]
    models: Dict[str, Dict[str, float]]
    embeddings: Dict[str, float]
    bad_prices: int  # models skipped for a missing, negative, NaN or non-numeric price
    not_per_token: int  # models left out: other units, per-request fees, time-dependent prices


class _Layout:
    """The catalogue's classes, looked up once per read."""

    def __init__(self, module: Any, version: str) -> None:
        self.version = version
        try:
            types = importlib.import_module(module.__name__ + ".types")
        except ImportError:
            types = None
        missing: List[str] = []

        def cls(name: str) -> type:
            found = getattr(types, name, None)
            if not isinstance(found, type):
                missing.append(name)
                return type(None)
            return found

        self.ModelPrice = cls("ModelPrice")
        self.TieredPrices = cls("TieredPrices")
        self.ConditionalPrice = cls("ConditionalPrice")
        self.StartDateConstraint = cls("StartDateConstraint")
        self.TimeOfDateConstraint = cls("TimeOfDateConstraint")
        self.ClauseStartsWith = cls("ClauseStartsWith")
        self.ClauseEquals = cls("ClauseEquals")
        self.ClauseOr = cls("ClauseOr")
        if missing:
            raise self.error(f"genai_prices.types lacks {', '.join(missing)}")

    def error(self, what: str) -> CatalogLayoutError:
        return CatalogLayoutError(
            f"genai-prices {self.version}: unknown catalogue data layout ({what}); "
            "the price tables were not changed")

    def attr(self, obj: Any, name: str, where: str) -> Any:
        try:
            return getattr(obj, name)
        except AttributeError:
            raise self.error(f"{where} has no {name!r}") from None


class _BadPrice(Exception):
    pass


class _NotPerToken(Exception):
    pass


def _import_catalogue() -> Tuple[Any, str]:
    try:
        import genai_prices
    except ImportError as exc:
        raise ImportError(_EXTRA_HINT, name=exc.name) from exc
    version = getattr(genai_prices, "__version__", None)
    if not isinstance(version, str):
        try:
            from importlib.metadata import version as dist_version

            version = dist_version("genai-prices")
        except Exception:
            version = "(unknown version)"
    return genai_prices, version


def _providers(layout: _Layout) -> Sequence[Any]:
    try:
        # The snapshot that calc_price itself prices with: the bundled data,
        # or a newer one the application installed.
        from genai_prices import data_snapshot

        providers = data_snapshot.get_snapshot().providers
    except (ImportError, AttributeError):
        try:
            from genai_prices import data

            providers = data.providers
        except (ImportError, AttributeError):
            providers = None
    if not isinstance(providers, (list, tuple)):
        raise layout.error("no list of providers")
    return providers


def _per_token(value: Any) -> float:
    """A per-million price as a per-token double, the built-in tables' way."""
    if isinstance(value, bool) or not isinstance(value, (Decimal, int, float)):
        raise _BadPrice(f"non-numeric price {value!r}")
    try:
        per_million = float(value)
    except (ValueError, OverflowError):
        raise _BadPrice(f"unusable price {value!r}") from None
    if not math.isfinite(per_million) or per_million < 0:
        raise _BadPrice(f"price {value!r}")
    return (per_million + 0.0) / 1_000_000  # + 0.0 turns -0.0 into 0.0


def _token_price(layout: _Layout, value: Any) -> float:
    if isinstance(value, layout.TieredPrices):
        tiers = layout.attr(value, "tiers", "TieredPrices")
        if not isinstance(tiers, (list, tuple)):
            raise layout.error("TieredPrices.tiers is not a list")
        starts = [layout.attr(t, "start", "Tier") for t in tiers]
        if any(isinstance(s, bool) or not isinstance(s, int) for s in starts):
            raise _BadPrice("tier start that is not a whole number")
        if starts and min(starts) < ORDINARY_PROMPT_TOKENS:
            raise _NotPerToken("a tier applies to ordinary calls")
        return _per_token(layout.attr(value, "base", "TieredPrices"))
    return _per_token(value)


def _current_price_set(layout: _Layout, prices: Any, today: _dt.date) -> Any:
    """The price set a call made today pays, from a list of dated prices."""
    if not prices:
        raise _BadPrice("empty list of prices")
    chosen = None
    why_not = ""
    for conditional in prices:
        if not isinstance(conditional, layout.ConditionalPrice):
            raise layout.error(f"price list item of type {type(conditional).__name__}")
        constraint = layout.attr(conditional, "constraint", "ConditionalPrice")
        if constraint is None:
            pass
        elif isinstance(constraint, layout.StartDateConstraint):
            start = layout.attr(constraint, "start_date", "StartDateConstraint")
            if not isinstance(start, _dt.date):
                raise layout.error("StartDateConstraint.start_date is not a date")
            if start > today:
                why_not = why_not or "the price changes on a future date"
        elif isinstance(constraint, layout.TimeOfDateConstraint):
            why_not = why_not or "the price depends on the time of day"
        else:
            raise layout.error(f"price constraint of type {type(constraint).__name__}")
        # Once every constraint has started, the last price in the list is in force.
        chosen = layout.attr(conditional, "prices", "ConditionalPrice")
    if why_not:
        raise _NotPerToken(why_not)
    return chosen


def _flat_prices(layout: _Layout, prices: Any, today: _dt.date) -> Tuple[float, Optional[float]]:
    """(input, output) per-token prices of a model; output None for input-only."""
    if prices is None:
        raise _BadPrice("no prices")
    if isinstance(prices, (list, tuple)):
        prices = _current_price_set(layout, prices, today)
    if not isinstance(prices, layout.ModelPrice):
        raise layout.error(f"prices of type {type(prices).__name__}")
    try:
        fields = vars(prices)
    except TypeError:
        raise layout.error("ModelPrice without attributes") from None
    values = {k: v for k, v in fields.items() if not k.startswith("_") and v is not None}
    if not values:
        return 0.0, 0.0  # listed with no price: free in the catalogue
    if "requests_kcount" in values:
        raise _NotPerToken("a per-request fee")
    p_in, p_out = values.get("input_mtok"), values.get("output_mtok")
    if p_in is None and p_out is None:
        raise _NotPerToken("priced in other units")
    if p_in is None:
        raise _BadPrice("output price without an input price")
    price_in = _token_price(layout, p_in)
    return price_in, (None if p_out is None else _token_price(layout, p_out))


def _literal_names(layout: _Layout, clause: Any) -> Iterator[Any]:
    """The literal names of a match clause: equals names and starts_with prefixes.

    Yields whatever the clauses hold; the caller keeps the non-empty strings.
    """
    stack = [clause]
    while stack:
        c = stack.pop()
        if isinstance(c, layout.ClauseEquals):
            yield getattr(c, "equals", None)
        elif isinstance(c, layout.ClauseStartsWith):
            yield getattr(c, "starts_with", None)
        elif isinstance(c, layout.ClauseOr):
            children = getattr(c, "or_", None)
            if isinstance(children, (list, tuple)):
                stack.extend(reversed(children))


def _entries(layout: _Layout, providers: Sequence[Any],
             today: _dt.date) -> Tuple[List[CatalogEntry], Dict[int, CatalogEntry], int, int]:
    """The loadable models, and the same keyed by the id() of their model objects."""
    entries: List[CatalogEntry] = []
    by_model: Dict[int, CatalogEntry] = {}
    bad = other = 0
    for provider in providers:
        provider_id = layout.attr(provider, "id", "a provider")
        models = layout.attr(provider, "models", f"provider {provider_id!r}")
        if not isinstance(provider_id, str) or not isinstance(models, (list, tuple)):
            raise layout.error(f"provider {provider_id!r} is not an id with a list of models")
        for model in models:
            model_id = layout.attr(model, "id", f"a model of {provider_id!r}")
            where = f"model {model_id!r} of {provider_id!r}"
            prices = layout.attr(model, "prices", where)
            match = layout.attr(model, "match", where)
            if not isinstance(model_id, str):
                raise layout.error(f"a model id of type {type(model_id).__name__} in {provider_id!r}")
            try:
                price_in, price_out = _flat_prices(layout, prices, today)
            except _BadPrice as why:
                bad += 1
                logger.info("price catalogue: skipped %s: %s", where, why)
                continue
            except _NotPerToken as why:
                other += 1
                logger.debug("price catalogue: left out %s: %s", where, why)
                continue
            names: Dict[str, None] = {model_id: None} if model_id else {}
            for name in _literal_names(layout, match):
                if isinstance(name, str) and name:
                    names.setdefault(name)
            if names:
                entry = CatalogEntry(provider_id, model_id, tuple(names), price_in, price_out)
                entries.append(entry)
                by_model[id(model)] = entry
    return entries, by_model, bad, other


def _catalogue_choice(providers: Sequence[Any], name: str) -> Any:
    """The model the catalogue prices a name with when no provider is given.

    Like calc_price: the first provider whose model_match takes the name,
    then that provider's first model matching it (or its fallbacks'). None
    when the catalogue picks no provider or model.
    """
    lowered = name.lower()
    for provider in providers:
        rule = getattr(provider, "model_match", None)
        if rule is None:
            continue
        try:
            if not rule.is_match(lowered):
                continue
            return provider.find_model(lowered, all_providers=list(providers))
        except Exception:
            return None
    return None


def _resolve(providers: Sequence[Any], entries: Sequence[CatalogEntry], by_model: Dict[int, CatalogEntry],
             embedding: bool) -> Dict[str, Any]:
    """One price per name: the staging dict for one table."""
    claims: Dict[str, List[CatalogEntry]] = {}
    for entry in entries:
        if (entry.output is None) == embedding:
            for name in entry.names:
                claims.setdefault(name, []).append(entry)
    staged: Dict[str, Any] = {}
    for name, claimants in claims.items():
        chosen = by_model.get(id(_catalogue_choice(providers, name)))
        if chosen is None or (chosen.output is None) != embedding:
            # A model's own id before another model's alias, then catalogue order.
            chosen = next((c for c in claimants if c.model == name), claimants[0])
        if embedding:
            staged[name] = chosen.input
        else:
            staged[name] = {"input": chosen.input, "output": chosen.output}
    return staged


def read_catalog() -> Catalog:
    """Read and check the installed catalogue; no table is touched.

    Raises ImportError (naming the ``prices`` extra) without ``genai-prices``,
    and ``CatalogLayoutError`` for a catalogue laid out in a way this loader
    does not know.
    """
    module, version = _import_catalogue()
    layout = _Layout(module, version)
    providers = _providers(layout)
    today = _dt.datetime.now(_dt.timezone.utc).date()
    entries, by_model, bad, other = _entries(layout, providers, today)
    return Catalog(
        version=version,
        entries=tuple(entries),
        models=_resolve(providers, entries, by_model, embedding=False),
        embeddings=_resolve(providers, entries, by_model, embedding=True),
        bad_prices=bad,
        not_per_token=other,
    )


def load_catalog(*, override: bool = False) -> int:
    """Add the catalogue's prices to ``MODEL_COSTS`` and ``EMBEDDING_COSTS``.

    Entries already in the tables (the built-in ones, and any the
    application added) win unless ``override`` is true. Everything is read
    and checked before the tables change; each table then changes in one
    ``update``, so an estimate never sees half a catalogue. Loading again
    adds nothing new, and concurrent loads are serialised. Returns the number
    of keys added or (with ``override``) re-priced.

    What is loaded, and what is left out:

    - A model priced per million input and output tokens becomes a chat record
      ``{"input": p_in / 1_000_000, "output": p_out / 1_000_000}``; a model priced
      for input tokens only (embedding, reranking and classification models)
      becomes an ``EMBEDDING_COSTS`` price ``p_in / 1_000_000``. A model listed
      with an empty price set is free in the catalogue (``:free`` variants,
      models included in a subscription) and is loaded with zero prices.
    - Prices for other units (cached tokens, audio or image tokens, web searches)
      are only charged when a call reports them, so they do not stand in the way.
      A per-request fee is charged on every call and cannot be expressed per
      token: such a model is left out.
    - Tiered prices: the base price, which the catalogue charges for every call
      below the first tier. A model whose first tier starts below
      ``ORDINARY_PROMPT_TOKENS`` input tokens is left out, since an ordinary call
      would not pay the base price.
    - Date-dependent prices: the price in force today, when every start date has
      passed. A model whose price changes on a future date, or depends on the
      time of day (off-peak discounts), is left out.
    - Request-dependent variants (service tiers, batch discounts): the standard
      price, which is what a call without such a request context pays.
    - Each model is keyed by its id and by the literal names of its match
      clauses (the prefixes of ``starts_with`` clauses, the names of ``equals``
      clauses, alone or within an ``or``); the estimators' exact, longest-prefix
      and bare-name matching then finds them. Other clauses (``contains``,
      ``ends_with``, regular expressions, ``and``) have no literal to key by.
    - When catalogue models claim one name at different prices, the name takes
      the price that the catalogue itself charges for it when no provider is
      given (the first provider whose ``model_match`` takes the name, then that
      provider's first matching model), provided that model is loaded here;
      otherwise the price of the first model (in catalogue order) whose id is
      the name, else of the first model naming it.
    - A price that is missing (an output price without an input price), negative,
      NaN, infinite or not a number skips its model; such models are counted in
      ``Catalog.bad_prices`` and logged, never loaded.

    Without ``genai-prices`` this raises ImportError naming the ``prices``
    extra; a catalogue whose data layout this loader does not know raises
    ``CatalogLayoutError`` naming the package version. Either way no table
    has changed.
    """
    return _apply(read_catalog(), override)


def _apply(catalog: Catalog, override: bool) -> int:
    from dravik_observe import cost

    with _lock:
        model_table, embedding_table = cost.MODEL_COSTS, cost.EMBEDDING_COSTS
        for name, table in (("MODEL_COSTS", model_table), ("EMBEDDING_COSTS", embedding_table)):
            if not isinstance(table, dict):
                raise TypeError(f"cannot load prices into {name} of type {type(table).__name__}")
        new_models = {k: dict(v) for k, v in catalog.models.items()
                      if k not in model_table or (override and model_table[k] != v)}
        new_embeddings = {k: v for k, v in catalog.embeddings.items()
                          if k not in embedding_table or (override and embedding_table[k] != v)}
        model_table.update(new_models)
        embedding_table.update(new_embeddings)
    added = len(new_models) + len(new_embeddings)
    logger.debug("price catalogue genai-prices %s: %d keys added, %d models with bad prices skipped",
                 catalog.version, added, catalog.bad_prices)
    return added


def _load_from_environment() -> None:
    """``DRAVIK_PRICE_CATALOG``: load at import, never failing the import."""
    try:
        load_catalog()
    except Exception as exc:
        logger.warning("DRAVIK_PRICE_CATALOG is set but the price catalogue was not loaded: %s", exc)
