"""The native diff against difflib: every way of finding the longest blocks,
forced on its own, gives SequenceMatcher(None, a, b, autojunk=False)'s
matching blocks and opcodes."""

import difflib
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from dravik_observe import _diff
from diff_cases import ALPHABETS, FAMILIES, mutate, pair

MODES = ("auto", "table", "small", "suffix_array", "budget", "seeds", "seeds_sa")


def reference(a, b):
    m = difflib.SequenceMatcher(None, a, b, autojunk=False)
    return [tuple(x) for x in m.get_matching_blocks()], m.get_opcodes()


def check(a, b, modes=MODES):
    blocks, opcodes = reference(a, b)
    for mode in modes:
        assert _diff.matching_blocks(a, b, mode) == blocks, (mode, a, b)
    assert _diff.opcodes(a, b) == opcodes


texts = st.sampled_from(sorted(ALPHABETS)).flatmap(lambda k: st.text(st.sampled_from(ALPHABETS[k]), max_size=60))


@settings(max_examples=300, deadline=None)
@given(texts, texts)
def test_independent_texts(a, b):
    check(a, b)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(sorted(ALPHABETS)), st.integers(0, 80), st.integers(0, 6), st.randoms(use_true_random=False))
def test_near_identical_texts(alphabet, size, edits, rng):
    chars = ALPHABETS[alphabet]
    a = "".join(rng.choice(chars) for _ in range(size))
    b = mutate(rng, a, chars, edits)
    check(a, b)
    check(b, a)


@pytest.mark.parametrize("family", FAMILIES)
def test_families(family):
    rng = random.Random(family)
    # difflib itself is cubic on chains and quadratic on repetitive texts.
    sizes = (1, 2, 3, 5, 8, 13, 40, 120) + (() if family in ("chain", "repetitive", "runs") else (400,))
    for size in sizes:
        for _ in range(6):
            check(*pair(rng, family, size))


@pytest.mark.parametrize("a, b", [
    ("", ""), ("a", ""), ("", "a"), ("a", "a"), ("a", "b"), ("ab", "ba"),
    ("ab" * 300, "ba" * 300), ("abc" * 200, "abd" * 200), ("a" * 500, "a" * 499),
    ("a" * 100 + "b" + "a" * 100, "a" * 201), ("x" * 200, "y" * 200),
    (" abcd", "abcd abcd"),  # difflib's own example of the earliest block in a
    ("abxcd", "abcd"), ("qabxcd", "abycdf"),
    ("\ud800" * 50 + "a", "a" + "\ud800" * 50), ("\U0001f600a" * 40, "a\U0001f600" * 40),
])
def test_edge_cases(a, b):
    check(a, b)


def test_ties_go_to_the_earliest_in_a_then_in_b():
    # Several longest blocks: the one starting earliest in a wins, and among
    # its occurrences the earliest in b.
    a, b = "xyzQabcQabc", "abcRxyzRabc"
    check(a, b)
    assert _diff.matching_blocks(a, b)[0] == (0, 4, 3)
    check("abcabc", "abc")
    assert _diff.matching_blocks("abcabc", "abcabc"[3:])[0] == (0, 0, 3)


def test_each_mode_runs_what_it_names():
    rng = random.Random(1)
    syllables = "ka lo mi ra ne to su vi pa de lin mor zan tel quo rix".split()
    a = " ".join("".join(rng.choice(syllables) for _ in range(3)) for _ in range(300))
    b = " ".join(w if rng.random() > 0.1 else "[PERSON]" for w in a.split(" "))
    check(a, b)
    c = {mode: _diff.counters(a, b, mode) for mode in MODES}
    assert c["table"]["by_table"] > 0 and c["table"]["by_small_table"] == c["table"]["by_suffix_array"] == 0
    assert c["small"]["by_small_table"] > 0 and c["small"]["by_table"] == 0
    assert c["suffix_array"]["by_suffix_array"] > 0 and c["suffix_array"]["by_table"] == 0
    assert c["budget"]["budget_exceeded"] > 0 and c["budget"]["by_table"] > 0
    assert c["seeds"]["by_seeds"] > 0 and not c["seeds"]["seeds_abandoned"]
    assert c["seeds_sa"]["by_seeds"] > 0 and c["seeds_sa"]["by_suffix_array"] > 0
    assert c["auto"]["by_seeds"] > 0


def test_repetitive_texts_give_up_seeds_and_stay_exact():
    a, b = "ab" * 700, "ba" * 700
    c = _diff.counters(a, b)
    assert c["seeds_abandoned"] and c["suffix_array_built"]
    check(a, b, ("auto", "suffix_array"))


def test_longer_prose_with_tags():
    rng = random.Random(7)
    words = "the quarterly report covers revenue churn and hiring Zorvan Quill Acme Elm Street".split()
    for n, fraction in ((300, 0.02), (500, 0.05), (300, 0.5)):
        a = " ".join(rng.choice(words) for _ in range(n))
        b = " ".join("[PERSON]" if rng.random() < fraction else w for w in a.split(" "))
        check(a, b, ("auto", "suffix_array", "seeds_sa"))


def test_bad_arguments():
    with pytest.raises(TypeError):
        _diff.matching_blocks("a", None)
    with pytest.raises(ValueError):
        _diff.matching_blocks("a", "b", "nope")
