// Boost.Beast over Asio: one io_context run by the I/O threads, one strand per
// connection, and a thread pool for the calls. A connection handles one
// request at a time (a pipelined request waits in its buffer); while its call
// runs on a worker the connection reads nothing, so a slow call never makes
// the connection's read timer fire.
#include "quill/http/HttpServer.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "RequestRules.h"
#include "basalt/Exception.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"

namespace Quill {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
namespace rules = HttpServerRules;

namespace {

constexpr char kCookieName[] = "tarn_session";
constexpr std::size_t kMostHeaderBytes = 60u << 10;

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

// The session cookies a request carries, in the order sent (a client may
// hold several, for different paths).
std::vector<std::string> SessionCookies(http::fields const& fields) {
  std::vector<std::string> ids;
  for (auto it = fields.find(http::field::cookie); it != fields.end() && it->name() == http::field::cookie; ++it) {
    for (std::string_view id : rules::CookieValues(rules::View(it->value()), kCookieName)) {
      if (!id.empty()) ids.emplace_back(id);
    }
  }
  return ids;
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
    using const_buffers_type = std::array<net::const_buffer, 4>;
    template <bool isRequest, class Fields>
    writer(http::header<isRequest, Fields> const&, value_type const& v) : _v(v) {}
    void init(beast::error_code& ec) { ec = {}; }
    boost::optional<std::pair<const_buffers_type, bool>> get(beast::error_code& ec) {
      ec = {};
      if (_done) return boost::none;
      _done = true;
      return std::make_pair(const_buffers_type{net::buffer(_v.head.data(), _v.head.size()), net::buffer(_v.middle),
                                               net::buffer(_v.tail.data(), _v.tail.size()), net::buffer(_v.end)},
                            false);
    }

   private:
    value_type const& _v;
    bool _done = false;
  };
};

// What a client gets when the server is out of file descriptors; written on
// the raw socket, since nothing else can be afforded then.
constexpr char kNoDescriptors[] =
    "HTTP/1.1 503 Service Unavailable\r\nServer: tarn-types\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Retry-After: 1\r\nConnection: close\r\nContent-Length: 31\r\n\r\nserver out of file descriptors\n";

// Raises the soft limit of open files to the hard one (or to what the kernel
// allows when the hard one is unlimited).
void RaiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &raised) == 0 || limit.rlim_max != RLIM_INFINITY) return;
  std::ifstream nrOpen("/proc/sys/fs/nr_open");
  rlim_t most = 0;
  if (nrOpen >> most && most > limit.rlim_cur) {
    raised.rlim_cur = most;
    ::setrlimit(RLIMIT_NOFILE, &raised);
  }
}

// A fault with its message as text (the faultstring a SOAP client shows).
template <class F>
Basalt::Ref<MethodFault> FaultWithText(std::string text) {
  Basalt::Ref<F> fault(new F());
  Basalt::Ref<LocalizableMessage> message(new LocalizableMessage());
  message->key = "quill.http.server";
  message->message = std::move(text);
  fault->faultMessage = new DataArray<LocalizableMessage>();
  fault->faultMessage->Append(message.get());
  return fault;
}

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
    std::string retryAfter;
  };

  // What the server knows of the caller of one call.
  struct Caller {
    std::vector<std::string> sessionIds;  // from its cookies
    std::string soapAction;
    std::string address;
  };

  struct FoundSession {
    std::string id;
    Basalt::Ref<RequestContext> context;
  };

  // A share of maxBodyBytesInFlight, given back when destroyed.
  class BodyShare {
   public:
    explicit BodyShare(Impl* server) : _server(server) {}
    ~BodyShare() { Release(); }
    BodyShare(BodyShare const&) = delete;
    BodyShare& operator=(BodyShare const&) = delete;
    bool Take(std::uint64_t n) {
      if (!_server->TakeBody(n)) return false;
      _bytes += n;
      return true;
    }
    void Release() {
      if (_bytes) _server->GiveBody(_bytes);
      _bytes = 0;
    }

   private:
    Impl* _server;
    std::uint64_t _bytes = 0;
  };

  // One call from its worker to its answer, which may come later from another thread (a
  // call its implementation deferred). Stop cuts the tie of those still unanswered when
  // its grace ends: their answers, if they ever come, are dropped without touching the server.
  struct Pending {
    std::mutex mutex;
    bool live = true;
    std::uint64_t id = 0;
    std::function<void(Answer&&)> reply;  // posts the answer; holds the connection
  };

  class ConnectionBase {
   public:
    virtual ~ConnectionBase() = default;
    virtual void RequestClose() = 0;  // from Stop, any thread
  };

  Impl(LocalAdapter* a, Options o)
      : adapter(a),
        options(std::move(o)),
        ioc(static_cast<int>(options.ioThreads)),
        sessionLogins(
            {options.maxFailedLoginsPerSession, options.failedLoginWindow, options.loginBackoff, options.maxSessions}),
        addressLogins({options.maxFailedLoginsPerAddress, options.failedLoginWindow, options.loginBackoff,
                       options.maxSessions}) {}

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
  std::string host;    // for GetUrl
  int reserveFd = -1;  // given up to answer 503 when out of descriptors (on the acceptor's strand)

  std::atomic<bool> stopping{false};
  bool stopped = false;
  std::mutex stopMutex;

  // Connections, for Stop; the count is also the limit's.
  std::mutex connMutex;
  std::condition_variable connIdle;  // signalled when a connection closes or a call is answered
  std::unordered_map<std::uint64_t, std::weak_ptr<ConnectionBase>> connections;
  std::uint64_t nextConnection = 1;
  std::atomic<std::size_t> inFlight{0};
  std::atomic<std::uint64_t> bodyBytes{0};  // of maxBodyBytesInFlight
  std::mutex pendingMutex;
  std::unordered_map<std::uint64_t, std::shared_ptr<Pending>> pending;
  std::uint64_t nextPending = 1;

  std::mutex sessionMutex;
  std::unordered_map<std::string, Session> sessions;
  Clock::time_point lastSweep = Clock::now();
  std::unordered_set<std::string> loginMethods;
  rules::LoginThrottle sessionLogins, addressLogins;

  std::mutex fileMutex;
  std::map<std::string, std::shared_ptr<rules::ServedDocument const>, std::less<>> files;

  // Counters of Stats.
  std::atomic<std::uint64_t> accepted{0}, answered{0}, faults{0}, r413{0}, r431{0}, r408{0}, r503conn{0}, r503busy{0},
      r400{0}, r503body{0}, r503fd{0}, refusedLogins{0};

  void Start();
  void Accept();
  template <class Stream>
  void Launch(tcp::socket socket, bool reject);
  std::uint64_t AddConnection(std::shared_ptr<ConnectionBase> const& c);
  void RemoveConnection(std::uint64_t id);
  std::size_t ConnectionCount();

  void ShedWithReserve();
  bool IsLogin(ManagedMethod const* method) const;
  bool EnterCall();
  void LeaveCall();
  bool TakeBody(std::uint64_t n);
  void GiveBody(std::uint64_t n);
  std::shared_ptr<Pending> NewPending(std::function<void(Answer&&)> reply);
  void Deliver(Pending& p, Answer&& answer);  // with p.mutex held and p.live
  void Call(std::string const& body, Caller const& caller, std::shared_ptr<Pending> const& p,
            std::shared_ptr<BodyShare>& share);
  void FaultAnswer(Answer& answer, MethodFault* fault, Version const* version, bool clientFault);
  FoundSession FindSession(std::vector<std::string> const& ids);
  std::string KeepSession(RequestContext* context);
  void DropSession(std::string const& id);
  std::string SessionCookie(std::string const& id, bool expired) const;
  void AfterCall(FoundSession const& found, RequestContext* context, bool wasEmpty, bool loggedIn, Answer& answer,
                 bool hadOwn = false);
  std::shared_ptr<rules::ServedDocument const> File(std::string_view name);
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
        _peer(PeerAddress(socket)),
        _stream(MakeStream(server, std::move(socket))),
        _timer(_stream.get_executor()),
        // Bounds what waits in the buffer unparsed: a header block, a chunk's
        // header line with its extensions, the trailer.
        _buffer(std::max<std::size_t>(server->options.maxHeaderBytes, 1024) + 1024),
        _body(std::make_shared<HttpServer::Impl::BodyShare>(server)) {}

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

  static std::string PeerAddress(tcp::socket& socket) {
    beast::error_code ec;
    auto endpoint = socket.remote_endpoint(ec);
    return ec ? std::string() : endpoint.address().to_string();
  }

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

  // The head of a request is read first and checked before its body is
  // read, so that a body is never read the way the head does not say.
  void Read() {
    if (_closing) return Close();
    _body->Release();
    if (_buffer.size() == 0) _buffer.shrink_to_fit();
    _parser.emplace();
    _parser->header_limit(
        static_cast<std::uint32_t>(std::min<std::size_t>(_server->options.maxHeaderBytes, UINT32_MAX)));
    _parser->body_limit(_server->options.maxBodyBytes);
    _parser->on_chunk_header(_onChunk);
    _extensionBytes = 0;
    _overBudget = false;
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
    http::async_read_header(_stream, _buffer, *_parser,
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->OnHead(ec); });
  }

  void OnHead(beast::error_code ec) {
    if (ec || _timedOut || _closing) return OnRead(ec);
    if (char const* defect = rules::HeadDefect(_parser->get())) {
      StopReading();
      _server->r400++;
      return Reply(Simple(http::status::bad_request, std::string("bad request: ") + defect + "\n", 11), false, false,
                   false, true);
    }
    if (auto length = _parser->content_length(); length && *length > 0 && !_body->Take(*length)) {
      _overBudget = true;
      return OnRead(http::error::body_limit);
    }
    if (_parser->is_done()) return OnRead({});
    http::async_read(_stream, _buffer, *_parser,
                     [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }

  // Chunk extensions count against the header limit; chunks against the
  // server's budget for bodies, as they come.
  void OnChunkHeader(std::uint64_t size, beast::string_view extensions, beast::error_code& ec) {
    _extensionBytes += extensions.size();
    if (_extensionBytes > _server->options.maxHeaderBytes) {
      ec = http::error::header_limit;
    } else if (size > 0 && !_body->Take(size)) {
      _overBudget = true;
      ec = http::error::body_limit;
    }
  }

  void StopReading() {
    _reading = false;
    _timer.cancel();
  }

  void OnRead(beast::error_code ec) {
    StopReading();
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
    if (_overBudget) {
      _server->r503body++;
      Response res = Simple(http::status::service_unavailable, "too many request bodies in flight\n", 11);
      res.set(http::field::retry_after, "1");
      return Reply(std::move(res), false, false, false, true);
    }
    if (ec == http::error::body_limit) {
      _server->r413++;
      return Reply(Simple(http::status::payload_too_large, "request body over the server's limit\n", 11), false, false,
                   false, true);
    }
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
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
    auto target = rules::ParseTarget(std::string_view(req.target().data(), req.target().size()));
    if (!target) {
      _server->r400++;
      return Reply(
          Simple(http::status::bad_request, "bad request: a request target the server cannot read\n", req.version()),
          false);
    }
    std::string_view path = target->path;

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
      HttpServer::Impl::Caller caller;
      caller.sessionIds = SessionCookies(req);
      caller.soapAction = std::string(req[http::field::soapaction]);
      caller.address = _peer;
      // The body's share of the budget goes with the body, and comes back once it is decoded:
      // a call its implementation deferred (a wait) holds no body.
      auto share = std::exchange(_body, std::make_shared<HttpServer::Impl::BodyShare>(_server));
      // The answer goes onto the connection's strand from whichever thread has it: the worker,
      // or, for a deferred call, the thread that completes it.
      auto reply = [self = this->shared_from_this(), version, keepAlive](HttpServer::Impl::Answer&& answer) {
        net::post(self->_stream.get_executor(), [self, answer = std::move(answer), version, keepAlive]() mutable {
          Response res(answer.status, version);
          res.set(http::field::content_type, "text/xml; charset=utf-8");
          if (!answer.setCookie.empty()) res.set(http::field::set_cookie, answer.setCookie);
          if (!answer.retryAfter.empty()) res.set(http::field::retry_after, answer.retryAfter);
          res.body() = std::move(answer.body);
          // Once a stop has begun every answer closes its connection, even one composed
          // before Stop reached this connection.
          self->Reply(std::move(res), keepAlive && !self->_closing && !self->_server->stopping.load(),
                      /*call=*/true);
        });
      };
      net::post(*_server->pool, [server = _server, body = std::move(req.body()), caller = std::move(caller),
                                 share = std::move(share), reply = std::move(reply)]() mutable {
        auto p = server->NewPending(std::move(reply));
        try {
          server->Call(body, caller, p, share);
        } catch (...) {
          // Not even a fault could be written (out of memory, say): the call is still
          // answered, so that nothing waits for it.
          std::lock_guard<std::mutex> lock(p->mutex);
          if (p->live) {
            server->Deliver(*p, HttpServer::Impl::Answer{http::status::internal_server_error, "call failed\n", {}, {}});
          }
        }
        std::string().swap(body);
        share.reset();
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
      if (auto doc = _server->File(name)) {
        // The service address is the one this request came to.
        std::string authority(target->authority.empty() ? rules::View(req[http::field::host]) : target->authority);
        if (authority.empty()) authority = _server->host + ":" + std::to_string(_server->port);
        std::string address = rules::XmlAttribute((kTls ? "https://" : "http://") + authority + o.path);
        http::response<PiecesBody> res(http::status::ok, req.version());
        res.set(http::field::content_type, "text/xml; charset=utf-8");
        res.set(http::field::vary, "Accept-Encoding");
        auto& body = res.body();
        body.keep = doc;
        if (rules::AcceptsGzip(rules::View(req[http::field::accept_encoding]))) {
          res.set(http::field::content_encoding, "gzip");
          body.head = doc->GzHead();
          body.tail = doc->GzTail();
          doc->GzMiddle(address, body.middle, body.end);
        } else {
          body.head = doc->Head();
          body.tail = doc->Tail();
          if (doc->HasAddress()) body.middle = std::move(address);
        }
        if (req.method() == http::verb::head) {
          res.content_length(PiecesBody::size(body));
          body = PiecesBody::value_type{};
          return Reply(std::move(res), keepAlive, false, /*keepLength=*/true);
        }
        return Reply(std::move(res), keepAlive);
      }
    }
    Reply(Simple(http::status::not_found, "no such document\n", req.version()), keepAlive);
  }

  // `linger`: the request was not read to its end; see LingerClose.
  template <class Body>
  void Reply(http::response<Body>&& res, bool keepAlive, bool call = false, bool keepLength = false,
             bool linger = false) {
    // Whatever body was read is no longer held (a call's went with it to the worker).
    _body->Release();
    res.set(http::field::server, "tarn-types");
    res.keep_alive(keepAlive);
    if (!keepLength) res.prepare_payload();
    auto message = std::make_shared<http::response<Body>>(std::move(res));
    _response = message;
    beast::get_lowest_layer(_stream).expires_after(_server->options.writeTimeout);
    http::async_write(_stream, *message,
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
    _body->Release();
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
  std::string _peer;  // the client's address
  Stream _stream;
  net::steady_timer _timer;
  beast::flat_buffer _buffer;
  std::optional<http::request_parser<http::string_body>> _parser;
  std::function<void(std::uint64_t, beast::string_view, beast::error_code&)> _onChunk =
      [this](std::uint64_t size, beast::string_view extensions, beast::error_code& ec) {
        OnChunkHeader(size, extensions, ec);
      };
  std::shared_ptr<HttpServer::Impl::BodyShare> _body;  // of the request being read
  std::uint64_t _extensionBytes = 0;
  bool _overBudget = false;
  std::shared_ptr<void> _response;
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
  // The parser keeps no header field longer than 64 KiB (it throws, from an I/O
  // thread); a head, a trailer or a buffered line that cannot hold one keeps it from trying.
  options.maxHeaderBytes = std::min<std::size_t>(options.maxHeaderBytes, kMostHeaderBytes);
  loginMethods.insert(options.loginMethods.begin(), options.loginMethods.end());
  if (options.raiseFileLimit) RaiseFileLimit();
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

  reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
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
      // Out of descriptors: the clients waiting are told so with the reserve
      // descriptor. For this and the like, try again shortly rather than spin
      // on the same error.
      if (ec == net::error::no_descriptors || (ec.category() == beast::system_category() && ec.value() == ENFILE)) {
        ShedWithReserve();
      }
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

// Lets the reserve descriptor go, answers the connections waiting in the
// backlog 503 one at a time on the descriptor so freed (over TLS, closes them:
// a plain answer means nothing there), and takes the reserve back. Runs on
// the acceptor's strand, between two accepts.
void HttpServer::Impl::ShedWithReserve() {
  int listener = acceptor->native_handle();
  for (int i = 0; i < 64; ++i) {
    pollfd waiting{listener, POLLIN, 0};
    if (::poll(&waiting, 1, 0) <= 0) break;
    if (reserveFd >= 0) ::close(reserveFd);
    reserveFd = -1;
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    accepted++;
    r503fd++;
    if (!tls) {
      [[maybe_unused]] auto sent = ::send(fd, kNoDescriptors, sizeof kNoDescriptors - 1, MSG_NOSIGNAL);
      ::shutdown(fd, SHUT_WR);
      // What the client sent already is read, so that closing does not reset
      // the connection under the answer.
      char drain[4096];
      for (int j = 0; j < 16 && ::recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0; ++j) {
      }
    }
    ::close(fd);
  }
  if (reserveFd < 0) reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
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

bool HttpServer::Impl::TakeBody(std::uint64_t n) {
  std::uint64_t held = bodyBytes.load();
  do {
    if (n > options.maxBodyBytesInFlight || held > options.maxBodyBytesInFlight - n) return false;
  } while (!bodyBytes.compare_exchange_weak(held, held + n));
  return true;
}

void HttpServer::Impl::GiveBody(std::uint64_t n) { bodyBytes -= n; }

void HttpServer::Impl::LeaveCall() {
  {
    // Under the lock, so that Stop cannot miss the last one.
    std::lock_guard<std::mutex> lock(connMutex);
    inFlight--;
  }
  connIdle.notify_all();
}

namespace {
// Keys under "quill." are what the runtime's own services keep for a session (the query
// service's tie to it): they keep a session that holds nothing else, but a session that held
// more and lost it all (logout) ends with them.
bool HoldsOwn(RequestContext const& context) {
  for (std::string const& key : context.GetKeys()) {
    if (key.rfind("quill.", 0) != 0) return true;
  }
  return false;
}

// A session the server drops ends: what its context holds goes, after the server's lock,
// also while a call of the session (a held wait) still keeps the context, so that the
// services that tied state to it let it go and answer that call.
// (RequestContext::Remove lets a value go outside the context's lock.)
void EndSessions(std::vector<Basalt::Ref<RequestContext>>& ended) {
  for (auto& context : ended) {
    for (std::string const& key : context->GetKeys()) context->Remove(key);
  }
  ended.clear();
}
}  // namespace

HttpServer::Impl::FoundSession HttpServer::Impl::FindSession(std::vector<std::string> const& ids) {
  Clock::time_point now = Clock::now();
  std::vector<Basalt::Ref<RequestContext>> ended;
  FoundSession found;
  {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (now - lastSweep > options.sessionIdleTimeout / 4) {
      lastSweep = now;
      for (auto it = sessions.begin(); it != sessions.end();) {
        if (now - it->second.lastUsed > options.sessionIdleTimeout) {
          ended.push_back(std::move(it->second.context));
          it = sessions.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (std::string const& id : ids) {
      auto it = sessions.find(id);
      if (it == sessions.end()) continue;
      if (now - it->second.lastUsed > options.sessionIdleTimeout) {
        ended.push_back(std::move(it->second.context));
        sessions.erase(it);
        continue;
      }
      it->second.lastUsed = now;
      found = FoundSession{id, it->second.context};
      break;
    }
  }
  EndSessions(ended);
  return found;
}

std::string HttpServer::Impl::SessionCookie(std::string const& id, bool expired) const {
  // SameSite=Strict: the session is only ever used by calls from the site's
  // own pages or from programs (which ignore the attribute); no page elsewhere
  // has a reason to make a call with it, be it by a link or a posted form.
  std::string cookie = std::string(kCookieName) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
  if (expired) cookie += "; Max-Age=0";
  if (tls) cookie += "; Secure";
  return cookie;
}

std::string HttpServer::Impl::KeepSession(RequestContext* context) {
  std::string id = NewSessionId();
  std::vector<Basalt::Ref<RequestContext>> ended;
  {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (sessions.size() >= options.maxSessions && !sessions.empty()) {
      auto oldest = std::min_element(sessions.begin(), sessions.end(), [](auto const& a, auto const& b) {
        return a.second.lastUsed < b.second.lastUsed;
      });
      // Not the context being kept (a login renaming its own session).
      if (oldest->second.context.get() != context) ended.push_back(std::move(oldest->second.context));
      sessions.erase(oldest);
    }
    sessions[id] = Session{Basalt::Ref<RequestContext>(context), Clock::now()};
  }
  EndSessions(ended);
  return SessionCookie(id, false);
}

void HttpServer::Impl::DropSession(std::string const& id) {
  std::lock_guard<std::mutex> lock(sessionMutex);
  sessions.erase(id);
}

// A session id names one login: a context that comes to hold something (an
// anonymous caller that logs in) and every successful login get a new id, and
// the old one is forgotten; a session left empty (logged out) is dropped with
// its id. So an id known before a login, to whoever planted or saw it, never
// names the logged-in session.
void HttpServer::Impl::AfterCall(FoundSession const& found, RequestContext* context, bool wasEmpty, bool loggedIn,
                                 Answer& answer, bool hadOwn) {
  bool holds = !context->GetKeys().empty();
  if (!found.context) {
    if (holds) answer.setCookie = KeepSession(context);
    return;
  }
  if (hadOwn && !HoldsOwn(*context)) {
    // Logged out: what the runtime's services keep for the session goes too, and they end
    // what they hold for it (the query service its collectors and waits).
    DropSession(found.id);
    answer.setCookie = SessionCookie("", true);
    std::vector<Basalt::Ref<RequestContext>> ended{Basalt::Ref<RequestContext>(context)};
    EndSessions(ended);
    return;
  }
  if (!holds) {
    DropSession(found.id);
    answer.setCookie = SessionCookie("", true);
  } else if (wasEmpty || loggedIn) {
    DropSession(found.id);
    answer.setCookie = KeepSession(context);
  }
}

bool HttpServer::Impl::IsLogin(ManagedMethod const* method) const {
  if (!method || method->IsProperty() || !method->GetDeclaringType() || loginMethods.empty()) return false;
  return loginMethods.count(std::string(method->GetDeclaringType()->GetName()) + "." + method->GetName()) > 0;
}

namespace {
// The fault to answer for the exception being handled. Only the decoder's refusal is the
// client's fault; the same fault raised by an implementation is the server's answer.
Basalt::Ref<MethodFault> HandledFault(bool decoded, Version const*& version, bool& clientFault) {
  try {
    throw;
  } catch (Fault::InvalidRequest::Exception& e) {
    if (auto* refusal = dynamic_cast<Wire::DecodeError*>(&e); refusal && !decoded) version = refusal->GetVersion();
    clientFault = !decoded;
    return e.GetFault();
  } catch (MethodFault::Exception& e) {
    return e.GetFault();
  } catch (std::exception& e) {
    Basalt::Ref<Fault::SystemError> error(new Fault::SystemError());
    error->reason = e.what();
    return error;
  } catch (...) {
    Basalt::Ref<Fault::SystemError> error(new Fault::SystemError());
    error->reason = "an exception of unknown type";
    return error;
  }
}
}  // namespace

std::shared_ptr<HttpServer::Impl::Pending> HttpServer::Impl::NewPending(std::function<void(Answer&&)> reply) {
  auto p = std::make_shared<Pending>();
  p->reply = std::move(reply);
  std::lock_guard<std::mutex> lock(pendingMutex);
  p->id = nextPending++;
  pending.emplace(p->id, p);
  return p;
}

void HttpServer::Impl::Deliver(Pending& p, Answer&& answer) {
  p.live = false;
  std::function<void(Answer &&)> reply = std::move(p.reply);
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    pending.erase(p.id);
  }
  reply(std::move(answer));
}

void HttpServer::Impl::FaultAnswer(Answer& answer, MethodFault* fault, Version const* version, bool clientFault) {
  answered++;
  faults++;
  answer.status = http::status::internal_server_error;
  try {
    answer.body = Wire::EncodeFault(fault, version, clientFault);
  } catch (std::exception& e) {
    // The fault itself cannot be written for that version (a newer class):
    // say so with one every version has.
    Basalt::Ref<Fault::SystemError> error(new Fault::SystemError());
    error->reason = std::string("the fault could not be encoded: ") + e.what();
    answer.body = Wire::EncodeFault(error.get(), version, false);
  }
}

// Decodes and checks the call on the worker and starts it there (an implementation may
// block); its answer is composed and sent by `done`, on the worker when the call returns,
// or on the thread that completes a deferred call, which frees the worker at once.
void HttpServer::Impl::Call(std::string const& body, Caller const& caller, std::shared_ptr<Pending> const& p,
                            std::shared_ptr<BodyShare>& share) {
  Answer answer;
  Version const* version = nullptr;
  Basalt::Ref<MethodFault> fault;
  bool clientFault = false;
  bool decoded = false;
  try {
    Wire::DecodeOptions decode;
    decode.limits = options.decodeLimits;
    Wire::Request request = Wire::DecodeRequest(body, decode);
    // Decoded, the body is no longer the call's: its share goes back before any answer leaves,
    // so that a client's next request never finds its last one still counted.
    share.reset();
    version = request.version;
    decoded = true;
    std::string_view ns = version->GetWireNamespace() ? version->GetWireNamespace() : "";
    std::string_view wire = version->GetWireVersion() ? version->GetWireVersion() : "";
    auto named = rules::SoapActionVersion(caller.soapAction);
    bool login = IsLogin(request.method);
    FoundSession found;
    std::chrono::milliseconds wait(0);
    if (named && (named->first != ns || named->second != wire)) {
      // A client that names two versions is told so rather than answered in one.
      fault = FaultWithText<Fault::InvalidRequest>("SOAPAction names version " + std::string(named->first) + "/" +
                                                   std::string(named->second) + " but the message speaks " +
                                                   std::string(ns) + "/" + std::string(wire));
      clientFault = true;
    } else {
      found = FindSession(caller.sessionIds);
      if (login) {
        Clock::time_point now = Clock::now();
        if (found.context) wait = sessionLogins.Refused(found.id, now);
        if (!caller.address.empty()) wait = std::max(wait, addressLogins.Refused(caller.address, now));
      }
      if (wait.count() > 0) {
        refusedLogins++;
        auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
        answer.retryAfter = std::to_string(seconds);
        fault = FaultWithText<Fault::SecurityError>("too many failed logins; try again in " + std::to_string(seconds) +
                                                    " s");
      }
    }
    if (!fault) {
      Basalt::Ref<RequestContext> context = found.context;
      if (!context) context = new RequestContext();
      bool wasEmpty = context->GetKeys().empty();
      bool hadOwn = found.context && HoldsOwn(*context);
      ManagedMethod* method = request.method;
      LocalAdapter::CallDone done = [this, p, found, context, wasEmpty, hadOwn, login, method, version,
                                     address = caller.address](Basalt::Ref<Any> result,
                                                               std::unique_ptr<Basalt::Exception> error) {
        // Under the call's own lock: once Stop has cut the tie, the server may be gone.
        std::lock_guard<std::mutex> lock(p->mutex);
        if (!p->live) return;
        Answer answer;
        try {
          try {
            if (error) error->Throw();
            AfterCall(found, context.get(), wasEmpty, login, answer, hadOwn);
            answer.body = Wire::EncodeResponse(method, result.get(), version);
            answered++;
          } catch (...) {
            if (error) {
              if (login) {
                Clock::time_point now = Clock::now();
                if (found.context) sessionLogins.Failed(found.id, now);
                if (!address.empty()) addressLogins.Failed(address, now);
              }
              // What the call stored (a failed login attempt counted, say) still
              // belongs to the session.
              AfterCall(found, context.get(), wasEmpty, false, answer);
            }
            Version const* v = version;
            bool client = false;
            Basalt::Ref<MethodFault> f = HandledFault(true, v, client);
            FaultAnswer(answer, f.get(), v, client);
          }
        } catch (...) {
          answer = Answer{http::status::internal_server_error, "call failed\n", {}, {}};
        }
        Deliver(*p, std::move(answer));
      };
      try {
        adapter->InvokeThen(request.target.get(), method, request.args, context.get(), done);
      } catch (Basalt::Exception const& e) {
        // Refused before it started (the adapter shut down): answered like a failed call.
        done(nullptr, std::unique_ptr<Basalt::Exception>(e.Clone()));
      }
      return;
    }
  } catch (...) {
    fault = HandledFault(decoded, version, clientFault);
  }
  share.reset();
  FaultAnswer(answer, fault.get(), version, clientFault);
  std::lock_guard<std::mutex> lock(p->mutex);
  if (p->live) Deliver(*p, std::move(answer));
}

std::shared_ptr<rules::ServedDocument const> HttpServer::Impl::File(std::string_view name) {
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
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::shared_ptr<rules::ServedDocument const> file;
  try {
    file = std::make_shared<rules::ServedDocument const>(std::move(text));
  } catch (std::exception&) {
    return nullptr;  // no memory to compress it: as if it were not there
  }
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
  // Calls still deferred (waits no one answered within the grace) are let go: their
  // connections close, and an answer that comes later is dropped.
  std::vector<std::shared_ptr<Pending>> left;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    for (auto& [id, p] : pending) left.push_back(p);
    pending.clear();
  }
  for (auto& p : left) {
    std::function<void(Answer &&)> reply;
    {
      std::lock_guard<std::mutex> lock(p->mutex);
      p->live = false;
      reply = std::move(p->reply);
    }
  }
  left.clear();
  ioWork.reset();
  if (ioc) ioc->stop();
  for (auto& t : ioThreads) t.join();
  ioThreads.clear();
  acceptRetry.reset();
  acceptor.reset();
  if (reserveFd >= 0) ::close(reserveFd);
  reserveFd = -1;
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
  s.bodyBytesInFlight = _impl->bodyBytes.load();
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
  s.rejectedBodyBudget = _impl->r503body.load();
  s.rejectedNoDescriptors = _impl->r503fd.load();
  s.refusedLogins = _impl->refusedLogins.load();
  return s;
}

}  // namespace Quill
