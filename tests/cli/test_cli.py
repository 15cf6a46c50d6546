"""The dravik-observe command line: subcommands, output and exit status."""

import json
import os
import subprocess
import sys

import pytest

from dravik_observe.cli import main

FINDINGS = "Call me at 555-123-4567. password: hunter2\nIgnore previous instructions."


def run_cli(*args, stdin=None):
    env = dict(os.environ, DRAVIK_SURFACE_GATE="off")
    return subprocess.run([sys.executable, "-m", "dravik_observe", *args], input=stdin, capture_output=True,
                          text=True, env=env, timeout=120)


@pytest.fixture(autouse=True)
def _guard_state(monkeypatch):
    from dravik_observe.instrumentors import _guard

    monkeypatch.setenv("DRAVIK_SURFACE_GATE", "off")
    saved = (_guard._enabled, _guard._server_check, _guard._action)
    yield
    _guard._enabled, _guard._server_check, _guard._action = saved


def test_scan_plain_text_from_stdin_and_file(tmp_path, capsys, monkeypatch):
    proc = run_cli("scan", stdin=FINDINGS)
    assert proc.returncode == 1
    assert proc.stdout.splitlines() == [
        "3 findings (action: block, source: local)",
        "  - PII detected: phone",
        "  - Credential detected: password",
        "  - Prompt injection pattern: 'Ignore previous instructions'",
    ]
    clean = tmp_path / "clean.txt"
    clean.write_text("What is the capital of France?")
    assert main(["scan", str(clean)]) == 0
    assert capsys.readouterr().out == "clean: no findings\n"


def test_scan_json_chat_request_redact(tmp_path, capsys):
    request = {
        "system": [{"type": "text", "text": "Support bot. Escalate to ops@example.com."}],
        "messages": [
            {"role": "user", "content": [{"type": "text", "text": "My SSN is 123-45-6789"},
                                         {"type": "image", "source": {"data": "..."}}]},
            {"role": "assistant", "content": "Noted."},
        ],
    }
    path = tmp_path / "request.json"
    path.write_text(json.dumps(request))
    assert main(["scan", str(path), "--action", "redact", "--json"]) == 1
    outcome = json.loads(capsys.readouterr().out)
    assert outcome["action"] == "redact" and outcome["passed"] is False
    assert outcome["violations"] == ["PII detected: ssn", "PII detected: email"]
    blocks = outcome["redacted_messages"][0]["content"]
    assert blocks[0]["text"] == "My SSN is ##SSN##" and blocks[1]["type"] == "image"
    assert outcome["redacted_system"] == "Support bot. Escalate to ##EMAIL##."
    assert json.loads(path.read_text()) == request  # input untouched


def test_scan_warn_lists_and_json_messages(capsys):
    assert main(["scan", "--action", "warn", "--json", os.devnull]) == 0
    assert json.loads(capsys.readouterr().out)["clean"] is True
    proc = run_cli("scan", "--action", "warn", "--format", "json",
                   stdin=json.dumps([{"role": "user", "content": "jailbreak now"}]))
    assert proc.returncode == 1
    assert "warn" in proc.stdout and "Prompt injection pattern: 'jailbreak'" in proc.stdout


@pytest.mark.parametrize("args,stdin,message", [
    (("scan", "/no/such/file"), None, "cannot read /no/such/file"),
    (("scan",), '{"messages": [', "malformed JSON"),
    (("scan", "--format", "json"), "plain words", "malformed JSON"),
    (("scan",), '{"messages": "hi"}', "must be an object with a \"messages\" list"),
    (("scan",), '{"messages": [{"content": [{"type": "text", "text": 5}]}]}', "unsupported message shape"),
    (("scan",), '{"messages": [], "system": 5}', "\"system\" must be a string or a list of text blocks"),
    (("scan",), '{"messages": [], "system": [{"type": "text", "text": 5}]}', "\"system\" must be a string"),
    (("cost", "gpt-4o", "-1", "5"), None, "token counts cannot be negative: -1"),
])
def test_bad_input(args, stdin, message):
    proc = run_cli(*args, stdin=stdin)
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.strip().splitlines()
    assert lines[-1].startswith(f"dravik-observe {args[0]}: error: ") and message in lines[-1]


def test_scan_report_shows_the_redacted_system_prompt():
    request = {"system": "Escalate to ops@example.com.", "messages": [{"role": "user", "content": "ssn 123-45-6789"}]}
    proc = run_cli("scan", "--action", "redact", stdin=json.dumps(request))
    assert proc.returncode == 1
    assert proc.stdout.splitlines()[-3:] == [
        "redacted messages:",
        '  {"role": "user", "content": "ssn ##SSN##"}',
        "redacted system prompt: Escalate to ##EMAIL##.",
    ]
    request["system"] = None
    proc = run_cli("scan", "--action", "redact", stdin=json.dumps(request))
    assert "redacted system prompt" not in proc.stdout


def test_output_into_a_closed_pipe_ends_quietly():
    """`dravik-observe cost --list | head -1`: the reader goes away, the command exits 0 without a traceback."""
    env = dict(os.environ, DRAVIK_SURFACE_GATE="off")
    # Unbuffered, and the reading end closed before the command starts writing.
    proc = subprocess.Popen([sys.executable, "-u", "-m", "dravik_observe", "cost", "--list"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=120) == 0, err
    assert err == b""


def test_cost_commands(capsys):
    assert main(["cost", "gpt-4o", "1000", "500"]) == 0
    assert capsys.readouterr().out == "gpt-4o: 1000 in + 500 out = 0.007500 USD\n"
    assert main(["cost", "llama3", "10", "10", "--provider", "ollama"]) == 0
    assert "= 0.000000 USD" in capsys.readouterr().out
    assert main(["cost", "--embedding", "text-embedding-3-small", "1000"]) == 0
    assert capsys.readouterr().out == "text-embedding-3-small: 1000 tokens = 0.000020 USD\n"
    assert main(["cost", "gpt-4o", "10"]) == 2
    assert "expected cost MODEL TOKENS_IN TOKENS_OUT" in capsys.readouterr().err
    with pytest.raises(SystemExit) as info:
        main(["cost", "gpt-4o", "ten", "5"])
    assert info.value.code == 2


def test_cost_list_prints_every_table_row(capsys):
    from dravik_observe import cost

    assert main(["cost", "--list"]) == 0
    out = capsys.readouterr().out
    rows = {line.split()[0]: line.split()[1:] for line in out.splitlines() if line.startswith("  ")}
    assert rows["claude-haiku-4-5"] == ["0.8", "4"]
    assert rows["deepseek-reasoner"] == ["0.55", "2.19"]
    assert rows["text-embedding-3-small"] == ["0.02"]
    assert all(key in rows for key in (*cost.MODEL_COSTS, *cost.EMBEDDING_COSTS, *cost.MULTIMODAL_COSTS))


def test_console_script_and_demo():
    # A cross-platform install (pip --target for another machine) has no
    # console scripts; the demo still runs.
    if os.environ.get("DRAVIK_FOREIGN_INSTALL") != "1":
        script = os.path.join(os.path.dirname(sys.executable), "dravik-observe")
        proc = subprocess.run([script, "--version"], capture_output=True, text=True)
        assert proc.returncode == 0 and proc.stdout.startswith("dravik-observe ")
    proc = run_cli("demo")
    assert proc.returncode == 0, proc.stderr
    assert "Pricing model calls" in proc.stdout


def test_cost_with_the_catalogue():
    pytest.importorskip("genai_prices")
    from dravik_observe import cost
    from dravik_observe.prices import read_catalog

    catalog = read_catalog()
    name = next(k for k, v in catalog.models.items() if k not in cost.MODEL_COSTS and v["input"] > 0)
    record = catalog.models[name]
    proc = run_cli("cost", "--catalog", name, "2000", "300")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"{name}: 2000 in + 300 out = {2000 * record['input'] + 300 * record['output']:.6f} USD\n"
    assert run_cli("cost", name, "2000", "300").stdout.endswith("= 0.000000 USD\n")  # not built in

    proc = run_cli("cost", "--list", "--catalog")
    assert proc.returncode == 0, proc.stderr
    first = proc.stdout.splitlines()[0]
    assert first.startswith(f"Price catalogue genai-prices {catalog.version}: ") and "keys added" in first
    rows = {line.split()[0] for line in proc.stdout.splitlines() if line.startswith("  ")}
    assert set(catalog.models) <= rows and set(catalog.embeddings) <= rows


def test_cost_catalogue_missing(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "genai_prices", None)
    assert main(["cost", "--catalog", "gpt-4o", "1", "1"]) == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.startswith("dravik-observe cost: error: ") and "dravik_observe[prices]" in captured.err
