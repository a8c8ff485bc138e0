// The HTTP half of the client adapter, below the codec: POSTs of ready-made
// request bodies over libcurl, sync on pooled easy handles, async through one
// multi handle on a thread of its own. Not installed; HttpAdapter.cc is its
// only user besides the tests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "basalt/Exception.h"

namespace Quill::Http::Detail {

struct TransportConfig {
  std::string url;
  std::string soapAction;  // the header's value, quotes included
  std::chrono::milliseconds connectTimeout{10'000};
  std::chrono::milliseconds callTimeout{60'000};
  std::size_t maxResponseBytes = 64u << 20;
  std::string caFile;
  std::string pinnedCertificateSha256;  // as the user wrote it
  bool insecureSkipTlsVerification = false;
  unsigned maxAsyncConnections = 16;
  // "Name: value" lines sent with every request after the protocol's own.
  std::vector<std::string> extraHeaders;
  // The session to continue: the value of the cookie `sessionCookieName`,
  // sent from the first request on (empty: none).
  std::string sessionCookie;
  std::string sessionCookieName = "session";
  std::string userAgent = "quill-http/0.1";
};

struct Reply {
  long status = 0;
  std::string body;
};

// A kept-alive connection of the sync pool (a curl easy handle) and the
// buffers of its exchanges, which keep their room from call to call.
struct Connection {
  void* easy = nullptr;  // CURL*
  std::string request;   // what Perform sends
  Reply reply;           // what it received
};

// One async exchange. The loop calls `done` exactly once, on its own thread,
// and drops it right after; `done` must be quick (hand the work elsewhere).
struct AsyncTransfer {
  enum class Outcome { Answered, Failed, Canceled };

  std::string request;
  Reply reply;
  Outcome outcome = Outcome::Answered;
  std::unique_ptr<Basalt::Exception> error;  // Failed: the transport fault; Canceled: RequestCanceled
  std::function<void(AsyncTransfer&)> done;

  // The loop's business.
  enum Phase : std::uint32_t { kQueued, kSent, kCancelRequested, kAnswered };
  std::atomic<std::uint32_t> phase{kQueued};
  void* easy = nullptr;  // CURL*, while the transfer is in the multi handle
  bool delivered = false;
  bool oversized = false;
  char errorText[256] = {};
};

// Throws Fault::InvalidArgument::Exception for settings it cannot use.
void CheckConfig(TransportConfig const& config);

class Transport {
 public:
  explicit Transport(TransportConfig config);
  ~Transport();  // Stop()
  Transport(Transport const&) = delete;
  Transport& operator=(Transport const&) = delete;

  TransportConfig const& GetConfig() const noexcept { return _config; }

  // One exchange on the caller's thread: fills `reply` (any HTTP status), or
  // throws a TransportError subclass, or RequestCanceled once stopped.
  void Post(std::string const& request, Reply& reply);

  // The same on a connection the caller holds: sends its `request`, fills its
  // `reply`. A thread that takes, performs and gives back one call after the
  // other keeps using one connection and its buffers. Take throws
  // RequestCanceled once stopped.
  std::unique_ptr<Connection> Take();
  void Perform(Connection& connection);
  void GiveBack(std::unique_ptr<Connection> connection);

  // Hands `transfer` to the loop; throws RequestCanceled once stopped.
  void Start(std::shared_ptr<AsyncTransfer> transfer);
  // True when the transfer will be delivered Canceled.
  bool Cancel(std::shared_ptr<AsyncTransfer> const& transfer);

  // Aborts sync exchanges in flight, delivers Canceled to every async one not
  // yet answered, joins the loop. Idempotent.
  void Stop();
  bool IsStopped() const noexcept { return _stopping.load(std::memory_order_acquire); }

  // The value of the cookie `name` the server set, or empty.
  std::string GetCookie(std::string const& name);
  // Sets (or replaces) the cookie `name` for the URL's host, as if the
  // server had set it; an empty value removes it.
  void SetCookie(std::string const& name, std::string const& value);
  void ClearCookies();

  // Connections curl opened so far (sync and async), for tests and logs.
  std::uint64_t GetConnectCount() const noexcept { return _connects.load(std::memory_order_relaxed); }

 private:
  struct Shared;
  void* NewEasy();
  void Loop();
  void Deliver(std::shared_ptr<AsyncTransfer> const& transfer, AsyncTransfer::Outcome outcome);
  std::unique_ptr<Basalt::Exception> MakeError(int code, AsyncTransfer const* transfer, char const* errorText,
                                               bool oversized) const;

  TransportConfig _config;
  std::unique_ptr<Shared> _shared;  // the curl share object and its locks
  std::string _thumbprint;          // 32 raw bytes, or empty
  std::string _cookieHost;          // the URL's host as the cookie engine keys it
  std::atomic<bool> _stopping{false};
  std::atomic<std::uint64_t> _connects{0};

  std::mutex _poolMutex;
  std::vector<std::unique_ptr<Connection>> _pool;  // idle sync connections, last used on top
  void* _cookieEasy = nullptr;                     // CURL* for reading and writing the shared cookies

  // The async loop.
  std::mutex _loopMutex;
  std::deque<std::shared_ptr<AsyncTransfer>> _submitted;
  std::vector<std::shared_ptr<AsyncTransfer>> _cancels;
  void* _multi = nullptr;  // CURLM*
  std::thread _loop;
  bool _loopStarted = false;
  std::vector<void*> _asyncPool;  // idle async handles; the loop thread's only
};

}  // namespace Quill::Http::Detail
