"""Checks a built libtarn-types against the list of interposable variables sedgec wrote:
every variable the library exports must be on it, and every name on it must be exported."""
import subprocess
import sys


def exported_variables(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True, capture_output=True, text=True).stdout
    # B, D, R: variables in .bss, .data and read-only data. V (vague linkage: vtables,
    # type_info objects) may be duplicated harmlessly; functions are never copied.
    # A sanitizer's own markers (AddressSanitizer's one-definition indicators) are not ours.
    return {f[2] for f in (line.split() for line in out.splitlines())
            if len(f) == 3 and f[1] in "BDR" and not f[2].startswith(SANITIZER_PREFIXES)}


SANITIZER_PREFIXES = ("__odr_asan", "__asan", "__tsan", "__ubsan")


def listed(path):
    with open(path, encoding="utf-8") as f:
        return {line.strip().rstrip(";") for line in f
                if line.strip() not in ("{", "};", "") and not line.startswith("/*")}


def main(library, dynlist):
    exported, names = exported_variables(library), listed(dynlist)
    problems = [f"exported but not interposable: {n}" for n in sorted(exported - names)]
    problems += [f"listed but not exported: {n}" for n in sorted(names - exported)]
    for p in problems[:20]:
        print(p)
    print(f"{len(exported)} exported variables, {len(names)} listed, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
