"""Single-character semantics checked over every code point: the
categories, case-insensitive letters and sets, against the running `re`."""

import re
import string

import pytest

from dravik_observe import _rx
from rx_cases import ALL_CHARS


def folds_by_letter_re():
    """ASCII letter -> the non-ASCII code points `re` matches it with under
    IGNORECASE, from one pass of `re` over every code point."""
    letters = string.ascii_lowercase
    pattern = re.compile("|".join("(%s)" % c for c in letters), re.IGNORECASE)
    found = {c: set() for c in letters}
    for m in pattern.finditer(ALL_CHARS):
        found[letters[m.lastindex - 1]].add(m.start())
    return found


def positions(rx, text):
    out, pos = set(), 0
    while True:
        span = rx.search(text, pos)
        if span is None:
            return out
        out.add(span[0])
        pos = span[1]


def test_ignorecase_letters_match_exactly_what_re_matches():
    expected = folds_by_letter_re()
    for letter in string.ascii_lowercase:
        for variant in (letter, letter.upper()):
            got = positions(_rx.compile(variant, re.IGNORECASE), ALL_CHARS)
            assert got == expected[letter], (variant, sorted(got ^ expected[letter]))
    # The well-known ones are among them (the full table is version data).
    assert 0x212A in expected["k"] and 0x17F in expected["s"]
    assert 0x130 in expected["i"] and 0x131 in expected["i"]


def test_case_fixes_are_re_own_table():
    import sys

    if sys.version_info >= (3, 11):
        from re._compiler import _EXTRA_CASES as fixes
    else:
        from sre_compile import _ignorecase_fixes as fixes
    assert _rx.case_fixes() == {k: tuple(v) for k, v in fixes.items()}


@pytest.mark.parametrize(
    "pattern,flags",
    [
        (r"\d", 0), (r"\s", 0), (r"\w", 0), (r"\D", 0), (r"\S", 0), (r"\W", 0), (".", 0),
        (r"[\d\s]", 0), (r"[^\w]", 0), ("[A-Z|a-z]", 0),
        (r"[\sa]", re.I), (r"[\Sk]", re.I), (r"[\wK]", re.I), (r"[^\ds]", re.I), (r"[\s\d]", re.I),
        ("[a-z]", re.I), ("[^k]", re.I), ("[K-S]", re.I), ("[À-ÿ]", re.I), ("[\u0100-\u017f]", re.I),
        ("[µ-ſ]", re.I), ("[Ω]", re.I), ("[ß]", re.I), ("ǅ", re.I), ("[ǅ]", re.I), ("ϴ", re.I),
        (r"(?:\s|a)", re.I), (r"(?:\d|K)", re.I), (r"x(?:\s|a)", re.I),
    ],
)
def test_single_character_classes_over_every_code_point(pattern, flags):
    # Substitution over all code points at once compares membership of each.
    expected = re.sub(pattern, "", ALL_CHARS, flags=flags)
    assert _rx.compile(pattern, flags).sub("", ALL_CHARS) == expected
