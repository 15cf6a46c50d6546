"""Random patterns in the supported syntax against `re` on random texts."""

import re
import warnings

from hypothesis import given, settings
from hypothesis import strategies as st

from dravik_observe import _rx
import random

from rx_cases import RANDOM_FLAGS, random_pattern, random_text, re_span


def compile_pair(pattern, flags):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            ref = re.compile(pattern, flags)
        except re.error:
            ref = None
    try:
        mine = _rx.compile(pattern, flags)
    except ValueError:
        mine = None
    if ref is None:
        # Whatever `re` refuses, the engine refuses too.
        assert mine is None, pattern
    return ref, mine


def compare(ref, mine, text):
    for pos in (0, 1, len(text) // 2):
        assert mine.search(text, pos) == re_span(ref, text, pos), (ref.pattern, ref.flags, text, pos)
    assert mine.sub("<>", text) == ref.sub("<>", text), (ref.pattern, ref.flags, text)


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 2**32), st.sampled_from(RANDOM_FLAGS))
def test_random_patterns_agree_with_re(seed, flags):
    rng = random.Random(seed)
    pattern = random_pattern(rng)
    ref, mine = compile_pair(pattern, flags)
    if ref is None or mine is None:
        return
    for _ in range(6):
        compare(ref, mine, random_text(rng))


@settings(max_examples=200, deadline=None)
@given(st.text("ab()|*+?{},:[]^$-\\dswbBAZx1.i:#P<>=!\n", max_size=12), st.sampled_from(RANDOM_FLAGS))
def test_arbitrary_syntax_is_refused_or_agrees(pattern, flags):
    ref, mine = compile_pair(pattern, flags)
    if ref is not None and mine is not None:
        for text in ("", "ab", "a{1}b", "x,}a]b-", "ab ab\tb1", "{}()", "b\na\n", "AB\n"):
            compare(ref, mine, text)


def test_acceptance_rate_of_generated_patterns_is_useful():
    # Guards against the generator drifting to patterns the engine refuses.
    rng = random.Random(5)
    accepted = 0
    for _ in range(500):
        try:
            _rx.compile(random_pattern(rng))
            accepted += 1
        except ValueError:
            pass
    assert accepted >= 250
