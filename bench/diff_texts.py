"""Texts for the diff benchmarks and the long differential run.

Prompts of English-like prose, and the copies a redaction service hands back:
the same text with some words replaced by entity tags.
"""

from __future__ import annotations

import random
import re
from typing import List

COMMON = (
    "the of and to a in is that for it as was with be by on not he I this are or his from at which but have an "
    "they you were her she there one all we can their has been if more when will would who so no report said "
    "year data team plan next after about over new first last time people could should also into than only"
).split()
SYLLABLES = "ka lo mi ra ne to su vi pa de lin mor zan tel quo rix van bel sor dun".split()
TAGS = ("[PERSON]", "[LOCATION]", "[ORGANIZATION]", "<EMAIL_ADDRESS>", "[DATE_TIME]", "<PHONE_NUMBER>")
WORD = re.compile(r"[A-Za-z]+")


def _made_up(rng: random.Random) -> str:
    return "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 3)))


def prose(size: int, rng: random.Random) -> str:
    """About `size` characters of sentences (cut to exactly `size`)."""
    parts: List[str] = []
    total = 0
    while total < size:
        words = []
        for k in range(rng.randint(6, 22)):
            r = rng.random()
            w = rng.choice(COMMON) if r < 0.7 else _made_up(rng)
            if r > 0.93 or k == 0:
                w = w.capitalize()
            words.append(w)
            if rng.random() < 0.06:
                words[-1] += ","
        sentence = " ".join(words) + (".\n" if rng.random() < 0.15 else ". ")
        parts.append(sentence)
        total += len(sentence)
    return "".join(parts)[:size]


def scrub(text: str, count: int, rng: random.Random) -> str:
    """The text with `count` of its words (chosen at random) replaced by tags."""
    words = list(WORD.finditer(text))
    chosen = sorted(rng.sample(range(len(words)), min(count, len(words))))
    out, at = [], 0
    for k in chosen:
        m = words[k]
        out.append(text[at:m.start()])
        out.append(rng.choice(TAGS))
        at = m.end()
    out.append(text[at:])
    return "".join(out)


def scrub_fraction(text: str, fraction: float, rng: random.Random) -> str:
    return scrub(text, round(len(WORD.findall(text)) * fraction), rng)


def every_other_word(text: str, rng: random.Random) -> str:
    """Every second word replaced by a tag."""
    k = [0]

    def repl(m: "re.Match[str]") -> str:
        k[0] += 1
        return rng.choice(TAGS) if k[0] % 2 == 0 else m.group()

    return WORD.sub(repl, text)
