// One client connection: reads a request head, checks it, reads the body
// within the server's limits, routes the request and writes the answer, then
// the next request on a keep-alive connection. A connection handles one
// request at a time (a pipelined request waits in its buffer); while its call
// is made elsewhere the connection reads nothing, so a slow call never makes
// its read timer fire. Everything of a connection runs on its strand.
// Internal to quill-http-server.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>

#include "Exchange.h"
#include "Listener.h"
#include "RequestRules.h"
#include "Router.h"
#include "ServerStats.h"

namespace Quill::HttpServerParts {

// The bytes of request bodies the whole server holds at once.
class BodyBudget {
 public:
  explicit BodyBudget(std::uint64_t most) : _most(most) {}
  bool Take(std::uint64_t n) {
    std::uint64_t held = _held.load();
    do {
      if (n > _most || held > _most - n) return false;
    } while (!_held.compare_exchange_weak(held, held + n));
    return true;
  }
  void Give(std::uint64_t n) { _held -= n; }
  std::uint64_t Held() const { return _held.load(); }

 private:
  std::uint64_t _most;
  std::atomic<std::uint64_t> _held{0};
};

// A share of the budget, given back when destroyed.
class BodyShare {
 public:
  explicit BodyShare(BodyBudget& budget) : _budget(budget) {}
  ~BodyShare() { Release(); }
  BodyShare(BodyShare const&) = delete;
  BodyShare& operator=(BodyShare const&) = delete;
  bool Take(std::uint64_t n) {
    if (!_budget.Take(n)) return false;
    _bytes += n;
    return true;
  }
  void Release() {
    if (_bytes) _budget.Give(_bytes);
    _bytes = 0;
  }

 private:
  BodyBudget& _budget;
  std::uint64_t _bytes = 0;
};

// What a connection needs of the server it belongs to.
class ConnectionHost {
 public:
  struct Limits {
    std::size_t maxBodyBytes;
    std::size_t maxHeaderBytes;
    std::chrono::milliseconds readTimeout, writeTimeout;
    std::string serverName;  // the Server header
  };
  virtual ~ConnectionHost() = default;
  virtual Limits const& GetLimits() const = 0;
  virtual ServerCounters& GetCounters() = 0;
  virtual BodyBudget& GetBodyBudget() = 0;
  virtual Router const& GetRouter() const = 0;
  virtual bool IsStopping() const = 0;
  // A call in flight (false: no room for another) and its end.
  virtual bool EnterCall() = 0;
  virtual void LeaveCall() = 0;
  virtual void RemoveConnection(std::uint64_t id) = 0;
};

// The streams a connection reads and writes, on the strand its socket was accepted on.
using PlainStream = boost::beast::basic_stream<boost::asio::ip::tcp, Strand>;
using TlsStream = boost::beast::ssl_stream<PlainStream>;

class ConnectionBase {
 public:
  virtual ~ConnectionBase() = default;
  virtual void RequestClose() = 0;  // from the server's stop, any thread
};

template <class Stream>
class Connection final : public ConnectionBase,
                         public Exchange,
                         public std::enable_shared_from_this<Connection<Stream>> {
 public:
  static constexpr bool kTls = !std::is_same_v<Stream, PlainStream>;
  using tcp = boost::asio::ip::tcp;
  using error_code = boost::beast::error_code;

  // `reject`: the server has no room for it; it is answered 503 and closed.
  Connection(ConnectionHost& host, StrandSocket&& socket, boost::asio::ssl::context* tls, bool reject)
      : _host(host),
        _limits(host.GetLimits()),
        _arena(_arenaBytes.data(), _arenaBytes.size(), std::pmr::new_delete_resource()),
        _reject(reject),
        _peer(PeerAddress(socket)),
        _stream(MakeStream(tls, std::move(socket))),
        _timer(_stream.get_executor()),
        // Bounds what waits in the buffer unparsed: a header block, a chunk's
        // header line with its extensions, the trailer.
        _buffer(std::max<std::size_t>(_limits.maxHeaderBytes, 1024) + 1024),
        _body(std::make_shared<BodyShare>(host.GetBodyBudget())),
        _request(EmptyRequest()) {}

  ~Connection() override {
    if (_id) _host.RemoveConnection(_id);
  }

  void Run(std::uint64_t id) {
    _id = id;
    boost::asio::dispatch(_stream.get_executor(), [self = this->shared_from_this()] { self->Begin(); });
  }

  void RequestClose() override {
    boost::asio::post(_stream.get_executor(), [self = this->shared_from_this()] {
      self->_closing = true;
      // A call already accepted is answered first; everything else ends now.
      if (!self->_call) self->Close();
    });
  }

  // Exchange
  Request& GetRequest() override { return _request; }
  HttpServerRules::Target const& GetTarget() const override { return _target; }
  std::string const& GetPeer() const override { return _peer; }
  bool IsTls() const override { return kTls; }
  void Send(Response&& res) override { Reply(std::move(res), _keepAlive); }
  void Send(DocumentResponse&& res, bool keepLength) override { Reply(std::move(res), _keepAlive, false, keepLength); }
  bool BeginCall() override {
    if (!_host.EnterCall()) return false;
    _call = true;
    return true;
  }
  std::shared_ptr<void> TakeBodyShare() override {
    // The body's share of the budget goes with the body, and comes back once it is decoded:
    // a call its implementation deferred (a wait) holds no body.
    return std::exchange(_body, std::make_shared<BodyShare>(_host.GetBodyBudget()));
  }
  AnswerSink CallSink() override {
    // The answer goes onto the connection's strand from whichever thread has it: this one
    // (a call made where it was read), a worker, or the thread that completes a deferred call.
    return [self = this->shared_from_this(), version = _request.version(), keepAlive = _keepAlive](Answer&& answer) {
      boost::asio::dispatch(
          self->_stream.get_executor(), [self, answer = std::move(answer), version, keepAlive]() mutable {
            Response res(std::piecewise_construct, std::make_tuple(), std::make_tuple(Allocator(&self->_arena)));
            res.result(answer.status);
            res.version(version);
            res.set(http::field::content_type, "text/xml; charset=utf-8");
            if (!answer.setCookie.empty()) res.set(http::field::set_cookie, answer.setCookie);
            if (!answer.retryAfter.empty()) res.set(http::field::retry_after, answer.retryAfter);
            res.body() = std::move(answer.body);
            // Once a stop has begun every answer closes its connection, even one composed
            // before the stop reached this connection.
            self->Reply(std::move(res), keepAlive && !self->_closing && !self->_host.IsStopping(), /*call=*/true);
          });
    };
  }

 private:
  static Stream MakeStream(boost::asio::ssl::context* tls, StrandSocket&& socket) {
    if constexpr (kTls) {
      return Stream(PlainStream(std::move(socket)), *tls);
    } else {
      return Stream(std::move(socket));
    }
  }

  using Allocator = HttpServerRules::ArenaAllocator<char>;

  Request EmptyRequest() {
    return Request(std::piecewise_construct, std::make_tuple(), std::make_tuple(Allocator(&_arena)));
  }

  StrandSocket& Socket() { return boost::beast::get_lowest_layer(_stream).socket(); }

  static std::string PeerAddress(StrandSocket& socket) {
    error_code ec;
    auto endpoint = socket.remote_endpoint(ec);
    return ec ? std::string() : endpoint.address().to_string();
  }

  void Begin() {
    if constexpr (kTls) {
      boost::beast::get_lowest_layer(_stream).expires_after(_limits.readTimeout);
      _stream.async_handshake(boost::asio::ssl::stream_base::server, [self = this->shared_from_this()](error_code ec) {
        boost::beast::get_lowest_layer(self->_stream).expires_never();
        if (ec || self->_closing) return self->Close();
        self->AfterHandshake();
      });
    } else {
      AfterHandshake();
    }
  }

  void AfterHandshake() {
    if (_reject) {
      _host.GetCounters().r503conn++;
      return Reply(TextResponse(http::status::service_unavailable, "too many connections\n", 11), false, false, false,
                   /*linger=*/true);
    }
    Read();
  }

  // The head of a request is read first and checked before its body is
  // read, so that a body is never read the way the head does not say.
  void Read() {
    if (_closing) return Close();
    _body->Release();
    if (_buffer.size() == 0) _buffer.shrink_to_fit();
    // The last request and its answer are gone: their fields' memory serves the next ones.
    _parser.reset();
    _target = {};
    _request = EmptyRequest();
    _arena.release();
    _parser.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(Allocator(&_arena)));
    _parser->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(_limits.maxHeaderBytes, UINT32_MAX)));
    _parser->body_limit(_limits.maxBodyBytes);
    _parser->on_chunk_header(_onChunk);
    _extensionBytes = 0;
    _overBudget = false;
    _timedOut = false;
    _bufferedAtStart = _buffer.size();
    Watch(Watching::Read, _limits.readTimeout);
    http::async_read_header(_stream, _buffer, *_parser,
                            [self = this->shared_from_this()](error_code ec, std::size_t) { self->OnHead(ec); });
  }

  void OnHead(error_code ec) {
    if (ec || _timedOut || _closing) return OnRead(ec);
    if (char const* defect = HttpServerRules::HeadDefect(_parser->get())) {
      StopReading();
      _host.GetCounters().r400++;
      return Reply(TextResponse(http::status::bad_request, std::string("bad request: ") + defect + "\n", 11), false,
                   false, false, true);
    }
    if (auto length = _parser->content_length(); length && *length > 0 && !_body->Take(*length)) {
      _overBudget = true;
      return OnRead(http::error::body_limit);
    }
    if (_parser->is_done()) return OnRead({});
    http::async_read(_stream, _buffer, *_parser,
                     [self = this->shared_from_this()](error_code ec, std::size_t) { self->OnRead(ec); });
  }

  // Chunk extensions count against the header limit; chunks against the
  // server's budget for bodies, as they come.
  void OnChunkHeader(std::uint64_t size, boost::beast::string_view extensions, error_code& ec) {
    _extensionBytes += extensions.size();
    if (_extensionBytes > _limits.maxHeaderBytes) {
      ec = http::error::header_limit;
    } else if (size > 0 && !_body->Take(size)) {
      _overBudget = true;
      ec = http::error::body_limit;
    }
  }

  void StopReading() { _watching = Watching::None; }

  // A read or a write must end by a deadline. The deadline moves with every
  // request, but the timer is set again only when it would fire too late: one
  // that fires early finds the deadline moved on and waits for it. So a busy
  // keep-alive connection sets its timer once a timeout period, not twice a call.
  enum class Watching : std::uint8_t { None, Read, Write };
  void Watch(Watching what, std::chrono::milliseconds timeout) {
    _watching = what;
    _deadline = std::chrono::steady_clock::now() + timeout;
    if (!_timerSet || _deadline < _timer.expiry()) SetTimer();
  }
  void SetTimer() {
    _timerSet = true;
    // Setting the expiry ends a wait already under way; its handler finds itself stale.
    _timer.expires_at(_deadline);
    _timer.async_wait(
        [self = this->shared_from_this(), turn = ++_timerTurn](error_code ec) { self->OnTimer(ec, turn); });
  }
  void OnTimer(error_code ec, std::uint64_t turn) {
    if (turn != _timerTurn) return;
    _timerSet = false;
    if (ec || _closed || _watching == Watching::None) return;
    if (std::chrono::steady_clock::now() < _deadline) return SetTimer();
    // Too late: the read or write under way ends with an error, and its handler closes.
    if (_watching == Watching::Read) _timedOut = true;
    _watching = Watching::None;
    error_code ignored;
    Socket().cancel(ignored);
  }

  void OnRead(error_code ec) {
    namespace net = boost::asio;
    StopReading();
    ServerCounters& counters = _host.GetCounters();
    if (_timedOut) {
      // A request under way gets its answer; a keep-alive connection that
      // stayed silent is just closed.
      if (_parser->got_some() || _bufferedAtStart > 0) {
        counters.r408++;
        return Reply(TextResponse(http::status::request_timeout, "request not received in time\n", 11), false, false,
                     false, true);
      }
      return Close();
    }
    if (_closing) return Close();
    if (_overBudget) {
      counters.r503body++;
      Response res = TextResponse(http::status::service_unavailable, "too many request bodies in flight\n", 11);
      res.set(http::field::retry_after, "1");
      return Reply(std::move(res), false, false, false, true);
    }
    if (ec == http::error::body_limit) {
      counters.r413++;
      return Reply(TextResponse(http::status::payload_too_large, "request body over the server's limit\n", 11), false,
                   false, false, true);
    }
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      counters.r431++;
      return Reply(
          TextResponse(http::status::request_header_fields_too_large, "request header over the server's limit\n", 11),
          false, false, false, true);
    }
    if (ec == http::error::end_of_stream || ec == net::error::eof || ec == net::error::connection_reset ||
        ec == net::error::operation_aborted || ec == net::ssl::error::stream_truncated ||
        ec == http::error::partial_message) {
      return Close();
    }
    if (ec) {
      if (ec.category() == http::make_error_code(http::error::bad_target).category()) {
        counters.r400++;
        return Reply(TextResponse(http::status::bad_request, "malformed HTTP request\n", 11), false, false, false,
                     true);
      }
      return Close();
    }
    _request = _parser->release();
    Handle();
  }

  void Handle() {
    _keepAlive = _request.keep_alive() && !_closing && !_host.IsStopping();
    auto target = HttpServerRules::ParseTarget(std::string_view(_request.target().data(), _request.target().size()));
    if (!target) {
      _host.GetCounters().r400++;
      return Reply(TextResponse(http::status::bad_request, "bad request: a request target the server cannot read\n",
                                _request.version()),
                   false);
    }
    _target = *target;
    _host.GetRouter().Route(*this);
  }

  // `linger`: the request was not read to its end; see LingerClose.
  template <class Body>
  void Reply(http::response<Body, Fields>&& res, bool keepAlive, bool call = false, bool keepLength = false,
             bool linger = false) {
    // Whatever body was read is no longer held (a call's went with it).
    _body->Release();
    res.set(http::field::server, _limits.serverName);
    res.keep_alive(keepAlive);
    if (!keepLength) res.prepare_payload();
    auto message = std::allocate_shared<http::response<Body, Fields>>(Allocator(&_arena), std::move(res));
    _response = message;
    Watch(Watching::Write, _limits.writeTimeout);
    http::async_write(_stream, *message,
                      [self = this->shared_from_this(), keepAlive, call, linger](error_code ec, std::size_t) {
                        self->_watching = Watching::None;
                        self->_response.reset();
                        // The call was answered once its bytes left, or could
                        // not be: either way it is no longer in flight.
                        if (call) {
                          self->_call = false;
                          self->_host.LeaveCall();
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
      error_code ignored;
      Socket().shutdown(tcp::socket::shutdown_send, ignored);
      _watching = Watching::None;
      ++_timerTurn;  // the deadlines' wait, if any, is ended by the line below and must not act
      _timer.expires_after(std::min<std::chrono::milliseconds>(_limits.readTimeout, std::chrono::seconds(1)));
      _timer.async_wait([self = this->shared_from_this()](error_code ec) {
        if (!ec) self->Close();
      });
      Drain(0);
    }
  }

  void Drain(std::size_t total) {
    Socket().async_read_some(boost::asio::buffer(_drain),
                             [self = this->shared_from_this(), total](error_code ec, std::size_t n) {
                               if (ec || total + n > (1u << 20)) return self->Close();
                               self->Drain(total + n);
                             });
  }

  void Close() {
    if (_closed) return;
    _closed = true;
    _timer.cancel();
    _body->Release();
    error_code ignored;
    Socket().shutdown(tcp::socket::shutdown_both, ignored);
    Socket().close(ignored);
    if (_id) {
      _host.RemoveConnection(_id);
      _id = 0;
    }
  }

  ConnectionHost& _host;
  ConnectionHost::Limits const& _limits;
  // Where the fields of a request and of its answer live, and the answer itself: emptied
  // before each request, so a keep-alive connection allocates none of them per call.
  alignas(std::max_align_t) std::array<std::byte, 4096> _arenaBytes;
  std::pmr::monotonic_buffer_resource _arena;
  bool _reject;
  std::string _peer;  // the client's address
  Stream _stream;
  boost::asio::basic_waitable_timer<std::chrono::steady_clock, boost::asio::wait_traits<std::chrono::steady_clock>,
                                    Strand>
      _timer;
  boost::beast::flat_buffer _buffer;
  std::optional<http::request_parser<http::string_body, Allocator>> _parser;
  std::function<void(std::uint64_t, boost::beast::string_view, error_code&)> _onChunk =
      [this](std::uint64_t size, boost::beast::string_view extensions, error_code& ec) {
        OnChunkHeader(size, extensions, ec);
      };
  std::shared_ptr<BodyShare> _body;  // of the request being read
  Request _request;                  // the one being answered
  HttpServerRules::Target _target;   // views into _request
  bool _keepAlive = false;
  std::uint64_t _extensionBytes = 0;
  bool _overBudget = false;
  std::shared_ptr<void> _response;
  std::array<char, 4096> _drain;
  std::uint64_t _id = 0;
  std::size_t _bufferedAtStart = 0;
  Watching _watching = Watching::None;
  std::chrono::steady_clock::time_point _deadline;
  bool _timerSet = false;        // a wait for a deadline is under way
  std::uint64_t _timerTurn = 0;  // which of the waits started is the current one
  bool _timedOut = false;
  bool _call = false;     // a call accepted and not yet answered
  bool _closing = false;  // the server's stop asked
  bool _closed = false;
};

}  // namespace Quill::HttpServerParts
