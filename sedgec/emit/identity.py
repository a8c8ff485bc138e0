"""What the generated library calls itself on the network, registered with the runtime when the
library loads (quill/Identity.h): taken from the version table's settings, with defaults derived
from its namespace."""
from ..errors import SedgeError, SedgeErrors
from . import wsdl

OUT = "src/typeinfo/identity.cpp"


def identity(cat):
    """The identity's fields; raises SedgeErrors when a login method is not in the catalogue."""
    s = cat.settings
    ns = cat.namespace
    known = {f"{t.name}.{m.name}" for t in cat.all_types() for m in t.methods}
    logins = list(s.get("loginMethods", []))
    missing = [m for m in logins if m not in known]
    if missing:
        raise SedgeErrors([SedgeError(None, f"loginMethods names '{m}', which is no method of the catalogue")
                           for m in missing])
    return {
        "name": ns,
        "session_cookie": s.get("sessionCookie", f"{ns}_session"),
        "wsdl_name": wsdl.ENTRY,
        "default_namespace": ns,
        "login_methods": logins,
        "product": s.get("product", f"{ns}-types"),
        "client_name": f"{ns}-http",
    }


def files(cat):
    return [(OUT, "identity.cpp.j2", {"id": identity(cat)})]
