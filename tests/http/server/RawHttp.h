// A blocking HTTP client for the server tests, on Boost.Beast's client side:
// every operation has a deadline, so a server that never answers fails the
// test instead of hanging it. Loopback only.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "quill/Quill.h"
#include "quill/StubSupport.h"
#include "quill/wire/Wire.h"

namespace tarn_http_test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

struct Reply {
  int status = 0;  // 0: no answer (the error says why)
  std::string body;
  std::string setCookie;
  bool keepAlive = false;
  std::string error;
  http::fields fields;  // the response's header fields
};

// One connection; requests go one after the other on it.
class RawConnection {
 public:
  // Many connections share one I/O context (`ioc`), used from one thread.
  explicit RawConnection(unsigned short port, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         char const* address = "127.0.0.1", std::shared_ptr<net::io_context> ioc = nullptr)
      : _ioc(ioc ? std::move(ioc) : std::make_shared<net::io_context>()), _stream(*_ioc), _timeout(timeout) {
    _stream.expires_after(timeout);
    _stream.connect(tcp::endpoint(net::ip::make_address(address), port), _ec);
  }

  bool Connected() const { return !_ec; }
  std::string Error() const { return _ec.message(); }
  beast::tcp_stream& Stream() { return _stream; }

  // Sends bytes as they are (a request cut short, a header too long).
  bool SendRaw(std::string const& bytes) {
    _stream.expires_after(_timeout);
    net::write(_stream, net::buffer(bytes), _ec);
    return !_ec;
  }

  Reply Request(http::verb verb, std::string const& target, std::string body = {}, std::string const& cookie = {}) {
    http::request<http::string_body> req(verb, target, 11);
    req.set(http::field::host, "127.0.0.1");
    if (verb == http::verb::post) req.set(http::field::content_type, "text/xml; charset=utf-8");
    if (!cookie.empty()) req.set(http::field::cookie, cookie);
    req.body() = std::move(body);
    req.prepare_payload();
    _stream.expires_after(_timeout);
    http::write(_stream, req, _ec);
    if (_ec) return Reply{0, {}, {}, false, "write: " + _ec.message(), {}};
    return Read();
  }

  Reply Read() {
    Reply reply;
    http::response_parser<http::string_body> parser;
    parser.body_limit(256u << 20);
    _stream.expires_after(_timeout);
    http::read(_stream, _buffer, parser, _ec);
    if (_ec) {
      reply.error = "read: " + _ec.message();
      return reply;
    }
    auto& res = parser.get();
    reply.status = res.result_int();
    reply.body = res.body();
    reply.keepAlive = res.keep_alive();
    auto cookie = res.find(http::field::set_cookie);
    if (cookie != res.end()) reply.setCookie = std::string(cookie->value());
    reply.fields = res.base();
    return reply;
  }

  // True when the server closed the connection (a read sees the end) within the timeout.
  bool ClosedByServer() {
    char byte;
    _stream.expires_after(_timeout);
    _stream.read_some(net::buffer(&byte, 1), _ec);
    return _ec == net::error::eof || _ec == net::error::connection_reset;
  }

 private:
  std::shared_ptr<net::io_context> _ioc;
  beast::tcp_stream _stream;
  beast::flat_buffer _buffer;
  std::chrono::milliseconds _timeout;
  beast::error_code _ec;
};

// "tarn_session=<id>" out of a Set-Cookie value, for a Cookie header.
inline std::string CookieOf(std::string const& setCookie) { return setCookie.substr(0, setCookie.find(';')); }

// A call encoded by the codec, sent on `conn`, its answer decoded: the
// result, or the fault thrown as its own class. A status other than 200/500
// fails the test.
inline Basalt::Ref<Quill::Any> Call(RawConnection& conn, Quill::MoRef* target, Quill::ManagedMethod* method,
                                    Quill::ArgVector const& args, std::string const& cookie = {},
                                    Reply* raw = nullptr) {
  Reply reply = conn.Request(http::verb::post, "/sdk", Quill::Wire::EncodeRequest(target, method, args), cookie);
  if (raw) *raw = reply;
  EXPECT_TRUE(reply.status == 200 || reply.status == 500) << reply.status << " " << reply.error << " " << reply.body;
  Basalt::Ref<Quill::Any> result;
  if (reply.status == 200 || reply.status == 500) Quill::Wire::DecodeResponse(reply.body, method, result);
  return result;
}

inline Quill::ManagedMethod* Method(char const* type, char const* name) {
  auto* t = static_cast<Quill::ManagedObjectType*>(Quill::FindType(type));
  Quill::ManagedMethod* m = t ? t->FindMethod(name) : nullptr;
  EXPECT_NE(m, nullptr) << type << "." << name;
  return m;
}

inline Basalt::Ref<Quill::Array<std::string>> Words(std::initializer_list<std::string> words) {
  return Basalt::Ref<Quill::Array<std::string>>(new Quill::Array<std::string>(words));
}

// A POST of `body` to `target`, as raw bytes; `extra`: header lines of its own.
inline std::string Post(std::string const& target, std::string const& body, std::string const& extra = {}) {
  return "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n" + extra +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// What the served test objects (TestObjects.h) are called by a client.
struct Names {
  Basalt::Ref<Quill::MoRef> echo{new Quill::MoRef("tarn.SimpleCommand", "echo")};
  Basalt::Ref<Quill::MoRef> sm{new Quill::MoRef("tarn.SessionManager", "SessionManager")};
  Basalt::Ref<Quill::MoRef> root{new Quill::MoRef("tarn.Folder", "group-d1")};
  Quill::ManagedMethod* execute = Method("tarn.SimpleCommand", "Execute");
  Quill::ManagedMethod* login = Method("tarn.SessionManager", "login");
  Quill::ManagedMethod* logout = Method("tarn.SessionManager", "logout");

  static Quill::ArgVector LoginAs(std::string const& user, std::string const& password = "secret") {
    return Quill::Args(user, password, Basalt::Optional<std::string>());
  }
  // The echo command's Execute of `words`, encoded.
  std::string Echo(std::initializer_list<std::string> words) const {
    return Quill::Wire::EncodeRequest(echo.get(), execute, Quill::Args(Words(words).get()));
  }
};

}  // namespace tarn_http_test
