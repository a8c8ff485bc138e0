#include "DocumentStore.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "quill/wire/Wire.h"

namespace Quill::HttpServerParts {

namespace rules = HttpServerRules;

DocumentStore::DocumentStore(std::string directory, std::string defaultName)
    : _directory(std::move(directory)), _defaultName(std::move(defaultName)) {}

bool DocumentStore::IsServedName(std::string_view name) {
  auto endsWith = [&](std::string_view suffix) {
    return name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
  };
  if (!endsWith(".wsdl") && !endsWith(".xsd")) return false;
  if (name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

std::shared_ptr<rules::ServedDocument const> DocumentStore::Find(std::string_view name) {
  if (_directory.empty() || !IsServedName(name)) return nullptr;
  std::lock_guard<std::mutex> lock(_mutex);
  auto it = _files.find(name);
  if (it != _files.end()) return it->second;
  std::ifstream in(_directory + "/" + std::string(name), std::ios::binary);
  if (!in && !_defaultName.empty() && name == _defaultName) {
    // The generator names each WSDL after its wire namespace; the default name
    // is the one of the version a request without a header speaks.
    Version const* version = Wire::DefaultVersion();
    if (version && version->GetWireNamespace()) {
      in.open(_directory + "/" + version->GetWireNamespace() + ".wsdl", std::ios::binary);
    }
  }
  if (!in) return nullptr;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::shared_ptr<rules::ServedDocument const> file;
  try {
    file = std::make_shared<rules::ServedDocument const>(std::move(text));
  } catch (std::exception&) {
    return nullptr;  // no memory to compress it: as if it were not there
  }
  _files.emplace(std::string(name), file);
  return file;
}

bool DocumentStore::Serve(Exchange& exchange, std::string_view name, std::string const& address) {
  auto doc = Find(name);
  if (!doc) return false;
  Request& req = exchange.GetRequest();
  std::string attribute = rules::XmlAttribute(address);
  DocumentResponse res(http::status::ok, req.version());
  res.set(http::field::content_type, "text/xml; charset=utf-8");
  res.set(http::field::vary, "Accept-Encoding");
  auto& body = res.body();
  body.keep = doc;
  if (rules::AcceptsGzip(rules::View(req[http::field::accept_encoding]))) {
    res.set(http::field::content_encoding, "gzip");
    body.head = doc->GzHead();
    body.tail = doc->GzTail();
    doc->GzMiddle(attribute, body.middle, body.end);
  } else {
    body.head = doc->Head();
    body.tail = doc->Tail();
    if (doc->HasAddress()) body.middle = std::move(attribute);
  }
  if (req.method() == http::verb::head) {
    res.content_length(PiecesBody::size(body));
    body = PiecesBody::value_type{};
    exchange.Send(std::move(res), /*keepLength=*/true);
  } else {
    exchange.Send(std::move(res), false);
  }
  return true;
}

}  // namespace Quill::HttpServerParts
