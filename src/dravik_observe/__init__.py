"""dravik_observe: observability for LLM and agent applications.

Importing the package is cheap: it loads only the interpreted host layer (the
run context and its helpers). The compiled modules (``dravik_observe.cost``,
``dravik_observe.tracing.vintrel``, ``dravik_observe.instrumentors._guard`` and
``dravik_observe.instrumentors._pelrow``) are imported by whoever needs them.

With ``DRAVIK_PRICE_CATALOG=1`` in the environment, the first import also
loads the price catalogue into the cost tables (``dravik_observe.prices``).
"""

import os as _os

from dravik_observe.context import (
    DravikContext,
    current_context,
    record_tool_call,
    start_tool_span,
)

__version__ = "0.1.0"

if _os.environ.get("DRAVIK_PRICE_CATALOG", "").strip().lower() in ("1", "true", "yes", "on"):
    from dravik_observe.prices import _load_from_environment

    _load_from_environment()

__all__ = [
    "DravikContext",
    "__version__",
    "current_context",
    "record_tool_call",
    "start_tool_span",
]
