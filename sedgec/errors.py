"""Errors that point at a place in a schema file."""


class Loc:
    __slots__ = ("path", "line")

    def __init__(self, path, line):
        self.path = path
        self.line = line

    def __str__(self):
        return f"{self.path}:{self.line}"


class SedgeError(Exception):
    """One problem in the catalogue, reported as `file:line: message`."""

    def __init__(self, loc, message):
        super().__init__(f"{loc}: {message}" if loc else message)
        self.loc = loc
        self.message = message


class SedgeErrors(Exception):
    """Every problem found in one pass, so that a run reports them all at once."""

    def __init__(self, errors):
        self.errors = list(errors)
        super().__init__("\n".join(str(e) for e in self.errors))
