"""Splits a Sedge line into words; quoted strings stay one word (kept with their quotes)."""
from ..errors import SedgeError


def split_line(text, loc):
    """Return (indent, words) of one line, comments removed; words of a blank line are []."""
    words = []
    i, n = 0, len(text)
    indent = len(text) - len(text.lstrip(" "))
    if "\t" in text[:indent + 1] and text.strip():
        raise SedgeError(loc, "indent with spaces, not tabs")
    i = indent
    while i < n:
        c = text[i]
        if c in " \t\r":
            i += 1
        elif c == "#":
            break
        elif c == '"':
            j = text.find('"', i + 1)
            if j < 0:
                raise SedgeError(loc, "unterminated string")
            words.append(text[i:j + 1])
            i = j + 1
        elif c == ",":
            # Commas only separate list items; they carry no meaning of their own.
            i += 1
        else:
            j = i
            while j < n and text[j] not in ' \t\r#",':
                j += 1
            words.append(text[i:j])
            i = j
    return indent, words


def is_string(word):
    return len(word) >= 2 and word[0] == '"' and word[-1] == '"'


def unquote(word, loc, what):
    if not is_string(word):
        raise SedgeError(loc, f"{what} must be a quoted string, not '{word}'")
    return word[1:-1]
