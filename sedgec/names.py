"""Every naming rule of the generated code, in one place.

Types are known by their sedge name ("tarn.vm.device.VirtualEthernetCard"); the namespace
part of it is the module's namespace, the rest are type components.
"""
import re

ROOT = "tarn"
# The runtime's own namespace "sedge" is the C++ namespace of the runtime, Quill.
_CPP_ROOTS = {"sedge": "Quill"}


def cap(s):
    return s[:1].upper() + s[1:]


def full_name(rel):
    """Catalogue notation drops the leading "tarn."."""
    return f"{ROOT}.{rel}"


def split_name(full, namespace):
    """(namespace components, type components) of a sedge name in `namespace`."""
    ns = namespace.split(".")
    parts = full.split(".")
    return parts[:len(ns)], parts[len(ns):]


def _cpp_namespace_components(ns):
    return [_CPP_ROOTS.get(c, cap(c)) if i == 0 else cap(c) for i, c in enumerate(ns)]


def cpp_namespace(namespace):
    """"tarn.vm.device" -> "Tarn::Vm::Device"; "sedge.fault" -> "Quill::Fault"."""
    return "::".join(_cpp_namespace_components(namespace.split(".")))


def cpp_class(full, namespace):
    """Namespace components capitalised, type components as spelled."""
    ns, ty = split_name(full, namespace)
    return "::".join(_cpp_namespace_components(ns) + ty)


def record_name(full):
    """"tarn.event.iScsiBootFailureEvent" -> "gTarnEventIScsiBootFailureEventTypeInfo"."""
    return "g" + "".join(cap(c) for c in full.split(".")) + "TypeInfo"


def method_objects_name(full):
    return "g" + "".join(cap(c) for c in full.split(".")) + "MethodObjects"


def stub_class(full, namespace):
    return cpp_class(full, namespace) + "Stub"


def joined_type_components(full, namespace):
    """The WSDL name a type gets when none is given: its type components joined."""
    return "".join(cap(c) if i else c for i, c in enumerate(split_name(full, namespace)[1]))


def default_wsdl_prefix(namespace):
    """For a namespace without a listed prefix: its components (less "tarn") capitalised."""
    return "".join(cap(c) for c in namespace.split(".")[1:])


_NON_WORD = re.compile(r"[^A-Za-z0-9_]")


def constant_word(s):
    return _NON_WORD.sub("_", s).upper()


def tag_constant(enum_simple_name, tag):
    """"SectorFormat", "native_512" -> "SECTORFORMAT_NATIVE_512"."""
    return f"{constant_word(enum_simple_name)}_{constant_word(tag)}"


def method_constant(method_name):
    """"createFolder" -> "METHOD_CREATEFOLDER"."""
    return f"METHOD_{constant_word(method_name)}"


def operation_name(method_name):
    """Method names on interfaces and stubs: first letter upper-cased."""
    return cap(method_name)


def getter_name(prop_name, is_bool):
    return ("Is" if is_bool else "Get") + cap(prop_name)


CPP_KEYWORDS = frozenset("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t char16_t
char32_t class compl concept const consteval constexpr constinit const_cast continue co_await
co_return co_yield decltype default delete do double dynamic_cast else enum explicit export
extern false float for friend goto if inline int long mutable namespace new noexcept not
not_eq nullptr operator or or_eq private protected public register reinterpret_cast requires
return short signed sizeof static static_assert static_cast struct switch template this
thread_local throw true try typedef typeid typename union unsigned using virtual void
volatile wchar_t while xor xor_eq
""".split())


def cpp_identifier(name):
    """An API name that is a C++ keyword gets one trailing underscore (`template_`)."""
    return name + "_" if name in CPP_KEYWORDS else name
