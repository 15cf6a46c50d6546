"""Texts for the diff benchmarks.

Prompts of English-like prose that mention named entities (made-up proper
names), and the copies a redaction service hands back: the same text with
some entity mentions replaced by entity tags.  `scrub_words` replaces
arbitrary words instead (common ones included), the harder case for
carrying the edits into the messages, since each such word occurs
everywhere.
"""

from __future__ import annotations

import random
import re
from typing import List

COMMON = (
    "the of and to a in is that for it as was with be by on not he I this are or his from at which but have an "
    "they you were her she there one all we can their has been if more when will would who so no report said "
    "year data team plan next after about over new first last time people could should also into than only "
    "revenue churn quarter hiring customer meeting contract review budget forecast account support product"
).split()
SYLLABLES = "ka lo mi ra ne to su vi pa de lin mor zan tel quo rix van bel sor dun".split()
TAGS = ("[PERSON]", "[LOCATION]", "[ORGANIZATION]", "<EMAIL_ADDRESS>", "[DATE_TIME]", "<PHONE_NUMBER>")
WORD = re.compile(r"[A-Za-z]+")


def names(rng: random.Random, count: int = 3000) -> List[str]:
    return ["".join(rng.choice(SYLLABLES) for _ in range(rng.randint(3, 4))).capitalize() for _ in range(count)]


def prose(size: int, rng: random.Random, entity_rate: float = 0.08) -> str:
    """About `size` characters of sentences (cut to exactly `size`), about
    one word in 1 / entity_rate a proper name."""
    pool = names(rng)
    parts: List[str] = []
    total = 0
    while total < size:
        words = []
        for k in range(rng.randint(6, 22)):
            w = rng.choice(pool) if rng.random() < entity_rate else rng.choice(COMMON)
            words.append(w.capitalize() if k == 0 else w)
            if rng.random() < 0.06:
                words[-1] += ","
        sentence = " ".join(words) + (".\n" if rng.random() < 0.15 else ". ")
        parts.append(sentence)
        total += len(sentence)
    return "".join(parts)[:size]


def _replace(text: str, matches: list, count: int, rng: random.Random) -> str:
    chosen = sorted(rng.sample(range(len(matches)), min(count, len(matches))))
    out, at = [], 0
    for k in chosen:
        m = matches[k]
        out.append(text[at:m.start()])
        out.append(rng.choice(TAGS))
        at = m.end()
    out.append(text[at:])
    return "".join(out)


def scrub(text: str, count: int, rng: random.Random) -> str:
    """The text with `count` entity mentions (chosen at random) replaced by tags."""
    common = set(COMMON)
    mentions = [m for m in WORD.finditer(text) if m.group().lower() not in common]
    return _replace(text, mentions, count, rng)


def scrub_words(text: str, count: int, rng: random.Random) -> str:
    """The text with `count` of its words, any words, replaced by tags."""
    return _replace(text, list(WORD.finditer(text)), count, rng)


def scrub_fraction(text: str, fraction: float, rng: random.Random) -> str:
    """About `fraction` of the text's words replaced (entity mentions first)."""
    return scrub(text, round(len(WORD.findall(text)) * fraction), rng)


def every_other_word(text: str, rng: random.Random) -> str:
    """Every second word replaced by a tag."""
    k = [0]

    def repl(m: "re.Match[str]") -> str:
        k[0] += 1
        return rng.choice(TAGS) if k[0] % 2 == 0 else m.group()

    return WORD.sub(repl, text)
