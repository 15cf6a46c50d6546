"""The server tier's edit recovery: the native diff stands in for difflib only
while SequenceMatcher is still the standard library's own, gives the same
pairs, lets other threads run during long diffs, and falls back to no pairs
when memory runs out."""

import difflib
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from dravik_observe.instrumentors import _guard

import guard_reference as ref

SYLLABLES = "ka lo mi ra ne to su vi pa de lin mor zan tel quo rix".split()
TAGS = ("[PERSON]", "<LOCATION>", "[ORG]", "<EMAIL_ADDRESS>")


def prose(rng, words, extra=""):
    chars = [" ".join("".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 3))) for _ in range(8))]
    return " ".join(rng.choice(chars[0].split() + list(extra or "")) for _ in range(words))


def scrub(rng, text, fraction):
    return " ".join(rng.choice(TAGS) if rng.random() < fraction else w for w in text.split(" "))


def difflib_frames(fn):
    """fn() and the number of difflib functions it ran."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == difflib.__file__:
            calls.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        result = fn()
    finally:
        sys.setprofile(None)
    return result, len(calls)


def pairs_from_opcodes(a, b, opcodes):
    """The pairs _ml_substitutions keeps, from given opcodes."""
    pairs = []
    for tag, i1, i2, j1, j2 in opcodes:
        if tag == "replace":
            found, placeholder = a[i1:i2].strip(), b[j1:j2].strip()
            if found and placeholder and len(placeholder) <= max(64, 2 * len(found)):
                pairs.append((found, placeholder))
    return sorted(pairs, key=lambda p: len(p[0]), reverse=True)


@pytest.mark.parametrize("extra", ["", "\xe9\xa0", "\u2028\u4e2d\u3000", "\U0001f600\ud800"])
def test_native_pairs_equal_the_reference(extra):
    rng = random.Random(repr(extra))
    for words, fraction in ((40, 0.05), (300, 0.02), (300, 0.3), (120, 0.9)):
        text = prose(rng, words, extra)
        scrubbed = scrub(rng, text, fraction)
        got, frames = difflib_frames(lambda: _guard._ml_substitutions(text, scrubbed))
        assert got == ref.ml_substitutions(text, scrubbed)
        assert frames == 0


class CountingMatcher(difflib.SequenceMatcher):
    made = 0

    def __init__(self, *args, **kwargs):
        type(self).made += 1
        super().__init__(*args, **kwargs)


def test_a_replaced_matcher_is_called_and_the_original_comes_back(monkeypatch):
    text = "Ada Lovelace met Zorvan Quill at 12 Elm St"
    scrubbed = "[PERSON] met [PERSON] at <ADDR>"
    want = ref.ml_substitutions(text, scrubbed)
    assert _guard._ml_substitutions(text, scrubbed) == want
    monkeypatch.setattr(difflib, "SequenceMatcher", CountingMatcher)
    assert _guard._ml_substitutions(text, scrubbed) == want
    assert CountingMatcher.made == 1
    monkeypatch.undo()
    got, frames = difflib_frames(lambda: _guard._ml_substitutions(text, scrubbed))
    assert (got, frames, CountingMatcher.made) == (want, 0, 1)


@pytest.mark.parametrize("target, name", [
    ("class", "get_opcodes"), ("class", "find_longest_match"), ("class", "__init__"), ("module", "Match"),
])
def test_a_replaced_part_of_difflib_is_honoured(monkeypatch, target, name):
    text, scrubbed = "call Zorvan now", "call [PERSON] now"
    owner = difflib.SequenceMatcher if target == "class" else difflib
    original = getattr(owner, name)
    seen = []

    if name == "Match":
        class Match(original):
            @classmethod
            def _make(cls, iterable):
                seen.append(1)
                return super()._make(iterable)
        replacement = Match
    else:
        def replacement(self, *args, **kwargs):
            seen.append(1)
            return original(self, *args, **kwargs)

    monkeypatch.setattr(owner, name, replacement)
    assert _guard._ml_substitutions(text, scrubbed) == [("Zorvan", "[PERSON]")]
    assert seen
    monkeypatch.undo()
    seen.clear()
    assert _guard._ml_substitutions(text, scrubbed) == [("Zorvan", "[PERSON]")]
    assert not seen


def test_a_failing_matcher_gives_no_pairs_but_interrupts_propagate(monkeypatch):
    def failing(error):
        def make(*args, **kwargs):
            raise error
        return make

    monkeypatch.setattr(difflib, "SequenceMatcher", failing(MemoryError()))
    assert _guard._ml_substitutions("a b", "a c") == []
    monkeypatch.setattr(difflib, "SequenceMatcher", failing(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        _guard._ml_substitutions("a b", "a c")


@pytest.mark.parametrize("args, message", [
    ((None, "a"), "Argument 'original' has incorrect type (expected str, got NoneType)"),
    (("a", b"a"), "Argument 'redacted' has incorrect type (expected str, got bytes)"),
])
def test_declared_types(args, message):
    with pytest.raises(TypeError) as info:
        _guard._ml_substitutions(*args)
    assert str(info.value) == message


def run_child(code):
    # The test folder goes in front of whatever path the suite runs with.
    path = [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_a_stand_in_present_at_first_use_is_not_taken_for_the_original():
    out = run_child("""
        import difflib
        real = difflib.SequenceMatcher
        made = []

        class StandIn:
            def __init__(self, isjunk, a, b, autojunk=True):
                made.append(1)
                self.m = real(isjunk, a, b, autojunk=autojunk)

            def get_opcodes(self):
                return [("replace", 0, len(self.m.a), 0, len(self.m.b))]

        difflib.SequenceMatcher = StandIn
        from dravik_observe.instrumentors import _guard
        print(_guard._ml_substitutions("x Zorvan y", "x [P] y"), len(made))
        difflib.SequenceMatcher = real
        print(_guard._ml_substitutions("x Zorvan y", "x [P] y"), len(made))
    """)
    assert out.splitlines() == ["[('x Zorvan y', 'x [P] y')] 1", "[('Zorvan', '[P]')] 1"]


@pytest.mark.skipif(not sys.platform.startswith("linux") or os.environ.get("DRAVIK_SANITIZED"),
                    reason="address-space limits on Linux, without a sanitizer's reservations")
@pytest.mark.skipif(os.environ.get("DRAVIK_EMULATED") == "qemu-user",
                    reason="under user-mode emulation the address-space limit applies to the emulator's own process")
def test_running_out_of_memory_gives_no_pairs():
    out = run_child("""
        import resource
        from dravik_observe.instrumentors import _guard

        text = "Zorvan Quill lives at Elm Street. " * 600_000
        scrubbed = text.replace("Zorvan", "[PERSON]", 1)
        print(_guard._ml_substitutions(text[:2000], scrubbed[:2000]))
        with open("/proc/self/status") as f:
            size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        # Room for small objects, not for the diff's arrays.
        resource.setrlimit(resource.RLIMIT_AS, (size + 32 * 2**20, resource.RLIM_INFINITY))
        print(_guard._ml_substitutions(text, scrubbed))
        print(_guard._ml_substitutions(text[:2000], scrubbed[:2000]))
    """)
    assert out.splitlines() == ["[('Zorvan', '[PERSON]')]", "[]", "[('Zorvan', '[PERSON]')]"]


def test_other_threads_run_during_a_long_diff():
    rng = random.Random(3)
    a = "".join(rng.choice("ab") for _ in range(150_000))
    b = "".join(rng.choice("ab") for _ in range(150_000))
    # difflib would take hours here: the diff's test binding gives the answer.
    _diff = pytest.importorskip("dravik_observe._diff", reason="the diff's test binding is not installed")
    want = pairs_from_opcodes(a, b, _diff.opcodes(a, b, "suffix_array"))
    start = time.perf_counter()
    assert _guard._ml_substitutions(a, b) == want
    alone = time.perf_counter() - start

    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    while not ticks:
        time.sleep(0.001)
    start = time.perf_counter()
    got = _guard._ml_substitutions(a, b)
    end = time.perf_counter()
    stop.set()
    thread.join()
    assert got == want
    # Python code ran well inside the call, which a held GIL rules out.
    margin = (end - start) * 0.2
    inside = [t for t in ticks if start + margin < t < end - margin]
    assert len(inside) >= 3, (alone, end - start, len(ticks))
