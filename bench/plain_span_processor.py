"""The span capture's rules in plain Python: the baseline of bench_tracing.py.

A processor that makes the same records, reports the same integrations, merges
the same tool spans and drops the same noise as DravikSpanProcessor, written
the straightforward way (public span properties, dict comprehensions, the
standard library).  The constant tables are the native module's own, so both
sides apply the same data; bench_tracing.py checks that both make equal
records before it times them.
"""

from __future__ import annotations

import json
from typing import Any, Callable, Dict, List, Tuple

from opentelemetry.sdk.trace import ReadableSpan, SpanProcessor

from dravik_observe.tracing.vintrel import (
    _ATTR_PREFIX_INTEGRATIONS,
    _EXCLUDED_URL_PATTERNS,
    _FRAMEWORK_PROVIDERS,
    _LLM_PROVIDER_HOSTS,
    _MODERATION_INTEGRATION,
    _NOISY_INFRA_HOSTS,
    _OTEL_DROP_KEYS,
    _OTEL_KIND_MAP,
    _SPAN_TYPE_MAP,
)

_DB_SHORT_NAMES = {
    "postgresql": "pg", "mysql": "mysql", "sqlite": "sqlite", "mongodb": "mongo", "redis": "redis",
    "memcached": "memcache", "elasticsearch": "es", "cassandra": "cassandra", "mssql": "mssql",
}
_PROVIDER_PREFIXES: List[Tuple[Tuple[str, ...], str]] = [
    (("gpt", "o1", "o3", "o4", "text-embedding", "dall-e", "whisper", "tts"), "Openai"),
    (("claude",), "Anthropic"),
    (("gemini",), "Google"),
    (("llama", "meta-llama", "codellama"), "Meta"),
    (("mistral",), "Mistral"),
    (("command", "embed-"), "Cohere"),
    (("groq",), "Groq"),
]


def _clean_attr_key(k: str) -> str:
    return k.split(".", 1)[-1] if k.startswith(("gen_ai.", "dravik.")) else k


def _display_name(raw: str) -> str:
    return raw.replace("_", " ").title()


def _derive_llm_provider(model_name: str) -> Any:
    name = (model_name or "").lower()
    for prefixes, label in _PROVIDER_PREFIXES:
        if name.startswith(prefixes):
            return label
    return "Groq" if "groq" in name else None


def _resolve_kind(span: ReadableSpan) -> str:
    attrs = span.attributes or {}
    span_type = attrs.get("dravik.span_type", "")
    if span_type and span_type in _SPAN_TYPE_MAP:
        return _SPAN_TYPE_MAP[span_type]
    if attrs.get("dravik.tool.name"):
        return "tool"
    if attrs.get("gen_ai.system") or attrs.get("gen_ai.request.model"):
        return "llm"
    kind = span.kind
    return _OTEL_KIND_MAP.get(getattr(kind, "value", kind), "chain")


def _build_display_name(span_name: str, attrs: Dict[str, Any]) -> str:
    tool = attrs.get("dravik.tool.name")
    if tool:
        return tool
    db_system = attrs.get("db.system", "")
    http_method = attrs.get("http.request.method") or attrs.get("http.method", "")
    if http_method:
        url = attrs.get("url.full") or attrs.get("http.url") or attrs.get("server.address") or ""
        if not url:
            return span_name
        try:
            from urllib.parse import urlparse

            host = urlparse(url).hostname or url
        except Exception:
            host = url
        return f"{http_method} {host}"
    if db_system:
        short = _DB_SHORT_NAMES.get(db_system, db_system)
        statement = attrs.get("db.statement", "")
        if statement:
            import re

            match = re.match(r"(\w+)", statement.strip())
            operation = match.group(1).upper() if match else ""
            if operation:
                return f"{short} {operation}"
        return f"{short} {span_name}"
    rpc_system = attrs.get("rpc.system", "")
    if rpc_system:
        service, method = attrs.get("rpc.service", ""), attrs.get("rpc.method", "")
        if service and method:
            return f"{rpc_system} {service}.{method}"
    messaging = attrs.get("messaging.system", "")
    if messaging:
        destination = attrs.get("messaging.destination.name", "")
        if destination:
            return f"{messaging} {span_name} {destination}"
    return span_name


def _first_url(attrs: Dict[str, Any], last_key: str) -> str:
    return attrs.get("url.full") or attrs.get("http.url") or attrs.get(last_key) or ""


def _is_dravik_api_call(attrs: Dict[str, Any]) -> bool:
    url = _first_url(attrs, "http.target")
    return bool(url) and any(p in url for p in _EXCLUDED_URL_PATTERNS)


def _is_llm_provider_http_call(attrs: Dict[str, Any]) -> bool:
    url = _first_url(attrs, "server.address")
    return bool(url) and any(h in url.lower() for h in _LLM_PROVIDER_HOSTS)


def _is_noisy_infra_call(attrs: Dict[str, Any]) -> bool:
    url = _first_url(attrs, "server.address")
    return bool(url) and any(h in url.lower() for h in _NOISY_INFRA_HOSTS)


def _extract_integrations_from_attrs(attrs: Dict[str, Any]) -> List[Tuple[str, str]]:
    results: List[Tuple[str, str]] = []
    provider = attrs.get("gen_ai.provider.name")
    if provider:
        if provider.lower() in _FRAMEWORK_PROVIDERS:
            results.append((_display_name(provider), "framework"))
            model = attrs.get("dravik.llm.model") or attrs.get("gen_ai.request.model")
            if model:
                real = _derive_llm_provider(model)
                if real:
                    results.append((real, "llm"))
        else:
            results.append((_display_name(provider), "llm"))
    framework = attrs.get("dravik.framework")
    if framework:
        results.append((_display_name(framework), "framework"))
    source = attrs.get("dravik.retrieval.source") or attrs.get("dravik.retrieval.collection")
    if source:
        results.append((_display_name(source), "retrieval"))
    embedding = attrs.get("dravik.embedding.model")
    if embedding:
        results.append((embedding, "embedding"))
    guardrail = attrs.get("dravik.guardrail.name")
    if guardrail:
        results.append((guardrail, "safety"))
    elif attrs.get("dravik.moderation.flagged") is not None:
        results.append(_MODERATION_INTEGRATION)
    for key, category in (("dravik.eval.framework", "eval"), ("dravik.rerank.system", "reranking")):
        value = attrs.get(key)
        if value:
            results.append((_display_name(value), category))
    if not results:
        for key in attrs:
            if isinstance(key, str) and key.startswith("dravik."):
                for prefix, pair in _ATTR_PREFIX_INTEGRATIONS.items():
                    if key.startswith(prefix):
                        results.append(pair)
                        return results
    return results


def _merge_otel_attrs_into_recorded_span(ctx: Any, span: Any, attrs: Dict[str, Any]) -> None:
    if attrs.get("dravik.span_type") != "tool_call":
        return
    target = attrs.get("dravik.tool")
    if not target:
        return
    try:
        entries = getattr(ctx, "_spans", None)
        if not entries:
            return
        for entry in reversed(entries):
            if entry.get("kind") == "tool" and entry.get("name") == target:
                break
        else:
            return
        merged = entry.get("attributes")
        if not isinstance(merged, dict):
            merged = {}
        redact_fn = getattr(ctx, "_content_redact_fn", None)
        for key, value in attrs.items():
            if key in _OTEL_DROP_KEYS:
                continue
            clean = _clean_attr_key(key)
            if clean not in merged:
                merged[clean] = redact_fn(value) if redact_fn and isinstance(value, str) else value
        entry["attributes"] = merged
    except Exception:
        return
    try:
        context = span.context
        if context and getattr(context, "span_id", 0):
            entry["_otel_span_id"] = format(context.span_id, "016x")
    except Exception:
        pass


def _redact_dict_values(d: Dict[Any, Any], redact_fn: Callable[[str], Any]) -> Dict[Any, Any]:
    out = {}
    for key, value in d.items():
        if isinstance(value, str):
            value = redact_fn(value)
        elif isinstance(value, dict):
            value = _redact_dict_values(value, redact_fn)
        elif isinstance(value, list):
            value = [_redact_dict_values(v, redact_fn) if isinstance(v, dict)
                     else redact_fn(v) if isinstance(v, str) else v for v in value]
        out[key] = value
    return out


def _redact_span_dict(span_dict: Dict[str, Any], redact_fn: Callable[[str], Any]) -> None:
    for key in ("input_data", "output_data"):
        value = span_dict.get(key)
        if isinstance(value, str):
            span_dict[key] = redact_fn(value)
        elif isinstance(value, dict):
            span_dict[key] = _redact_dict_values(value, redact_fn)
        elif isinstance(value, list):
            span_dict[key] = _redact_dict_values({"v": value}, redact_fn)["v"]
    attrs = span_dict.get("attributes")
    if attrs and isinstance(attrs, dict):
        for key, value in attrs.items():
            if isinstance(value, str):
                attrs[key] = redact_fn(value)


def _decode(text: Any) -> Any:
    try:
        return json.loads(text)
    except Exception:
        return None


def _span_to_dict(span: ReadableSpan) -> Dict[str, Any]:
    attrs = dict(span.attributes) if span.attributes else {}
    kind = _resolve_kind(span)
    start = span.start_time or 0
    end = span.end_time or 0
    duration = int((end - start) / 1_000_000) if start and end > start else None
    name = _build_display_name(span.name, attrs)
    cleaned = {_clean_attr_key(k) if isinstance(k, str) else k: v for k, v in attrs.items()}
    input_data = output_data = tool_status = None
    if kind == "tool" and "dravik.tool.input" in attrs:
        input_data = _decode(attrs.get("dravik.tool.input", "{}"))
        output_data = _decode(attrs.get("dravik.tool.output", "{}"))
        tool_status = attrs.get("dravik.tool.status")
    if kind == "llm":
        model = attrs.get("gen_ai.request.model") or attrs.get("dravik.llm.model", "")
        tokens_in = attrs.get("gen_ai.usage.input_tokens") or attrs.get("dravik.llm.input_tokens", 0)
        tokens_out = attrs.get("gen_ai.usage.output_tokens") or attrs.get("dravik.llm.output_tokens", 0)
        cleaned.update(model=model, tokens_in=tokens_in, tokens_out=tokens_out, total_tokens=tokens_in + tokens_out,
                       cost=attrs.get("dravik.llm.cost", 0))
        finish = attrs.get("gen_ai.response.finish_reasons")
        if finish:
            cleaned["finish_reasons"] = finish
        response_model = attrs.get("gen_ai.response.model")
        if response_model and response_model != model:
            cleaned["response_model"] = response_model
    trace_id = span_id = parent_id = ""
    context = span.context
    if context:
        trace_id, span_id = format(context.trace_id, "032x"), format(context.span_id, "016x")
    parent = span.parent
    if parent and parent.span_id:
        parent_id = format(parent.span_id, "016x")
    status = "ok"
    if span.status and span.status.status_code:
        from opentelemetry.trace import StatusCode

        if span.status.status_code == StatusCode.ERROR:
            status = "error"
    if isinstance(tool_status, str) and tool_status.lower() in ("error", "failed", "failure"):
        status = "error"
    return {
        "name": name, "kind": kind, "status": status, "duration_ms": duration, "attributes": cleaned,
        "input_data": input_data, "output_data": output_data, "_otel_start_ns": start, "_otel_end_ns": end,
        "_otel_trace_id": trace_id, "_otel_span_id": span_id, "_otel_parent_id": parent_id, "_from_processor": True,
    }


class PlainSpanProcessor(SpanProcessor):
    """DravikSpanProcessor's capture, in plain Python."""

    def on_end(self, span: ReadableSpan) -> None:
        try:
            from dravik_observe.instrumentors._context_var import _current_context

            ctx = _current_context.get()
            if ctx is None or not ctx.run_id:
                return
            attributes = span.attributes
            attrs = (attributes if type(attributes) is dict else dict(attributes)) if attributes else {}
            for name, category in _extract_integrations_from_attrs(attrs):
                ctx._record_integration(name, category)
            if attrs.get("dravik.span_type"):
                _merge_otel_attrs_into_recorded_span(ctx, span, attrs)
                return
            if _is_dravik_api_call(attrs) or _is_llm_provider_http_call(attrs) or _is_noisy_infra_call(attrs):
                return
            record = _span_to_dict(span)
            if ctx._content_redact_fn:
                _redact_span_dict(record, ctx._content_redact_fn)
            ctx._otel_spans.append(record)
        except Exception:
            pass
