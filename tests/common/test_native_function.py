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


class _OddKey:
    """A namespace key that is no str, with a hash that meets the table's name."""

    def __init__(self, name):
        self.name = name
        self.compared = 0

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.compared += 1
        return False


def test_module_globals_are_read_as_they_are_at_each_call():
    import importlib.util

    # A module instance of its own: the namespace's order changes below.
    spec = importlib.util.find_spec("dravik_observe.tracing.vintrel")
    vintrel = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(vintrel)
    ns = vars(vintrel)
    attrs = {"server.address": "api.example-llm.test"}
    test = vintrel._is_llm_provider_http_call
    original = ns["_LLM_PROVIDER_HOSTS"]
    try:
        for _ in range(3):  # the same answer while nothing changes
            assert test(attrs) is False
        vintrel._LLM_PROVIDER_HOSTS = ("example-llm",)
        assert test(attrs) is True
        ns["_LLM_PROVIDER_HOSTS"] = ("nothing-here",)
        assert test(attrs) is False
        ns.update(_LLM_PROVIDER_HOSTS=["example-llm"])
        assert test(attrs) is True
        table = ns["_LLM_PROVIDER_HOSTS"]
        table.append("x")  # a change inside the table is read too
        table.clear()
        assert test(attrs) is False
        del ns["_LLM_PROVIDER_HOSTS"]
        with pytest.raises(NameError, match="_LLM_PROVIDER_HOSTS"):
            test(attrs)
        ns.setdefault("_LLM_PROVIDER_HOSTS", ("example-llm",))
        assert test(attrs) is True
        # A key that is not a str may run code in the lookup: then every
        # call looks the name up again (the odd key placed where the lookup
        # meets it first).
        odd = _OddKey("_LLM_PROVIDER_HOSTS")
        del ns["_LLM_PROVIDER_HOSTS"]
        ns[odd] = None
        ns["_LLM_PROVIDER_HOSTS"] = ("example-llm",)
        try:
            assert test(attrs) is True
            before = odd.compared
            assert test(attrs) is True
            assert odd.compared > before
        finally:
            del ns[odd]
        assert test(attrs) is True
    finally:
        ns["_LLM_PROVIDER_HOSTS"] = original
    assert test(attrs) is False
