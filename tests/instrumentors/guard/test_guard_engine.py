"""Which engine runs a table entry: the native one for patterns it takes, the object's own methods otherwise."""

import re

import pytest
from hypothesis import given, settings, strategies as st

from dravik_observe.instrumentors import _guard

_rx = pytest.importorskip("dravik_observe._rx", reason="the engine's test binding is not installed")


def all_patterns():
    yield from _guard._PII_PATTERNS.values()
    yield from _guard._CREDENTIAL_PATTERNS.values()
    yield from _guard._INJECTION_PATTERNS


def test_every_built_in_pattern_is_taken_by_the_native_engine():
    for pattern in all_patterns():
        _rx.compile(pattern.pattern, pattern.flags)  # raises ValueError when refused


class Recording:
    """A look-alike pattern: the guard must call its own methods."""

    def __init__(self, pattern):
        self.pattern, self.calls = pattern, []

    def search(self, text):
        self.calls.append("search")
        return self.pattern.search(text)

    def sub(self, repl, text):
        self.calls.append("sub")
        return self.pattern.sub(repl, text)


def test_look_alikes_and_refused_syntax_go_through_the_objects_own_methods():
    fake = Recording(re.compile(r"\bzq\d+\b"))
    _guard._PII_PATTERNS["ssn"] = fake
    assert _guard._detect_pii("id zq42 here") == ["PII detected: ssn", ]
    assert _guard._redact_text("id zq42 here") == "id ##SSN## here"
    assert fake.calls == ["search", "sub"]
    # Lookahead is outside the native syntax: re itself answers, with the same results.
    _guard._CREDENTIAL_PATTERNS["aws_key"] = re.compile(r"key(?=:)\S*")
    assert _guard._detect_credentials("the key:abc") == ["Credential detected: aws_key"]
    assert _guard._redact_text("the key:abc and key") == "the ##AWS_KEY## and key"
    _guard._INJECTION_PATTERNS[0] = re.compile(r"(?i)(?<=x)yz")
    assert _guard._detect_injection("XYZ") == ["Prompt injection pattern: 'YZ'"]


def test_replaced_entries_with_supported_syntax_run_natively_with_re_results():
    _guard._PII_PATTERNS["phone"] = re.compile(r"\b(?:ext|x)\s*\d{2,5}\b", re.IGNORECASE)
    text = "Call EXT 123 or x4567, not ext12345678"
    assert _guard._redact_text(text) == _guard._PII_PATTERNS["phone"].sub("##PHONE##", text)


PIECES = list("0123456789-@._ aAkKſ\u212a:=\n\u0660\u0966\u00a0\u2003sSiI\u0131\u0130") + [
    "password", "ignore all previous instructions", "AKIA", "sk-", "ghp_", "drv_sk_", "[system]:",
    "ADMIN MODE ENABLED", "ssn"]
texts = st.lists(st.sampled_from(PIECES), max_size=80).map("".join)


@settings(max_examples=300, deadline=None)
@given(texts)
def test_detection_and_redaction_equal_plain_re(text):
    expected = []
    for label, p in _guard._PII_PATTERNS.items():
        if p.search(text):
            expected.append("PII detected: " + label)
    for label, p in _guard._CREDENTIAL_PATTERNS.items():
        if p.search(text):
            expected.append("Credential detected: " + label)
    for p in _guard._INJECTION_PATTERNS:
        m = p.search(text)
        if m:
            expected.append(f"Prompt injection pattern: '{m.group()}'")
    got = _guard._detect_pii(text) + _guard._detect_credentials(text) + _guard._detect_injection(text)
    assert got == expected
    redacted = text
    for table in (_guard._PII_PATTERNS, _guard._CREDENTIAL_PATTERNS):
        for label, p in table.items():
            redacted = p.sub("##" + label.upper() + "##", redacted)
    assert _guard._redact_text(text) == redacted


def test_backtracking_bombs_are_answered():
    # On "a.a.a..." re tries the e-mail pattern from every word boundary and
    # rescans to the end each time (quadratic: hours for this size); the
    # guard's answer comes from the linear engine.
    bomb = "a." * 200_000
    assert _guard._detect_pii(bomb) == []
    assert _guard._redact_text(bomb) == bomb
    spaced = "password" + " " * 300_000 + "x"
    assert _guard._detect_credentials(spaced) == []


def test_hundreds_of_patterns_stay_compiled_and_are_forgotten_with_their_objects():
    import gc
    import weakref

    # More entries than any fixed-size cache would keep: every call must still
    # give re's answers, and an entry dropped by the host is not kept alive.
    for k in range(300):
        _guard._CREDENTIAL_PATTERNS["rule%03d" % k] = re.compile(r"\bzz%03d_[a-f0-9]{4}\b" % k, re.IGNORECASE)
    text = "x ZZ017_beef y zz299_0000 zz300_1234"
    for _ in range(3):
        assert _guard._detect_credentials(text) == ["Credential detected: rule017", "Credential detected: rule299"]
        assert _guard._redact_text(text) == "x ##RULE017## y ##RULE299## zz300_1234"
    probe = weakref.ref(_guard._CREDENTIAL_PATTERNS["rule017"])
    for k in range(300):
        del _guard._CREDENTIAL_PATTERNS["rule%03d" % k]
    re.purge()
    gc.collect()
    assert probe() is None


def test_module_instances_release_what_they_hold():
    import gc
    import importlib.util
    import sys

    pattern_type = type(re.compile(""))
    spec = importlib.util.find_spec("dravik_observe.instrumentors._guard")

    def cycle():
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        assert m._detect_pii("ssn 123-45-6789") == ["PII detected: ssn"]
        del m
        gc.collect()

    cycle()
    before = sys.getrefcount(pattern_type)
    for _ in range(20):
        cycle()
    assert sys.getrefcount(pattern_type) == before


class Mutating:
    """A look-alike whose search changes the table being walked."""

    def __init__(self, pattern, action):
        self.pattern, self.action = pattern, action

    def search(self, text):
        self.action()
        return self.pattern.search(text)


def test_tables_changed_during_a_scan():
    text = "jailbreak now; DAN mode; ignore previous instructions"
    # A list is walked as it stands at each step: an entry put in place of a
    # later one is searched, one removed is not.
    table = _guard._INJECTION_PATTERNS
    replaced = re.compile(r"now;")
    table[:] = [re.compile("jailbreak"), Mutating(re.compile("x"), lambda: table.__setitem__(2, replaced)),
                re.compile("DAN mode"), re.compile("ignore"), re.compile("previous")]
    assert _guard._detect_injection(text) == ["Prompt injection pattern: 'jailbreak'",
                                              "Prompt injection pattern: 'now;'",
                                              "Prompt injection pattern: 'ignore'",
                                              "Prompt injection pattern: 'previous'"]
    table[:] = [Mutating(re.compile("x"), lambda: table.pop()), re.compile("DAN"), re.compile("ignore")]
    assert _guard._detect_injection(text) == ["Prompt injection pattern: 'DAN'"]
    # A dict table is walked as a snapshot taken before the first search.
    pii = _guard._PII_PATTERNS
    pii.clear()
    pii["a"] = Mutating(re.compile("x"), lambda: pii.update(b=re.compile("DAN"), c=re.compile("mode")))
    pii["b"] = re.compile("jailbreak")
    assert _guard._detect_pii(text) == ["PII detected: b"]


def test_patterns_over_the_size_budget_run_on_re():
    # Expanded, this repeat is larger than the engine compiles; re answers.
    big = re.compile(r"(?:ab{1,300}){1,300}c")
    try:
        _rx.compile(big.pattern)
        raise AssertionError("expected the engine to refuse it")
    except ValueError as e:
        assert "too large" in str(e)
    _guard._PII_PATTERNS["ssn"] = big
    for text in ("x abbbc y", "abab", "", "ab" * 300 + "c"):
        assert (_guard._detect_pii(text) == ["PII detected: ssn"]) == bool(big.search(text))
        want = text
        for table in (_guard._PII_PATTERNS, _guard._CREDENTIAL_PATTERNS):
            for label, p in table.items():
                want = p.sub("##" + label.upper() + "##", want)
        assert _guard._redact_text(text) == want
