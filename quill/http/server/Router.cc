#include "Router.h"

#include <algorithm>

namespace Quill::HttpServerParts {

void Router::Add(Entry entry) { _entries.push_back(std::move(entry)); }

Router::Entry const* Router::Find(std::string_view path, std::string_view& rest) const {
  Entry const* best = nullptr;
  for (Entry const& e : _entries) {
    if (!e.prefix) {
      if (path == e.path) {
        rest = {};
        return &e;
      }
      continue;
    }
    // A prefix names documents under it, never itself: "/sdk/" alone is no document.
    if (path.size() > e.path.size() && path.substr(0, e.path.size()) == e.path &&
        (!best || e.path.size() > best->path.size())) {
      best = &e;
    }
  }
  if (best) rest = path.substr(best->path.size());
  return best;
}

void Router::Route(Exchange& exchange) const {
  Request& req = exchange.GetRequest();
  std::string_view rest;
  Entry const* entry = Find(exchange.GetTarget().path, rest);
  if (!entry) return exchange.Send(TextResponse(http::status::not_found, "no such document\n", req.version()));
  if (std::find(entry->methods.begin(), entry->methods.end(), req.method()) == entry->methods.end()) {
    Response res = TextResponse(http::status::method_not_allowed, entry->refusal, req.version());
    std::string allow;
    for (http::verb v : entry->methods) {
      if (!allow.empty()) allow += ", ";
      allow += std::string(http::to_string(v));
    }
    res.set(http::field::allow, allow);
    return exchange.Send(std::move(res));
  }
  entry->handler(exchange, rest);
}

}  // namespace Quill::HttpServerParts
