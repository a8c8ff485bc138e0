// The query service's tests over HTTP: an HttpServer on loopback in front of a Served adapter.
#pragma once

#include <chrono>

#include "Inventory.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"

namespace tarn_query_test {

inline Ref<Quill::HttpAdapter> HttpClient(std::string const& url,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  Quill::HttpAdapter::Settings s;
  s.url = url;
  s.callTimeout = timeout;
  return new Quill::HttpAdapter(s);
}

// The server goes before the service (members go before the base).
struct ServedOverHttp : Served {
  explicit ServedOverHttp(std::function<void(Quill::HttpServer::Options&)> const& configure = {}) {
    Quill::HttpServer::Options options;
    options.address = "127.0.0.1";
    if (configure) configure(options);
    server = std::make_unique<Quill::HttpServer>(adapter.get(), options);
  }

  std::string Url() const { return server->GetUrl(); }
  // The root collector as a new HTTP client (so a new session) sees it.
  Ref<Quill::Query::PropertyCollectorStub> HttpCollector() {
    return Quill::CreateStub<Quill::Query::PropertyCollectorStub>(service->GetRootRef(), HttpClient(Url()).get());
  }

  std::unique_ptr<Quill::HttpServer> server;
};

}  // namespace tarn_query_test
