"""Every C++ block a guide quotes must appear, line for line, in the guide's example.

The examples are compiled and run as tests; a quote that drifted away from its example
would show readers code that nobody compiles any more. Indentation may differ as a whole
(a quote is usually taken from inside a function), but not line by line.

usage: check_quotes.py DOCS_DIR GUIDE...
"""

import pathlib
import re
import sys

BLOCK = re.compile(r"^```cpp\n(.*?)^```", re.S | re.M)


def indent(line: str) -> int:
    return len(line) - len(line.lstrip(" "))


def dedent(lines: list[str]) -> list[str]:
    width = min((indent(line) for line in lines if line.strip()), default=0)
    return [line[width:] if line.strip() else "" for line in lines]


def found_in(block: list[str], source: list[str]) -> bool:
    """True when `block` matches a run of `source` shifted right by one common amount."""
    first = block[0]
    for start in range(len(source) - len(block) + 1):
        shift = indent(source[start]) - indent(first)
        if shift < 0 or source[start].strip() != first.strip():
            continue
        pad = " " * shift
        if all((pad + b if b else "") == s.rstrip() for b, s in zip(block, source[start:start + len(block)])):
            return True
    return False


def check(docs: pathlib.Path, guide: str) -> list[str]:
    page = docs / f"{guide}.md"
    example = docs / "examples" / f"{guide}.cc"
    # A page with several programs (remote.md: remote-server.cc, remote-client.cc) quotes
    # from any of them.
    examples = [example] if example.exists() else sorted((docs / "examples").glob(f"{guide}-*.cc"))
    source = [line for e in examples for line in e.read_text().splitlines()]
    problems = []
    blocks = BLOCK.findall(page.read_text())
    if not blocks:
        problems.append(f"{page}: quotes no code from {', '.join(e.name for e in examples)}")
    for n, text in enumerate(blocks, 1):
        block = dedent([line.rstrip() for line in text.splitlines()])
        while block and not block[-1]:
            block.pop()
        if block and not found_in(block, source):
            names = ", ".join(e.name for e in examples)
            problems.append(f"{page}: block {n} (starting '{block[0].strip()}') is not in {names}")
    return problems


def main(argv: list[str]) -> int:
    docs = pathlib.Path(argv[1])
    problems = [p for guide in argv[2:] for p in check(docs, guide)]
    for p in problems:
        print(p, file=sys.stderr)
    print(f"{len(argv) - 2} guides checked, {len(problems)} quote(s) out of step")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
