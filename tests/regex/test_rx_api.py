"""The _rx extension's surface: what it refuses, argument handling, the
string representations, empty matches, the automaton cache under pressure,
the multi-pattern scanner, and reference counts."""

import gc
import re
import sys

import pytest

from dravik_observe import _rx


@pytest.mark.parametrize(
    "pattern,flags,why",
    [
        ("(?=a)", 0, "lookaround"),
        ("(?<!a)b", 0, "lookaround"),
        ("(?>a)", 0, "atomic"),
        ("(?P=n)", 0, "group extension"),
        ("(?P<1a>x)", 0, "identifier"),
        ("(?P<n>a)(?P<n>b)", 0, "redefined"),
        (r"(a)\1", 0, "escape"),
        ("a*+", 0, "possessive"),
        ("(?x)a", 0, "VERBOSE"),
        ("(?a)a", 0, "ASCII"),
        ("(?-i)a", 0, "missing ':'"),
        ("(?i-i:a)", 0, "turned on and off"),
        ("(?-:a)", 0, "missing flag"),
        ("a", re.VERBOSE, "flags"),
        ("a", re.ASCII, "flags"),
        ("(?:a?)*", 0, "empty string"),
        ("(?:a|)+b", 0, "empty string"),
        (r"(?:\b)*", 0, "empty string"),
        ("a{10001}", 0, "10000"),
        ("\U00010400", re.I, "Basic Multilingual Plane"),
        ("[a-\U0001F600]", re.I, "Basic Multilingual Plane"),
        ("[", 0, "unterminated"),
        ("a)", 0, "unbalanced"),
        ("*a", 0, "repeat of nothing"),
        ("a**", 0, "repeat of a repeat"),
        (r"\b+", 0, "repeat of nothing"),
        ("[z-a]", 0, "bad character range"),
        (r"[\d-z]", 0, "bad character range"),
        (r"\x4", 0, "hexadecimal"),
        (r"\q", 0, "escape"),
    ],
)
def test_refused_constructs_name_the_reason(pattern, flags, why):
    with pytest.raises(ValueError, match=re.escape(why)):
        _rx.compile(pattern, flags)


@pytest.mark.parametrize(
    "pattern",
    ["a{", "a{}", "a{x}", "a{1", "{", "a{,}", "a{,2}b", "}", "]", r"[]a]", r"[^]a]", "[a-]", "[-a]", r"[\b]",
     r"\x41\u0042\U00000043", r"a\-\.\@", "(?:)", "(?:a?)?", "(?:a?){3}", "(a|b)c", r"[\]\\]"],
)
def test_edge_syntax_agrees_with_re(pattern):
    ref = re.compile(pattern)
    mine = _rx.compile(pattern)
    for text in ("", "a{", "a{}", "aaa{,}b", "{}]", "ab]c-", "\x08", "ABC", "a-.@", "acbc", "a{1", "]\\"):
        m = ref.search(text)
        assert mine.search(text) == (m.span() if m else None), (pattern, text)
        assert mine.sub("<>", text) == ref.sub("<>", text), (pattern, text)


def test_empty_matches_in_substitution_follow_re():
    for pattern, text in [("a?", "baac"), (r"\b", "ab cd"), ("x*", ""), ("", "abc"), (r"\B", "abc d"), ("a|", "aab")]:
        assert _rx.compile(pattern).sub("-", text) == re.sub(pattern, "-", text)
    # Neither \b nor \B matches in the empty string.
    assert _rx.compile(r"\b").search("") is None
    assert _rx.compile(r"\B").search("") is None


def test_replacement_is_literal_and_result_is_canonical():
    p = _rx.compile("b+")
    assert p.sub(r"\1\g<0>\n", "abba") == "a\\1\\g<0>\\na"
    # Wide characters removed: the result is as narrow as any str.
    out = _rx.compile("\u4e2d|\U0001F600").sub("", "a\u4e2db\U0001F600c")
    assert out == "abc" and sys.getsizeof(out) == sys.getsizeof("abc")
    assert _rx.compile("x").sub("\u00e9", "axb").encode() == "a\u00e9b".encode()
    text = "nothing here"
    assert _rx.compile("z").sub("y", text) is text


def test_positions_are_clamped_like_re():
    p = _rx.compile("a*")
    assert p.search("aa", -5) == (0, 2)
    assert p.search("aa", 10) == (2, 2)


def test_lookbehind_context_of_a_later_position():
    p = _rx.compile(r"\bb")
    assert p.search("ab b", 1) == (3, 4)
    assert re.compile(r"\bb").search("ab b", 1).span() == (3, 4)


def test_argument_errors():
    p = _rx.compile("a")
    with pytest.raises(TypeError):
        p.search(b"a")
    with pytest.raises(TypeError):
        p.sub("x", 1)
    with pytest.raises(TypeError):
        p.sub(None, "a")
    with pytest.raises(TypeError):
        _rx.compile(b"a")
    with pytest.raises(TypeError):
        p.search("a", pos="1")
    with pytest.raises(TypeError):
        p.search()
    with pytest.raises(TypeError):
        p.search(text="a", bogus=1)
    with pytest.raises(TypeError):
        _rx.Scanner([re.compile("a")])
    assert p.search(text="ba", pos=1) == (1, 2)
    assert p.pattern == "a" and p.flags == 0


class S(str):
    pass


def test_str_subclasses_and_every_representation():
    p = _rx.compile(r"\w+", re.I)
    for text in ("ab cd", "\u00e9t\u00e9 x", "\u4e2d\u6587 x", "\U0001F600 ab"):
        assert p.search(S(text)) == re.search(r"\w+", text).span()
        assert p.sub("_", text) == re.sub(r"\w+", "_", text)


def test_automaton_cache_reset_keeps_answers():
    # Far more automaton states than the cache keeps at once.
    pattern = "(?:a|b)*a(?:a|b){14}c"
    ref, mine = re.compile(pattern), _rx.compile(pattern)
    import random

    rng = random.Random(3)
    text = "".join(rng.choice("ab") for _ in range(200_000)) + "c" + "".join(rng.choice("abc") for _ in range(2000))
    m = ref.search(text)
    assert mine.search(text) == (m.span() if m else None)
    assert mine.sub("#", text[-3000:]) == ref.sub("#", text[-3000:])


def test_scanner_reports_every_pattern_in_order():
    pats = [_rx.compile(p, f) for p, f in [("@", 0), (r"\d+", 0), ("ab", re.I), ("z", 0), ("q?", 0)]]
    sc = _rx.Scanner(pats)
    assert sc.patterns == tuple(pats)
    assert sc.search_each("xAB 12 @") == [(7, 8), (4, 6), (1, 3), None, (0, 0)]
    assert sc.search_each("") == [None, None, None, None, (0, 0)]


def test_no_reference_leaks():
    p = _rx.compile(r"\b\w+@\w+\.com\b", re.I)
    sc = _rx.Scanner([p, _rx.compile(r"\d{3}")])
    text = "mail x@y.com and 123 " * 50
    for _ in range(200):
        p.search(text)
        p.sub("#", text)
        sc.search_each(text)
    gc.collect()
    before = len(gc.get_objects())
    refs = sys.getrefcount(text)
    for _ in range(800):
        p.search(text)
        p.sub("#", text)
        sc.search_each(text)
        _rx.compile("a|b")
    gc.collect()
    assert len(gc.get_objects()) <= before + 5
    assert sys.getrefcount(text) == refs


@pytest.mark.parametrize(
    "pattern",
    [r"\b[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Z|a-z]{2,}\b", r"\w*@\w", r"(?:ab|c)+=\d", r"[^@]{0,3}@", r"x?_y",
     r"(?:a|@)b@"],
)
def test_skip_to_runs_before_required_characters(pattern):
    # Patterns that need a rare character: the search jumps to the run of
    # possible match characters before each one.
    import random

    rng = random.Random(11)
    ref, mine = re.compile(pattern), _rx.compile(pattern)
    for _ in range(200):
        text = "".join(rng.choice(["a", "b", "c", "@", "=", "_", "y", "x", ".", " ", "1", "ab", "c=", "@a.bc "])
                       for _ in range(rng.randint(0, 30)))
        m = ref.search(text)
        assert mine.search(text) == (m.span() if m else None), (pattern, text)
        assert mine.sub("#", text) == ref.sub("#", text), (pattern, text)


@pytest.mark.parametrize(
    "pattern,flags",
    [
        (r"(?i)[\w.-]{0,8}?(?:secret|token)(?:[ \t\w.-]{0,3})[\s'\"]{0,2}(?:=|:)[\x60'\"\s=]{0,2}([a-z0-9]{4})"
         r"(?:[\x60'\"\s;]|\\[nr]|$)", 0),
        (r"(?:ab|cd)+x", 0),
        (r"[a-c ]*abc", 0),
        (r"(?:y|x)*_yx", re.IGNORECASE),
        (r"\bkey\w*", re.IGNORECASE),
        (r"(?:k.y|tok)+?e", 0),
        (r"^[\w ]*key$", re.MULTILINE),
    ],
)
def test_skip_to_runs_before_required_literals(pattern, flags):
    # Patterns that need a keyword: the search jumps to the run of possible
    # match characters before each occurrence of it.
    import random

    rng = random.Random(13)
    ref, mine = re.compile(pattern, flags), _rx.compile(pattern, flags)
    pieces = ["a", "b", "c", "d", "x", "y", "_", "e", " ", "\n", "=", ":", "'", "1", "key", "KEY", "tok", "token",
              "secret", "ab", "cd", "abc", "_yx", "\\n", "k y", "-", "."]
    for _ in range(300):
        text = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 40)))
        for pos in (0, 1, len(text) // 3):
            m = ref.search(text, pos)
            assert mine.search(text, pos) == (m.span() if m else None), (pattern, text, pos)
        assert mine.sub("#", text) == ref.sub("#", text), (pattern, text)
