"""The native function objects themselves under hostile use: attributes set to odd
values, annotation dicts whose keys misbehave, binding, and odd keyword names."""

from __future__ import annotations

import importlib
import sys
import threading
from typing import Any, Iterator

import pytest

from dravik_observe import cost


class Collider:
    """Hashes like `like`; comparing runs `action` (which may raise)."""

    def __init__(self, like: str, action: Any) -> None:
        self.like = like
        self.action = action

    def __hash__(self) -> int:
        return hash(self.like)

    def __eq__(self, other: Any) -> bool:
        self.action()
        return False


@pytest.fixture
def fresh_cost() -> Iterator[Any]:
    """A second copy of the cost module, whose functions have not built a signature yet."""
    import dravik_observe

    saved = sys.modules.pop("dravik_observe.cost")
    try:
        yield importlib.import_module("dravik_observe.cost")
    finally:
        # The import also rebound the package attribute, which `from
        # dravik_observe import cost` reads first.
        sys.modules["dravik_observe.cost"] = dravik_observe.cost = saved


def interrupt() -> None:
    raise KeyboardInterrupt("from a key")


def test_signature_lets_an_interrupt_from_an_annotation_key_through(fresh_cost: Any) -> None:
    fn = fresh_cost.estimate_cost
    fn.__annotations__ = {Collider("return", interrupt): "x", "model": "str"}
    with pytest.raises(KeyboardInterrupt):
        fn.__signature__
    fn.__annotations__ = {Collider("model", lambda: 1 / 0): "x"}
    with pytest.raises(ZeroDivisionError):
        fn.__signature__


def test_signature_survives_a_key_that_replaces_the_annotations(fresh_cost: Any) -> None:
    fn = fresh_cost.estimate_embedding_cost

    def replace() -> None:
        fn.__annotations__ = {"tokens": "int"}

    fn.__annotations__ = {Collider("model", replace): "x", "model": "str", "return": "float"}
    sig = fn.__signature__
    assert list(sig.parameters) == ["model", "tokens", "provider"]
    assert fn.__annotations__ == {"tokens": "int"}


def test_signature_built_by_many_threads_at_once(fresh_cost: Any) -> None:
    fn = fresh_cost.estimate_cost
    barrier = threading.Barrier(8)
    seen = []

    def read() -> None:
        barrier.wait()
        seen.append(fn.__signature__)

    threads = [threading.Thread(target=read) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(seen) == 8 and all(s is seen[0] for s in seen)
    assert str(seen[0]) == "(model: 'str', tokens_in: 'int', tokens_out: 'int', provider: 'str' = '') -> 'float'"


def test_attributes_reject_odd_values_and_keep_working() -> None:
    fn = cost.estimate_embedding_cost
    saved = (fn.__name__, fn.__qualname__, fn.__doc__, fn.__module__, dict(fn.__annotations__))
    try:
        for attr in ("__name__", "__qualname__"):
            with pytest.raises(TypeError):
                setattr(fn, attr, 5)
            with pytest.raises(TypeError):
                delattr(fn, attr)
        with pytest.raises(TypeError):
            fn.__annotations__ = [("model", "str")]
        fn.__doc__ = None
        fn.__module__ = 12
        fn.__annotations__ = None
        assert fn.__annotations__ == {}
        with pytest.raises(AttributeError):
            fn.__globals__ = {}
        with pytest.raises(AttributeError):
            fn.__defaults__ = ("x",)
        fn.extra = "kept"
        assert fn.__dict__ == {"extra": "kept"}
        assert fn("bge-small", 10) == 0.0
        assert "estimate_embedding_cost" in repr(fn)
    finally:
        fn.__name__, fn.__qualname__, fn.__doc__, fn.__module__, fn.__annotations__ = saved
        fn.__dict__.clear()


def test_binding_and_odd_keyword_names() -> None:
    class Holder:
        price = cost.estimate_embedding_cost

    # Bound as a method, the instance becomes the model argument and is rejected.
    with pytest.raises(TypeError, match="Argument 'model'"):
        Holder().price(10)
    assert Holder.price("text-embedding-3-small", 1000) == 2e-05
    assert cost.estimate_embedding_cost.__get__(None, Holder) is cost.estimate_embedding_cost

    class Key(str):
        pass

    assert cost.estimate_cost(**{Key("model"): "gpt-4o", "tokens_in": 1000, Key("tokens_out"): 500}) == 0.0075
    with pytest.raises(TypeError, match="unexpected keyword"):
        cost.estimate_cost("gpt-4o", 1, 1, **{"\ud800": 1})
    with pytest.raises(TypeError, match="multiple values"):
        cost.estimate_cost("gpt-4o", 1, 1, **{Key("model"): "x"})
    with pytest.raises(TypeError):
        type(cost.estimate_cost)()
