"""Pairs of strings for the diff's differential tests and its long run.

Families: near-identical pairs (a few chunks inserted, deleted or replaced,
the real case), prose with words replaced by entity tags, independent texts,
pure insertions and deletions, repetitive texts ("ab" * n against "ba" * n,
"abc" * n against "abd" * n, runs of one character), and strings of
different widths; over alphabets of every string width, lone surrogates
included.
"""

from __future__ import annotations

import random

ALPHABETS = {
    "binary": "ab",
    "small": "abc ",
    "ascii": "abcdefghijklmnopqrstuvwxyzABC .,\n",
    "latin1": "a\xe9\xff\xa0 ",
    "bmp": "a\u20ac\u4e2d\uffff\u2028 ",
    "astral": "a\U0001f600\U0010ffff\u4e2d ",
    "surrogates": "a\ud800\udfff\ud83d\ude00 ",
}

WORDS = ("the of and to in is that for it as was with on report team plan data year "
         "Zorvan Quill Elm Acme Lovelace").split()
TAGS = ("[PERSON]", "<LOCATION>", "[ORG]", "<EMAIL_ADDRESS>")


def random_text(rng: random.Random, alphabet: str, n: int) -> str:
    return "".join(rng.choice(alphabet) for _ in range(n))


def mutate(rng: random.Random, text: str, alphabet: str, edits: int) -> str:
    """`text` with `edits` chunks inserted, deleted or replaced."""
    s = text
    for _ in range(edits):
        at = rng.randint(0, len(s))
        cut = min(len(s) - at, rng.randint(0, 6))
        op = rng.random()
        new = random_text(rng, alphabet, rng.randint(1, 6))
        if op < 0.3:
            s = s[:at] + new + s[at:]
        elif op < 0.5:
            s = s[:at] + s[at + cut:]
        else:
            s = s[:at] + new + s[at + cut:]
    return s


def prose(rng: random.Random, words: int) -> str:
    return " ".join(rng.choice(WORDS) + ("." if rng.random() < 0.1 else "") for _ in range(words))


def tagged(rng: random.Random, text: str, fraction: float) -> str:
    """The text with about `fraction` of its words replaced by tags."""
    return " ".join(rng.choice(TAGS) if rng.random() < fraction else w for w in text.split(" "))


FAMILIES = ("near", "prose", "independent", "insert_only", "delete_only", "repetitive", "runs", "chain",
            "mixed_widths")


def pair(rng: random.Random, family: str, size: int) -> tuple[str, str]:
    """A pair of the family, each string about `size` characters."""
    alphabet = ALPHABETS[rng.choice(sorted(ALPHABETS))]
    if family == "near":
        a = random_text(rng, alphabet, size)
        return a, mutate(rng, a, alphabet, rng.randint(0, max(1, size // 20)))
    if family == "prose":
        a = prose(rng, max(1, size // 5))
        return a, tagged(rng, a, rng.choice((0.01, 0.05, 0.2, 0.5)))
    if family == "independent":
        return random_text(rng, alphabet, size), random_text(rng, alphabet, rng.randint(0, size))
    if family in ("insert_only", "delete_only"):
        a = random_text(rng, alphabet, size)
        b = a
        for _ in range(rng.randint(1, 4)):
            at = rng.randint(0, len(b))
            b = b[:at] + random_text(rng, alphabet, rng.randint(1, 5)) + b[at:]
        return (a, b) if family == "insert_only" else (b, a)
    if family == "repetitive":
        unit = random_text(rng, alphabet[:3], rng.randint(1, 4))
        n = max(1, size // len(unit))
        return unit * n, unit[::-1] * rng.randint(max(1, n - 2), n + 2)
    if family == "runs":
        c = rng.choice(alphabet)
        a = c * size
        return a, mutate(rng, a, alphabet[:2], rng.randint(0, 3))
    if family == "chain":
        unit = random_text(rng, alphabet, rng.randint(2, 4))
        other = unit[:-1] + rng.choice(alphabet)
        n = max(1, size // len(unit))
        return unit * n, other * n
    a = random_text(rng, ALPHABETS["ascii"], size)
    b = mutate(rng, a, ALPHABETS[rng.choice(("bmp", "astral", "surrogates"))], rng.randint(1, 5))
    return (a, b) if rng.random() < 0.5 else (b, a)
