"""Session-wide: what this run tests against.  Nothing is built here; the
package under test is the installed one."""

import importlib.util
import platform
import sys

import dravik_observe


def pytest_report_header(config):
    lines = [f"dravik_observe from {dravik_observe.__file__} on {platform.machine()}, CPython {sys.version.split()[0]}"]
    if importlib.util.find_spec("dravik_observe._rx") is None:
        lines.append("no test bindings (dravik_observe._rx, _diff): tests/regex and tests/diff are not collected")
    else:
        from dravik_observe import _rx

        lines.append(f"matching engine scan paths: lanes {_rx.SCAN_PATH}, fingerprints {_rx.FINGERPRINT_PATH}")
    return lines
