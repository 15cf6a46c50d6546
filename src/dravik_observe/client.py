"""Synchronous client for the observe service.

Configuration comes from the environment, read whenever a client is created:

- ``DRAVIK_OBSERVE_URL``: base URL of the service, e.g. ``http://127.0.0.1:8123``.
  Without it the client is not configured and nothing is sent.
- ``DRAVIK_API_KEY``: optional; sent as ``Authorization: Bearer <key>``.
- ``DRAVIK_OBSERVE_TIMEOUT``: seconds per request (float, default 5).

:meth:`DravikObserveClient.configure` overrides these for the whole process.

Only the standard library is used (``urllib.request``), so the client works in
any environment the kit is installed into.
"""

from __future__ import annotations

import json
import logging
import os
import urllib.parse
import urllib.request
from typing import Any, ClassVar, Dict, Optional

__all__ = ["DravikObserveClient", "DEFAULT_TIMEOUT"]

logger = logging.getLogger(__name__)

DEFAULT_TIMEOUT = 5.0
"""Request timeout in seconds when neither an override nor the environment sets one."""

_USER_AGENT = "dravik-observe/0.1.0"


def _parse_timeout(raw: Any) -> float:
    """Turn a configured timeout into positive seconds, or fall back to the default."""
    try:
        value = float(raw)
    except (TypeError, ValueError):
        logger.warning("Ignoring invalid observe timeout %r; using %s s", raw, DEFAULT_TIMEOUT)
        return DEFAULT_TIMEOUT
    if not value > 0:  # also rejects NaN
        logger.warning("Ignoring non-positive observe timeout %r; using %s s", raw, DEFAULT_TIMEOUT)
        return DEFAULT_TIMEOUT
    return value


class DravikObserveClient:
    """Talks JSON over HTTP to the observe service.

    Instances take no arguments: they capture the configuration in force when
    they are created. Every request is synchronous and blocks the calling
    thread for at most the configured timeout per network operation.
    """

    PROMPT_GUARD_PATH: ClassVar[str] = "/api/v1/observe/prompt-guard/"
    RUNS_PATH: ClassVar[str] = "/api/v1/observe/runs/"

    _overrides: ClassVar[Dict[str, Any]] = {}

    # -- configuration -------------------------------------------------------

    @classmethod
    def configure(
        cls,
        base_url: Optional[str] = None,
        api_key: Optional[str] = None,
        timeout: Optional[float] = None,
    ) -> None:
        """Override the environment for the whole process.

        Each call replaces all earlier overrides; arguments left as None fall
        back to the environment. ``configure()`` with no arguments therefore
        clears every override.
        """
        overrides: Dict[str, Any] = {}
        if base_url is not None:
            overrides["base_url"] = base_url
        if api_key is not None:
            overrides["api_key"] = api_key
        if timeout is not None:
            overrides["timeout"] = timeout
        cls._overrides = overrides

    @classmethod
    def _setting(cls, key: str, env_var: str) -> Optional[str]:
        value = cls._overrides.get(key)
        if value is None:
            value = os.environ.get(env_var)
        if value is None:
            return None
        text = str(value).strip()
        return text or None

    @classmethod
    def _base_url(cls) -> Optional[str]:
        url = cls._setting("base_url", "DRAVIK_OBSERVE_URL")
        return url.rstrip("/") if url else None

    @classmethod
    def is_configured(cls) -> bool:
        """Whether a service base URL is known (from an override or the environment)."""
        return cls._base_url() is not None

    # -- instances -----------------------------------------------------------

    def __init__(self) -> None:
        """Capture the current configuration.

        Raises:
            ValueError: The configured base URL is not an http(s) URL.
        """
        base_url = self._base_url()
        if base_url is not None:
            scheme = urllib.parse.urlsplit(base_url).scheme.lower()
            if scheme not in ("http", "https"):
                raise ValueError(f"observe service URL must be http(s), got {base_url!r}")
        self._base: Optional[str] = base_url
        self._api_key: Optional[str] = self._setting("api_key", "DRAVIK_API_KEY")
        raw_timeout = self._setting("timeout", "DRAVIK_OBSERVE_TIMEOUT")
        self._timeout: float = DEFAULT_TIMEOUT if raw_timeout is None else _parse_timeout(raw_timeout)

    @property
    def base_url(self) -> Optional[str]:
        """The service base URL without a trailing slash, or None when not configured."""
        return self._base

    @property
    def timeout(self) -> float:
        """Seconds allowed for each network operation of a request."""
        return self._timeout

    def __repr__(self) -> str:
        return f"DravikObserveClient(base_url={self._base!r}, timeout={self._timeout!r})"

    def _post_json(self, path: str, body: Dict[str, Any]) -> Any:
        """POST ``body`` as JSON to ``path`` and return the decoded response (None when empty)."""
        if self._base is None:
            raise RuntimeError("observe service is not configured (set DRAVIK_OBSERVE_URL)")
        data = json.dumps(body, default=str).encode("utf-8")
        headers = {
            "Content-Type": "application/json",
            "Accept": "application/json",
            "User-Agent": _USER_AGENT,
        }
        if self._api_key:
            headers["Authorization"] = f"Bearer {self._api_key}"
        request = urllib.request.Request(self._base + path, data=data, headers=headers, method="POST")
        with urllib.request.urlopen(request, timeout=self._timeout) as response:
            raw = response.read()
        if not raw.strip():
            return None
        return json.loads(raw.decode("utf-8"))

    def prompt_guard_sync(self, *, text: str, model: str = "") -> Optional[Dict[str, Any]]:
        """Ask the service to scan a prompt.

        Sends ``{"text": text, "model": model}`` and returns the service's JSON
        answer when it is an object (the guard reads its "violations" and
        "redacted_text"), otherwise None.

        Errors are not caught here; the prompt guard catches and logs them:

        Raises:
            RuntimeError: The client is not configured.
            urllib.error.HTTPError: The service answered with an error status.
            OSError: The service could not be reached or timed out
                (``urllib.error.URLError``, ``TimeoutError``).
            ValueError: The answer is not valid JSON.
        """
        result = self._post_json(self.PROMPT_GUARD_PATH, {"text": text, "model": model})
        return result if isinstance(result, dict) else None

    def post_run(self, payload: Dict[str, Any]) -> Optional[Dict[str, Any]]:
        """Send a finished run's records to the service.

        Values that JSON cannot represent are sent as their ``str()``. Returns
        the service's answer when it is a JSON object, otherwise None. Raises
        the same errors as :meth:`prompt_guard_sync`.
        """
        result = self._post_json(self.RUNS_PATH, payload)
        return result if isinstance(result, dict) else None
