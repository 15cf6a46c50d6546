"""Integration detection, span records, the tool-span merge and content redaction."""

from __future__ import annotations

import collections
import collections.abc
import json
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st
from opentelemetry.trace import StatusCode

from dravik_observe import DravikContext
from tracing_support import FakeSpan, sdk_span

SPEECH = ["Deepgram", "AssemblyAI", "Google Cloud STT", "Google Cloud TTS", "Azure Speech", "Azure TTS", "ElevenLabs",
          "AWS Transcribe", "AWS Polly", "Whisper", "PlayHT", "Cartesia", "Coqui TTS"]


def test_integration_tables(vintrel):
    assert vintrel._FRAMEWORK_PROVIDERS == frozenset(
        ["langchain", "crewai", "autogen", "llamaindex", "pydanticai", "smolagents", "agno", "langroid", "composio",
         "camel", "letta", "mirascope", "dspy", "instructor", "magentic"])
    table = vintrel._ATTR_PREFIX_INTEGRATIONS
    assert len(table) == 23 and list(table)[0] == "dravik.deepgram." and list(table)[-1] == "dravik.letta."
    assert [name for name, cat in table.values() if cat == "speech"] == SPEECH
    assert [name for name, cat in table.values() if cat == "framework"] == [
        "LangChain", "CrewAI", "AutoGen", "Agno", "Langroid", "Composio", "CAMEL", "PydanticAI", "SmolAgents", "Letta"]
    assert vintrel._MODERATION_INTEGRATION == ("OpenAI Moderation", "safety")
    assert vintrel._OTEL_DROP_KEYS == frozenset(
        ["dravik.span_type", "openinference.span.kind", "dravik.tool", "dravik.tool.name", "dravik.tool.type"])
    assert vintrel._extract_integrations_from_attrs.__annotations__ == {"attrs": "dict", "return": "list[tuple[str, str]]"}
    assert vintrel._extract_integrations_from_attrs.__doc__.startswith("Extract (display_name, category) pairs")


@pytest.mark.parametrize(
    "attrs, expected",
    [
        ({}, []),
        ({"gen_ai.provider.name": "openai"}, [("Openai", "llm")]),
        ({"gen_ai.provider.name": "", "gen_ai.request.model": "gpt-4o"}, []),
        ({"gen_ai.provider.name": "LangChain", "gen_ai.request.model": "gpt-4o"},
         [("Langchain", "framework"), ("Openai", "llm")]),
        ({"gen_ai.provider.name": "crewai", "gen_ai.request.model": "deepseek-chat"}, [("Crewai", "framework")]),
        ({"gen_ai.provider.name": "dspy", "dravik.llm.model": "", "gen_ai.request.model": "claude-3-haiku"},
         [("Dspy", "framework"), ("Anthropic", "llm")]),
        ({"dravik.retrieval.collection": "product_docs"}, [("Product Docs", "retrieval")]),
        ({"dravik.retrieval.source": "pinecone", "dravik.retrieval.collection": "x"}, [("Pinecone", "retrieval")]),
        ({"dravik.embedding.model": "text-embedding-3-small", "dravik.guardrail.name": "pii_filter"},
         [("text-embedding-3-small", "embedding"), ("pii_filter", "safety")]),
        ({"dravik.moderation.flagged": False}, [("OpenAI Moderation", "safety")]),
        ({"dravik.moderation.flagged": None}, []),
        ({"dravik.moderation.flagged": True, "dravik.guardrail.name": "g"}, [("g", "safety")]),
        ({"gen_ai.provider.name": "agno", "dravik.framework": "agno"}, [("Agno", "framework"), ("Agno", "framework")]),
        ({"dravik.eval.framework": "ragas", "dravik.rerank.system": "cohere_rerank"},
         [("Ragas", "eval"), ("Cohere Rerank", "reranking")]),
        ({"dravik.deepgram.request_id": "r"}, [("Deepgram", "speech")]),
        ({"dravik.framework": "crewai", "dravik.deepgram.request_id": "r"}, [("Crewai", "framework")]),
        ({"dravik.deepgram": "r"}, []),
        ({1: "x", "dravik.llm.model": "m", "dravik.cartesia.voice": "v", "dravik.whisper.x": 1},
         [("Cartesia", "speech")]),
    ],
)
def test_extract_integrations(vintrel, attrs, expected):
    assert vintrel._extract_integrations_from_attrs(attrs) == expected


def test_extract_integrations_failures(vintrel):
    with pytest.raises(AttributeError):
        vintrel._extract_integrations_from_attrs({"gen_ai.provider.name": 5})
    with pytest.raises(TypeError, match="Argument 'raw'"):
        vintrel._extract_integrations_from_attrs({"dravik.framework": 5})
    with pytest.raises(TypeError, match="Argument 'attrs'"):
        vintrel._extract_integrations_from_attrs(None)


def test_prefix_table_rebound_to_another_mapping(vintrel, monkeypatch):
    """The fallback reads whatever mapping the module global holds at the call, in its own order."""
    table = vintrel._ATTR_PREFIX_INTEGRATIONS
    attrs = {"dravik.llm.model": "x", "dravik.elevenlabs.voice": "v", "dravik.deepgram.id": "d"}
    assert vintrel._extract_integrations_from_attrs(attrs) == [("ElevenLabs", "speech")]
    monkeypatch.setattr(vintrel, "_ATTR_PREFIX_INTEGRATIONS", types.MappingProxyType(table))
    assert vintrel._extract_integrations_from_attrs(attrs) == [("ElevenLabs", "speech")]
    reordered = collections.OrderedDict([("dravik.deep", ("Deep", "speech")), ("dravik.eleven", ("Eleven", "speech"))])
    monkeypatch.setattr(vintrel, "_ATTR_PREFIX_INTEGRATIONS", reordered)
    assert vintrel._extract_integrations_from_attrs(attrs) == [("Eleven", "speech")]
    monkeypatch.setattr(vintrel, "_ATTR_PREFIX_INTEGRATIONS", {"dravik.whisper.": ("W", "speech")})
    assert vintrel._extract_integrations_from_attrs(attrs) == []
    assert vintrel._extract_integrations_from_attrs({"dravik.whisper.x": 1}) == [("W", "speech")]


def test_prefix_table_of_the_wrong_shape_raises(vintrel, monkeypatch):
    attrs = {"dravik.deepgram.id": "d"}
    monkeypatch.setattr(vintrel, "_ATTR_PREFIX_INTEGRATIONS", {5: ("Five", "speech")})
    with pytest.raises(TypeError, match="startswith first arg must be str or a tuple of str, not int"):
        vintrel._extract_integrations_from_attrs(attrs)

    class Items(collections.abc.Mapping):
        def __init__(self, items):
            self._items = items

        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter(())

        def __len__(self):
            return 0

        def items(self):
            return self._items

    monkeypatch.setattr(vintrel, "_ATTR_PREFIX_INTEGRATIONS", Items([("dravik.deepgram.", "P", "extra")]))
    with pytest.raises((TypeError, ValueError)):
        vintrel._extract_integrations_from_attrs(attrs)
    monkeypatch.setattr(vintrel, "_ATTR_PREFIX_INTEGRATIONS", Items([("dravik.deepgram.", ("D", "speech"))]))
    assert vintrel._extract_integrations_from_attrs(attrs) == [("D", "speech")]
    monkeypatch.setattr(vintrel, "_ATTR_PREFIX_INTEGRATIONS", None)
    with pytest.raises(AttributeError):
        vintrel._extract_integrations_from_attrs(attrs)


def test_attributes_changed_during_the_prefix_fallback(vintrel, monkeypatch):
    """A key whose startswith adds attributes stops the walk as iterating the dict would."""

    class Growing(str):
        def startswith(self, prefix, *args):
            attrs[f"added.{len(attrs)}"] = 1
            return False

    attrs = {Growing("dravik.unknown.key"): 1, "dravik.deepgram.id": "d"}
    monkeypatch.setattr(vintrel, "_ATTR_PREFIX_INTEGRATIONS", types.MappingProxyType(vintrel._ATTR_PREFIX_INTEGRATIONS))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        vintrel._extract_integrations_from_attrs(attrs)


def test_functions_call_each_other_through_module_globals(vintrel, monkeypatch):
    monkeypatch.setattr(vintrel, "_display_name", lambda raw: "<" + raw + ">")
    monkeypatch.setattr(vintrel, "_MODERATION_INTEGRATION", ("Mod", "safety"))
    assert vintrel._extract_integrations_from_attrs({"dravik.framework": "x", "dravik.moderation.flagged": 0}) == [
        ("<x>", "framework"), ("Mod", "safety")]
    monkeypatch.setattr(vintrel, "_resolve_kind", lambda span: "custom")
    assert vintrel._span_to_dict(sdk_span())["kind"] == "custom"


@given(st.text(alphabet=st.sampled_from("gen_aidrvk.xyz"), max_size=14))
def test_clean_attr_key_matches_split_rule(vintrel, key):
    expected = key.split(".", 1)[-1] if key.startswith(("gen_ai.", "dravik.")) else key
    assert vintrel._clean_attr_key(key) == expected


def test_clean_attr_key_edges(vintrel):
    assert vintrel._clean_attr_key("gen_ai.") == ""
    assert vintrel._clean_attr_key("gen_ai") == "gen_ai"
    assert vintrel._clean_attr_key("dravik.llm.model") == "llm.model"
    with pytest.raises(TypeError, match=r"Argument 'k' has incorrect type \(expected str, got NoneType\)"):
        vintrel._clean_attr_key(None)


def test_span_record_of_a_real_llm_span(vintrel):
    parent = sdk_span("parent")
    span = sdk_span(
        "chat gpt-4o",
        {"gen_ai.system": "openai", "gen_ai.request.model": "gpt-4o", "gen_ai.usage.input_tokens": 0,
         "dravik.llm.input_tokens": 12, "gen_ai.usage.output_tokens": 5, "gen_ai.response.model": "gpt-4o-2024",
         "gen_ai.response.finish_reasons": ("stop",), "http.status_code": 200, "dravik.system": "later"},
        status=StatusCode.ERROR, parent=parent,
    )
    record = vintrel._span_to_dict(span)
    assert list(record) == ["name", "kind", "status", "duration_ms", "attributes", "input_data", "output_data",
                            "_otel_start_ns", "_otel_end_ns", "_otel_trace_id", "_otel_span_id", "_otel_parent_id",
                            "_from_processor"]
    assert record["kind"] == "llm" and record["status"] == "error" and record["duration_ms"] == 2
    attrs = record["attributes"]
    assert attrs["system"] == "later"  # the later of two colliding keys wins
    assert (attrs["model"], attrs["tokens_in"], attrs["tokens_out"], attrs["total_tokens"], attrs["cost"]) == (
        "gpt-4o", 12, 5, 17, 0)
    assert attrs["finish_reasons"] == ("stop",) and attrs["response_model"] == "gpt-4o-2024"
    assert attrs["http.status_code"] == 200
    assert record["_otel_trace_id"] == format(span.context.trace_id, "032x")
    assert record["_otel_span_id"] == format(span.context.span_id, "016x")
    assert record["_otel_parent_id"] == format(parent.context.span_id, "016x")
    assert record["_from_processor"] is True and record["_otel_start_ns"] == 1_000_000_000


def test_record_attributes_left_to_the_collector_only_when_they_can_form_a_cycle(vintrel):
    import gc

    # The SDK stores sequences as tuples it builds, tracked until a collection.
    plain = vintrel._span_to_dict(sdk_span("chat x", {"gen_ai.system": "openai", "gen_ai.response.finish_reasons": ["stop"]}))
    assert plain["attributes"]["finish_reasons"] == ("stop",)
    assert not gc.is_tracked(plain["attributes"]) and not gc.is_tracked(plain["attributes"]["finish_reasons"])
    plain["attributes"]["later"] = []  # the interpreter tracks it again
    assert gc.is_tracked(plain["attributes"])
    # Containers that could close a cycle keep the dict (and their tuple) tracked.
    for value in (("a", []), [1], {"k": 1}):
        record = vintrel._span_to_dict(FakeSpan(attributes={"k": value}))
        assert gc.is_tracked(record["attributes"]) and record["attributes"]["k"] is value
    record = vintrel._span_to_dict(FakeSpan(attributes={"k": ("a", [])}))
    assert gc.is_tracked(record["attributes"]["k"])
    # A cycle made later through the record is collected.
    record["attributes"]["self"] = record
    del record
    assert gc.collect() >= 2


def test_span_record_edges(vintrel):
    root = vintrel._span_to_dict(sdk_span("root", end=1_000_000_000))
    assert root["duration_ms"] is None and root["_otel_parent_id"] == "" and root["attributes"] == {}
    assert root["status"] == "ok" and (root["input_data"], root["output_data"]) == (None, None)
    bare_llm = vintrel._span_to_dict(FakeSpan(attributes=None, kind=0, end_time=None, start_time=5))
    assert bare_llm["duration_ms"] is None and bare_llm["_otel_end_ns"] == 0
    llm = vintrel._span_to_dict(FakeSpan(attributes={"gen_ai.system": "x", "gen_ai.response.model": ""}))
    assert llm["attributes"] == {"system": "x", "response.model": "", "model": "", "tokens_in": 0, "tokens_out": 0, "total_tokens": 0, "cost": 0}

    class Ctx:
        trace_id, span_id = 1, 26

    ids = vintrel._span_to_dict(FakeSpan(context=Ctx(), parent=Ctx()))
    assert ids["_otel_trace_id"] == "0" * 31 + "1" and ids["_otel_span_id"] == "0" * 14 + "1a"
    big = Ctx()
    big.trace_id, big.span_id = 2**128 - 1, 2**64 - 1
    assert vintrel._span_to_dict(FakeSpan(context=big))["_otel_trace_id"] == "f" * 32
    huge = Ctx()
    huge.trace_id, huge.span_id = 2**130, -5
    out = vintrel._span_to_dict(FakeSpan(context=huge))
    assert (out["_otel_trace_id"], out["_otel_span_id"]) == (format(2**130, "032x"), format(-5, "016x"))
    edges = [0, 1, 2**63, 2**64 - 1, 2**64, 2**127, 2**128 - 1, 2**128, -1, -(2**64), -(2**127), True]
    for trace_id, span_id in zip(edges, reversed(edges)):
        ctx = Ctx()
        ctx.trace_id, ctx.span_id = trace_id, span_id
        out = vintrel._span_to_dict(FakeSpan(context=ctx, parent=ctx))
        assert (out["_otel_trace_id"], out["_otel_span_id"]) == (format(trace_id, "032x"), format(span_id, "016x"))
        assert out["_otel_parent_id"] == (format(span_id, "016x") if span_id else "")
    assert vintrel._span_to_dict(FakeSpan(start_time=1, end_time=2**60 + 999_999))["duration_ms"] == int(
        (2**60 + 999_998) / 1_000_000)
    no_start = vintrel._span_to_dict(FakeSpan(start_time=None, end_time=5_000_000))
    assert no_start["duration_ms"] is None and no_start["_otel_start_ns"] == 0


def test_span_record_imports_json_at_the_call(vintrel, monkeypatch):
    """`json` is imported when a tool payload is decoded, afresh when it has left sys.modules."""
    import sys

    monkeypatch.delitem(sys.modules, "json")
    tool = {"dravik.span_type": "tool_call", "dravik.tool.input": '{"q": 1}'}
    assert vintrel._span_to_dict(sdk_span("execute_tool search", tool))["input_data"] == {"q": 1}
    assert sys.modules["json"] is not json


def test_span_record_tool_payloads_and_status(vintrel):
    tool = {"dravik.span_type": "tool_call", "dravik.tool.input": json.dumps({"q": "x"}), "dravik.tool.output": "[1, 2]"}
    record = vintrel._span_to_dict(sdk_span("execute_tool search", tool))
    assert (record["input_data"], record["output_data"], record["status"]) == ({"q": "x"}, [1, 2], "ok")
    no_output = vintrel._span_to_dict(FakeSpan(attributes={"dravik.tool.name": "t", "dravik.tool.input": "{bad"}))
    assert (no_output["input_data"], no_output["output_data"]) == (None, {})
    no_input = vintrel._span_to_dict(FakeSpan(attributes={"dravik.tool.name": "t", "dravik.tool.output": "1"}))
    assert (no_input["input_data"], no_input["output_data"]) == (None, None)
    not_text = vintrel._span_to_dict(FakeSpan(attributes={"dravik.tool.name": "t", "dravik.tool.input": 5}))
    assert not_text["input_data"] is None
    # A tool that reports its own failure makes the record an error.
    failed = dict(tool, **{"dravik.tool.status": "Error"})
    assert vintrel._span_to_dict(sdk_span("t", failed))["status"] == "error"
    assert vintrel._span_to_dict(sdk_span("t", dict(tool, **{"dravik.tool.status": "success"})))["status"] == "ok"


def test_span_record_failures(vintrel):
    with pytest.raises(TypeError):
        vintrel._span_to_dict(FakeSpan(attributes={"gen_ai.system": "x", "gen_ai.usage.input_tokens": "3",
                                                   "gen_ai.usage.output_tokens": 4}))
    with pytest.raises(AttributeError):
        vintrel._span_to_dict(object())
    with pytest.raises(TypeError, match="unexpected keyword"):
        vintrel._span_to_dict(span=None, other=1)


def tool_span(**extra):
    return sdk_span("execute_tool search", {"dravik.span_type": "tool_call", "dravik.tool": "search", **extra})


class Run:
    def __init__(self, spans):
        self._spans = spans


def test_merge_into_latest_tool_entry(vintrel):
    older = {"kind": "tool", "name": "search", "attributes": {}}
    newer = {"kind": "tool", "name": "search", "attributes": {"usage.input_tokens": 1}, "_otel_span_id": "old"}
    other = {"kind": "llm", "name": "search", "attributes": {}}
    span = tool_span(**{"dravik.firecrawl.scrape_id": "s1", "gen_ai.usage.input_tokens": 9, "dravik.tool.name": "n",
                        "dravik.tool.type": "function", "openinference.span.kind": "TOOL", "gen_ai.x": 1,
                        "dravik.x": 2})
    attrs = dict(span.attributes)
    assert vintrel._merge_otel_attrs_into_recorded_span(Run([older, newer, other]), span, attrs) is None
    assert older["attributes"] == {}
    assert newer["attributes"] == {"usage.input_tokens": 1, "firecrawl.scrape_id": "s1", "x": 1}
    assert newer["_otel_span_id"] == format(span.context.span_id, "016x")


def test_merge_leaves_things_alone(vintrel):
    entry = {"kind": "tool", "name": "search", "attributes": None}
    for attrs in ({"dravik.span_type": "llm_call", "dravik.tool": "search"}, {"dravik.span_type": "tool_call"}):
        vintrel._merge_otel_attrs_into_recorded_span(Run([entry]), None, attrs)
        assert entry["attributes"] is None
    vintrel._merge_otel_attrs_into_recorded_span(object(), None, {"dravik.span_type": "tool_call", "dravik.tool": "s"})
    vintrel._merge_otel_attrs_into_recorded_span(Run([]), None, {"dravik.span_type": "tool_call", "dravik.tool": "s"})
    # No attribute dict yet: a new one with the merged keys; a span without context skips only the id.
    vintrel._merge_otel_attrs_into_recorded_span(
        Run([entry]), FakeSpan(), {"dravik.span_type": "tool_call", "dravik.tool": "search", "a": 1})
    assert entry["attributes"] == {"a": 1} and "_otel_span_id" not in entry
    # A failing key mid-way: earlier keys stay, the call still returns None.
    kept = {"kind": "tool", "name": "search", "attributes": {}}
    bad = {"dravik.span_type": "tool_call", "dravik.tool": "search", "a": 1, 5: 2, "b": 3}
    assert vintrel._merge_otel_attrs_into_recorded_span(Run([kept]), None, bad) is None
    assert kept["attributes"] == {"a": 1}
    assert vintrel._merge_otel_attrs_into_recorded_span(Run([1, kept]), None, bad) is None
    with pytest.raises(TypeError, match="Argument 'attrs'"):
        vintrel._merge_otel_attrs_into_recorded_span(Run([]), None, None)


TOOL_ATTRS = {"dravik.span_type": "tool_call", "dravik.tool": "search", "dravik.x": 1, "dravik.tool.name": "n"}


def test_merge_with_spans_that_are_not_a_list(vintrel):
    """`_spans` is walked newest first whatever sequence the host keeps it in."""
    for make in (tuple, collections.deque, type("Entries", (list,), {})):
        older = {"kind": "tool", "name": "search", "attributes": {}}
        newer = {"kind": "tool", "name": "search", "attributes": {}}
        vintrel._merge_otel_attrs_into_recorded_span(Run(make([older, newer, {"kind": "llm"}])), None, dict(TOOL_ATTRS))
        assert (older["attributes"], newer["attributes"]) == ({}, {"x": 1}), make
    # Not reversible, not even iterable: the merge gives up silently.
    vintrel._merge_otel_attrs_into_recorded_span(Run({"kind": "tool"}), None, dict(TOOL_ATTRS))
    vintrel._merge_otel_attrs_into_recorded_span(Run(5), None, dict(TOOL_ATTRS))


def test_merge_into_entries_that_are_not_plain_dicts(vintrel):
    class Entry(dict):
        pass

    class Attributes(dict):
        pass

    entry = Entry(kind="tool", name="search", attributes=Attributes(x="host"))
    vintrel._merge_otel_attrs_into_recorded_span(Run([entry]), None, {**TOOL_ATTRS, "gen_ai.y": 2})
    assert type(entry["attributes"]) is Attributes and entry["attributes"] == {"x": "host", "y": 2}


def test_merge_with_a_rebound_drop_set(vintrel, monkeypatch):
    monkeypatch.setattr(vintrel, "_OTEL_DROP_KEYS", ["dravik.span_type", "dravik.tool", "dravik.x"])
    entry = {"kind": "tool", "name": "search", "attributes": {}}
    vintrel._merge_otel_attrs_into_recorded_span(Run([entry]), None, dict(TOOL_ATTRS))
    assert entry["attributes"] == {"tool.name": "n"}


def test_merge_when_entries_or_attributes_change_during_the_walk(vintrel, monkeypatch):
    # A comparison that empties `_spans`: the walk stops at the end of what is left.
    class Shrinking(str):
        def __ne__(self, other):
            spans.clear()
            return True

        __hash__ = str.__hash__

    spans = [{"kind": "tool", "name": "search"}, {"kind": Shrinking("tool"), "name": "search"}]
    vintrel._merge_otel_attrs_into_recorded_span(Run(spans), None, dict(TOOL_ATTRS))
    assert spans == []
    # A key cleaner that adds attributes: the merge stops as iterating the dict would, inside the guard.
    attrs = dict(TOOL_ATTRS)
    monkeypatch.setattr(vintrel, "_clean_attr_key", lambda k: attrs.setdefault("late", k) and k)
    entry = {"kind": "tool", "name": "search", "attributes": {}}
    assert vintrel._merge_otel_attrs_into_recorded_span(Run([entry]), None, attrs) is None
    assert entry["attributes"] == {"dravik.x": 1}


def test_merge_lets_interrupts_through(vintrel):
    class Stop:
        def get(self, key):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vintrel._merge_otel_attrs_into_recorded_span(
            Run([Stop()]), None, {"dravik.span_type": "tool_call", "dravik.tool": "s"})


def redact(text):
    return "<" + text.upper() + ">"


def test_redact_span_dict(vintrel):
    nested = {"q": "secret", "n": 1, "deep": {"k": "v"}, "items": ["a", {"b": "c"}, 3, ["raw"]]}
    record = {"input_data": "my prompt", "output_data": ["tok", {"t": "x"}, 7],
              "attributes": {"a": "text", "b": 2, "c": ["kept"]}}
    assert vintrel._redact_span_dict(record, redact) is None
    assert record["input_data"] == "<MY PROMPT>"
    assert record["output_data"] == ["<TOK>", {"t": "<X>"}, 7]  # a top-level list payload is redacted too
    assert record["attributes"] == {"a": "<TEXT>", "b": 2, "c": ["kept"]}
    out = vintrel._redact_dict_values(nested, redact)
    assert out == {"q": "<SECRET>", "n": 1, "deep": {"k": "<V>"}, "items": ["<A>", {"b": "<C>"}, 3, ["raw"]]}
    assert nested["q"] == "secret" and out["items"] is not nested["items"]
    record = {"input_data": {"a": "x"}, "output_data": None}
    vintrel._redact_span_dict(record, lambda s: None)
    assert record == {"input_data": {"a": None}, "output_data": None}


def test_redaction_failures(vintrel):
    class Sub(dict):
        pass

    with pytest.raises(TypeError, match="Argument 'd'"):
        vintrel._redact_dict_values({"x": Sub(a="b")}, redact)
    with pytest.raises(ZeroDivisionError):
        vintrel._redact_span_dict({"input_data": "x"}, lambda s: 1 / 0)
    with pytest.raises(TypeError, match="Argument 'span_dict'"):
        vintrel._redact_span_dict(Sub(), redact)
    deep = {}
    cursor = deep
    for _ in range(100_000):
        cursor["d"] = {}
        cursor = cursor["d"]
    with pytest.raises(RecursionError):
        vintrel._redact_dict_values(deep, redact)


def reference_llm_attributes(attrs):
    """The attribute dict of an "llm" record, written out: cleaned keys, then the summary."""
    out = {}
    for k, v in attrs.items():
        out[k.split(".", 1)[1] if k.startswith(("gen_ai.", "dravik.")) else k] = v
    model = attrs.get("gen_ai.request.model") or attrs.get("dravik.llm.model", "")
    tokens_in = attrs.get("gen_ai.usage.input_tokens") or attrs.get("dravik.llm.input_tokens", 0)
    tokens_out = attrs.get("gen_ai.usage.output_tokens") or attrs.get("dravik.llm.output_tokens", 0)
    out.update(model=model, tokens_in=tokens_in, tokens_out=tokens_out, total_tokens=tokens_in + tokens_out,
               cost=attrs.get("dravik.llm.cost", 0))
    if attrs.get("gen_ai.response.finish_reasons"):
        out["finish_reasons"] = attrs["gen_ai.response.finish_reasons"]
    response = attrs.get("gen_ai.response.model")
    if response and response != model:
        out["response_model"] = response
    return out


SUMMARY_SOURCES = {
    "gen_ai.request.model": st.sampled_from(["", "gpt", "m"]),
    "gen_ai.response.model": st.sampled_from(["", "gpt", "gpt-2024", None]),
    "gen_ai.response.finish_reasons": st.sampled_from([(), ("stop",), "", "length"]),
    "gen_ai.usage.input_tokens": st.integers(0, 3),
    "dravik.llm.output_tokens": st.integers(0, 3),
    # Keys whose cleaned form is a summary key, before or after the summary's sources.
    "dravik.finish_reasons": st.sampled_from(["cleaned", ""]),
    "gen_ai.response_model": st.just("cleaned"),
    "gen_ai.cost": st.just(9),
    "model": st.just("plain"),
    "other": st.integers(),
}


@given(st.lists(st.sampled_from(sorted(SUMMARY_SOURCES)), unique=True, max_size=8).flatmap(
    lambda keys: st.fixed_dictionaries({"gen_ai.system": st.just("openai"), **{k: SUMMARY_SOURCES[k] for k in keys}})))
def test_llm_attribute_dicts_over_repeated_key_sequences(vintrel, attrs):
    # The first span of a key sequence goes the generic way, the next ones
    # through the remembered sequence (and, in a run, its ordered pass).
    expected = list(reference_llm_attributes(attrs).items())
    for _ in range(3):
        assert list(vintrel._span_to_dict(FakeSpan(attributes=dict(attrs)))["attributes"].items()) == expected
    processor = vintrel.DravikSpanProcessor()
    with DravikContext("r") as run:
        for _ in range(3):
            processor.on_end(FakeSpan(attributes=dict(attrs)))
    assert [list(r["attributes"].items()) for r in run._otel_spans] == [expected] * 3
