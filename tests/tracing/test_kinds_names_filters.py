"""Record kinds, display names, labels and the drop filters, against their tables and stdlib oracles."""

from __future__ import annotations

import re
import urllib.parse

import pytest
from hypothesis import given
from hypothesis import strategies as st
from opentelemetry.trace import SpanKind

from tracing_support import FakeSpan, sdk_span


def test_tables_exact(vintrel):
    assert list(vintrel._SPAN_TYPE_MAP.items()) == [
        ("agent_execution", "agent"), ("llm_call", "llm"), ("tool_call", "tool"), ("workflow_step", "chain"),
        ("decision", "decision"), ("reasoning", "reasoning"), ("retrieval", "retriever"), ("embedding", "llm"),
        ("guardrail", "governance"), ("governance", "governance"), ("retry", "retry"),
    ]
    assert vintrel._OTEL_KIND_MAP == {0: "chain", 1: "chain", 2: "chain", 3: "chain", 4: "chain"}
    assert vintrel._EXCLUDED_URL_PATTERNS == ("api/v1/observe", "api/v1/policy", "api/health")
    hosts = vintrel._LLM_PROVIDER_HOSTS
    assert type(hosts) is tuple and len(hosts) == 11 and hosts[6] == "bedrock-runtime."
    assert hosts[0] == "api.openai.com" and hosts[1] == "api.anthropic.com" and hosts[10] == "openrouter.ai"
    assert all(h == h.lower() for h in hosts)
    assert vintrel._NOISY_INFRA_HOSTS == ("huggingface.co", "cdn-lfs.huggingface.co", "cdn-lfs-us-1.huggingface.co")


def test_function_metadata(vintrel):
    ann = lambda f: dict(f.__annotations__)  # noqa: E731
    assert ann(vintrel._resolve_kind) == {"span": "'ReadableSpan'", "return": "str"}
    assert ann(vintrel._build_display_name) == {"span_name": "str", "attrs": "dict", "return": "str"}
    assert ann(vintrel._display_name) == {"raw": "str", "return": "str"}
    for name in ("_is_dravik_api_call", "_is_llm_provider_http_call", "_is_noisy_infra_call"):
        assert ann(getattr(vintrel, name)) == {"attrs": "dict", "return": "bool"}
    assert ann(vintrel._derive_llm_provider) == {"model_name": "str", "return": "str | None"}
    assert vintrel._resolve_kind.__doc__ == "Determine the Django Span kind from an OTel span."
    assert vintrel._display_name.__doc__ == "Convert a raw provider/source string to a display name."
    assert vintrel._build_display_name.__doc__.startswith("Build a human-readable display name for infrastructure spans.")
    assert vintrel._is_llm_provider_http_call.__doc__.startswith("Check if an HTTP span targets a known LLM provider API.")
    assert vintrel._is_noisy_infra_call.__doc__ == "Check if an HTTP span is infrastructure noise (model downloads, etc.)."
    assert vintrel._derive_llm_provider.__doc__ == "Best-effort LLM provider derivation from model name."


class Kind:
    def __init__(self, value):
        self.value = value


@pytest.mark.parametrize(
    "attributes, kind, expected",
    [
        ({"dravik.span_type": "tool_call", "gen_ai.system": "openai"}, 0, "tool"),
        ({"dravik.span_type": "embedding"}, 0, "llm"),
        ({"dravik.span_type": "agent"}, 0, "chain"),
        (None, 0, "chain"),
        ({"dravik.tool.name": "search", "gen_ai.system": "x"}, 0, "tool"),
        ({"gen_ai.request.model": "gpt-4o"}, 0, "llm"),
        ({}, 2, "chain"),
        ({}, Kind(2), "chain"),
        ({}, 7, "chain"),
    ],
)
def test_resolve_kind(vintrel, attributes, kind, expected):
    assert vintrel._resolve_kind(FakeSpan(attributes=attributes, kind=kind)) == expected


def test_resolve_kind_real_spans_and_failures(vintrel):
    assert vintrel._resolve_kind(sdk_span(attributes={"dravik.span_type": "retry"}, kind=SpanKind.CLIENT)) == "retry"
    assert vintrel._resolve_kind(sdk_span(kind=SpanKind.CONSUMER)) == "chain"
    with pytest.raises(TypeError):
        vintrel._resolve_kind(FakeSpan(attributes={"dravik.span_type": ["x"]}))
    with pytest.raises(TypeError):
        vintrel._resolve_kind(FakeSpan(kind=Kind([1])))
    with pytest.raises(AttributeError):
        vintrel._resolve_kind(object())


@pytest.mark.parametrize(
    "name, attrs, expected",
    [
        ("GET", {"http.request.method": "GET", "url.full": "https://API.Example.COM:8443/v1?q=1"}, "GET api.example.com"),
        ("POST", {"http.method": "POST", "server.address": "Svc.Internal"}, "POST Svc.Internal"),
        ("PUT", {"http.request.method": "", "http.method": "PUT", "http.url": "http://u:p@h.io/x"}, "PUT h.io"),
        ("GET", {"http.method": "GET", "server.address": "", "db.system": "redis"}, "GET"),
        ("GET", {"http.method": "GET", "url.full": "localhost:8080"}, "GET localhost:8080"),
        ("GET", {"http.method": "GET", "url.full": "http://[::1"}, "GET http://[::1"),
        ("GET", {"http.method": "GET", "url.full": 12}, "GET 12"),
        ("q", {"db.system": "redis", "db.statement": "GET user:1"}, "redis GET"),
        ("q", {"db.system": "postgresql", "db.statement": "  select * from documents"}, "pg SELECT"),
        ("SELECT documents", {"db.system": "postgresql"}, "pg SELECT documents"),
        ("q", {"db.system": "oracle", "db.statement": "(SELECT 1)"}, "oracle q"),
        ("q", {"db.system": "mssql", "db.statement": "/* x */ SELECT 1"}, "mssql q"),
        ("q", {"db.system": "mongodb", "db.statement": "über x"}, "mongo ÜBER"),
        ("q", {"db.system": "sqlite", "db.statement": "straße_1 x"}, "sqlite STRASSE_1"),
        ("call", {"rpc.system": "grpc", "rpc.service": "Greeter", "rpc.method": "SayHello"}, "grpc Greeter.SayHello"),
        ("call", {"rpc.system": "grpc", "rpc.service": "Greeter"}, "call"),
        ("publish", {"rpc.system": "grpc", "messaging.system": "kafka", "messaging.destination.name": "orders"},
         "kafka publish orders"),
        ("publish", {"messaging.system": "kafka"}, "publish"),
        ("x", {"dravik.tool.name": "web_search", "http.method": "GET"}, "web_search"),
        ("x", {"db.system": 5, "db.statement": "select"}, "5 SELECT"),
    ],
)
def test_build_display_name(vintrel, name, attrs, expected):
    assert vintrel._build_display_name(name, attrs) == expected


def test_build_display_name_failures(vintrel):
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        vintrel._build_display_name("x", {"dravik.tool.name": 3})
    with pytest.raises(AttributeError):
        vintrel._build_display_name("x", {"db.system": "pg", "db.statement": 42})
    with pytest.raises(TypeError):  # bytes strip, then cannot meet a text pattern
        vintrel._build_display_name("x", {"db.system": "pg", "db.statement": b"select"})
    with pytest.raises(TypeError, match=r"Argument 'attrs' has incorrect type \(expected dict, got NoneType\)"):
        vintrel._build_display_name("x", None)
    with pytest.raises(TypeError, match=r"Argument 'span_name' has incorrect type"):
        vintrel._build_display_name(b"x", {})
    with pytest.raises(TypeError):
        vintrel._build_display_name("x")


def _stdlib_db_name(short: str, name: str, statement: str) -> str:
    m = re.match(r"(\w+)", statement.strip())
    op = m.group(1).upper() if m else ""
    return f"{short} {op}" if op else f"{short} {name}"


@given(st.text(max_size=30))
def test_operation_word_matches_re(vintrel, statement):
    expected = _stdlib_db_name("es", "n", statement) if statement else "es n"
    assert vintrel._build_display_name("n", {"db.system": "elasticsearch", "db.statement": statement}) == expected


@given(st.text(alphabet=st.sampled_from("abcAB.:/@[]1?#-_ "), max_size=25))
def test_http_host_matches_urlparse(vintrel, url):
    try:
        host = urllib.parse.urlparse(url).hostname or url
    except Exception:
        host = url
    expected = f"GET {host}" if url else "g"
    assert vintrel._build_display_name("g", {"http.method": "GET", "url.full": url}) == expected


@given(st.text(max_size=30))
def test_display_name_matches_str_title(vintrel, raw):
    assert vintrel._display_name(raw) == raw.replace("_", " ").title()


@pytest.mark.parametrize(
    "raw, label",
    [("openai", "Openai"), ("google_genai", "Google Genai"), ("OpenAI", "Openai"), ("llama-index", "Llama-Index"),
     ("gpt4o", "Gpt4O"), ("", "")],
)
def test_display_name_examples(vintrel, raw, label):
    assert vintrel._display_name(raw) == label
    assert vintrel._display_name(raw) == label  # served from the label cache the second time


def test_display_name_rejects_subclasses(vintrel):
    class S(str):
        pass

    with pytest.raises(TypeError, match="subclasses of built-in types"):
        vintrel._display_name(S("x"))


def test_own_api_filter(vintrel):
    f = vintrel._is_dravik_api_call
    assert f({"url.full": "", "http.url": "https://obs.example/api/v1/observe/runs"}) is True
    assert f({"http.target": "/api/v1/observe/runs/"}) is True
    assert f({"http.target": "/api/health"}) is True
    assert f({"url.full": "https://obs.example/API/V1/OBSERVE"}) is False
    assert f({}) is False
    with pytest.raises(TypeError):
        f({"url.full": 5})


def test_provider_and_noise_filters(vintrel):
    llm, noise = vintrel._is_llm_provider_http_call, vintrel._is_noisy_infra_call
    target_only = {"http.target": "/api/v1/observe/runs/"}
    assert llm(target_only) is False and noise(target_only) is False
    assert llm({"url.full": "https://API.OPENAI.COM/v1/chat"}) is True
    assert llm({"server.address": "bedrock-runtime.eu-west-3.amazonaws.com"}) is True
    assert llm({"url.full": "https://example.com/?via=api.groq.com"}) is True
    assert llm({"url.full": "http://127.0.0.1:8000/v1"}) is False
    assert noise({"http.url": "https://example.com/p?next=huggingface.co"}) is True
    assert noise({"server.address": "cdn-lfs-us-1.huggingface.co"}) is True
    assert llm({}) is False and noise({}) is False
    with pytest.raises(AttributeError):
        llm({"url.full": 7})
    with pytest.raises(TypeError, match="Argument 'attrs'"):
        noise([])


@pytest.mark.parametrize(
    "model, provider",
    [("GPT-4o", "Openai"), ("o3-mini", "Openai"), ("text-embedding-3-small", "Openai"), ("tts-1", "Openai"),
     ("O1", "Openai"), ("Claude-3-5-Sonnet", "Anthropic"), ("gemini-1.5", "Google"),
     ("meta-llama/Llama-3-70b", "Meta"), ("llama3-groq-70b", "Meta"), ("mistral-large", "Mistral"),
     ("mixtral-8x7b", None), ("command-r-plus", "Cohere"), ("embed-english", "Cohere"), ("my-groq-model", "Groq"),
     ("deepseek-chat", None), ("", None), ("o2-model", None)],
)
def test_derive_llm_provider(vintrel, model, provider):
    assert vintrel._derive_llm_provider(model) == provider


def test_derive_llm_provider_argument(vintrel):
    with pytest.raises(TypeError, match=r"Argument 'model_name' has incorrect type \(expected str, got NoneType\)"):
        vintrel._derive_llm_provider(None)
    with pytest.raises(TypeError):
        vintrel._derive_llm_provider()


@given(st.text(alphabet=st.sampled_from("hugfacen.coAPIOPENAI-lsdtb/rÅ1"), max_size=40))
def test_host_filters_match_substring_rule(vintrel, url):
    low = url.lower()
    assert vintrel._is_noisy_infra_call({"url.full": url}) == (bool(url) and any(h in low for h in vintrel._NOISY_INFRA_HOSTS))
    assert vintrel._is_llm_provider_http_call({"server.address": url}) == (
        bool(url) and any(h in low for h in vintrel._LLM_PROVIDER_HOSTS))
    assert vintrel._is_dravik_api_call({"http.target": url}) == (
        bool(url) and any(p in url for p in vintrel._EXCLUDED_URL_PATTERNS))


URL_CHARS = st.sampled_from("abAB.:/-é")


def rule_answer(url, table, lower):
    """The filters' substring rule, written out."""
    text = url.lower() if lower else url
    return bool(url) and any(entry in text for entry in table)


@given(tables=st.lists(st.tuples(*[st.text(alphabet=URL_CHARS, max_size=3)] * 3), min_size=1, max_size=3),
       urls=st.lists(st.text(alphabet=URL_CHARS, max_size=12), min_size=1, max_size=4))
def test_url_tables_chosen_by_host(vintrel, tables, urls):
    # Tables replaced between calls (equal tuples included), entries with
    # upper-case, empty and non-ASCII text: each call answers by the table
    # bound at that time.
    names = ("_EXCLUDED_URL_PATTERNS", "_LLM_PROVIDER_HOSTS", "_NOISY_INFRA_HOSTS")
    saved = [getattr(vintrel, n) for n in names]
    try:
        for table in tables:
            for n in names:
                setattr(vintrel, n, tuple(table))
            for url in urls:
                assert vintrel._is_dravik_api_call({"url.full": url}) == rule_answer(url, table, False)
                assert vintrel._is_llm_provider_http_call({"url.full": url}) == rule_answer(url, table, True)
                assert vintrel._is_noisy_infra_call({"server.address": url}) == rule_answer(url, table, True)
    finally:
        for n, v in zip(names, saved):
            setattr(vintrel, n, v)


def test_url_tables_of_other_types(vintrel, monkeypatch):
    class Host(str):
        pass

    llm = vintrel._is_llm_provider_http_call
    url = {"url.full": "https://API.example.com/x"}
    assert llm(url) is False
    for table in (["api.example"], (Host("api.example"),), ("nope", "api.example")):
        monkeypatch.setattr(vintrel, "_LLM_PROVIDER_HOSTS", table)
        assert llm(url) is True
    monkeypatch.setattr(vintrel, "_LLM_PROVIDER_HOSTS", ("api.example", 5))
    assert llm(url) is True  # stops at the first hit
    monkeypatch.setattr(vintrel, "_LLM_PROVIDER_HOSTS", ("elsewhere", 5))
    with pytest.raises(TypeError, match="requires string as left operand"):
        llm(url)
    monkeypatch.setattr(vintrel, "_LLM_PROVIDER_HOSTS", tuple(f"host{i}." for i in range(100)) + ("example",))
    assert llm(url) is True


def test_truth_of_attribute_values_as_bool_gives_it(vintrel):
    class Falsy(str):
        def __bool__(self):
            return False

    llm = vintrel._is_llm_provider_http_call
    assert llm({"url.full": Falsy("https://api.openai.com/"), "server.address": "api.groq.com"}) is True
    assert llm({"url.full": Falsy("https://api.openai.com/")}) is False
    assert llm({"url.full": "", "http.url": None, "server.address": "api.groq.com"}) is True
    assert llm({"url.full": False, "http.url": 0, "server.address": ()}) is False
    assert vintrel._resolve_kind(FakeSpan(attributes={"dravik.span_type": Falsy("tool")})) == "chain"
