"""_apply_substitutions and _redact_messages_ml with long pair lists against
the reference: every pair in list order on the output of the previous one,
including replacements that create, destroy or straddle later found texts."""

import random

from hypothesis import given, settings
from hypothesis import strategies as st

from dravik_observe.instrumentors import _guard

import guard_reference as ref

# Small alphabets of every width, so that found texts overlap, nest and
# appear inside placeholders.
CHARS = "ab \xe9\u4e2d\U0001f600\ud800"
fragments = st.text(st.sampled_from(CHARS), max_size=4)
pair_lists = st.lists(st.tuples(fragments, fragments), min_size=8, max_size=40)


@settings(max_examples=400, deadline=None)
@given(st.text(st.sampled_from(CHARS), max_size=120), pair_lists)
def test_long_pair_lists_match_the_reference(text, pairs):
    assert _guard._apply_substitutions(text, pairs) == ref.apply_substitutions(text, pairs)
    msgs = [{"content": text}, {"content": [{"type": "text", "text": text[::-1]}]}, {"content": text[:7]}]
    assert _guard._redact_messages_ml(msgs, text[3:], pairs) == ref.redact_messages_ml(msgs, text[3:], pairs)


def test_replacements_that_make_later_matches():
    pairs = [("B", "C"), ("x", ""), ("q", "[Z]")] + [(f"w{k}", "-") for k in range(8)]
    cases = [
        ("xAB", pairs + [("AC", "Z")]),  # created across a placeholder's edge
        ("AxB", pairs + [("AB", "Q")]),  # created where an empty placeholder joins two sides
        ("q q", pairs + [("Z]", "!"), ("[Z] [", "?")]),  # inside and around placeholders
        ("BB", [("B", "BB")] * 9 + [("BBBB", "4")]),  # placeholders holding the found text again
        ("abcabc", [("abc", "x")] + [("abc", "y")] * 8),  # destroyed before its turn
    ]
    for text, pl in cases:
        assert _guard._apply_substitutions(text, pl) == ref.apply_substitutions(text, pl), (text, pl)


def test_widths_of_the_result_follow_its_characters():
    # Removing the only wide character must give the narrow string, equal to
    # what str.replace gives.
    pairs = [("\U0001f600", "x"), ("\u4e2d", "y"), ("\xe9", "z")] + [(f"n{k}", "-") for k in range(8)]
    for text in ("a\U0001f600b", "\u4e2d\u4e2d", "\xe9", "plain", "\U0001f600\u4e2d\xe9"):
        got = _guard._apply_substitutions(text, pairs)
        want = ref.apply_substitutions(text, pairs)
        assert got == want and hash(got) == hash(want)


def test_pair_lists_with_other_objects_run_as_the_interpreter_runs_them():
    class Name(str):
        def __bool__(self):
            return False  # never applied

    pairs = [(f"w{k}", "-") for k in range(10)]
    assert _guard._apply_substitutions("w1 w2 Ann", pairs + [(Name("Ann"), "[P]")]) == "- - Ann"
    assert _guard._apply_substitutions("w1 Ann", pairs + [["Ann", "[P]"]]) == "- [P]"


def test_a_long_prompt_with_many_entities():
    rng = random.Random(11)
    names = ["".join(rng.choice("aeioulmnrstvz") for _ in range(rng.randint(3, 9))).title() for _ in range(300)]
    words = "the report covers revenue churn and the hiring plan for next year".split()
    text = " ".join(rng.choice(names) if rng.random() < 0.1 else rng.choice(words) for _ in range(6000))
    pairs = [(n, f"[PERSON_{k % 7}]") for k, n in enumerate(names)]
    pairs.sort(key=lambda p: len(p[0]), reverse=True)
    msgs = [{"role": "user", "content": text[k:k + 2000]} for k in range(0, len(text), 2000)]
    assert _guard._redact_messages_ml(msgs, "", pairs) == ref.redact_messages_ml(msgs, "", pairs)
