#include "Transport.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/FaultMessage.h"
#include "quill/Faults.h"
#include "quill/Values.h"
#include "quill/http/HttpAdapter.h"

namespace Quill::Http::Detail {

static_assert(sizeof(AsyncTransfer::errorText) >= CURL_ERROR_SIZE, "curl writes CURL_ERROR_SIZE bytes");

namespace {

[[noreturn]] void ThrowBadSetting(char const* setting, std::string const& text) {
  auto fault = MakeFault<Fault::InvalidArgument>("quill.http.badSetting", text);
  fault->invalidProperty = PropertyPath(setting);
  fault->ThrowInternal();
  std::abort();
}

std::unique_ptr<Basalt::Exception> MakeCanceled(std::string const& text) {
  auto fault = MakeFault<Fault::RequestCanceled>("quill.call.canceled", text);
  return std::unique_ptr<Basalt::Exception>(fault->CreateException());
}

void EnsureCurl() {
  static bool const ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!ok) {
    throw Fault::SystemError::Exception(
        MakeFault<Fault::SystemError>("quill.http.init", "libcurl could not be initialised").get());
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 32 raw bytes from "AB:CD:…" or "abcd…", also with the label that
// `openssl x509 -fingerprint -sha256` puts in front ("sha256 Fingerprint=" or
// "SHA256 Fingerprint=", by version) and the newline after, so that its output
// can be pasted as it is; empty when malformed.
std::string ThumbprintBytes(std::string_view text) {
  std::size_t eq = text.find('=');
  if (eq != std::string_view::npos) {
    std::string label;
    for (char c : text.substr(0, eq)) label.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    std::size_t first = label.find_first_not_of(" \t");
    if (first == std::string::npos || label.substr(first) != "sha256 fingerprint") return {};
    text.remove_prefix(eq + 1);
  }
  std::string bytes;
  int high = -1;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t') continue;
    if (c == ':' || c == ' ') continue;
    int d = HexDigit(c);
    if (d < 0) return {};
    if (high < 0) {
      high = d;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + d));
      high = -1;
    }
  }
  if (high >= 0 || bytes.size() != 32) return {};
  return bytes;
}

bool IsHttps(std::string const& url) {
  return url.compare(0, 8, "https://") == 0 || url.compare(0, 8, "HTTPS://") == 0;
}

struct Sink {
  std::string* body;
  std::size_t limit;
  bool* oversized;
};

std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* user) {
  Sink* sink = static_cast<Sink*>(user);
  std::size_t n = size * count;
  if (sink->body->size() + n > sink->limit) {
    *sink->oversized = true;
    return 0;  // curl fails the transfer with CURLE_WRITE_ERROR
  }
  sink->body->append(data, n);
  return n;
}

// Exactly the pinned certificate passes; chain and host name play no part.
int VerifyPinned(X509_STORE_CTX* store, void* arg) {
  std::string const* want = static_cast<std::string const*>(arg);
  X509* cert = X509_STORE_CTX_get0_cert(store);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (cert && X509_digest(cert, EVP_sha256(), md, &n) && n == want->size() && std::memcmp(md, want->data(), n) == 0) {
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
  }
  X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
  return 0;
}

CURLcode PinContext(CURL*, void* sslContext, void* thumbprint) {
  SSL_CTX* ctx = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(ctx, VerifyPinned, thumbprint);
  return CURLE_OK;
}

// A header line the user adds: "Name: value", a token for the name, no line
// breaks, and none of the headers that the transport itself writes or that
// frame the message (those would contradict the request it sends).
void CheckHeader(std::string const& header) {
  std::size_t colon = header.find(':');
  std::string_view name(header.data(), colon == std::string::npos ? 0 : colon);
  auto bad = [&](std::string const& why) { ThrowBadSetting("headers", "'" + header + "': " + why); };
  if (name.empty()) bad("not a header (Name: value)");
  for (char c : name) {
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f ||
        std::strchr("()<>@,;:\\\"/[]?={}", c)) {
      bad("the name is not a token");
    }
  }
  if (header.find_first_of("\r\n", colon) != std::string::npos) bad("a header is one line");
  std::string lower;
  for (char c : name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  for (char const* own : {"content-type", "content-length", "transfer-encoding", "soapaction", "host", "expect",
                          "connection", "cookie"}) {
    if (lower == own) bad("the adapter writes this header itself");
  }
}

}  // namespace

void CheckConfig(TransportConfig const& config) {
  EnsureCurl();
  if (config.url.empty()) ThrowBadSetting("url", "no server URL given");
  CURLU* parsed = curl_url();
  CURLUcode rc = curl_url_set(parsed, CURLUPART_URL, config.url.c_str(), 0);
  char* scheme = nullptr;
  char* host = nullptr;
  if (rc == CURLUE_OK) rc = curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0);
  if (rc == CURLUE_OK) rc = curl_url_get(parsed, CURLUPART_HOST, &host, 0);
  std::string schemeText = scheme ? scheme : "";
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(parsed);
  if (rc != CURLUE_OK) {
    ThrowBadSetting("url", "'" + config.url + "' is not a usable URL: " + curl_url_strerror(rc));
  }
  if (schemeText != "http" && schemeText != "https") {
    ThrowBadSetting("url", "'" + config.url + "': only http and https URLs are served");
  }
  if (config.connectTimeout.count() < 0 || config.callTimeout.count() < 0) {
    ThrowBadSetting("connectTimeout", "timeouts cannot be negative");
  }
  if (config.maxResponseBytes == 0) ThrowBadSetting("maxResponseBytes", "the response size limit is zero");
  if (!config.pinnedCertificateSha256.empty()) {
    if (ThumbprintBytes(config.pinnedCertificateSha256).empty()) {
      ThrowBadSetting(
          "pinnedCertificateSha256",
          "'" + config.pinnedCertificateSha256 +
              "' is not a SHA-256 thumbprint (64 hex digits, colons allowed, as openssl x509 -fingerprint -sha256 "
              "prints it)");
    }
    curl_version_info_data const* info = curl_version_info(CURLVERSION_NOW);
    if (!info->ssl_version || std::strncmp(info->ssl_version, "OpenSSL", 7) != 0) {
      ThrowBadSetting("pinnedCertificateSha256", "certificate pinning needs libcurl built with OpenSSL");
    }
  }
  if (!config.caFile.empty() && ::access(config.caFile.c_str(), R_OK) != 0) {
    ThrowBadSetting("caFile", "the CA file '" + config.caFile + "' cannot be read");
  }
  for (std::string const& header : config.extraHeaders) CheckHeader(header);
  if (config.sessionCookieName.empty() ||
      config.sessionCookieName.find_first_of("=;, \t\r\n\"\\") != std::string::npos) {
    ThrowBadSetting("sessionCookieName", "'" + config.sessionCookieName + "' is not a cookie name");
  }
  if (config.userAgent.find_first_of("\r\n") != std::string::npos) {
    ThrowBadSetting("userAgent", "a User-Agent is one line");
  }
  if (config.sessionCookie.find_first_of(";, \t\r\n\"\\") != std::string::npos) {
    ThrowBadSetting("sessionCookie", "a session cookie has no ';', ',', quotes, backslashes or white space");
  }
}

struct Transport::Shared {
  CURLSH* share = nullptr;
  curl_slist* headers = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Shared*>(self)->locks[data].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) { static_cast<Shared*>(self)->locks[data].unlock(); }
};

Transport::Transport(TransportConfig config) : _config(std::move(config)), _shared(new Shared) {
  CheckConfig(_config);
  _thumbprint = ThumbprintBytes(_config.pinnedCertificateSha256);
  // Cookies (the session), resolved names and TLS sessions are shared by
  // every handle, sync and async; connections are not (curl does not share
  // those safely across threads), so each handle keeps its own.
  _shared->share = curl_share_init();
  curl_share_setopt(_shared->share, CURLSHOPT_LOCKFUNC, &Shared::Lock);
  curl_share_setopt(_shared->share, CURLSHOPT_UNLOCKFUNC, &Shared::Unlock);
  curl_share_setopt(_shared->share, CURLSHOPT_USERDATA, _shared.get());
  curl_share_setopt(_shared->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  curl_share_setopt(_shared->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(_shared->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  _shared->headers = curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8");
  _shared->headers = curl_slist_append(_shared->headers, ("SOAPAction: " + _config.soapAction).c_str());
  // Large requests go at once rather than after a 100-continue round trip.
  _shared->headers = curl_slist_append(_shared->headers, "Expect:");
  for (std::string const& header : _config.extraHeaders) {
    _shared->headers = curl_slist_append(_shared->headers, header.c_str());
  }
  CURLU* parsed = curl_url();
  char* host = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, _config.url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    _cookieHost = host;
    // An IPv6 literal is bracketed in URLs, not in the cookie engine.
    if (_cookieHost.size() > 2 && _cookieHost.front() == '[')
      _cookieHost = _cookieHost.substr(1, _cookieHost.size() - 2);
  }
  curl_free(host);
  curl_url_cleanup(parsed);
  if (!_config.sessionCookie.empty()) SetCookie(_config.sessionCookieName, _config.sessionCookie);
}

Transport::~Transport() {
  Stop();
  for (auto& c : _pool) curl_easy_cleanup(static_cast<CURL*>(c->easy));
  if (_cookieEasy) curl_easy_cleanup(static_cast<CURL*>(_cookieEasy));
  if (_multi) curl_multi_cleanup(static_cast<CURLM*>(_multi));
  curl_share_cleanup(_shared->share);
  curl_slist_free_all(_shared->headers);
}

void* Transport::NewEasy() {
  CURL* e = curl_easy_init();
  if (!e) throw std::bad_alloc();
  curl_easy_setopt(e, CURLOPT_URL, _config.url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_POST, 1L);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, _shared->headers);
  curl_easy_setopt(e, CURLOPT_USERAGENT, _config.userAgent.c_str());
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &WriteBody);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(_config.connectTimeout.count()));
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(_config.callTimeout.count()));
  curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(_config.maxResponseBytes));
  curl_easy_setopt(e, CURLOPT_SHARE, _shared->share);
  curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");  // the cookie engine on, nothing read from disk
  // Counts the connections opened, and lets Stop() abort a sync call.
  curl_easy_setopt(e, CURLOPT_SOCKOPTDATA, this);
  curl_easy_setopt(
      e, CURLOPT_SOCKOPTFUNCTION, +[](void* self, curl_socket_t, curlsocktype) -> int {
        static_cast<Transport*>(self)->_connects.fetch_add(1, std::memory_order_relaxed);
        return CURL_SOCKOPT_OK;
      });
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(
      e, CURLOPT_XFERINFOFUNCTION, +[](void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) -> int {
        return static_cast<Transport*>(self)->IsStopped() ? 1 : 0;
      });
  if (IsHttps(_config.url)) {
    if (_config.insecureSkipTlsVerification) {
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    } else if (!_thumbprint.empty()) {
      // curl's own checks off; PinContext puts the thumbprint check in their place.
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
      curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &PinContext);
      curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &_thumbprint);
    } else {
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
      if (!_config.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, _config.caFile.c_str());
    }
  }
  return e;
}

std::unique_ptr<Connection> Transport::Take() {
  if (IsStopped()) MakeCanceled("the adapter is shut down")->Throw();
  {
    std::lock_guard lock(_poolMutex);
    if (!_pool.empty()) {
      std::unique_ptr<Connection> c = std::move(_pool.back());
      _pool.pop_back();
      return c;
    }
  }
  auto c = std::make_unique<Connection>();
  c->easy = NewEasy();
  return c;
}

void Transport::GiveBack(std::unique_ptr<Connection> connection) {
  if (!connection) return;
  // Idle connections beyond this many are closed; they only serve bursts. A
  // buffer that grew for an unusually large message is let go rather than
  // kept by an idle connection.
  constexpr std::size_t kMaxIdle = 64;
  constexpr std::size_t kMaxKeptBuffer = 256u << 10;
  if (connection->request.capacity() > kMaxKeptBuffer) std::string().swap(connection->request);
  if (connection->reply.body.capacity() > kMaxKeptBuffer) std::string().swap(connection->reply.body);
  {
    std::lock_guard lock(_poolMutex);
    if (_pool.size() < kMaxIdle && !IsStopped()) {
      if (_pool.capacity() < kMaxIdle) _pool.reserve(kMaxIdle);
      _pool.push_back(std::move(connection));
      return;
    }
  }
  curl_easy_cleanup(static_cast<CURL*>(connection->easy));
}

std::unique_ptr<Basalt::Exception> Transport::MakeError(int code, AsyncTransfer const*, char const* errorText,
                                                        bool oversized) const {
  CURLcode rc = static_cast<CURLcode>(code);
  std::string detail = errorText && *errorText ? errorText : curl_easy_strerror(rc);
  std::string const& url = _config.url;
  switch (rc) {
    case CURLE_ABORTED_BY_CALLBACK:
      return MakeCanceled("the call to " + url + " was abandoned: the adapter is shut down");
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return std::make_unique<ConnectFailed>(url, "cannot connect: " + detail);
    case CURLE_OPERATION_TIMEDOUT:
      return std::make_unique<TimedOut>(url, "timed out (connect timeout " +
                                                 std::to_string(_config.connectTimeout.count()) + " ms, call timeout " +
                                                 std::to_string(_config.callTimeout.count()) + " ms): " + detail);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return std::make_unique<TlsFailure>(
          url, "TLS failure: " + detail +
                   (_thumbprint.empty() ? std::string()
                                        : " (only the certificate with the pinned SHA-256 thumbprint is accepted)"));
    case CURLE_WRITE_ERROR:
    case CURLE_FILESIZE_EXCEEDED:
      if (oversized || rc == CURLE_FILESIZE_EXCEEDED) {
        return std::make_unique<BadResponse>(
            url, "the response is larger than maxResponseBytes (" + std::to_string(_config.maxResponseBytes) + ")");
      }
      return std::make_unique<TransportError>(url, detail);
    case CURLE_GOT_NOTHING:
      return std::make_unique<BadResponse>(url, "the server closed the connection without answering");
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
      return std::make_unique<BadResponse>(url, "the response was cut short: " + detail);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
      return std::make_unique<BadResponse>(url, "the answer is not an HTTP response: " + detail);
    default:
      return std::make_unique<TransportError>(url, detail);
  }
}

void Transport::Perform(Connection& connection) {
  Reply& reply = connection.reply;
  reply.status = 0;
  reply.body.clear();
  if (IsStopped()) MakeCanceled("the adapter is shut down")->Throw();
  CURL* e = static_cast<CURL*>(connection.easy);
  char errorText[CURL_ERROR_SIZE] = {};
  bool oversized = false;
  Sink sink{&reply.body, _config.maxResponseBytes, &oversized};
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, connection.request.data());
  curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(connection.request.size()));
  CURLcode rc = curl_easy_perform(e);
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, nullptr);
  if (rc != CURLE_OK) MakeError(rc, nullptr, errorText, oversized)->Throw();
}

void Transport::Post(std::string const& request, Reply& reply) {
  std::unique_ptr<Connection> c = Take();
  c->request = request;
  struct Back {
    Transport* t;
    std::unique_ptr<Connection>& c;
    ~Back() { t->GiveBack(std::move(c)); }
  } back{this, c};
  Perform(*c);
  reply.status = c->reply.status;
  reply.body = c->reply.body;
}

void Transport::Start(std::shared_ptr<AsyncTransfer> transfer) {
  std::unique_lock lock(_loopMutex);
  if (IsStopped()) {
    lock.unlock();
    MakeCanceled("the adapter is shut down")->Throw();
  }
  if (!_loopStarted) {
    CURLM* multi = curl_multi_init();
    if (!multi) throw std::bad_alloc();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                      static_cast<long>(_config.maxAsyncConnections ? _config.maxAsyncConnections : 1));
    _multi = multi;
    _loop = std::thread([this] { Loop(); });
    _loopStarted = true;
  }
  _submitted.push_back(std::move(transfer));
  lock.unlock();
  curl_multi_wakeup(static_cast<CURLM*>(_multi));
}

bool Transport::Cancel(std::shared_ptr<AsyncTransfer> const& transfer) {
  std::uint32_t phase = transfer->phase.load(std::memory_order_acquire);
  while (phase == AsyncTransfer::kQueued || phase == AsyncTransfer::kSent) {
    if (transfer->phase.compare_exchange_weak(phase, AsyncTransfer::kCancelRequested, std::memory_order_acq_rel)) {
      std::unique_lock lock(_loopMutex);
      // Once stopping, the loop cancels everything it holds on its own.
      if (!IsStopped() && _loopStarted) {
        _cancels.push_back(transfer);
        lock.unlock();
        curl_multi_wakeup(static_cast<CURLM*>(_multi));
      }
      return true;
    }
  }
  return false;
}

void Transport::Stop() {
  {
    std::lock_guard lock(_loopMutex);
    if (_stopping.exchange(true, std::memory_order_acq_rel)) {
      // Somebody else stops, or has stopped; still wait for the loop below.
    }
    if (_loopStarted) curl_multi_wakeup(static_cast<CURLM*>(_multi));
  }
  if (_loop.joinable() && _loop.get_id() != std::this_thread::get_id()) {
    std::lock_guard lock(_poolMutex);  // two stopping threads must not join at once
    if (_loop.joinable()) _loop.join();
  }
  std::vector<std::unique_ptr<Connection>> idle;
  {
    std::lock_guard lock(_poolMutex);
    idle.swap(_pool);
  }
  for (auto& c : idle) curl_easy_cleanup(static_cast<CURL*>(c->easy));
}

void Transport::Deliver(std::shared_ptr<AsyncTransfer> const& transfer, AsyncTransfer::Outcome outcome) {
  if (transfer->delivered) return;
  transfer->delivered = true;
  transfer->outcome = outcome;
  if (outcome == AsyncTransfer::Outcome::Canceled) {
    transfer->error =
        MakeCanceled(IsStopped() ? "the call to " + _config.url + " was abandoned: the adapter is shut down"
                                 : "the call to " + _config.url + " was cancelled");
  }
  std::function<void(AsyncTransfer&)> done;
  done.swap(transfer->done);
  if (done) {
    try {
      done(*transfer);
    } catch (...) {
      // `done` only hands work over; nothing to do if even that failed.
    }
  }
}

void Transport::Loop() {
  CURLM* multi = static_cast<CURLM*>(_multi);
  struct Active {
    std::shared_ptr<AsyncTransfer> transfer;
    Sink sink;
  };
  std::unordered_map<CURL*, std::unique_ptr<Active>> active;
  auto release = [&](CURL* e) {
    curl_multi_remove_handle(multi, e);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, nullptr);
    if (_asyncPool.size() < 64) {
      _asyncPool.push_back(e);
    } else {
      curl_easy_cleanup(e);
    }
  };
  for (;;) {
    std::deque<std::shared_ptr<AsyncTransfer>> submitted;
    std::vector<std::shared_ptr<AsyncTransfer>> cancels;
    bool stopping;
    {
      std::lock_guard lock(_loopMutex);
      submitted.swap(_submitted);
      cancels.swap(_cancels);
      stopping = IsStopped();
    }
    for (auto& t : submitted) {
      std::uint32_t expected = AsyncTransfer::kQueued;
      if (stopping || !t->phase.compare_exchange_strong(expected, AsyncTransfer::kSent, std::memory_order_acq_rel)) {
        Deliver(t, AsyncTransfer::Outcome::Canceled);
        continue;
      }
      CURL* e;
      if (!_asyncPool.empty()) {
        e = static_cast<CURL*>(_asyncPool.back());
        _asyncPool.pop_back();
      } else {
        try {
          e = static_cast<CURL*>(NewEasy());
        } catch (...) {
          t->error = std::make_unique<TransportError>(_config.url, "out of memory for a transfer");
          Deliver(t, AsyncTransfer::Outcome::Failed);
          continue;
        }
      }
      auto entry = std::make_unique<Active>(Active{t, Sink{&t->reply.body, _config.maxResponseBytes, &t->oversized}});
      curl_easy_setopt(e, CURLOPT_WRITEDATA, &entry->sink);
      curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorText);
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->request.data());
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t->request.size()));
      t->easy = e;
      active.emplace(e, std::move(entry));
      curl_multi_add_handle(multi, e);
    }
    for (auto& t : cancels) {
      if (t->delivered || !t->easy) continue;
      CURL* e = static_cast<CURL*>(t->easy);
      t->easy = nullptr;
      release(e);
      active.erase(e);
      Deliver(t, AsyncTransfer::Outcome::Canceled);
    }
    if (stopping) {
      for (auto& [e, entry] : active) {
        entry->transfer->easy = nullptr;
        release(e);
        Deliver(entry->transfer, AsyncTransfer::Outcome::Canceled);
      }
      active.clear();
      break;
    }
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* e = msg->easy_handle;
      CURLcode rc = msg->data.result;
      auto it = active.find(e);
      if (it == active.end()) continue;
      std::unique_ptr<Active> entry = std::move(it->second);
      active.erase(it);
      std::shared_ptr<AsyncTransfer> t = entry->transfer;
      curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &t->reply.status);
      t->easy = nullptr;
      release(e);
      std::uint32_t expected = AsyncTransfer::kSent;
      if (!t->phase.compare_exchange_strong(expected, AsyncTransfer::kAnswered, std::memory_order_acq_rel)) {
        Deliver(t, AsyncTransfer::Outcome::Canceled);
      } else if (rc == CURLE_OK) {
        Deliver(t, AsyncTransfer::Outcome::Answered);
      } else {
        t->error = MakeError(rc, t.get(), t->errorText, t->oversized);
        Deliver(t, t->error && dynamic_cast<Fault::RequestCanceled::Exception*>(t->error.get())
                       ? AsyncTransfer::Outcome::Canceled
                       : AsyncTransfer::Outcome::Failed);
      }
    }
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  for (void* e : _asyncPool) curl_easy_cleanup(static_cast<CURL*>(e));
  _asyncPool.clear();
}

// The cookie engine is shared by every handle; one handle of its own reads and
// writes it, under the pool's lock, so that it works also after Stop.
std::string Transport::GetCookie(std::string const& name) {
  std::lock_guard lock(_poolMutex);
  if (!_cookieEasy) _cookieEasy = NewEasy();
  CURL* e = static_cast<CURL*>(_cookieEasy);
  curl_slist* cookies = nullptr;
  curl_easy_getinfo(e, CURLINFO_COOKIELIST, &cookies);
  std::string value;
  // Netscape cookie-file lines: domain, tailmatch, path, secure, expires, name, value.
  for (curl_slist* c = cookies; c; c = c->next) {
    std::string_view line(c->data);
    std::size_t field = 0, start = 0;
    std::string_view fields[7];
    while (field < 7) {
      std::size_t tab = line.find('\t', start);
      fields[field++] = line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    if (field == 7 && fields[5] == name) value = std::string(fields[6]);
  }
  curl_slist_free_all(cookies);
  return value;
}

void Transport::SetCookie(std::string const& name, std::string const& value) {
  std::lock_guard lock(_poolMutex);
  if (!_cookieEasy) _cookieEasy = NewEasy();
  // Netscape cookie-file form: domain, tailmatch, path, secure, expires (0:
  // for the session), name, value. Not secure-only, so that it is also sent
  // to a plain-HTTP URL of the same host; an expiry in the past removes it.
  std::string line = _cookieHost + "\tFALSE\t/\tFALSE\t" + (value.empty() ? "1" : "0") + "\t" + name + "\t" + value;
  curl_easy_setopt(static_cast<CURL*>(_cookieEasy), CURLOPT_COOKIELIST, line.c_str());
}

void Transport::ClearCookies() {
  std::lock_guard lock(_poolMutex);
  if (!_cookieEasy) _cookieEasy = NewEasy();
  curl_easy_setopt(static_cast<CURL*>(_cookieEasy), CURLOPT_COOKIELIST, "ALL");
}

}  // namespace Quill::Http::Detail
