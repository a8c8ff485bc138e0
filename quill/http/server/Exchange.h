// One request and its answer as the server's handlers see them: the router
// passes an Exchange to the handler of the request's path, and the handler
// answers through it. The connection implements it; tests use their own.
// Internal to quill-http-server.
#pragma once

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "RequestRules.h"

namespace Quill::HttpServerParts {

namespace http = boost::beast::http;

using Fields = HttpServerRules::ArenaFields;
using Request = http::request<http::string_body, Fields>;
using Response = http::response<http::string_body, Fields>;

// A response body of a few pieces that live elsewhere (a served document's
// shared text, kept alive by `keep`) around a few bytes of its own (the
// service address, a gzip trailer): nothing is copied per response.
struct PiecesBody {
  struct value_type {
    std::shared_ptr<void const> keep;
    std::string_view head, tail;
    std::string middle, end;
  };
  static std::uint64_t size(value_type const& v) {
    return v.head.size() + v.middle.size() + v.tail.size() + v.end.size();
  }
  class writer {
   public:
    using const_buffers_type = std::array<boost::asio::const_buffer, 4>;
    template <bool isRequest, class Fields>
    writer(http::header<isRequest, Fields> const&, value_type const& v) : _v(v) {}
    void init(boost::beast::error_code& ec) { ec = {}; }
    boost::optional<std::pair<const_buffers_type, bool>> get(boost::beast::error_code& ec) {
      ec = {};
      if (_done) return boost::none;
      _done = true;
      namespace net = boost::asio;
      return std::make_pair(const_buffers_type{net::buffer(_v.head.data(), _v.head.size()), net::buffer(_v.middle),
                                               net::buffer(_v.tail.data(), _v.tail.size()), net::buffer(_v.end)},
                            false);
    }

   private:
    value_type const& _v;
    bool _done = false;
  };
};
using DocumentResponse = http::response<PiecesBody, Fields>;

// What the server answers one call with.
struct Answer {
  http::status status = http::status::ok;
  std::string body;
  std::string setCookie;
  std::string retryAfter;
};
using AnswerSink = std::function<void(Answer&&)>;

inline Response TextResponse(http::status status, std::string_view text, unsigned version) {
  Response res(status, version);
  res.set(http::field::content_type, "text/plain; charset=utf-8");
  res.body() = std::string(text);
  return res;
}

class Exchange {
 public:
  virtual ~Exchange() = default;

  virtual Request& GetRequest() = 0;
  virtual HttpServerRules::Target const& GetTarget() const = 0;
  virtual std::string const& GetPeer() const = 0;
  virtual bool IsTls() const = 0;

  // Answers at once. A HEAD answer sets its own Content-Length (`keepLength`).
  virtual void Send(Response&& res) = 0;
  virtual void Send(DocumentResponse&& res, bool keepLength) = 0;

  // A call: counts it against the server's calls in flight (false: there is
  // no room; nothing was answered yet). Once begun, the call is answered
  // through the sink, from any thread, exactly once.
  virtual bool BeginCall() = 0;
  virtual AnswerSink CallSink() = 0;
  // The request body's share of the server's budget for bodies; the budget
  // gets it back when the returned handle goes.
  virtual std::shared_ptr<void> TakeBodyShare() = 0;
};

}  // namespace Quill::HttpServerParts
