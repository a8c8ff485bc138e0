#!/usr/bin/env bash
# Checks the layout and lint of the sources without changing any file: every tracked (and
# new, not ignored) C++ file must be as clang-format lays it out (.clang-format; the guides'
# examples keep their own layout), and every Python file must pass flake8 (.flake8).
# Prints each finding; exit status 0 clean, 1 findings, 2 a tool is missing.
#
#   tools/check-format.sh            # both checks
#   CLANG_FORMAT=clang-format-14 tools/check-format.sh
#
# To fix the C++ layout: clang-format -i FILE... (the lead reformats the tree in a commit of
# its own; do not mix a reformat into other changes).
set -uo pipefail
cd "$(dirname "$0")/.."

clang_format=${CLANG_FORMAT:-clang-format}
if ! command -v "$clang_format" > /dev/null; then
  echo "check-format: $clang_format not found (Debian package clang-format)" >&2
  exit 2
fi
# flake8 as a module of a Python that has it (Debian's python3-flake8 is /usr/bin/python3's).
python=""
for candidate in "${PYTHON:-python3}" python3 /usr/bin/python3; do
  if "$candidate" -m flake8 --version > /dev/null 2>&1; then
    python=$candidate
    break
  fi
done
if [[ -z $python ]]; then
  echo "check-format: no python3 with flake8 found (Debian package python3-flake8)" >&2
  exit 2
fi

mapfile -t cxx < <(git ls-files --cached --others --exclude-standard -- '*.h' '*.hpp' '*.cc' '*.cpp')
mapfile -t py < <(git ls-files --cached --others --exclude-standard -- '*.py')
status=0

# --dry-run prints a warning per line that would change; --Werror makes any of them fail.
if ((${#cxx[@]})); then
  if ! "$clang_format" --dry-run --Werror "${cxx[@]}"; then
    echo "check-format: C++ layout differs from .clang-format in the files above" >&2
    status=1
  fi
fi
if ((${#py[@]})); then
  if ! "$python" -m flake8 "${py[@]}"; then
    echo "check-format: flake8 findings above" >&2
    status=1
  fi
fi
if ((status == 0)); then
  echo "check-format: ${#cxx[@]} C++ and ${#py[@]} Python files clean"
fi
exit $status
