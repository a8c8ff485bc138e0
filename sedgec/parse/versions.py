"""Parser of the version table file (versions.sedge)."""
from ..errors import Loc, SedgeError, SedgeErrors
from .ast import VersionFile, VersionRow
from .lexer import split_line, unquote

KINDS = {"release": 0, "unstable": 1, "feature": 2, "disabled": 3}
_SETTINGS = {"dependencies": "list", "wireNamespace": "word", "taskType": "word",
             "taskNamespace": "word", "versionFlags": "int", "ltsSlots": "int", "trailer": "ints",
             # what the library calls itself on the network (emit/identity.py); optional
             "sessionCookie": "word", "product": "word", "loginMethods": "list",
             # "explicit": the program binds each module by a call (emit/generate.py)
             "binding": "word"}


def full_version_name(namespace, name):
    """Short names are rows of this namespace; dotted names are written in full."""
    return name if "." in name else f"{namespace}.version.{name}"


def parse_version_text(text, path="<text>"):
    errors = []
    vf = None
    for lineno, raw in enumerate(text.split("\n"), 1):
        loc = Loc(path, lineno)
        try:
            indent, words = split_line(raw, loc)
            if not words:
                continue
            head, rest = words[0], words[1:]
            if vf is None:
                if head != "namespace" or len(rest) != 1:
                    raise SedgeError(loc, "the version file starts with 'namespace NAME'")
                vf = VersionFile(path, rest[0], {})
                continue
            if indent:
                kind = _SETTINGS.get(head)
                if kind is None:
                    raise SedgeError(loc, f"unknown setting '{head}'")
                try:
                    value = {"list": lambda: list(rest), "word": lambda: rest[0] if len(rest) == 1 else None,
                             "int": lambda: int(rest[0]) if len(rest) == 1 else None,
                             "ints": lambda: [int(x) for x in rest]}[kind]()
                except (ValueError, IndexError):
                    value = None
                if value is None:
                    raise SedgeError(loc, f"bad value for '{head}'")
                vf.settings[head] = value
            elif head in KINDS:
                if len(rest) < 2:
                    raise SedgeError(loc, "a row is: KIND NAME \"WIRE\" [wireNamespace NS] [versionFlags N]")
                row = VersionRow(head, full_version_name(vf.namespace, rest[0]),
                                 unquote(rest[1], loc, "wire version"), None, None, loc)
                extra = rest[2:]
                while extra:
                    if len(extra) < 2:
                        raise SedgeError(loc, f"'{extra[0]}' needs a value")
                    key, value = extra[0], extra[1]
                    if key == "wireNamespace":
                        row.wire_namespace = value
                    elif key == "versionFlags" and value.isdigit():
                        row.version_flags = int(value)
                    else:
                        raise SedgeError(loc, f"unexpected '{key} {value}' in row")
                    extra = extra[2:]
                vf.rows.append(row)
            elif head == "parent":
                if len(rest) != 2:
                    raise SedgeError(loc, "a parent pair is: parent VERSION PARENT")
                vf.parents.append((full_version_name(vf.namespace, rest[0]),
                                   full_version_name(vf.namespace, rest[1]), loc))
            else:
                raise SedgeError(loc, f"unexpected '{head}'")
        except SedgeError as e:
            errors.append(e)
    if vf is None and not errors:
        errors.append(SedgeError(Loc(path, 1), "empty version file"))
    if errors:
        raise SedgeErrors(errors)
    return vf


def parse_version_file(path):
    with open(path, encoding="utf-8") as f:
        return parse_version_text(f.read(), path)
