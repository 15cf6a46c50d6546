"""Shared material of the engine's differential tests: the guard's pattern
tables, alphabets rich in what those patterns care about, and generators of
texts and of random patterns in the supported syntax."""

import re
import sys

from hypothesis import strategies as st

from dravik_observe import _rx
from dravik_observe.instrumentors import _guard

GUARD_PATTERNS = (
    [(label, p) for label, p in _guard._PII_PATTERNS.items()]
    + [(label, p) for label, p in _guard._CREDENTIAL_PATTERNS.items()]
    + [("injection%d" % i, p) for i, p in enumerate(_guard._INJECTION_PATTERNS, 1)]
)

# Every code point (surrogates included), for exhaustive single-character checks.
ALL_CHARS = "".join(map(chr, range(sys.maxunicode + 1)))

WHITESPACE = "".join(ch for ch in map(chr, range(sys.maxunicode + 1)) if re.match(r"\s", ch))
DIGITS = "0123456789" + "٠١٢٣٤٥٦٧٨٩" + "०१२" + "০৩" + "๑๒" + "０１９" + "𝟎𝟗" + "²³¹½"
FOLDING = "KkKSsſIiıİµμΜÅåÅΩωΩ" + "ẞß" + "ϐβΒ"
PUNCT = "@.-:=_%+|()[]<>`!?,;'\"/\\#"
WORDISH = "aAzZ_éÉçñ中文字ü" + "\u0300\u0301"
OTHER = "\u201c\u201d\u2019\u2014…😀🙂\x00\x7f\xa0"

KEYWORDS = [
    "password", "passwd", "pwd", "api_key", "api-key", "apikey", "api_secret", "secret_key", "access-key",
    "client_secret", "AKIA", "sk-", "pk_live_", "sk_live_", "rk_live_", "sk_test_", "ghp_", "drv_sk_",
    "ignore", "all", "previous", "above", "instructions", "instruction", "you", "are", "now", "a", "an",
    "forget", "your", "disregard", "new", "override", "system", "```system", "[system]", "<|system|>",
    "admin", "mode", "enabled", "developer", "is", "activated", "on", "jailbreak", "dan", "+1", "555",
    "123-45-6789", "4111 1111 1111 1111", "bob@example.com", "x.y", "(555)",
]


def random_case(draw, word):
    return "".join(ch.upper() if draw(st.booleans()) else ch.lower() for ch in word)


@st.composite
def guard_texts(draw, max_pieces=14):
    """Texts that come close to the guard's patterns: keywords in random
    case, separated by whitespace of every kind, digits of many scripts,
    folding letters and the punctuation the patterns name."""
    pieces = []
    for _ in range(draw(st.integers(0, max_pieces))):
        kind = draw(st.integers(0, 6))
        if kind <= 2:
            word = draw(st.sampled_from(KEYWORDS))
            pieces.append(random_case(draw, word) if draw(st.booleans()) else word)
        elif kind == 3:
            pieces.append(draw(st.text(st.sampled_from(WHITESPACE), min_size=1, max_size=3)))
        elif kind == 4:
            pieces.append(draw(st.text(st.sampled_from(DIGITS), min_size=1, max_size=5)))
        elif kind == 5:
            pieces.append(draw(st.text(st.sampled_from(PUNCT + " "), min_size=1, max_size=3)))
        else:
            pieces.append(draw(st.text(st.sampled_from(FOLDING + WORDISH + OTHER + "abcdefghijklmnopqrstuvwxyz0123456789"),
                                       min_size=1, max_size=24)))
    return "".join(pieces)


# ---- random patterns --------------------------------------------------------

PATTERN_CHARS = "abkKsSiI0-_ .@éſı"
CLASS_ITEMS = ["a", "b", "z", "A", "Z", "k", "s", "0", "9", "-", "_", ".", "|", "é", "ſ", "K", r"\d", r"\s", r"\w",
               r"\D", r"\S", r"\W", r"\n", r"\]", r"\-", "ı", "µ"]
CLASS_RANGES = ["a-z", "A-Z", "0-9", "a-c", "j-l", "r-t", "À-ÿ", "h-j", "\u0100-\u017f", "Ā-ž"]


def random_class(rng):
    items = [rng.choice(CLASS_ITEMS + CLASS_RANGES) for _ in range(rng.randint(1, 4))]
    return "[" + ("^" if rng.random() < 0.25 else "") + "".join(items) + "]"


GROUP_OPENERS = ["(?:", "(", "(?i:", "(?-i:", "(?s:", "(?m:", "(?i-s:", "(?P<g%d>", "(?#note)("]


def random_atom(rng, depth):
    kind = rng.randint(0, 10 if depth < 2 else 7)
    if kind <= 2:
        ch = rng.choice(PATTERN_CHARS)
        return re.escape(ch) if ch in ".-" and rng.random() < 0.5 else ch
    if kind == 3:
        return random_class(rng)
    if kind == 4:
        return rng.choice([r"\d", r"\s", r"\w", r"\D", r"\S", r"\W", ".", "\n"])
    if kind == 5:
        return rng.choice([r"\b", r"\B", "^", "$", r"\A", r"\Z"])
    if kind in (6, 7):
        return rng.choice(["x", "ab", "Ks", "i", "a\nb"])
    opener = rng.choice(GROUP_OPENERS)
    if "%d" in opener:
        opener = opener % rng.randrange(10**9)
    return opener + random_pattern(rng, depth + 1) + ")"


ASSERTIONS = (r"\b", r"\B", "^", "$", r"\A", r"\Z")
QUANTIFIERS = ["", "", "", "?", "*", "+", "{2}", "{1,3}", "{2,}", "{,2}", "{0,1}", "??", "*?", "+?", "{1,3}?", "{2,}?"]


def random_piece(rng, depth):
    atom = random_atom(rng, depth)
    if atom in ASSERTIONS:
        return atom
    if atom.startswith("("):
        # Unbounded repeats of groups (nested repeats, overlapping
        # alternatives) can make `re` itself exponential: keep the reference
        # fast with bounded repeats only.
        return atom + rng.choice(["", "?", "{0,1}", "{2}", "{1,2}", "??", "{1,2}?"] if depth == 0 else ["", "?", "??"])
    return atom + rng.choice(QUANTIFIERS)


GLOBAL_FLAGS = ["", "", "", "(?i)", "(?m)", "(?s)", "(?ims)", "(?u)"]


def random_pattern(rng, depth=0):
    """A pattern in the supported syntax (some of which the engine still
    refuses, e.g. a repeat of something that can match the empty string)."""
    branches = []
    for _ in range(rng.randint(1, 3)):
        branches.append("".join(random_piece(rng, depth) for _ in range(rng.randint(0, 4))))
    body = "|".join(branches)
    return rng.choice(GLOBAL_FLAGS) + body if depth == 0 else body


RANDOM_FLAGS = [0, re.IGNORECASE, re.MULTILINE, re.DOTALL, re.IGNORECASE | re.MULTILINE | re.DOTALL]


def random_text(rng, max_size=30):
    return "".join(rng.choice(RANDOM_TEXT_ALPHABET) for _ in range(rng.randint(0, max_size)))


RANDOM_TEXT_ALPHABET = "abkKsSiIzZ09_-. @\n\tſıİKµéÉ٣\u2003😀"


def rx_span(pattern, text, pos=0):
    return pattern.search(text, pos)


def re_span(pattern, text, pos=0):
    m = pattern.search(text, pos)
    return m.span() if m else None


def compile_both(text, flags=0):
    return re.compile(text, flags), _rx.compile(text, flags)
