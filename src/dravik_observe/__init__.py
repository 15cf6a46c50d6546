"""dravik_observe: observability for LLM and agent applications.

Importing the package is cheap: it loads only the interpreted host layer (the
run context and its helpers). The compiled modules (``dravik_observe.cost``,
``dravik_observe.tracing.vintrel``, ``dravik_observe.instrumentors._guard`` and
``dravik_observe.instrumentors._pelrow``) are imported by whoever needs them.
"""

from dravik_observe.context import (
    DravikContext,
    current_context,
    record_tool_call,
    start_tool_span,
)

__version__ = "0.1.0"

__all__ = [
    "DravikContext",
    "__version__",
    "current_context",
    "record_tool_call",
    "start_tool_span",
]
