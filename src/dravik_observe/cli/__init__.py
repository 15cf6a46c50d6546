"""The ``dravik-observe`` command line: ``demo``, ``scan`` and ``cost``."""

from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence

from dravik_observe import __version__

__all__ = ["build_parser", "main"]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="dravik-observe",
        description="Observability kit for LLM and agent applications.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    demo = commands.add_parser("demo", help="run the demonstration: a traced, guarded and priced agent run")
    demo.set_defaults(run=_run_demo)

    scan = commands.add_parser(
        "scan",
        help="run the prompt guard over a prompt",
        description="Scan a prompt for personal data, credentials and prompt-injection phrases. "
        "The input is plain text, or a JSON chat request: an object with \"messages\" (string content "
        "or lists of typed blocks) and an optional \"system\" prompt, or a bare list of messages. "
        "Exit status: 0 clean, 1 findings, 2 unreadable input.",
    )
    scan.add_argument("file", nargs="?", default="-", help="file to scan; - or nothing for standard input")
    scan.add_argument("--action", choices=("block", "warn", "redact"), default="block",
                      help="what the guard does with findings (default: block)")
    scan.add_argument("--format", choices=("auto", "text", "json"), default="auto",
                      help="input format; auto treats input starting with { or [ as JSON (default: auto)")
    scan.add_argument("--model", default="", help="model name passed to the guard")
    scan.add_argument("--json", action="store_true", help="print the outcome as JSON")
    scan.set_defaults(run=_run_scan)

    cost = commands.add_parser(
        "cost",
        help="price a model call, or list the price tables",
        description="Price a model call: cost MODEL TOKENS_IN TOKENS_OUT, or with --embedding "
        "cost MODEL TOKENS. With --list, print the price tables (prices per million tokens). "
        "With --catalog, the genai-prices catalogue is loaded into the tables first "
        "(built-in prices win).",
    )
    cost.add_argument("model", nargs="?", help="model name as the provider reports it")
    cost.add_argument("tokens", nargs="*", type=_token_count, metavar="TOKENS",
                      help="input tokens and output tokens (one count with --embedding)")
    cost.add_argument("--provider", default="", help="provider name (ollama and local are free)")
    cost.add_argument("--embedding", action="store_true", help="price an embedding call")
    cost.add_argument("--list", action="store_true", help="print the price tables")
    cost.add_argument("--catalog", action="store_true",
                      help="load the genai-prices catalogue first (needs dravik_observe[prices])")
    cost.set_defaults(run=_run_cost)
    return parser


def _token_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of tokens: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"token counts cannot be negative: {text}")
    return value


def _run_demo(args: argparse.Namespace) -> int:
    from dravik_observe.demo import main as demo_main

    demo_main()
    return 0


def _run_scan(args: argparse.Namespace) -> int:
    from dravik_observe.cli.scan import run_scan

    return run_scan(args.file, action=args.action, input_format=args.format, model=args.model,
                    as_json=args.json)


def _run_cost(args: argparse.Namespace) -> int:
    from dravik_observe.cli.prices import run_cost

    return run_cost(args)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except BrokenPipeError:
        # Output piped into a command that stopped reading (head, less).
        sys.stderr.close()
        return 0
