"""Parser of the module files of the Sedge catalogue (one module per file)."""
import re

from ..errors import Loc, SedgeError, SedgeErrors
from .ast import MethodDecl, ModuleFile, ParamDecl, PropDecl, TypeDecl, TypeRef
from .lexer import is_string, split_line, unquote

KINDS = ("data", "fault", "enum", "managed")
PROP_FLAGS = ("opt", "linkable", "link", "secret", "f64", "f1024")
PARAM_FLAGS = ("opt", "secret")
RESULT_FLAGS = ("opt", "secret")

_NAME = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*$")
_TYPE = re.compile(r"^([A-Za-z_][A-Za-z0-9_]*(?:(?:\.|::)[A-Za-z_][A-Za-z0-9_]*)*)(\[\])?$")
_IDENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
_VERSION = re.compile(r"^[A-Za-z_][A-Za-z0-9_.]*$")


class _Words:
    """Cursor over the words of one line, with the checks every rule needs."""

    def __init__(self, words, loc):
        self.words = words
        self.i = 0
        self.loc = loc

    def more(self):
        return self.i < len(self.words)

    def peek(self):
        return self.words[self.i] if self.more() else None

    def take(self, what):
        if not self.more():
            raise SedgeError(self.loc, f"missing {what}")
        w = self.words[self.i]
        self.i += 1
        return w

    def ident(self, what):
        w = self.take(what)
        if not _IDENT.match(w):
            raise SedgeError(self.loc, f"bad {what} '{w}'")
        return w

    def name(self, what):
        w = self.take(what)
        if not _NAME.match(w):
            raise SedgeError(self.loc, f"bad {what} '{w}'")
        return w

    def typeref(self, what):
        w = self.take(what)
        m = _TYPE.match(w)
        if not m:
            raise SedgeError(self.loc, f"bad {what} '{w}'")
        return TypeRef(m.group(1), bool(m.group(2)), self.loc)

    def version(self):
        w = self.take("version after 'since'")
        if not _VERSION.match(w):
            raise SedgeError(self.loc, f"bad version '{w}'")
        return w

    def string(self, what):
        return unquote(self.take(what), self.loc, what)


def _once(seen, word, loc):
    if word in seen:
        raise SedgeError(loc, f"'{word}' given twice")
    seen.add(word)


def _header(w, kind):
    name = w.name("type name")
    base = wsdl = since = None
    seen = set()
    while w.more():
        word = w.take("attribute")
        _once(seen, word, w.loc)
        if word == ":" and kind != "enum":
            base = w.typeref("base type")
            if base.array:
                raise SedgeError(w.loc, "a base type cannot be an array")
        elif word == "wsdl":
            wsdl = w.ident("WSDL name")
        elif word == "since":
            since = w.version()
        else:
            raise SedgeError(w.loc, f"unexpected '{word}' in {kind} declaration")
    return name, base, wsdl, since


def _prop(w):
    name = w.ident("property name")
    ref = w.typeref("property type")
    flags, since, priv, inferred = [], None, None, False
    seen = set()
    while w.more():
        word = w.take("attribute")
        _once(seen, word, w.loc)
        if word in PROP_FLAGS:
            flags.append(word)
        elif word == "since":
            since = w.version()
        elif word == "priv":
            priv = w.string("privilege")
        elif word == "inferred":
            inferred = True
        else:
            raise SedgeError(w.loc, f"unexpected '{word}' in property '{name}'")
    return PropDecl(name, ref, flags, since, priv, inferred, w.loc)


def _method(w):
    name = w.ident("method name")
    wsdl = None
    if w.peek() == "wsdl":
        w.take("wsdl")
        wsdl = w.ident("WSDL name")
    if w.take("'returns'") != "returns":
        raise SedgeError(w.loc, f"method '{name}': expected 'returns'")
    result, result_flags = None, []
    if w.peek() == "void":
        w.take("void")
    else:
        result = w.typeref("result type")
    priv = since = None
    task = internal = False
    seen = set()
    while w.more():
        word = w.take("attribute")
        _once(seen, word, w.loc)
        if word in RESULT_FLAGS and result is not None and not (priv or since or task or internal):
            result_flags.append(word)
        elif word == "priv":
            priv = w.string("privilege")
        elif word == "since":
            since = w.version()
        elif word == "task":
            task = True
        elif word == "internal":
            internal = True
        else:
            raise SedgeError(w.loc, f"unexpected '{word}' in method '{name}'")
    return MethodDecl(name, wsdl, result, result_flags, priv, since, task, internal, w.loc)


def _param(w):
    name = w.ident("parameter name")
    ref = w.typeref("parameter type")
    flags, since, needs = [], None, None
    seen = set()
    while w.more():
        word = w.take("attribute")
        _once(seen, word, w.loc)
        if word in PARAM_FLAGS:
            flags.append(word)
        elif word == "since":
            since = w.version()
        elif word == "needs":
            needs = w.string("privilege")
        else:
            raise SedgeError(w.loc, f"unexpected '{word}' in parameter '{name}'")
    return ParamDecl(name, ref, flags, since, needs, w.loc)


def parse_module_text(text, path="<text>"):
    """Parse one module file; raise SedgeErrors listing every syntax error found."""
    errors = []
    module = None
    decl = None
    method = None
    for lineno, raw in enumerate(text.split("\n"), 1):
        loc = Loc(path, lineno)
        try:
            indent, words = split_line(raw, loc)
            if not words:
                continue
            w = _Words(words, loc)
            head = w.take("keyword")
            if module is None:
                if indent or head != "module":
                    raise SedgeError(loc, "a module file starts with 'module NAMESPACE'")
                ns = w.name("namespace")
                load = prefix = None
                while w.more():
                    word = w.take("attribute")
                    if word == "load":
                        value = w.take("load position")
                        if not value.isdigit():
                            raise SedgeError(loc, f"bad load position '{value}'")
                        load = int(value)
                    elif word == "prefix":
                        prefix = w.ident("WSDL prefix")
                    else:
                        raise SedgeError(loc, f"unexpected '{word}' in module line")
                module = ModuleFile(path, ns, load, prefix, loc)
                continue
            if indent == 0:
                method = None
                if head not in KINDS:
                    decl = None
                    raise SedgeError(loc, f"expected one of {', '.join(KINDS)}, not '{head}'")
                name, base, wsdl, since = _header(w, head)
                decl = TypeDecl(head, name, base, wsdl, since, loc)
                module.decls.append(decl)
                continue
            if decl is None:
                raise SedgeError(loc, "indented line outside a declaration")
            if indent == 2:
                method = None
                if head == "tags" and decl.kind == "enum":
                    while w.more():
                        word = w.take("tag")
                        if not is_string(word):
                            raise SedgeError(loc, f"tags are quoted strings, not '{word}'")
                        decl.tags.append(word[1:-1])
                elif head == "prop" and decl.kind != "enum":
                    decl.props.append(_prop(w))
                elif head == "method" and decl.kind == "managed":
                    method = _method(w)
                    decl.methods.append(method)
                else:
                    raise SedgeError(loc, f"'{head}' does not belong in a {decl.kind} declaration")
            elif indent == 4:
                if method is None:
                    raise SedgeError(loc, f"'{head}' must follow a method")
                if head == "param":
                    method.params.append(_param(w))
                elif head == "raises":
                    method.raises.append(w.typeref("fault"))
                    while w.more():
                        method.raises.append(w.typeref("fault"))
                elif head == "typepriv":
                    ref = w.typeref("managed type")
                    method.typeprivs.append((ref, w.string("privilege")))
                    if w.more():
                        raise SedgeError(loc, f"unexpected '{w.peek()}' after typepriv")
                else:
                    raise SedgeError(loc, f"'{head}' does not belong in a method")
            else:
                raise SedgeError(loc, f"indent of {indent}: use 2 for members, 4 for method lines")
        except SedgeError as e:
            errors.append(e)
    if module is None and not errors:
        errors.append(SedgeError(Loc(path, 1), "empty module file"))
    if errors:
        raise SedgeErrors(errors)
    return module


def parse_module_file(path):
    with open(path, encoding="utf-8") as f:
        return parse_module_text(f.read(), path)
