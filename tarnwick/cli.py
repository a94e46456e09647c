"""The tarnwick command line."""
import argparse
import sys


def _read(path):
    if path == "-":
        return sys.stdin.read()
    with open(path, encoding="utf-8") as f:
        return f.read()


def cmd_tokens(args):
    import tarnwick_parser
    try:
        tokens = tarnwick_parser.lex(_read(args.file))
    except SyntaxError as e:
        print(f"{args.file}: {e}", file=sys.stderr)
        return 2
    for t in tokens:
        value = f" {t['value']!r}" if t["value"] else ""
        print(f"{t['line']}:{t['column']}\t{t['token_type']}{value}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="tarnwick", description="Run and inspect Tarnwick scripts.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("tokens", help="print the tokens of a script")
    p.add_argument("file", help="script file, or - for standard input")
    p.set_defaults(func=cmd_tokens)
    args = parser.parse_args(argv)
    return args.func(args)
