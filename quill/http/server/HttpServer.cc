// The server put together from its parts: a Listener accepts, each
// Connection reads and writes on its own strand of one io_context run by the
// I/O threads, the Router sends a request to the SOAP endpoint or to the
// document store, and the SOAP endpoint makes calls on the call target, with
// the session store for its sessions and a thread pool for calls that may
// block.
#include "quill/http/HttpServer.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/thread_pool.hpp>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Connection.h"
#include "DocumentStore.h"
#include "Listener.h"
#include "Router.h"
#include "ServerStats.h"
#include "SessionStore.h"
#include "SoapEndpoint.h"
#include "basalt/Exception.h"
#include "quill/Identity.h"

namespace Quill {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace HttpServerParts;

namespace {

constexpr std::size_t kMostHeaderBytes = 60u << 10;

}  // namespace

struct HttpServer::Impl final : ConnectionHost {
  Impl(CallTarget* t, Options o) : target(t), options(std::move(o)), ioc(static_cast<int>(options.ioThreads)) {}

  CallTarget* target;
  Options options;
  Limits limits;
  ServerCounters counters;
  std::optional<BodyBudget> bodies;
  std::optional<ssl::context> tls;
  std::optional<net::io_context> ioc;  // reset by Stop: destroys what is left of the connections
  std::optional<Listener> listener;
  std::optional<net::thread_pool> pool;
  // While a call is on a worker its connection waits on nothing in the context; this keeps
  // the I/O threads from running out of work and leaving before the answer is posted.
  std::optional<net::executor_work_guard<net::io_context::executor_type>> ioWork;
  std::vector<std::thread> ioThreads;
  std::optional<SessionStore> sessions;
  std::optional<DocumentStore> documents;
  std::optional<SoapEndpoint> endpoint;
  Router router;
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

  void Start();
  void OnAccept(StrandSocket socket);
  template <class Stream>
  void Launch(StrandSocket socket, bool reject);
  std::size_t ConnectionCount();
  std::string ServiceAddress(Exchange& exchange) const;
  void StopAll(std::chrono::milliseconds grace);

  // ConnectionHost
  Limits const& GetLimits() const override { return limits; }
  ServerCounters& GetCounters() override { return counters; }
  BodyBudget& GetBodyBudget() override { return *bodies; }
  Router const& GetRouter() const override { return router; }
  bool IsStopping() const override { return stopping.load(); }
  bool EnterCall() override;
  void LeaveCall() override;
  void RemoveConnection(std::uint64_t id) override;
};

void HttpServer::Impl::Start() {
  auto fail = [&](std::string const& what, std::string const& why) {
    throw Basalt::Exception("HttpServer: " + what + ": " + why);
  };
  if (!target) fail("no adapter", "the server needs the LocalAdapter whose objects it serves");
  if (options.ioThreads == 0) options.ioThreads = 1;
  if (options.workers == 0) options.workers = 1;
  if (options.path.empty() || options.path.front() != '/') fail("path '" + options.path + "'", "must start with '/'");
  // The parser keeps no header field longer than 64 KiB (it throws, from an I/O
  // thread); a head, a trailer or a buffered line that cannot hold one keeps it from trying.
  options.maxHeaderBytes = std::min<std::size_t>(options.maxHeaderBytes, kMostHeaderBytes);
  // What the options leave open, the registered type library names.
  CatalogueIdentity identity = GetCatalogueIdentity();
  if (options.sessionCookie.empty()) options.sessionCookie = identity.sessionCookie;
  if (options.serverName.empty()) options.serverName = identity.product;
  if (options.wsdlName.empty()) options.wsdlName = identity.wsdlName;
  if (options.loginMethods.empty()) options.loginMethods = identity.loginMethods;
  limits = Limits{options.maxBodyBytes, options.maxHeaderBytes, options.readTimeout, options.writeTimeout,
                  options.serverName};
  bodies.emplace(options.maxBodyBytesInFlight);
  if (options.raiseFileLimit) Listener::RaiseFileLimit();
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
  listener.emplace(*ioc, options.address, options.port, tls.has_value(), options.serverName, counters,
                   [this](StrandSocket socket) { OnAccept(std::move(socket)); });
  port = listener->GetPort();
  host = listener->GetHost();

  SessionStore::Options so;
  so.cookieName = options.sessionCookie;
  so.idleTimeout = options.sessionIdleTimeout;
  so.maxSessions = options.maxSessions;
  so.secure = tls.has_value();
  so.loginMethods = options.loginMethods;
  so.maxFailedLoginsPerSession = options.maxFailedLoginsPerSession;
  so.maxFailedLoginsPerAddress = options.maxFailedLoginsPerAddress;
  so.failedLoginWindow = options.failedLoginWindow;
  so.loginBackoff = options.loginBackoff;
  sessions.emplace(std::move(so));
  documents.emplace(options.wsdlDirectory, options.wsdlName);
  pool.emplace(options.workers);
  endpoint.emplace(target, *sessions, counters, *pool,
                   SoapEndpoint::Options{options.decodeLimits, options.inlineDecodeBytes});

  router.Add({options.path,
              false,
              {http::verb::post},
              "calls are POST requests\n",
              [this](Exchange& exchange, std::string_view) { endpoint->Serve(exchange); }});
  router.Add({options.path + "/",
              true,
              {http::verb::get, http::verb::head},
              "documents are read with GET\n",
              [this](Exchange& exchange, std::string_view name) {
                if (!documents->Serve(exchange, name, ServiceAddress(exchange))) {
                  exchange.Send(
                      TextResponse(http::status::not_found, "no such document\n", exchange.GetRequest().version()));
                }
              }});

  ioWork.emplace(ioc->get_executor());
  listener->Start();
  for (unsigned i = 0; i < options.ioThreads; ++i) {
    ioThreads.emplace_back([this] { ioc->run(); });
  }
}

// The service address is the one the request came to.
std::string HttpServer::Impl::ServiceAddress(Exchange& exchange) const {
  auto const& target = exchange.GetTarget();
  std::string authority(target.authority.empty() ? HttpServerRules::View(exchange.GetRequest()[http::field::host])
                                                 : target.authority);
  if (authority.empty()) authority = host + ":" + std::to_string(port);
  return (exchange.IsTls() ? "https://" : "http://") + authority + options.path;
}

void HttpServer::Impl::OnAccept(StrandSocket socket) {
  if (stopping.load()) return;
  std::size_t open = ConnectionCount();
  if (open >= options.maxConnections + options.maxConnections / 4 + 16) {
    // Far past the limit even the refusal costs too much: drop it.
    counters.r503conn++;
    beast::error_code ignored;
    socket.close(ignored);
  } else if (tls) {
    Launch<TlsStream>(std::move(socket), open >= options.maxConnections);
  } else {
    Launch<PlainStream>(std::move(socket), open >= options.maxConnections);
  }
}

template <class Stream>
void HttpServer::Impl::Launch(StrandSocket socket, bool reject) {
  auto c = std::make_shared<Connection<Stream>>(*this, std::move(socket), tls ? &*tls : nullptr, reject);
  std::uint64_t id;
  {
    std::lock_guard<std::mutex> lock(connMutex);
    id = nextConnection++;
    connections.emplace(id, c);
  }
  c->Run(id);
  // Stop may have taken its list of connections just before this one joined.
  if (stopping.load()) c->RequestClose();
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

void HttpServer::Impl::StopAll(std::chrono::milliseconds grace) {
  std::lock_guard<std::mutex> stopLock(stopMutex);
  if (stopped) return;
  stopped = true;
  stopping = true;
  if (listener) listener->Close();
  std::vector<std::shared_ptr<ConnectionBase>> open;
  {
    std::lock_guard<std::mutex> lock(connMutex);
    for (auto& [id, weak] : connections) {
      if (auto c = weak.lock()) open.push_back(std::move(c));
    }
  }
  for (auto& c : open) c->RequestClose();
  open.clear();
  {
    std::unique_lock<std::mutex> lock(connMutex);
    Clock::time_point deadline = Clock::now() + grace;
    // Connections with a call close after their answer is written.
    connIdle.wait_until(lock, deadline, [this] { return connections.empty() && inFlight.load() == 0; });
  }
  if (pool) pool->join();
  // Calls still deferred (waits no one answered within the grace) are let go: their
  // connections close, and an answer that comes later is dropped.
  if (endpoint) endpoint->LetGo();
  ioWork.reset();
  if (ioc) ioc->stop();
  for (auto& t : ioThreads) t.join();
  ioThreads.clear();
  listener.reset();
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

HttpServer::HttpServer(CallTarget& target, Options options) : _impl(new Impl(&target, std::move(options))) {
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
  _impl->counters.CopyTo(s);
  s.openConnections = _impl->ConnectionCount();
  s.callsInFlight = _impl->inFlight.load();
  s.bodyBytesInFlight = _impl->bodies ? _impl->bodies->Held() : 0;
  s.sessions = _impl->sessions ? _impl->sessions->Size() : 0;
  return s;
}

}  // namespace Quill
