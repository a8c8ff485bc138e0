// Serves the managed objects registered with a Quill::LocalAdapter to callers
// over HTTP/1.1: each call is one POST of a SOAP request (docs/wire-format.md)
// to `path` ("/sdk"), answered 200 with the response or 500 with a SOAP fault.
// The calls go through the adapter's public Invoke, so registration, the
// privilege checker, dispatch and server tasks are exactly those of
// in-process calls.
//
//   Quill::LocalAdapter adapter(options);            // objects registered as usual
//   Quill::HttpServer server(&adapter, {.port = 0});  // listening from here on
//   std::printf("http://127.0.0.1:%u/sdk\n", server.GetPort());
//   ...
//   server.Stop();                                   // or the destructor
//
// Requests (the target in origin form, "/sdk", or absolute form,
// "http://host:port/sdk", as a proxy sends it):
//   POST <path>               a call. The message's own apiVersion header (or
//                             the newest release when it has none) decides the
//                             version; SOAPAction is not needed. A request the
//                             server cannot read is answered with a
//                             soapenv:Client fault (InvalidRequest); so is one
//                             whose SOAPAction names a version
//                             ("urn:<wireNamespace>/<wireVersion>", as the
//                             WSDL and Quill::HttpAdapter write it) other than
//                             the one the message speaks. Any other SOAPAction
//                             is ignored.
//   GET  <path>/<name>.wsdl   the files of `wsdlDirectory` whose names end in
//   GET  <path>/<name>.xsd    .wsdl or .xsd (the generator's <wireNamespace>.wsdl
//                             and .xsd files); `wsdlName`, when the directory
//                             has no file of that name, is the WSDL of the newest
//                             release (Wire::DefaultVersion()'s namespace).
//                             Each file is read once and served from memory
//                             shared by all responses; gzip-compressed when the
//                             request accepts gzip. A WSDL's service address
//                             (its first soap:address) is served as the address
//                             the request came to: scheme of the server, host
//                             and port of the Host header (or of an absolute
//                             target), `path`.
// Anything else: 404, or 405 for another method on `path`.
//
// Request heads that two servers could read differently are refused with 400
// and the connection closed, before any body is read: a Transfer-Encoding
// other than exactly "chunked" (or repeated, or beside Content-Length, or in
// HTTP/1.0), an HTTP/1.1 request without Host, a repeated Host, a Host that
// names no host.
//
// Sessions: each caller that sends no valid session cookie (`sessionCookie`,
// "<cookie>" below) gets a new,
// empty Quill::RequestContext for its call. The context reaches the privilege
// checker and the implementation (LocalAdapter::CurrentCall()->context). When
// the call leaves something in it (an implementation of login stores who
// logged in), the server keeps the context as a session and answers with
// `Set-Cookie: <cookie>=<128 random bits>; Path=/; HttpOnly;
// SameSite=Strict` (plus `Secure` over TLS); later calls carrying the cookie
// get the same context, shared by concurrent calls of the session (its
// operations are synchronised). The Cookie header is read as RFC 6265 writes
// it: other cookies beside the session's may hold any value. A session id
// names one login: a successful call of one of `loginMethods`, on a session
// or not, gets a new id (the old one is forgotten), and a call that leaves
// the context empty (logout) drops the session with its id and answers with
// an expired cookie. Values under keys that begin with "quill." are what the
// runtime's own services keep for a session (the query service's tie to it):
// they keep an anonymous session, but a call that leaves a session holding
// nothing else (logout) ends it as well, and those values go with it.
// A session unused for `sessionIdleTimeout` is dropped: its cookie then
// counts as none, so a checker that asks for a login refuses the call.
// Callers without cookies leave nothing behind. Beyond `maxSessions` the
// least recently used session is dropped.
//
// Failed logins: a call of one of `loginMethods` that ends in a fault counts
// against the caller's session (if it sent one) and its client address.
// After maxFailedLoginsPerSession (per address: maxFailedLoginsPerAddress)
// failures within failedLoginWindow, logins from that session (address) are
// answered with a Fault::SecurityError ("too many failed logins; try again in
// N s", HTTP 500 with Retry-After) for loginBackoff, without reaching the
// implementation.
//
// Limits, each answered with a status and the connection closed after it:
//   body over maxBodyBytes                        413
//   request bodies held by the server (being
//   received or waiting for their call) over
//   maxBodyBytesInFlight                          503 with Retry-After
//   header block over maxHeaderBytes; also chunk
//   extensions of one request together, and the
//   trailer                                       431
//   request not complete within readTimeout       408 (a keep-alive
//                                                 connection idle that long
//                                                 is closed without answer)
//   more than maxConnections open                 503, then closed
//   more than maxCallsInFlight calls accepted
//   and not yet answered                          503 (connection kept)
//   unreadable HTTP                               400
// Writes that take longer than writeTimeout close the connection.
//
// File descriptors: at start the process's soft limit of open files is raised
// to its hard limit (`raiseFileLimit`), and one descriptor is held in
// reserve. When accepting fails for want of descriptors, the reserve is let
// go to accept the waiting clients one at a time, answer each 503 (over TLS:
// close it) and take the reserve back; the acceptor then waits 50 ms before
// it tries again, so it never spins on the error.
//
// Threads: `ioThreads` threads read and write the connections. A request
// body of up to `inlineDecodeBytes` is decoded on the I/O thread that read
// it, and a call its target says cannot block (CallTarget::MayBlock; for a
// LocalAdapter, property reads unless its options say otherwise) is made and
// answered there, with no hand-off between threads. Larger bodies are decoded,
// and calls that may block (task methods, the query service's waits) are
// made, on a pool of `workers` threads (CallTarget::InvokeThen). A call that
// blocks holds one worker; a call its implementation defers (the query
// service's wait for updates) frees its thread at once and is encoded and
// answered on the thread that completes it. A deferred call still counts against maxCallsInFlight and keeps its
// connection, so maxCallsInFlight and maxConnections bound the waits held.
// A session the server drops (idle expiry, beyond maxSessions) has every
// value of its context removed, also while a held call keeps the context:
// the query service then ends that session's collectors and answers its
// wait with RequestCanceled.
//
// Stop (explicit, or by the destructor; idempotent): no new connections;
// idle connections and those still sending a request are closed; calls
// already accepted are carried out and answered (with "Connection: close"),
// up to `grace`, after which the remaining connections are closed; then the
// workers and I/O threads are joined. Stop waits for every call already on a
// worker to return from the adapter, however long `grace` is. Calls still
// deferred when the grace ends are let go: their connections close without
// an answer, and an answer that comes later is dropped. The adapter is
// not shut down: it belongs to the caller and must outlive the server.
// Order: stop the services that defer calls (QueryService::Stop answers
// every wait with RequestCanceled) before the server, so that the waits are
// answered within the grace; then the server; then the adapter.
//
// Errors: the constructor throws Basalt::Exception whose message names the
// server, the address and the reason ("HttpServer: cannot listen on
// 127.0.0.1:80: Permission denied", "HttpServer: certificate file 'x.pem':
// ..."); nothing is left running when it throws.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quill/CallTarget.h"
#include "quill/LocalAdapter.h"
#include "quill/wire/Wire.h"

namespace Quill {

class HttpServer {
 public:
  struct Options {
    std::string address = "127.0.0.1";  // IPv4 or IPv6 literal
    std::uint16_t port = 0;             // 0: a free port, see GetPort()
    // Both set: HTTPS (PEM files; the certificate file may hold a chain).
    std::string certificateFile;
    std::string privateKeyFile;
    // Where the WSDL and its .xsd files are; empty: WSDL requests get 404.
    std::string wsdlDirectory;
    std::string path = "/sdk";

    unsigned ioThreads = 1;
    unsigned workers = 4;
    std::size_t maxConnections = 1024;
    std::size_t maxCallsInFlight = 256;
    std::size_t maxBodyBytes = 16u << 20;
    // The request bodies the whole server holds at once (being received, or
    // received and waiting for or in their call); a request that would take
    // more is answered 503.
    std::size_t maxBodyBytesInFlight = 256u << 20;
    std::size_t maxHeaderBytes = 16u << 10;  // at most 60 KiB: larger values count as that
    std::chrono::milliseconds readTimeout{30000};
    std::chrono::milliseconds writeTimeout{30000};
    std::chrono::milliseconds sessionIdleTimeout{30 * 60 * 1000};
    std::size_t maxSessions = 10000;
    // The methods that log a caller in, by full name: a successful call gives
    // the caller a new session id, a failed one (a fault) counts against the
    // caller's session and address.
    std::vector<std::string> loginMethods;  // empty: those of the registered type library
    // After this many failed logins within failedLoginWindow, from one session
    // or one client address, that session or address is refused logins for
    // loginBackoff (0: no limit).
    unsigned maxFailedLoginsPerSession = 5;
    unsigned maxFailedLoginsPerAddress = 20;
    std::chrono::milliseconds failedLoginWindow{60000};
    std::chrono::milliseconds loginBackoff{30000};
    // At start, raise the process's soft limit of open files to its hard limit.
    bool raiseFileLimit = true;
    // Limits of the request decoder (a request is also bounded by maxBodyBytes).
    Wire::Limits decodeLimits;
    // Request bodies up to this size are decoded on the I/O thread that read them.
    std::size_t inlineDecodeBytes = 8u << 10;
    // The names the server goes by; empty: those of the type library the
    // program loaded (quill/Identity.h).
    std::string sessionCookie;  // the session cookie's name
    std::string serverName;     // the Server header
    std::string wsdlName;       // the WSDL served for the newest release
  };

  // What the server has done so far; counts only grow, except the first four.
  struct Stats {
    std::size_t openConnections = 0;
    std::size_t callsInFlight = 0;
    std::size_t sessions = 0;
    std::size_t bodyBytesInFlight = 0;  // of maxBodyBytesInFlight, taken now
    std::uint64_t connectionsAccepted = 0;
    std::uint64_t callsAnswered = 0;           // 200 or SOAP fault
    std::uint64_t faults = 0;                  // of those, answered with a fault
    std::uint64_t rejectedBodyTooLarge = 0;    // 413
    std::uint64_t rejectedHeaderTooLarge = 0;  // 431
    std::uint64_t rejectedTimeout = 0;         // 408
    std::uint64_t rejectedConnections = 0;     // 503 at accept
    std::uint64_t rejectedBusy = 0;            // 503 for calls in flight
    std::uint64_t badRequests = 0;             // 400
    std::uint64_t rejectedBodyBudget = 0;      // 503 for maxBodyBytesInFlight
    std::uint64_t rejectedNoDescriptors = 0;   // 503 (or closed) out of file descriptors
    std::uint64_t refusedLogins = 0;           // logins refused after failures
  };

  // Listens at once. `adapter` must not be null and must outlive the server.
  HttpServer(LocalAdapter* adapter, Options options);
  // Serves calls on any call target (one that forwards, caches, or a test
  // double) as it would those of a LocalAdapter; the target must outlive the
  // server. Which calls it says may block decides where they are made (see
  // Threads above).
  HttpServer(CallTarget& target, Options options);
  ~HttpServer();  // Stop()

  HttpServer(HttpServer const&) = delete;
  HttpServer& operator=(HttpServer const&) = delete;

  // The port listened on (the chosen one when Options::port was 0).
  std::uint16_t GetPort() const noexcept;
  bool IsTls() const noexcept;
  // "http://127.0.0.1:<port>/sdk" or https://..., IPv6 addresses in brackets.
  std::string GetUrl() const;
  Stats GetStats() const;

  void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(30000));

  struct Impl;

 private:
  std::unique_ptr<Impl> _impl;
};

}  // namespace Quill
