"""A plain-Python rendering of the guard's local tier, used as the oracle.

The tables are compiled here from their own texts with the standard ``re``
module, independently of the native module's tables.
"""

from __future__ import annotations

import difflib
import re

PII = {
    "ssn": re.compile(r"\b\d{3}-\d{2}-\d{4}\b"),
    "email": re.compile(r"\b[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Z|a-z]{2,}\b"),
    "phone": re.compile(r"\b(?:\+1[-.\s]?)?\(?\d{3}\)?[-.\s]?\d{3}[-.\s]?\d{4}\b"),
    "credit_card": re.compile(r"\b(?:\d{4}[-\s]?){3}\d{4}\b"),
}
CREDENTIALS = {
    "password": re.compile(r"(?:password|passwd|pwd)\s*[:=]\s*\S+", re.IGNORECASE),
    "api_key": re.compile(r"(?:api[_-]?key|apikey|api[_-]?secret)\s*[:=]\s*\S+", re.IGNORECASE),
    "secret": re.compile(r"(?:secret[_-]?key|access[_-]?key|client[_-]?secret)\s*[:=]\s*\S+", re.IGNORECASE),
    "aws_key": re.compile(r"\bAKIA[0-9A-Z]{16}\b"),
    "generic_token": re.compile(r"\b(?:sk-|pk_live_|sk_live_|rk_live_|sk_test_)[a-zA-Z0-9]{20,}\b"),
    "github_pat": re.compile(r"\bghp_[a-zA-Z0-9]{36}\b"),
    "dravik_key": re.compile(r"\bdrv_sk_[a-zA-Z0-9]+\b"),
}
INJECTION_TEXTS = [
    r"ignore\s+(?:all\s+)?previous\s+instructions",
    r"ignore\s+(?:all\s+)?above\s+instructions",
    r"you\s+are\s+now\s+(?:a|an)\s+",
    r"forget\s+(?:all\s+)?(?:your|previous)\s+instructions",
    r"disregard\s+(?:all\s+)?previous",
    r"new\s+instructions?\s*:",
    r"override\s+(?:your\s+)?(?:system|instructions)",
    r"```system\b",
    r"\[system\]\s*:",
    r"<\|system\|>",
    r"ADMIN\s+MODE\s+ENABLED",
    r"developer\s+mode\s+(?:is\s+)?(?:enabled|activated|on)",
    r"jailbreak",
    r"DAN\s+mode",
]
INJECTION = [re.compile(t, re.IGNORECASE) for t in INJECTION_TEXTS]


def extract_text(messages, system=""):
    parts = []
    if system:
        parts.append(system)
    for msg in messages:
        if not isinstance(msg, dict):
            continue
        content = msg.get("content", "")
        if isinstance(content, str):
            parts.append(content)
        elif isinstance(content, list):
            for block in content:
                if isinstance(block, dict) and block.get("type") == "text":
                    parts.append(block.get("text", ""))
    return "\n".join(parts)


def detect_pii(text):
    return [f"PII detected: {label}" for label, p in PII.items() if p.search(text)]


def detect_credentials(text):
    return [f"Credential detected: {label}" for label, p in CREDENTIALS.items() if p.search(text)]


def detect_injection(text):
    found = []
    for p in INJECTION:
        m = p.search(text)
        if m:
            found.append(f"Prompt injection pattern: '{m.group()}'")
    return found


def redact_text(text):
    for table in (PII, CREDENTIALS):
        for label, p in table.items():
            text = p.sub(lambda _m, ph=f"##{label.upper()}##": ph, text)
    return text


def _rewrite(messages, fn):
    out = []
    for msg in messages:
        if not isinstance(msg, dict):
            out.append(msg)
            continue
        copy = dict(msg)
        content = copy.get("content", "")
        if isinstance(content, str):
            copy["content"] = fn(str.__str__(content))
        elif isinstance(content, list):
            blocks = []
            for block in content:
                if isinstance(block, dict) and block.get("type") == "text":
                    text = block.get("text", "")
                    blocks.append({**block, "text": fn(str.__str__(text) if isinstance(text, str) else text)})
                else:
                    blocks.append(block)
            copy["content"] = blocks
        out.append(copy)
    return out


def redact_messages(messages, system=""):
    return _rewrite(messages, redact_text), (redact_text(system) if system else system)


def ml_substitutions(original, redacted):
    if not original or not redacted or original == redacted:
        return []
    pairs = []
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, original, redacted, autojunk=False).get_opcodes():
        if tag != "replace":
            continue
        found, placeholder = original[i1:i2].strip(), redacted[j1:j2].strip()
        if found and placeholder and len(placeholder) <= max(64, 2 * len(found)):
            pairs.append((found, placeholder))
    pairs.sort(key=lambda p: len(p[0]), reverse=True)
    return pairs


def apply_substitutions(text, pairs):
    if not text or not pairs:
        return text
    for found, placeholder in pairs:
        if found and found in text:
            text = text.replace(found, placeholder)
    return text


def redact_messages_ml(messages, system, pairs):
    msgs, sys_text = redact_messages(messages, system)
    if not pairs:
        return msgs, sys_text
    return _rewrite(msgs, lambda t: apply_substitutions(t, pairs)), apply_substitutions(sys_text or "", pairs)


def local_violations(text):
    return detect_pii(text) + detect_credentials(text) + detect_injection(text)
