"""Command line of sedgec: check, stats, generate and outputs for the catalogue; runtime for
the runtime's own types."""
import argparse
import sys

from .errors import SedgeErrors


def _cmd_check(args):
    from .parse import parse_module_file, parse_version_file
    bad = 0
    for path in args.files:
        try:
            if path.endswith("versions.sedge"):
                parse_version_file(path)
            else:
                parse_module_file(path)
        except SedgeErrors as e:
            bad += len(e.errors)
            print(e, file=sys.stderr)
    return 1 if bad else 0


def _cmd_stats(args):
    import time

    from .model import load_catalogue
    from .stats import format_stats
    start = time.perf_counter()
    try:
        cat = load_catalogue(args.schema)
    except SedgeErrors as e:
        print(e, file=sys.stderr)
        print(f"{len(e.errors)} error(s)", file=sys.stderr)
        return 1
    print(format_stats(cat))
    if args.time:
        print(f"parsed and checked in {time.perf_counter() - start:.2f} s", file=sys.stderr)
    return 0


def _load(schema):
    from .model import load_catalogue
    try:
        return load_catalogue(schema)
    except SedgeErrors as e:
        print(e, file=sys.stderr)
        print(f"{len(e.errors)} error(s)", file=sys.stderr)
        return None


def _cmd_generate(args):
    from .emit import generate
    cat = _load(args.schema)
    if cat is None:
        return 1
    total, written = generate(cat, args.out, not args.no_extras)
    if args.verbose:
        print(f"sedgec: {total} files, {written} rewritten", file=sys.stderr)
    return 0


def _cmd_outputs(args):
    from .emit import planned_outputs
    cat = _load(args.schema)
    if cat is None:
        return 1
    for path in planned_outputs(cat, not args.no_extras):
        if path.endswith(args.suffix):
            print(path)
    return 0


def _cmd_runtime(args):
    from .emit.generate import write_files
    from .emit.runtime import runtime_files
    from .model.runtime import RUNTIME_CATALOGUE
    files = runtime_files(RUNTIME_CATALOGUE)
    if args.list:
        for path, _, _ in files:
            print(path)
        return 0
    total, written = write_files(files, args.out)
    if args.verbose:
        print(f"sedgec: {total} runtime files, {written} rewritten", file=sys.stderr)
    return 0


_NO_EXTRAS = "the library's sources only: no WSDL, identity, facts or generated tests"


def main(argv=None):
    ap = argparse.ArgumentParser(prog="sedgec", description="The Sedge catalogue compiler.")
    sub = ap.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("check", help="check the syntax of schema files")
    p.add_argument("files", nargs="+")
    p.set_defaults(fn=_cmd_check)
    p = sub.add_parser("stats", help="print the per-module table and the catalogue's totals")
    p.add_argument("--schema", default="schema")
    p.add_argument("--time", action="store_true", help="report how long parsing and checking took")
    p.set_defaults(fn=_cmd_stats)
    p = sub.add_parser("generate", help="write the C++ sources of the library")
    p.add_argument("--schema", default="schema")
    p.add_argument("--out", required=True)
    p.add_argument("--no-extras", action="store_true", help=_NO_EXTRAS)
    p.add_argument("-v", "--verbose", action="store_true")
    p.set_defaults(fn=_cmd_generate)
    p = sub.add_parser("outputs", help="list the files `generate` writes")
    p.add_argument("--schema", default="schema")
    p.add_argument("--suffix", default="")
    p.add_argument("--no-extras", action="store_true", help=_NO_EXTRAS)
    p.set_defaults(fn=_cmd_outputs)
    p = sub.add_parser("runtime", help="write the classes of the runtime's own types (quill/sedge/)")
    p.add_argument("--out", default=".")
    p.add_argument("--list", action="store_true", help="list the files it writes, and write none")
    p.add_argument("-v", "--verbose", action="store_true")
    p.set_defaults(fn=_cmd_runtime)
    args = ap.parse_args(argv)
    return args.fn(args)
