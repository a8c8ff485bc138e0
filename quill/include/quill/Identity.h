// What a type library calls itself on the network: the session cookie's name,
// the WSDL a server offers first, the namespace whose newest release a message
// speaks by default, the methods that log a caller in, and the names the
// client and server give themselves in headers and logs.
//
// The runtime and its parts (codec, client, server) know no type library; a
// generated library registers its identity while it is being loaded, and the
// parts read it when they are made (an adapter, a server) or, for the codec's
// default version, on each use. Their own options override it. Without a
// registered identity the defaults below name nothing in particular.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Quill {

struct CatalogueIdentity {
  // The library's own name ("" for none), as its version table names its
  // namespace.
  std::string name;
  // The cookie that carries a caller's session.
  std::string sessionCookie = "session";
  // The WSDL document a server serves as the entry point.
  std::string wsdlName = "service.wsdl";
  // The version a message speaks when none is named: `defaultVersion` (a
  // full version name) when set, else the newest release of the version
  // table `defaultNamespace`, else the newest release of any table.
  std::string defaultNamespace;
  std::string defaultVersion;
  // Methods ("<type>.<method>") whose success starts a session.
  std::vector<std::string> loginMethods;
  // The server's name in its Server header.
  std::string product = "quill";
  // The client's name: its User-Agent ("<clientName>/<n>") and the prefix of
  // its call log.
  std::string clientName = "quill-http";
};

// Replaces the registered identity (the last registration wins: a program
// loads one type library). Safe to call from a library's initialiser.
void RegisterCatalogueIdentity(CatalogueIdentity identity);
// The registered identity, or the defaults above. A copy: the parts read it
// once, when they are made.
CatalogueIdentity GetCatalogueIdentity();
// Goes up by one with every registration, so that what is derived from the
// identity can be cached and noticed stale.
std::uint64_t GetCatalogueIdentityGeneration() noexcept;

class Version;
// The version the identity names as the default (see above); null when no
// version is registered at all. Cheap: resolved again only after a new
// registration.
Version const* GetDefaultVersion();

}  // namespace Quill
