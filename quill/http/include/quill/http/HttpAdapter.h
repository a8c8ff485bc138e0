// The client end of a call over the network: a StubAdapter that carries each
// call as one HTTP request to a server (libcurl underneath), so that the
// generated stubs call a remote server exactly as they call a LocalAdapter.
//
// The exchange, which the server end (Quill::HttpServer) answers:
//   - HTTP/1.1 POST to the URL of the settings, path included (a server
//     serves "/sdk" by default: "http://127.0.0.1:8080/sdk");
//   - request headers
//       Content-Type: text/xml; charset=utf-8
//       SOAPAction: "urn:<wireNamespace>/<wireVersion>"   (of the adapter's version)
//     and the body is the SOAP request of Quill::Wire::EncodeRequest
//     (docs/wire-format.md);
//   - the answer is HTTP 200 with the SOAP response, or HTTP 500 with a SOAP
//     fault, which is rethrown here as the fault's own nested exception class;
//     any other status is an HttpStatusError;
//   - the server names the caller's session with a cookie (the registered
//     library's, quill/Identity.h, unless the settings name another);
//     the adapter keeps every cookie the server sets (and so the session) and
//     sends it with each later call from every stub that shares the adapter.
//     (A stub's RequestContext stays on the client: the session's context is
//     the server's, named by the cookie.) Connections are kept alive and reused.
//
// Sync call (Invoke), on the caller's thread:
//   1. the adapter is not shut down            else Fault::RequestCanceled
//   2. a method object and a target are given  else Fault::InvalidArgument
//   3. the request is encoded for the adapter's version; a method (or
//      property) newer than that version is refused with Fault::NotSupported
//      before anything is sent
//   4. one POST on a pooled connection (a thread that calls one after the
//      other keeps using the same connection)
//   5. the response is decoded: the result, or the fault thrown as its own
//      class. Transport failures are the Http::TransportError classes below.
// Shutdown aborts sync calls in flight on other threads with RequestCanceled.
//
// Async call (StartInvoke): the request is encoded on the caller's thread, the
// handle (a Quill::PendingCall, quill/PendingCall.h) is set and the transfer is handed to one thread
// that the adapter owns, which drives every async transfer through one curl
// multi handle. Completions run on a small executor (`completionThreads`
// threads): the callback is called exactly once, with the handle, the
// exception (a heap copy of the most-derived class) or null, and the raw
// result or null; only after it has returned does the handle become done.
// A failure to encode (NotSupported, InvalidArgument) is delivered the same
// way. At most `maxPendingCalls` async calls are pending; a caller that finds
// no room waits for it, except a completion thread, which is never made to
// wait. A callback that throws is caught, kept on the handle and counted.
//
// Cancel() on a handle whose call is queued or in flight aborts it: the
// callback receives Fault::RequestCanceled and Cancel answers true. Once its
// completion has begun on a completion thread (the answer is being decoded,
// the callback is about to run or has run) it answers false; an answer that
// arrived but whose completion had not begun is dropped. A cancelled handle
// ends Canceled, every other one Completed.
//
// Shutdown (explicit, or by the destructor): new calls are refused with
// RequestCanceled; every async call not yet answered is aborted and its
// callback receives RequestCanceled; answers already received are delivered;
// the loop and the completion threads are joined (a completion thread that
// shuts the adapter down detaches itself and finishes on its own). Nothing
// pending is lost.
//
// TLS ("https" URLs): the peer is verified by default against the system's CA
// store, or against `caFile`; with `pinnedCertificateSha256` set, exactly the
// certificate with that SHA-256 thumbprint is accepted (the CA chain and the
// host name are then not consulted: the thumbprint names the certificate).
// `insecureSkipTlsVerification` turns verification off altogether; never use
// it outside tests. Proxies come from the usual environment variables
// (http_proxy, https_proxy, no_proxy), as libcurl reads them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "basalt/ScheduledItem.h"
#include "quill/Faults.h"
#include "quill/PendingCall.h"
#include "quill/Registry.h"
#include "quill/Stub.h"

namespace Quill {

namespace Http {

// --- transport faults ---------------------------------------------------------------
// Failures of the transport, not of the called method. Each is a
// Fault::SystemError (so `catch (Quill::Fault::SystemError::Exception&)` and
// every base catch them too) whose `reason` and what() read
// "<url>: <what happened>". Tell them apart by class:
class TransportError : public Fault::SystemError::Exception {
 public:
  TransportError(std::string const& url, std::string const& reason);
  TransportError(TransportError const& other);
  ~TransportError() override;
  TransportError* Clone() const override;
  [[noreturn]] void Throw() const override;
  char const* what() const noexcept override;
  std::string const& GetMessage() const noexcept override;

  std::string const& GetUrl() const noexcept { return _url; }
  // The reason without the URL.
  std::string const& GetReason() const noexcept { return _reason; }

 private:
  std::string _url;
  std::string _reason;
  std::string _message;
};

#define QUILL_HTTP_TRANSPORT_ERROR(Name)      \
  class Name : public TransportError {        \
   public:                                    \
    using TransportError::TransportError;     \
    Name(Name const&) = default;              \
    ~Name() override;                         \
    Name* Clone() const override;             \
    [[noreturn]] void Throw() const override; \
  };

// No connection could be made: nobody listens, the host is unknown, the
// route is refused (also a proxy that cannot be reached).
QUILL_HTTP_TRANSPORT_ERROR(ConnectFailed)
// The connect timeout or the per-call timeout passed.
QUILL_HTTP_TRANSPORT_ERROR(TimedOut)
// The TLS handshake failed: certificate not trusted, wrong thumbprint, wrong
// host name, unreadable CA file, protocol error.
QUILL_HTTP_TRANSPORT_ERROR(TlsFailure)
// The answer could not be read as a response to the call: not HTTP, cut
// short, larger than maxResponseBytes, or not a SOAP message the codec reads.
QUILL_HTTP_TRANSPORT_ERROR(BadResponse)
#undef QUILL_HTTP_TRANSPORT_ERROR

// An HTTP status other than 200, or a 500 whose body is not a SOAP fault.
class HttpStatusError : public TransportError {
 public:
  HttpStatusError(std::string const& url, long status, std::string const& reason);
  HttpStatusError(HttpStatusError const&) = default;
  ~HttpStatusError() override;
  HttpStatusError* Clone() const override;
  [[noreturn]] void Throw() const override;
  long GetStatus() const noexcept { return _status; }

 private:
  long _status;
};

// --- call hook ----------------------------------------------------------------------
enum class CallOutcome {
  Result,          // the method's result (or none) came back
  Fault,           // the server answered with a fault
  TransportError,  // one of the TransportError classes
  Canceled,        // cancelled or shut down before the answer came
  Refused,         // refused before sending (NotSupported, bad argument)
};
char const* ToString(CallOutcome outcome) noexcept;

struct CallRecord {
  std::string_view method;  // "<type>.<method>"
  std::string_view target;  // "Folder:group-d1"
  bool async = false;
  std::chrono::nanoseconds duration{0};  // from encoding to decoded answer
  std::size_t bytesSent = 0;             // request body
  std::size_t bytesReceived = 0;         // response body
  long httpStatus = 0;                   // 0 when no answer arrived
  CallOutcome outcome = CallOutcome::Result;
  // For anything but Result: the exception's class and message.
  std::string_view error;
};

// Called once per call, after its answer is decoded and before the caller
// sees it (sync: on the caller's thread; async: on a completion thread, before
// the callback). Must not throw: what it throws is swallowed.
using CallHook = std::function<void(CallRecord const&)>;

// A hook that writes one line per call to stderr, led by the registered
// identity's client name:
//   <client> 1.234ms async <type>.createFolder Folder:group-d1 -> result (200, 412/380 bytes)
CallHook StderrCallLogger();

}  // namespace Http

// The handle of an asynchronous call on an HttpAdapter: the one every adapter
// hands out (quill/PendingCall.h).
using HttpPendingCall = PendingCall;

class HttpAdapter final : public StubAdapter {
 public:
  struct Settings {
    // "http://host:port/path" or "https://…"; required.
    std::string url;
    // The version the calls speak; null: Quill::Wire::DefaultVersion().
    Version const* version = nullptr;
    std::chrono::milliseconds connectTimeout{10'000};
    // The whole call, connect included. Zero: no limit.
    std::chrono::milliseconds callTimeout{60'000};
    // A larger response body fails the call with BadResponse.
    std::size_t maxResponseBytes = 64u << 20;

    // TLS, for https URLs; see the comment at the top.
    std::string caFile;                   // empty: the system's CA store
    std::string pinnedCertificateSha256;  // 64 hex digits, colons allowed (see below)
    bool insecureSkipTlsVerification = false;

    // Async calls.
    unsigned completionThreads = 2;
    std::size_t maxPendingCalls = 4096;
    // Connections the async loop opens to the server at most; more transfers
    // wait for a free one.
    unsigned maxAsyncConnections = 16;

    Http::CallHook hook;  // empty: none

    // Extra request headers, "Name: value" each, sent with every call (a
    // token a gateway asks for, a tracing id). Content-Type, SOAPAction,
    // Content-Length, Transfer-Encoding, Host, Expect, Connection and Cookie
    // are the adapter's own and refused here.
    std::vector<std::string> headers;
    // A session to continue: the session cookie's value another adapter
    // (or an earlier run of the program, see GetSessionCookie) was given. Sent
    // from the first call on, as if this adapter had logged in itself.
    std::string sessionCookie;
    // The session cookie's name and the User-Agent; empty: those of the
    // registered library identity (quill/Identity.h).
    std::string sessionCookieName;
    std::string userAgent;
  };

  // Checks the settings: an empty or malformed URL, a scheme other than http
  // or https, a malformed thumbprint, an unreadable CA file, a malformed or
  // reserved header, a session cookie with characters a cookie cannot hold
  // throw Fault::InvalidArgument::Exception (invalidProperty the setting's
  // name: "url", "pinnedCertificateSha256", "caFile", "headers", ...).
  // Nothing is sent yet. A thumbprint may be written as
  // `openssl x509 -noout -fingerprint -sha256` prints it, label included
  // ("sha256 Fingerprint=AB:CD:..."), with or without colons, in any case.
  explicit HttpAdapter(Settings settings);
  ~HttpAdapter() override;  // Shutdown()

  std::string const& GetUrl() const noexcept;
  Version const* GetVersion() const noexcept;

  // The session the server named in its session cookie, or empty.
  std::string GetSessionCookie() const;
  // Continues the session named by `cookie` from the next call on (empty:
  // forgets the session), as Settings::sessionCookie does at the start.
  void SetSessionCookie(std::string const& cookie);
  // Forgets every cookie (a new session starts with the next call).
  void ClearCookies();

  void Shutdown();
  bool IsShutDown() const noexcept;
  // TCP connections opened so far, sync and async: with keep-alive, one per
  // calling thread and one per concurrent async call, not one per call.
  std::uint64_t GetConnectCount() const noexcept;
  // Exceptions thrown by completion callbacks so far.
  std::uint64_t GetCallbackFailureCount() const noexcept;

  // StubAdapter
  void Invoke(MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result,
              RequestContext* context) override;
  void StartInvoke(MoRef* target, ManagedMethod* method, ArgVector& args, InvokeCallback const& callback,
                   Basalt::Ref<Basalt::System::ScheduledItem>& item, RequestContext* context) override;

 private:
  struct Core;
  struct AsyncCall;
  // Decodes the answer of an async call, reports it and calls its callback.
  static void Complete(std::shared_ptr<Core> const& core, PendingCall* call, AsyncCall& state);
  std::shared_ptr<Core> _core;  // shared with the loop and completion threads
};

}  // namespace Quill
