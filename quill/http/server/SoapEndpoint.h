// The endpoint of calls: a POST body decoded into a call, the checks the
// server makes before it (the version a SOAPAction names, failed-login
// throttling), the call on the CallTarget with the caller's session, and its
// answer or fault encoded by the codec.
//
// Threads: a small body is decoded on the thread that read it; a call the
// target says may not block is made there too, so a getter never changes
// threads. Larger bodies are decoded, and calls that may block are made, on
// the worker pool. A call the target defers frees its thread at once and is
// answered on the thread that completes it.
// Internal to quill-http-server.
#pragma once

#include <boost/asio/thread_pool.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Exchange.h"
#include "ServerStats.h"
#include "SessionStore.h"
#include "quill/CallTarget.h"
#include "quill/wire/Wire.h"

namespace Quill::HttpServerParts {

// What the server knows of the caller of one call.
struct Caller {
  std::vector<std::string> sessionIds;  // from its cookies
  std::string soapAction;
  std::string address;
};

class SoapEndpoint {
 public:
  struct Options {
    Wire::Limits decodeLimits;
    // Bodies up to this size are decoded on the thread that read them.
    std::size_t inlineDecodeBytes = 8u << 10;
  };

  SoapEndpoint(CallTarget* target, SessionStore& sessions, ServerCounters& counters, boost::asio::thread_pool& pool,
               Options options);

  // The handler of a call's POST: 503 when the server has no room for
  // another call, else Accept.
  void Serve(Exchange& exchange);

  // Takes one call; `sink` gets its answer exactly once, unless LetGo comes
  // first. `bodyShare` is let go once the body is decoded.
  void Accept(std::string body, Caller caller, std::shared_ptr<void> bodyShare, AnswerSink sink);

  // Calls still unanswered (deferred ones no one completed) are let go: their
  // sinks are dropped without a call, and an answer that comes later is
  // dropped too. For the server's stop, once the workers are joined.
  void LetGo();

  std::size_t PendingCount();

 private:
  // One call from its first thread to its answer, which may come later from
  // another thread. LetGo cuts the tie of those still unanswered.
  struct Pending {
    std::mutex mutex;
    bool live = true;
    std::uint64_t id = 0;
    AnswerSink sink;
  };
  struct Call;

  void Run(std::shared_ptr<Call> const& call, bool onWorker);
  void Start(std::shared_ptr<Call> const& call, bool onWorker);
  void Invoke(std::shared_ptr<Call> const& call);
  void Deliver(Pending& p, Answer&& answer);  // with p.mutex held and p.live
  void FaultAnswer(Answer& answer, MethodFault* fault, Version const* version, bool clientFault);

  CallTarget* _target;
  SessionStore& _sessions;
  ServerCounters& _counters;
  boost::asio::thread_pool& _pool;
  Options _options;
  std::mutex _pendingMutex;
  std::unordered_map<std::uint64_t, std::shared_ptr<Pending>> _pending;
  std::uint64_t _nextPending = 1;
};

}  // namespace Quill::HttpServerParts
