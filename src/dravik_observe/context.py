"""The run context: one observed run of an LLM application or agent.

A :class:`DravikContext` collects what happens during a run (tool calls, the
spans captured by the span processor, the integrations seen, the tool
decisions the model made) and posts it to the observe service when the run
ends::

    with DravikContext("answer-question") as run:
        with run.start_tool_span("web_search"):
            result = web_search(query)
            run.record_tool_call("web_search", input_data=query, output_preview=result[:200])

While the ``with`` block runs, the context is the value of
:data:`dravik_observe.instrumentors._context_var._current_context` in the
current thread or asyncio task, which is how instrumentation finds it.
"""

from __future__ import annotations

import contextlib
import itertools
import logging
import threading
import time
import uuid
from contextvars import Token
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    ContextManager,
    Dict,
    Iterator,
    List,
    Mapping,
    Optional,
    Tuple,
)

from dravik_observe.instrumentors._context_var import _current_context

if TYPE_CHECKING:
    from types import TracebackType

    from opentelemetry.trace import Span, Tracer

    from dravik_observe.client import DravikObserveClient

__all__ = ["DravikContext", "current_context", "record_tool_call", "start_tool_span"]

logger = logging.getLogger(__name__)

_TRACER_NAME = "dravik_observe"


def _redact(value: Any, redact_fn: Callable[[str], Any]) -> Any:
    """Apply ``redact_fn`` to every string in ``value``, descending into dicts and lists."""
    if isinstance(value, str):
        return redact_fn(value)
    if isinstance(value, dict):
        return {key: _redact(item, redact_fn) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_redact(item, redact_fn) for item in value]
    return value


class DravikContext:
    """One observed run, active in the thread or task that enters it.

    Args:
        name: A label for the run, sent with its records.
        run_id: Identifier of the run; a new random hex id by default.
        content_redact_fn: When given, called on each piece of recorded text
            (tool inputs and outputs here; span content, and the text that a
            tool span adds to its tool-call record, in the span processor)
            and its result recorded instead.
        client: The client used to post the run when it ends. When omitted,
            a :class:`~dravik_observe.client.DravikObserveClient` is used if
            the environment configures one; otherwise nothing is posted.

    Entering the context makes it the active run; leaving it restores the
    previously active run (contexts nest), marks the run ended and flushes
    it. A context object should be entered by one thread or task at a time;
    give concurrent work contexts of its own.
    """

    def __init__(
        self,
        name: str = "run",
        *,
        run_id: Optional[str] = None,
        content_redact_fn: Optional[Callable[[str], Any]] = None,
        client: Optional[DravikObserveClient] = None,
    ) -> None:
        self.name = name
        self.run_id: Optional[str] = run_id if run_id is not None else uuid.uuid4().hex
        self.started_at: float = time.time()
        self.ended_at: Optional[float] = None
        self.decisions: List[Dict[str, Any]] = []
        self._content_redact_fn = content_redact_fn
        self._client = client
        self._spans: List[Dict[str, Any]] = []
        self._otel_spans: List[Dict[str, Any]] = []
        self._governance_blocked = False
        self._governance_reason: Optional[str] = None
        # (name, category) -> a counter advanced once per report.  A report
        # is two single calls into C (dict.setdefault, next), each atomic,
        # so the span processor's hot path takes no lock; readers take
        # `_integrations_lock` among themselves (see _integration_counts).
        self._integrations: Dict[Tuple[str, str], Iterator[int]] = {}
        self._integration_reads: Dict[Tuple[str, str], int] = {}
        self._integrations_lock = threading.Lock()
        self._tokens: List[Token[Optional[DravikContext]]] = []

    def __repr__(self) -> str:
        return f"DravikContext(name={self.name!r}, run_id={self.run_id!r})"

    # -- activation ----------------------------------------------------------

    def __enter__(self) -> DravikContext:
        self._tokens.append(_current_context.set(self))
        return self

    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        _current_context.reset(self._tokens.pop())
        self.ended_at = time.time()
        self.flush()

    @property
    def ended(self) -> bool:
        """Whether the run has been left at least once."""
        return self.ended_at is not None

    # -- records -------------------------------------------------------------

    def _record_integration(self, name: str, category: str) -> None:
        """Note that the run used an integration (a provider, framework, store...).

        Repeats are counted, not listed twice.
        """
        key = (name, category)
        counter = self._integrations.get(key)
        if counter is None:
            counter = self._integrations.setdefault(key, itertools.count())
        next(counter)

    @property
    def integrations(self) -> List[Tuple[str, str]]:
        """The (name, category) pairs recorded so far, each once, in first-seen order."""
        return list(self._integrations)

    def _integration_counts(self) -> List[Tuple[Tuple[str, str], int]]:
        # A counter cannot be read without advancing it: reading returns
        # reports + earlier reads, and the reads of each key are counted here.
        with self._integrations_lock:
            counts = []
            for key, counter in list(self._integrations.items()):
                reads = self._integration_reads.get(key, 0)
                counts.append((key, next(counter) - reads))
                self._integration_reads[key] = reads + 1
            return counts

    def record_decision(
        self,
        *,
        name: str,
        options: Any,
        chosen: Any,
        reasoning: str = "",
        instrumentation_type: str = "manual",
    ) -> Dict[str, Any]:
        """Record a decision taken during the run (for example which tool a model chose).

        Args:
            name: What was decided, e.g. "tool_call:web_search".
            options: The alternatives that were available.
            chosen: The alternative taken.
            reasoning: Why, in words.
            instrumentation_type: "auto" when recorded by instrumentation,
                "manual" when recorded by application code.

        Returns:
            The stored record.
        """
        decision: Dict[str, Any] = {
            "name": name,
            "options": list(options) if isinstance(options, (list, tuple)) else options,
            "chosen": chosen,
            "reasoning": reasoning,
            "instrumentation_type": instrumentation_type,
            "timestamp": time.time(),
        }
        self.decisions.append(decision)
        return decision

    def record_tool_call(
        self,
        name: str,
        *,
        tool_type: str = "function",
        input_data: Any = None,
        output_preview: Any = None,
        input_url: Optional[str] = None,
        duration_ms: Optional[float] = None,
        status: str = "ok",
        attributes: Optional[Mapping[str, Any]] = None,
    ) -> Dict[str, Any]:
        """Record one tool call on the run.

        Call it inside the tool's :meth:`start_tool_span` block: when that span
        ends, the span processor copies the span's attributes into the most
        recent entry of the same tool name.

        Text in ``input_data`` and ``output_preview`` goes through the run's
        content redaction function when there is one.

        Returns:
            The stored entry; its "attributes" is a new dict.
        """
        redact_fn = self._content_redact_fn
        if redact_fn:
            input_data = _redact(input_data, redact_fn)
            output_preview = _redact(output_preview, redact_fn)
        entry: Dict[str, Any] = {
            "kind": "tool",
            "name": name,
            "tool_type": tool_type,
            "input_data": input_data,
            "output_preview": output_preview,
            "input_url": input_url,
            "duration_ms": duration_ms,
            "status": status,
            "timestamp": time.time(),
            "attributes": dict(attributes) if attributes else {},
        }
        self._spans.append(entry)
        return entry

    @contextlib.contextmanager
    def start_tool_span(
        self,
        name: str,
        *,
        tool_type: str = "function",
        tracer: Optional[Tracer] = None,
    ) -> Iterator[Span]:
        """Open the OpenTelemetry span of a tool call and make it current.

        The span is named "execute_tool <name>" and carries the attributes
        "dravik.span_type" = "tool_call", "dravik.tool" = ``name`` and
        "dravik.tool.type" = ``tool_type``; put any further detail on it as
        attributes. An exception leaving the block is recorded on the span.

        Args:
            name: The tool's user-visible name.
            tool_type: The kind of tool, e.g. "function" or "retrieval".
            tracer: The tracer to use; by default the "dravik_observe" tracer
                of the global tracer provider.

        Requires the ``opentelemetry-api`` package.
        """
        if tracer is None:
            from opentelemetry import trace

            tracer = trace.get_tracer(_TRACER_NAME)
        attributes = {
            "dravik.span_type": "tool_call",
            "dravik.tool": name,
            "dravik.tool.type": tool_type,
        }
        with tracer.start_as_current_span("execute_tool " + name, attributes=attributes) as span:
            yield span

    # -- shipping ------------------------------------------------------------

    def to_payload(self) -> Dict[str, Any]:
        """The run's records, in the form posted to the observe service."""
        return {
            "run_id": self.run_id,
            "name": self.name,
            "started_at": self.started_at,
            "ended_at": self.ended_at,
            "spans": list(self._spans),
            "otel_spans": list(self._otel_spans),
            "decisions": list(self.decisions),
            "integrations": [
                {"name": name, "category": category, "count": count}
                for (name, category), count in self._integration_counts()
            ],
            "governance": {
                "blocked": self._governance_blocked,
                "reason": self._governance_reason,
            },
        }

    def flush(self) -> Optional[Dict[str, Any]]:
        """Post the run's records to the observe service, if a client is configured.

        Never raises: a failure is logged at debug level and None returned.
        The records stay on the context, so a later flush sends them again.

        Returns:
            The service's answer, or None.
        """
        try:
            client = self._client
            if client is None:
                from dravik_observe.client import DravikObserveClient

                if not DravikObserveClient.is_configured():
                    return None
                client = DravikObserveClient()
            return client.post_run(self.to_payload())
        except Exception as exc:
            logger.debug("Posting run %s failed: %s", self.run_id, exc)
            return None


def current_context() -> Optional[DravikContext]:
    """The run active in this thread or task, or None."""
    return _current_context.get()


def start_tool_span(
    name: str,
    *,
    tool_type: str = "function",
    tracer: Optional[Tracer] = None,
) -> ContextManager[Optional[Span]]:
    """:meth:`DravikContext.start_tool_span` on the active run.

    Without an active run no span is opened and the block gets None.
    """
    ctx = _current_context.get()
    if ctx is None:
        return contextlib.nullcontext()
    return ctx.start_tool_span(name, tool_type=tool_type, tracer=tracer)


def record_tool_call(
    name: str,
    *,
    tool_type: str = "function",
    input_data: Any = None,
    output_preview: Any = None,
    input_url: Optional[str] = None,
    duration_ms: Optional[float] = None,
    status: str = "ok",
    attributes: Optional[Mapping[str, Any]] = None,
) -> Optional[Dict[str, Any]]:
    """:meth:`DravikContext.record_tool_call` on the active run; None without one."""
    ctx = _current_context.get()
    if ctx is None:
        return None
    return ctx.record_tool_call(
        name,
        tool_type=tool_type,
        input_data=input_data,
        output_preview=output_preview,
        input_url=input_url,
        duration_ms=duration_ms,
        status=status,
        attributes=attributes,
    )
