// Which handler answers a request, by its path: an exact path ("/sdk") or a
// path prefix ("/sdk/", the handler gets the rest), each with the methods it
// takes. A path no entry names is answered 404, a method the entry does not
// take 405 with an Allow header. Exact entries win over prefixes; among
// prefixes the longest wins. Internal to quill-http-server.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Exchange.h"

namespace Quill::HttpServerParts {

class Router {
 public:
  using Handler = std::function<void(Exchange& exchange, std::string_view rest)>;

  struct Entry {
    std::string path;
    bool prefix = false;
    std::vector<http::verb> methods;
    std::string refusal;  // the 405 text
    Handler handler;
  };

  void Add(Entry entry);

  // The entry for `path`, or null; `rest` is what follows a prefix.
  Entry const* Find(std::string_view path, std::string_view& rest) const;

  // Routes the exchange's request: its handler, or the 404/405 answer.
  void Route(Exchange& exchange) const;

 private:
  std::vector<Entry> _entries;
};

}  // namespace Quill::HttpServerParts
