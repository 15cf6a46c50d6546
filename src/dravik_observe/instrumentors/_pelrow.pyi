import logging
from contextvars import ContextVar
from typing import Any, Optional

from dravik_observe.context import DravikContext

_current_context: ContextVar[Optional[DravikContext]]
logger: logging.Logger

def extract_tool_names_from_request(kwargs: dict[str, Any]) -> list[str]: ...
def record_tool_decisions(tool_calls: list[dict[str, Any]], available_tools: list[str] | None = None) -> None: ...
