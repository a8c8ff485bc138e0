// The WSDL and schema files the server serves from a directory: each read
// once, held in memory shared by every response (HttpServerRules::
// ServedDocument), compressed for clients that accept gzip, and with its
// service address put in per response as the address the request came to.
// Only plain names ending in .wsdl or .xsd are served; `defaultName`, when
// the directory has no such file, is the WSDL of the version a request
// without a version header speaks. Thread-safe. Internal to quill-http-server.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Exchange.h"
#include "RequestRules.h"

namespace Quill::HttpServerParts {

class DocumentStore {
 public:
  // An empty directory serves nothing.
  DocumentStore(std::string directory, std::string defaultName);

  static bool IsServedName(std::string_view name);

  // The document of that name, or null (no such file, a name not served).
  std::shared_ptr<HttpServerRules::ServedDocument const> Find(std::string_view name);

  // Answers a GET or HEAD of the document `name`; `address` is the service
  // address to write into a WSDL. False when there is no such document
  // (nothing was answered).
  bool Serve(Exchange& exchange, std::string_view name, std::string const& address);

 private:
  std::string _directory, _defaultName;
  std::mutex _mutex;
  std::map<std::string, std::shared_ptr<HttpServerRules::ServedDocument const>, std::less<>> _files;
};

}  // namespace Quill::HttpServerParts
