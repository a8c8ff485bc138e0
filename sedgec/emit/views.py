"""What each template sees of a type: its names and facts. The C++ that spells them is written
by the templates (cpp.j2 holds the shared pieces)."""
from .. import names
from ..model.types import F_OPTIONAL, RuntimeType, Type


def stem(t):
    """Unique C identifier stem of a type, for generated helper functions and tables."""
    return t.record[1:-len("TypeInfo")]


def c_escape(s):
    """The text of a C string literal holding `s` (without the quotes)."""
    return s.replace("\\", "\\\\").replace('"', '\\"')


class TypeView:
    # The export macro of the classes, and the namespace of their tables and accessor functions.
    api = "TARN_API"
    data_api = "TARN_DATA"   # exported variables (method-name and tag constants)
    gen_ns = "tarn_gen"
    home_ns = "Tarn"         # where the interface's comment sends a caller for its stub

    def __init__(self, cc, t, slot=None):
        self.cc = cc
        self.t = t
        self.slot = slot

    # names ---------------------------------------------------------------------
    @property
    def name(self):
        return self.t.name

    @property
    def kind(self):
        return self.t.kind

    @property
    def qual(self):
        return "::" + self.t.cpp

    @property
    def defname(self):
        """The class as named in an out-of-class definition at global scope (no leading ::,
        which after a return type such as std::string would be read as a member of it)."""
        return self.t.cpp

    @property
    def stub_defname(self):
        return self.t.cpp + "Stub"

    @property
    def local(self):
        """Name inside the module's namespace: type components joined by ::."""
        return "::".join(self.t.type_components)

    @property
    def simple(self):
        return self.t.simple_name

    @property
    def stem(self):
        return stem(self.t)

    @property
    def record(self):
        return self.t.record

    @property
    def is_fault(self):
        return self.t.kind == "fault"

    @property
    def base_cpp(self):
        b = self.t.base
        return "::" + b.cpp

    @property
    def base_generated(self):
        return isinstance(self.t.base, Type)

    @property
    def base_is_root(self):
        return isinstance(self.t.base, RuntimeType) and self.t.base.cpp == "Quill::DynamicData"

    def _layout_owner(self, t):
        """`t` or its nearest generated ancestor with fields of its own; None when there is none."""
        while isinstance(t, Type):
            if t.props:
                return t
            t = t.base
        return None

    @property
    def layout_stem(self):
        """Stem of the layout this class's whole-object operations run on, or None."""
        o = self._layout_owner(self.t)
        return stem(o) if o else None

    @property
    def base_layout_stem(self):
        """Stem of the layout that the own layout chains to, or None."""
        o = self._layout_owner(self.t.base)
        return stem(o) if o else None

    @property
    def foreign_layout_stems(self):
        """Ancestor layouts defined by another module, which this class's unit declares."""
        out, b = [], self._layout_owner(self.t.base)
        while b is not None:
            if b.module is not self.t.module:
                out.append(stem(b))
            b = self._layout_owner(b.base)
        return out

    @property
    def runtime_base(self):
        """The runtime class that ends the chain, when it compares fields of its own (a runtime
        fault); None for Quill::DynamicData."""
        b = self.t.base
        while isinstance(b, Type):
            b = b.base
        if b is None or b.cpp == "Quill::DynamicData":
            return None
        return b.cpp

    # nesting ---------------------------------------------------------------------
    def _children(self):
        for t in self.cc.families[self.cc.family(self.t)]:
            if self.cc.outer(t) is self.t:
                yield t

    @property
    def nested_classes(self):
        out = []
        for c in self._children():
            if c.kind != "enum":
                out.append(c.simple_name)
            if c.kind == "managed":
                out.append(c.simple_name + "Stub")
                out.append(c.simple_name + "Skeleton")
        return out

    @property
    def nested_enums(self):
        return [EnumView(self.cc, c) for c in self._children() if c.kind == "enum"]

    # fields ------------------------------------------------------------------------
    @property
    def fields(self):
        return self.cc.fields.get(self.t, [])

    @property
    def array_fields(self):
        return [f for f in self.fields if f.is_array]

    @property
    def array_field_indexes(self):
        return [(i, f) for i, f in enumerate(self.fields) if f.is_array]

    @property
    def zero_fields(self):
        return [f for f in self.fields if f.zero_init]

    @property
    def optional_indexes(self):
        return [i for i, f in enumerate(self.fields) if f.flags & F_OPTIONAL]

    @property
    def settable_indexes(self):
        """Own indexes whose isPropertySet is not a constant true."""
        return [i for i, f in enumerate(self.fields) if f.is_ref or f.is_optional_value]

    @property
    def version(self):
        return self.t.version


class EnumView(TypeView):
    @property
    def enumerators(self):
        out = []
        for tag in self.t.tags:
            e = names.cpp_identifier(tag)
            out.append("_" + e if e[:1].isdigit() else e)
        return out

    @property
    def constants(self):
        """(constant name, tag, array size)."""
        return [(c, tag, len(tag.encode()) + 1) for c, tag in zip(self.t.tag_constants(), self.t.tags)]

    @property
    def at_namespace(self):
        return self.cc.outer(self.t) is None
