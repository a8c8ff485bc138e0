#include "SoapEndpoint.h"

#include <boost/asio/post.hpp>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"

namespace Quill::HttpServerParts {

namespace net = boost::asio;
namespace rules = HttpServerRules;
using Clock = std::chrono::steady_clock;

namespace {

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

Answer CallFailed() { return Answer{http::status::internal_server_error, "call failed\n", {}, {}}; }

}  // namespace

struct SoapEndpoint::Call {
  std::string body;
  Caller caller;
  std::shared_ptr<void> share;
  std::shared_ptr<Pending> pending;
  Wire::Request request;
  SessionStore::Found found;
  Basalt::Ref<RequestContext> context;
  bool wasEmpty = false;
  bool hadOwn = false;  // the session held values of its own (SessionStore::HoldsOwn)
  bool login = false;
};

SoapEndpoint::SoapEndpoint(CallTarget* target, SessionStore& sessions, ServerCounters& counters, net::thread_pool& pool,
                           Options options)
    : _target(target), _sessions(sessions), _counters(counters), _pool(pool), _options(std::move(options)) {}

void SoapEndpoint::Serve(Exchange& exchange) {
  Request& req = exchange.GetRequest();
  if (!exchange.BeginCall()) {
    _counters.r503busy++;
    Response res = TextResponse(http::status::service_unavailable, "too many calls in flight\n", req.version());
    res.set(http::field::retry_after, "1");
    return exchange.Send(std::move(res));
  }
  Caller caller;
  caller.sessionIds = _sessions.IdsFrom(req);
  caller.soapAction = std::string(req[http::field::soapaction]);
  caller.address = exchange.GetPeer();
  Accept(std::move(req.body()), std::move(caller), exchange.TakeBodyShare(), exchange.CallSink());
}

void SoapEndpoint::Accept(std::string body, Caller caller, std::shared_ptr<void> bodyShare, AnswerSink sink) {
  auto call = std::make_shared<Call>();
  call->body = std::move(body);
  call->caller = std::move(caller);
  call->share = std::move(bodyShare);
  auto p = std::make_shared<Pending>();
  p->sink = std::move(sink);
  {
    std::lock_guard<std::mutex> lock(_pendingMutex);
    p->id = _nextPending++;
    _pending.emplace(p->id, p);
  }
  call->pending = std::move(p);
  if (call->body.size() > _options.inlineDecodeBytes) {
    net::post(_pool, [this, call] { Run(call, true); });
  } else {
    Run(call, false);
  }
}

void SoapEndpoint::Run(std::shared_ptr<Call> const& call, bool onWorker) {
  try {
    Start(call, onWorker);
  } catch (...) {
    // Not even a fault could be written (out of memory, say): the call is still
    // answered, so that nothing waits for it.
    Pending& p = *call->pending;
    std::lock_guard<std::mutex> lock(p.mutex);
    if (p.live) Deliver(p, CallFailed());
  }
}

// Decodes and checks the call; makes it here, or on a worker when it may block.
void SoapEndpoint::Start(std::shared_ptr<Call> const& call, bool onWorker) {
  Answer answer;
  Version const* version = nullptr;
  Basalt::Ref<MethodFault> fault;
  bool clientFault = false;
  bool decoded = false;
  try {
    Wire::DecodeOptions decode;
    decode.limits = _options.decodeLimits;
    call->request = Wire::DecodeRequest(call->body, decode);
    // Decoded, the body is no longer the call's: its share goes back before any answer leaves,
    // so that a client's next request never finds its last one still counted.
    call->share.reset();
    Wire::Request& request = call->request;
    version = request.version;
    decoded = true;
    std::string_view ns = version->GetWireNamespace() ? version->GetWireNamespace() : "";
    std::string_view wire = version->GetWireVersion() ? version->GetWireVersion() : "";
    auto named = rules::SoapActionVersion(call->caller.soapAction);
    if (named && (named->first != ns || named->second != wire)) {
      // A client that names two versions is told so rather than answered in one.
      fault = FaultWithText<Fault::InvalidRequest>("SOAPAction names version " + std::string(named->first) + "/" +
                                                   std::string(named->second) + " but the message speaks " +
                                                   std::string(ns) + "/" + std::string(wire));
      clientFault = true;
    } else {
      call->login = _sessions.IsLogin(request.method);
      call->found = _sessions.Find(call->caller.sessionIds);
      std::chrono::milliseconds wait(0);
      if (call->login) wait = _sessions.LoginRefused(call->found, call->caller.address, Clock::now());
      if (wait.count() > 0) {
        _counters.refusedLogins++;
        auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
        answer.retryAfter = std::to_string(seconds);
        fault = FaultWithText<Fault::SecurityError>("too many failed logins; try again in " + std::to_string(seconds) +
                                                    " s");
      }
    }
    if (!fault) {
      call->context = call->found.context;
      if (!call->context) call->context = new RequestContext();
      call->wasEmpty = call->context->GetKeys().empty();
      call->hadOwn = call->found.context && SessionStore::HoldsOwn(*call->context);
      if (!onWorker && _target->MayBlock(request.target.get(), request.method)) {
        net::post(_pool, [this, call] {
          try {
            Invoke(call);
          } catch (...) {
            Pending& p = *call->pending;
            std::lock_guard<std::mutex> lock(p.mutex);
            if (p.live) Deliver(p, CallFailed());
          }
        });
        return;
      }
      Invoke(call);
      return;
    }
  } catch (...) {
    fault = HandledFault(decoded, version, clientFault);
  }
  call->share.reset();
  FaultAnswer(answer, fault.get(), version, clientFault);
  Pending& p = *call->pending;
  std::lock_guard<std::mutex> lock(p.mutex);
  if (p.live) Deliver(p, std::move(answer));
}

// The answer is composed and sent by `done`: here when the call returns, or on
// the thread that completes a deferred call.
void SoapEndpoint::Invoke(std::shared_ptr<Call> const& call) {
  ManagedMethod* method = call->request.method;
  Version const* version = call->request.version;
  CallTarget::Done done = [this, call, method, version](Basalt::Ref<Any> result,
                                                        std::unique_ptr<Basalt::Exception> error) {
    Pending& p = *call->pending;
    // Under the call's own lock: once LetGo has cut the tie, the server may be gone.
    std::lock_guard<std::mutex> lock(p.mutex);
    if (!p.live) return;
    Answer answer;
    try {
      try {
        if (error) error->Throw();
        answer.setCookie = _sessions.AfterCall(call->found, call->context.get(), call->wasEmpty, call->login,
                                               Clock::now(), call->hadOwn);
        answer.body = Wire::EncodeResponse(method, result.get(), version);
        _counters.answered++;
      } catch (...) {
        if (error) {
          if (call->login) _sessions.LoginFailed(call->found, call->caller.address, Clock::now());
          // What the call stored (a failed login attempt counted, say) still
          // belongs to the session.
          answer.setCookie = _sessions.AfterCall(call->found, call->context.get(), call->wasEmpty, false);
        }
        Version const* v = version;
        bool client = false;
        Basalt::Ref<MethodFault> f = HandledFault(true, v, client);
        FaultAnswer(answer, f.get(), v, client);
      }
    } catch (...) {
      answer = CallFailed();
    }
    Deliver(p, std::move(answer));
  };
  try {
    _target->InvokeThen(call->request.target.get(), method, call->request.args, call->context.get(), done);
  } catch (Basalt::Exception const& e) {
    // Refused before it started (the target shut down): answered like a failed call.
    done(nullptr, std::unique_ptr<Basalt::Exception>(e.Clone()));
  }
  // A deferred call holds no body.
  std::string().swap(call->body);
  call->request.args.clear();
}

void SoapEndpoint::Deliver(Pending& p, Answer&& answer) {
  p.live = false;
  AnswerSink sink = std::move(p.sink);
  {
    std::lock_guard<std::mutex> lock(_pendingMutex);
    _pending.erase(p.id);
  }
  sink(std::move(answer));
}

void SoapEndpoint::FaultAnswer(Answer& answer, MethodFault* fault, Version const* version, bool clientFault) {
  _counters.answered++;
  _counters.faults++;
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

void SoapEndpoint::LetGo() {
  std::vector<std::shared_ptr<Pending>> left;
  {
    std::lock_guard<std::mutex> lock(_pendingMutex);
    for (auto& [id, p] : _pending) left.push_back(p);
    _pending.clear();
  }
  for (auto& p : left) {
    AnswerSink sink;
    {
      std::lock_guard<std::mutex> lock(p->mutex);
      p->live = false;
      sink = std::move(p->sink);
    }
  }
}

std::size_t SoapEndpoint::PendingCount() {
  std::lock_guard<std::mutex> lock(_pendingMutex);
  return _pending.size();
}

}  // namespace Quill::HttpServerParts
