"""Checks that libtarn-types and the programs built against it share each exported variable:
no program holds a copy of one (a copy relocation), which the library, binding its variables
at link time, would never see; and the library indeed binds them itself, not at load time."""
import subprocess
import sys


def dynamic_relocations(path):
    """(type, symbol) of each dynamic relocation that names a symbol."""
    out = subprocess.run(["readelf", "--wide", "--relocs", path], check=True, capture_output=True, text=True).stdout
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 5 and f[2].startswith("R_") and not f[4].startswith(("+", "-")):
            yield f[2], f[4].split("@")[0]


def defined_variables(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True, capture_output=True, text=True).stdout
    # B, D, R: variables in .bss, .data and read-only data; vtables and type_info objects (V)
    # may be duplicated harmlessly, as their users compare them by name.
    return {f[2] for f in (line.split() for line in out.splitlines()) if len(f) == 3 and f[1] in "BDR"}


def main(library, *programs):
    variables = defined_variables(library)
    problems = [f"{library}: bound at load time: {sym}" for kind, sym in dynamic_relocations(library)
                if sym in variables]
    for program in programs:
        problems += [f"{program}: holds a copy of {sym}" for kind, sym in dynamic_relocations(program)
                     if kind.endswith("_COPY") and sym in variables]
    for p in problems[:20]:
        print(p)
    print(f"{len(variables)} exported variables, {len(programs)} programs, {len(problems)} problems")
    return 1 if problems or not variables else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
