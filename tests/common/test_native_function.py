"""The native function objects: introspection, binding, calls and reference hygiene."""

import gc
import inspect
import sys

import pytest

from dravik_observe import cost
from dravik_observe.instrumentors import _pelrow


def test_introspection():
    f = cost.estimate_cost
    assert f.__name__ == f.__qualname__ == "estimate_cost"
    assert f.__module__ == "dravik_observe.cost"
    assert isinstance(f.__doc__, str) and f.__doc__
    assert f.__defaults__ == ("",)
    assert f.__globals__ is vars(cost)
    assert repr(f).startswith("<function estimate_cost at 0x")
    sig = inspect.signature(f)
    assert str(sig) == "(model: 'str', tokens_in: 'int', tokens_out: 'int', provider: 'str' = '') -> 'float'"
    assert inspect.signature(_pelrow.extract_tool_names_from_request).return_annotation == "list[str]"
    # Attributes can be added, as on Python functions.
    f.__dict__["marker"] = 1
    assert f.marker == 1
    del f.marker


def test_binds_as_a_method():
    class Holder:
        extract = _pelrow.extract_tool_names_from_request

    assert Holder.extract is _pelrow.extract_tool_names_from_request
    assert Holder.extract({"tools": [{"name": "a"}]}) == ["a"]
    bound = Holder().extract
    assert bound.__self__.__class__ is Holder
    with pytest.raises(TypeError, match=r"expected dict, got Holder"):
        bound()
    assert str(inspect.signature(bound)) == "() -> 'list[str]'"
    f = cost.estimate_cost
    assert f.__get__(None, Holder) is f


def test_cannot_be_instantiated_directly():
    with pytest.raises(TypeError):
        type(cost.estimate_cost)()


def test_keyword_names_that_are_not_interned_still_bind():
    name = "".join(["tok", "ens"])
    assert cost.estimate_embedding_cost("text-embedding-3-small", **{name: 1000}) == 2e-05
    with pytest.raises(TypeError, match="keywords must be strings"):
        cost.estimate_cost.__call__("gpt-4o", 1, 1, **{1: 2})


def test_repeated_calls_leave_no_objects_behind():
    def run():
        cost.estimate_cost("gpt-4o-2024", 10, 5.5)
        cost.estimate_cost("vendor/claude-3-haiku-x", 10, 5)
        cost.estimate_embedding_cost("bge-small", 7, provider="x")
        _pelrow.extract_tool_names_from_request({"tools": [{"function": {"name": "a"}}, {"name": "b"}]})
        for bad in (lambda: cost.estimate_cost("m", "x", 1), lambda: cost.estimate_cost("m", 1, 1, "", 5),
                    lambda: cost.estimate_cost("m", 1, 1, nope=1)):
            try:
                bad()
            except TypeError:
                pass

    for _ in range(200):
        run()
    gc.collect()
    before = len(gc.get_objects())
    blocks = sys.getallocatedblocks()
    for _ in range(5000):
        run()
    gc.collect()
    assert len(gc.get_objects()) - before < 50
    assert sys.getallocatedblocks() - blocks < 500
