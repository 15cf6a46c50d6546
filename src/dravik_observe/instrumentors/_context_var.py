"""The context variable that holds the active run.

Everything that records into a run (the span processor, the prompt guard's
surface gate, the tool-decision recorder, the tool helpers) looks the run up
here at the moment of the call. Being a :class:`contextvars.ContextVar`, it
keeps the runs of different threads and asyncio tasks apart.
"""

from __future__ import annotations

from contextvars import ContextVar
from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:
    from dravik_observe.context import DravikContext

_current_context: ContextVar[Optional[DravikContext]] = ContextVar(
    "dravik_current_context", default=None
)
