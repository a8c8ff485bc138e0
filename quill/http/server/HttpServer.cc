// Boost.Beast over Asio: one io_context run by the I/O threads, one strand per
// connection, and a thread pool for the calls. A connection handles one
// request at a time (a pipelined request waits in its buffer); while its call
// runs on a worker the connection reads nothing, so a slow call never makes
// the connection's read timer fire.
#include "quill/http/HttpServer.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "basalt/Exception.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"

namespace Quill {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kCookieName[] = "tarn_session";

std::string Hex(unsigned char const* p, std::size_t n) {
  static char const digits[] = "0123456789abcdef";
  std::string s(2 * n, '0');
  for (std::size_t i = 0; i < n; ++i) {
    s[2 * i] = digits[p[i] >> 4];
    s[2 * i + 1] = digits[p[i] & 15];
  }
  return s;
}

std::string NewSessionId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw Basalt::Exception("HttpServer: no random bytes for a session id");
  return Hex(bytes, sizeof bytes);
}

// The value of the session cookie in a Cookie header, or empty. Beast's
// parameter-list reader takes ";name=value" pairs, which is what a Cookie
// header is once a separator is put in front.
std::string SessionCookie(http::fields const& fields) {
  for (auto it = fields.find(http::field::cookie); it != fields.end() && it->name() == http::field::cookie; ++it) {
    std::string list = ";" + std::string(it->value());
    for (auto const& param : http::param_list(list)) {
      if (param.first == kCookieName) return std::string(param.second);
    }
  }
  return {};
}

bool IsServedFileName(std::string_view name) {
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

using Response = http::response<http::string_body>;

}  // namespace

// --- shared state --------------------------------------------------------------

struct HttpServer::Impl {
  struct Session {
    Basalt::Ref<RequestContext> context;
    Clock::time_point lastUsed;
  };

  // What a worker hands back for one call.
  struct Answer {
    http::status status = http::status::ok;
    std::string body;
    std::string setCookie;
  };

  class ConnectionBase {
   public:
    virtual ~ConnectionBase() = default;
    virtual void RequestClose() = 0;  // from Stop, any thread
  };

  Impl(LocalAdapter* a, Options o) : adapter(a), options(std::move(o)), ioc(static_cast<int>(options.ioThreads)) {}

  LocalAdapter* adapter;
  Options options;
  std::optional<ssl::context> tls;
  std::optional<net::io_context> ioc;  // reset by Stop: destroys what is left of the connections
  std::optional<tcp::acceptor> acceptor;
  std::optional<net::steady_timer> acceptRetry;
  std::optional<net::thread_pool> pool;
  // While a call is on a worker its connection waits on nothing in the context; this keeps
  // the I/O threads from running out of work and leaving before the answer is posted.
  std::optional<net::executor_work_guard<net::io_context::executor_type>> ioWork;
  std::vector<std::thread> ioThreads;
  std::uint16_t port = 0;
  std::string host;  // for GetUrl

  std::atomic<bool> stopping{false};
  bool stopped = false;
  std::mutex stopMutex;

  // Connections, for Stop; the count is also the limit's.
  std::mutex connMutex;
  std::condition_variable connIdle;  // signalled when a connection closes or a call is answered
  std::unordered_map<std::uint64_t, std::weak_ptr<ConnectionBase>> connections;
  std::uint64_t nextConnection = 1;
  std::atomic<std::size_t> inFlight{0};

  std::mutex sessionMutex;
  std::unordered_map<std::string, Session> sessions;
  Clock::time_point lastSweep = Clock::now();

  std::mutex fileMutex;
  std::map<std::string, std::shared_ptr<std::string const>, std::less<>> files;

  // Counters of Stats.
  std::atomic<std::uint64_t> accepted{0}, answered{0}, faults{0}, r413{0}, r431{0}, r408{0}, r503conn{0}, r503busy{0},
      r400{0};

  void Start();
  void Accept();
  template <class Stream>
  void Launch(tcp::socket socket, bool reject);
  std::uint64_t AddConnection(std::shared_ptr<ConnectionBase> const& c);
  void RemoveConnection(std::uint64_t id);
  std::size_t ConnectionCount();

  bool EnterCall();
  void LeaveCall();
  Answer Call(std::string const& body, std::string const& cookie);
  Basalt::Ref<RequestContext> FindSession(std::string const& id);
  std::string KeepSession(RequestContext* context);
  std::shared_ptr<std::string const> File(std::string_view name);
  void StopAll(std::chrono::milliseconds grace);
};

// --- one connection ---------------------------------------------------------------

template <class Stream>
class Connection final : public HttpServer::Impl::ConnectionBase,
                         public std::enable_shared_from_this<Connection<Stream>> {
 public:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  Connection(HttpServer::Impl* server, tcp::socket&& socket, bool reject)
      : _server(server),
        _reject(reject),
        _stream(MakeStream(server, std::move(socket))),
        _timer(_stream.get_executor()) {}

  ~Connection() override {
    if (_id) _server->RemoveConnection(_id);
  }

  void Run(std::uint64_t id) {
    _id = id;
    net::dispatch(_stream.get_executor(), [self = this->shared_from_this()] { self->Begin(); });
  }

  void RequestClose() override {
    net::post(_stream.get_executor(), [self = this->shared_from_this()] {
      self->_closing = true;
      // A call already accepted is answered first; everything else ends now.
      if (!self->_call) self->Close();
    });
  }

 private:
  static Stream MakeStream(HttpServer::Impl* server, tcp::socket&& socket) {
    if constexpr (kTls) {
      return Stream(beast::tcp_stream(std::move(socket)), *server->tls);
    } else {
      return Stream(std::move(socket));
    }
  }

  tcp::socket& Socket() { return beast::get_lowest_layer(_stream).socket(); }

  void Begin() {
    if constexpr (kTls) {
      beast::get_lowest_layer(_stream).expires_after(_server->options.readTimeout);
      _stream.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
        beast::get_lowest_layer(self->_stream).expires_never();
        if (ec || self->_closing) return self->Close();
        self->AfterHandshake();
      });
    } else {
      AfterHandshake();
    }
  }

  void AfterHandshake() {
    if (_reject) {
      _server->r503conn++;
      return Reply(Simple(http::status::service_unavailable, "too many connections\n", 11), false, false, false,
                   /*linger=*/true);
    }
    Read();
  }

  void Read() {
    if (_closing) return Close();
    _parser.emplace();
    _parser->header_limit(
        static_cast<std::uint32_t>(std::min<std::size_t>(_server->options.maxHeaderBytes, UINT32_MAX)));
    _parser->body_limit(_server->options.maxBodyBytes);
    _timedOut = false;
    _reading = true;
    std::size_t buffered = _buffer.size();
    _timer.expires_after(_server->options.readTimeout);
    _timer.async_wait([self = this->shared_from_this()](beast::error_code ec) {
      if (ec || !self->_reading) return;
      self->_timedOut = true;
      beast::error_code ignored;
      self->Socket().cancel(ignored);
    });
    _bufferedAtStart = buffered;
    http::async_read(_stream, _buffer, *_parser,
                     [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    _reading = false;
    _timer.cancel();
    if (_timedOut) {
      // A request under way gets its answer; a keep-alive connection that
      // stayed silent is just closed.
      if (_parser->got_some() || _bufferedAtStart > 0) {
        _server->r408++;
        return Reply(Simple(http::status::request_timeout, "request not received in time\n", 11), false, false, false,
                     true);
      }
      return Close();
    }
    if (_closing) return Close();
    if (ec == http::error::body_limit) {
      _server->r413++;
      return Reply(Simple(http::status::payload_too_large, "request body over the server's limit\n", 11), false, false,
                   false, true);
    }
    if (ec == http::error::header_limit) {
      _server->r431++;
      return Reply(
          Simple(http::status::request_header_fields_too_large, "request header over the server's limit\n", 11), false,
          false, false, true);
    }
    if (ec == http::error::end_of_stream || ec == net::error::eof || ec == net::error::connection_reset ||
        ec == net::error::operation_aborted || ec == ssl::error::stream_truncated ||
        ec == http::error::partial_message) {
      return Close();
    }
    if (ec) {
      if (ec.category() == http::make_error_code(http::error::bad_target).category()) {
        _server->r400++;
        return Reply(Simple(http::status::bad_request, "malformed HTTP request\n", 11), false, false, false, true);
      }
      return Close();
    }
    Handle(_parser->release());
  }

  static Response Simple(http::status status, std::string_view text, unsigned version) {
    Response res(status, version);
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.body() = std::string(text);
    return res;
  }

  void Handle(http::request<http::string_body>&& req) {
    auto& o = _server->options;
    bool keepAlive = req.keep_alive() && !_closing && !_server->stopping.load();
    std::string_view target(req.target().data(), req.target().size());
    std::string_view path = target.substr(0, target.find('?'));

    if (path == o.path) {
      if (req.method() != http::verb::post) {
        Response res = Simple(http::status::method_not_allowed, "calls are POST requests\n", req.version());
        res.set(http::field::allow, "POST");
        return Reply(std::move(res), keepAlive);
      }
      if (!_server->EnterCall()) {
        _server->r503busy++;
        Response res = Simple(http::status::service_unavailable, "too many calls in flight\n", req.version());
        res.set(http::field::retry_after, "1");
        return Reply(std::move(res), keepAlive);
      }
      _call = true;
      unsigned version = req.version();
      std::string cookie = SessionCookie(req);
      net::post(*_server->pool, [self = this->shared_from_this(), body = std::move(req.body()),
                                 cookie = std::move(cookie), version, keepAlive]() mutable {
        HttpServer::Impl::Answer answer;
        try {
          answer = self->_server->Call(body, cookie);
        } catch (...) {
          // Not even a fault could be written (out of memory, say): the call is still
          // answered, so that nothing waits for it.
          answer = HttpServer::Impl::Answer{http::status::internal_server_error, "call failed\n", {}};
        }
        net::post(self->_stream.get_executor(), [self, answer = std::move(answer), version, keepAlive]() mutable {
          Response res(answer.status, version);
          res.set(http::field::content_type, "text/xml; charset=utf-8");
          if (!answer.setCookie.empty()) res.set(http::field::set_cookie, answer.setCookie);
          res.body() = std::move(answer.body);
          // Once a stop has begun every answer closes its connection, even one composed
          // before Stop reached this connection.
          self->Reply(std::move(res), keepAlive && !self->_closing && !self->_server->stopping.load(),
                      /*call=*/true);
        });
      });
      return;
    }

    std::string prefix = o.path + "/";
    if (path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix) {
      std::string_view name = path.substr(prefix.size());
      if (req.method() != http::verb::get && req.method() != http::verb::head) {
        Response res = Simple(http::status::method_not_allowed, "documents are read with GET\n", req.version());
        res.set(http::field::allow, "GET, HEAD");
        return Reply(std::move(res), keepAlive);
      }
      if (auto file = _server->File(name)) {
        Response res(http::status::ok, req.version());
        res.set(http::field::content_type, "text/xml; charset=utf-8");
        if (req.method() == http::verb::get) {
          res.body() = *file;
        } else {
          res.content_length(file->size());
          return Reply(std::move(res), keepAlive, false, /*keepLength=*/true);
        }
        return Reply(std::move(res), keepAlive);
      }
    }
    Reply(Simple(http::status::not_found, "no such document\n", req.version()), keepAlive);
  }

  // `linger`: the request was not read to its end; see LingerClose.
  void Reply(Response&& res, bool keepAlive, bool call = false, bool keepLength = false, bool linger = false) {
    res.set(http::field::server, "tarn-types");
    res.keep_alive(keepAlive);
    if (!keepLength) res.prepare_payload();
    _response = std::make_shared<Response>(std::move(res));
    beast::get_lowest_layer(_stream).expires_after(_server->options.writeTimeout);
    http::async_write(_stream, *_response,
                      [self = this->shared_from_this(), keepAlive, call, linger](beast::error_code ec, std::size_t) {
                        beast::get_lowest_layer(self->_stream).expires_never();
                        self->_response.reset();
                        // The call was answered once its bytes left, or could
                        // not be: either way it is no longer in flight.
                        if (call) {
                          self->_call = false;
                          self->_server->LeaveCall();
                        }
                        if (!ec && linger) return self->LingerClose();
                        if (ec || !keepAlive || self->_closing) return self->Close();
                        self->Read();
                      });
  }

  // Closing a socket with unread request bytes makes the kernel reset the
  // connection, and the client may lose the answer still in its buffer. So
  // the sending side is shut first and what the client still sends is read
  // and dropped, for a short while and up to a bound.
  void LingerClose() {
    if constexpr (kTls) {
      return Close();
    } else {
      beast::error_code ignored;
      Socket().shutdown(tcp::socket::shutdown_send, ignored);
      _timer.expires_after(std::min<std::chrono::milliseconds>(_server->options.readTimeout, std::chrono::seconds(1)));
      _timer.async_wait([self = this->shared_from_this()](beast::error_code ec) {
        if (!ec) self->Close();
      });
      Drain(0);
    }
  }

  void Drain(std::size_t total) {
    Socket().async_read_some(net::buffer(_drain),
                             [self = this->shared_from_this(), total](beast::error_code ec, std::size_t n) {
                               if (ec || total + n > (1u << 20)) return self->Close();
                               self->Drain(total + n);
                             });
  }

  void Close() {
    if (_closed) return;
    _closed = true;
    _timer.cancel();
    beast::error_code ignored;
    Socket().shutdown(tcp::socket::shutdown_both, ignored);
    Socket().close(ignored);
    if (_id) {
      _server->RemoveConnection(_id);
      _id = 0;
    }
  }

  HttpServer::Impl* _server;
  bool _reject;
  Stream _stream;
  net::steady_timer _timer;
  beast::flat_buffer _buffer;
  std::optional<http::request_parser<http::string_body>> _parser;
  std::shared_ptr<Response> _response;
  std::array<char, 4096> _drain;
  std::uint64_t _id = 0;
  std::size_t _bufferedAtStart = 0;
  bool _reading = false;
  bool _timedOut = false;
  bool _call = false;     // a call accepted and not yet answered
  bool _closing = false;  // Stop asked
  bool _closed = false;
};

// --- server -----------------------------------------------------------------------

void HttpServer::Impl::Start() {
  auto fail = [&](std::string const& what, std::string const& why) {
    throw Basalt::Exception("HttpServer: " + what + ": " + why);
  };
  if (!adapter) fail("no adapter", "the server needs the LocalAdapter whose objects it serves");
  if (options.ioThreads == 0) options.ioThreads = 1;
  if (options.workers == 0) options.workers = 1;
  if (options.path.empty() || options.path.front() != '/') fail("path '" + options.path + "'", "must start with '/'");
  if (options.certificateFile.empty() != options.privateKeyFile.empty()) {
    fail("TLS", "both a certificate file and a private key file are needed");
  }
  if (!options.certificateFile.empty()) {
    tls.emplace(ssl::context::tls_server);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                     ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    beast::error_code ec;
    tls->use_certificate_chain_file(options.certificateFile, ec);
    if (ec) fail("certificate file '" + options.certificateFile + "'", ec.message());
    tls->use_private_key_file(options.privateKeyFile, ssl::context::pem, ec);
    if (ec) fail("private key file '" + options.privateKeyFile + "'", ec.message());
  }

  beast::error_code ec;
  auto address = net::ip::make_address(options.address, ec);
  if (ec) fail("address '" + options.address + "'", ec.message());
  std::string where =
      (address.is_v6() ? "[" + options.address + "]" : options.address) + ":" + std::to_string(options.port);
  tcp::endpoint endpoint(address, options.port);
  // The acceptor and its retry timer live on one strand: Stop closes it from another thread.
  auto acceptStrand = net::make_strand(*ioc);
  acceptor.emplace(acceptStrand);
  acceptRetry.emplace(acceptStrand);
  acceptor->open(endpoint.protocol(), ec);
  if (!ec) acceptor->set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec) fail("cannot listen on " + where, ec.message());
  port = acceptor->local_endpoint().port();
  host = address.is_v6() ? "[" + options.address + "]" : options.address;

  pool.emplace(options.workers);
  ioWork.emplace(ioc->get_executor());
  Accept();
  for (unsigned i = 0; i < options.ioThreads; ++i) {
    ioThreads.emplace_back([this] { ioc->run(); });
  }
}

void HttpServer::Impl::Accept() {
  acceptor->async_accept(net::make_strand(*ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || stopping.load()) return;
    if (ec) {
      // Out of descriptors and the like: the client sees its connection fail; try again
      // shortly rather than spin on the same error.
      acceptRetry->expires_after(std::chrono::milliseconds(50));
      acceptRetry->async_wait([this](beast::error_code timerError) {
        if (!timerError && !stopping.load()) Accept();
      });
      return;
    }
    {
      accepted++;
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      std::size_t open = ConnectionCount();
      if (open >= options.maxConnections + options.maxConnections / 4 + 16) {
        // Far past the limit even the refusal costs too much: drop it.
        r503conn++;
        socket.close(ignored);
      } else if (tls) {
        Launch<beast::ssl_stream<beast::tcp_stream>>(std::move(socket), open >= options.maxConnections);
      } else {
        Launch<beast::tcp_stream>(std::move(socket), open >= options.maxConnections);
      }
    }
    Accept();
  });
}

template <class Stream>
void HttpServer::Impl::Launch(tcp::socket socket, bool reject) {
  auto c = std::make_shared<Connection<Stream>>(this, std::move(socket), reject);
  c->Run(AddConnection(c));
  // Stop may have taken its list of connections just before this one joined.
  if (stopping.load()) c->RequestClose();
}

std::uint64_t HttpServer::Impl::AddConnection(std::shared_ptr<ConnectionBase> const& c) {
  std::lock_guard<std::mutex> lock(connMutex);
  std::uint64_t id = nextConnection++;
  connections.emplace(id, c);
  return id;
}

void HttpServer::Impl::RemoveConnection(std::uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(connMutex);
    connections.erase(id);
  }
  connIdle.notify_all();
}

std::size_t HttpServer::Impl::ConnectionCount() {
  std::lock_guard<std::mutex> lock(connMutex);
  return connections.size();
}

bool HttpServer::Impl::EnterCall() {
  std::size_t n = inFlight.load();
  do {
    if (n >= options.maxCallsInFlight) return false;
  } while (!inFlight.compare_exchange_weak(n, n + 1));
  return true;
}

void HttpServer::Impl::LeaveCall() {
  {
    // Under the lock, so that Stop cannot miss the last one.
    std::lock_guard<std::mutex> lock(connMutex);
    inFlight--;
  }
  connIdle.notify_all();
}

Basalt::Ref<RequestContext> HttpServer::Impl::FindSession(std::string const& id) {
  Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(sessionMutex);
  if (now - lastSweep > options.sessionIdleTimeout / 4) {
    lastSweep = now;
    for (auto it = sessions.begin(); it != sessions.end();) {
      it = now - it->second.lastUsed > options.sessionIdleTimeout ? sessions.erase(it) : std::next(it);
    }
  }
  if (id.empty()) return nullptr;
  auto it = sessions.find(id);
  if (it == sessions.end()) return nullptr;
  if (now - it->second.lastUsed > options.sessionIdleTimeout) {
    sessions.erase(it);
    return nullptr;
  }
  it->second.lastUsed = now;
  return it->second.context;
}

std::string HttpServer::Impl::KeepSession(RequestContext* context) {
  std::string id = NewSessionId();
  std::lock_guard<std::mutex> lock(sessionMutex);
  if (sessions.size() >= options.maxSessions && !sessions.empty()) {
    auto oldest = std::min_element(sessions.begin(), sessions.end(),
                                   [](auto const& a, auto const& b) { return a.second.lastUsed < b.second.lastUsed; });
    sessions.erase(oldest);
  }
  sessions[id] = Session{Basalt::Ref<RequestContext>(context), Clock::now()};
  std::string cookie = std::string(kCookieName) + "=" + id + "; Path=/; HttpOnly";
  if (tls) cookie += "; Secure";
  return cookie;
}

HttpServer::Impl::Answer HttpServer::Impl::Call(std::string const& body, std::string const& cookie) {
  Answer answer;
  Version const* version = nullptr;
  Basalt::Ref<MethodFault> fault;
  bool decoded = false;
  bool clientFault = false;
  try {
    Wire::DecodeOptions decode;
    decode.limits = options.decodeLimits;
    Wire::Request request = Wire::DecodeRequest(body, decode);
    version = request.version;
    decoded = true;

    Basalt::Ref<RequestContext> context = FindSession(cookie);
    bool fresh = !context;
    if (fresh) context = new RequestContext();
    Basalt::Ref<Any> result;
    try {
      adapter->Invoke(request.target.get(), request.method, request.args, result, context.get());
    } catch (...) {
      // What the call stored (a failed login attempt counted, say) still
      // belongs to the session.
      if (fresh && !context->GetKeys().empty()) answer.setCookie = KeepSession(context.get());
      throw;
    }
    if (fresh && !context->GetKeys().empty()) answer.setCookie = KeepSession(context.get());
    answer.body = Wire::EncodeResponse(request.method, result.get(), version);
    answered++;
    return answer;
  } catch (Fault::InvalidRequest::Exception& e) {
    fault = e.GetFault();
    if (auto* refusal = dynamic_cast<Wire::DecodeError*>(&e); refusal && !decoded) version = refusal->GetVersion();
    // Only the decoder's refusal is the client's fault; the same fault
    // raised by an implementation is the server's answer.
    clientFault = !decoded;
  } catch (MethodFault::Exception& e) {
    fault = e.GetFault();
  } catch (std::exception& e) {
    Basalt::Ref<Fault::SystemError> error(new Fault::SystemError());
    error->reason = e.what();
    fault = error;
  } catch (...) {
    Basalt::Ref<Fault::SystemError> error(new Fault::SystemError());
    error->reason = "an exception of unknown type";
    fault = error;
  }
  answered++;
  faults++;
  answer.status = http::status::internal_server_error;
  try {
    answer.body = Wire::EncodeFault(fault.get(), version, clientFault);
  } catch (std::exception& e) {
    // The fault itself cannot be written for that version (a newer class):
    // say so with one every version has.
    Basalt::Ref<Fault::SystemError> error(new Fault::SystemError());
    error->reason = std::string("the fault could not be encoded: ") + e.what();
    answer.body = Wire::EncodeFault(error.get(), version, false);
  }
  return answer;
}

std::shared_ptr<std::string const> HttpServer::Impl::File(std::string_view name) {
  if (options.wsdlDirectory.empty() || !IsServedFileName(name)) return nullptr;
  std::lock_guard<std::mutex> lock(fileMutex);
  auto it = files.find(name);
  if (it != files.end()) return it->second;
  std::ifstream in(options.wsdlDirectory + "/" + std::string(name), std::ios::binary);
  if (!in && name == "tarn.wsdl") {
    // The generator names each WSDL after its wire namespace (tarn25.wsdl); tarn.wsdl is
    // the one of the version a request without a header speaks.
    if (Version const* version = Wire::DefaultVersion()) {
      in.open(options.wsdlDirectory + "/" + version->GetWireNamespace() + ".wsdl", std::ios::binary);
    }
  }
  if (!in) return nullptr;
  std::ostringstream text;
  text << in.rdbuf();
  auto file = std::make_shared<std::string const>(text.str());
  files.emplace(std::string(name), file);
  return file;
}

void HttpServer::Impl::StopAll(std::chrono::milliseconds grace) {
  std::lock_guard<std::mutex> stopLock(stopMutex);
  if (stopped) return;
  stopped = true;
  stopping = true;
  if (acceptor) {
    net::post(acceptor->get_executor(), [this] {
      beast::error_code ignored;
      acceptor->close(ignored);
      acceptRetry->cancel();
    });
  }
  auto closeAll = [this] {
    std::vector<std::shared_ptr<ConnectionBase>> open;
    {
      std::lock_guard<std::mutex> lock(connMutex);
      for (auto& [id, weak] : connections) {
        if (auto c = weak.lock()) open.push_back(std::move(c));
      }
    }
    for (auto& c : open) c->RequestClose();
  };
  closeAll();
  {
    std::unique_lock<std::mutex> lock(connMutex);
    Clock::time_point deadline = Clock::now() + grace;
    // Connections with a call close after their answer is written.
    connIdle.wait_until(lock, deadline, [this] { return connections.empty() && inFlight.load() == 0; });
  }
  if (pool) pool->join();
  ioWork.reset();
  if (ioc) ioc->stop();
  for (auto& t : ioThreads) t.join();
  ioThreads.clear();
  acceptRetry.reset();
  acceptor.reset();
  // Destroying the context destroys the handlers that still hold connections.
  ioc.reset();
  pool.reset();
}

HttpServer::HttpServer(LocalAdapter* adapter, Options options) : _impl(new Impl(adapter, std::move(options))) {
  try {
    _impl->Start();
  } catch (...) {
    _impl->StopAll(std::chrono::milliseconds(0));
    throw;
  }
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Stop(std::chrono::milliseconds grace) { _impl->StopAll(grace); }

std::uint16_t HttpServer::GetPort() const noexcept { return _impl->port; }

bool HttpServer::IsTls() const noexcept { return _impl->tls.has_value(); }

std::string HttpServer::GetUrl() const {
  return std::string(IsTls() ? "https://" : "http://") + _impl->host + ":" + std::to_string(_impl->port) +
         _impl->options.path;
}

HttpServer::Stats HttpServer::GetStats() const {
  Stats s;
  s.openConnections = _impl->ConnectionCount();
  s.callsInFlight = _impl->inFlight.load();
  {
    std::lock_guard<std::mutex> lock(_impl->sessionMutex);
    s.sessions = _impl->sessions.size();
  }
  s.connectionsAccepted = _impl->accepted.load();
  s.callsAnswered = _impl->answered.load();
  s.faults = _impl->faults.load();
  s.rejectedBodyTooLarge = _impl->r413.load();
  s.rejectedHeaderTooLarge = _impl->r431.load();
  s.rejectedTimeout = _impl->r408.load();
  s.rejectedConnections = _impl->r503conn.load();
  s.rejectedBusy = _impl->r503busy.load();
  s.badRequests = _impl->r400.load();
  return s;
}

}  // namespace Quill
