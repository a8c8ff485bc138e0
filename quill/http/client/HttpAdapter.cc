#include "quill/http/HttpAdapter.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Transport.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/FaultMessage.h"
#include "quill/Identity.h"
#include "quill/Type.h"
#include "quill/Values.h"
#include "quill/wire/Wire.h"

namespace Quill {

using Http::Detail::AsyncTransfer;
using Http::Detail::Reply;
using Http::Detail::Transport;

namespace {

[[noreturn]] void ThrowBadArgument(char const* property, std::string const& text) {
  CallFaults::ThrowBadArgument(property, "quill.call.badArgument", text);
}

using CallFaults::OperationName;

// "<fault type>: <first message text>", or the type alone when the fault
// carries no text.
std::string FaultLine(MethodFault::Exception const& e) {
  MethodFault* fault = e.GetFault();
  std::string line = fault && fault->_GetType() ? fault->_GetType()->GetName() : "fault";
  if (fault && fault->faultMessage && fault->faultMessage->size()) {
    if (LocalizableMessage* m = (*fault->faultMessage)[0]) {
      if (m->message && !m->message->empty()) line += ": " + *m->message;
    }
  }
  return line;
}

}  // namespace

struct HttpAdapter::Core {
  // Everything a Core owns is made here, so that a Core either exists whole
  // or not at all: a setting that is refused throws before the destructor
  // could ever run over a transport or an executor that was never made.
  explicit Core(Settings s)
      : settings(std::move(s)),
        version(CheckedVersion(settings)),
        transport(std::make_unique<Transport>(MakeTransportConfig(settings, version))),
        executor(CallExecutor::Make(settings.completionThreads, 0)) {}
  ~Core() { Shutdown(); }

  static Version const* CheckedVersion(Settings const& s) {
    Version const* v = s.version ? s.version : Wire::DefaultVersion();
    if (!v) ThrowBadArgument("version", "no API version is registered (is the type library loaded?)");
    if (s.maxPendingCalls == 0) ThrowBadArgument("maxPendingCalls", "maxPendingCalls is zero");
    return v;
  }

  static Http::Detail::TransportConfig MakeTransportConfig(Settings const& s, Version const* v) {
    Http::Detail::TransportConfig config;
    config.url = s.url;
    config.soapAction = std::string("\"urn:") + v->GetWireNamespace() + "/" + v->GetWireVersion() + "\"";
    config.connectTimeout = s.connectTimeout;
    config.callTimeout = s.callTimeout;
    config.maxResponseBytes = s.maxResponseBytes;
    config.caFile = s.caFile;
    config.pinnedCertificateSha256 = s.pinnedCertificateSha256;
    config.insecureSkipTlsVerification = s.insecureSkipTlsVerification;
    config.maxAsyncConnections = s.maxAsyncConnections;
    config.extraHeaders = s.headers;
    config.sessionCookie = s.sessionCookie;
    CatalogueIdentity identity = GetCatalogueIdentity();
    config.sessionCookieName = s.sessionCookieName.empty() ? identity.sessionCookie : s.sessionCookieName;
    config.userAgent = s.userAgent.empty() ? identity.clientName + "/0.1" : s.userAgent;
    return config;
  }

  Settings settings;
  Version const* const version;
  std::unique_ptr<Transport> const transport;
  std::shared_ptr<CallExecutor> const executor;
  std::mutex pendingMutex;
  std::condition_variable pendingRoom;
  std::size_t pending = 0;
  std::atomic<bool> stopped{false};

  void Shutdown() {
    {
      std::lock_guard lock(pendingMutex);
      stopped.store(true, std::memory_order_release);
    }
    pendingRoom.notify_all();
    // Every async call not yet answered is handed to the executor as
    // cancelled before the executor closes, so none is lost.
    transport->Stop();
    executor->Close();
    executor->Join();
  }

  void AcquireSlot() {
    std::unique_lock lock(pendingMutex);
    if (!executor->OnWorker()) {
      pendingRoom.wait(lock,
                       [&] { return stopped.load(std::memory_order_relaxed) || pending < settings.maxPendingCalls; });
    }
    if (stopped.load(std::memory_order_relaxed)) {
      lock.unlock();
      CallFaults::ThrowRequestCanceled("the adapter is shut down");
    }
    ++pending;
  }

  void ReleaseSlot() {
    {
      std::lock_guard lock(pendingMutex);
      --pending;
    }
    pendingRoom.notify_one();
  }

  // Fills `result` from a 200 answer, or throws what the answer means.
  void ReadAnswer(ManagedMethod* method, Reply const& reply, Basalt::Ref<Any>& result) const {
    std::string const& url = settings.url;
    if (reply.status != 200 && reply.status != 500) {
      std::string head = reply.body.substr(0, 120);
      for (char& c : head) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
      }
      throw Http::HttpStatusError(url, reply.status,
                                  "the server refused the call" + (head.empty() ? std::string() : " (" + head + ")"));
    }
    Wire::DecodeOptions options;
    options.limits.maxBytes = settings.maxResponseBytes;
    try {
      Wire::DecodeResponse(reply.body, method, result, options);
    } catch (Wire::DecodeError const& e) {
      // The message itself is unreadable (a fault the server sent decodes
      // fine and is thrown as itself).
      if (reply.status == 500)
        throw Http::HttpStatusError(url, 500, std::string("the body is not a SOAP fault: ") + e.what());
      throw Http::BadResponse(url, std::string("the response cannot be decoded: ") + e.what());
    }
    if (reply.status == 500) throw Http::HttpStatusError(url, 500, "the body is a response, not a fault");
  }

  // The hook's report of a call that ended with `error` (null: a result).
  void Report(ManagedMethod* method, MoRef const* target, bool async, std::chrono::steady_clock::time_point start,
              std::size_t sent, Reply const* reply, std::exception_ptr error, bool sentAlready) const {
    if (!settings.hook) return;
    std::string operation = OperationName(method);
    std::string targetText = target->GetTypeName() + ":" + target->GetId();
    Http::CallRecord record;
    record.method = operation;
    record.target = targetText;
    record.async = async;
    record.duration = std::chrono::steady_clock::now() - start;
    record.bytesSent = sent;
    record.bytesReceived = reply ? reply->body.size() : 0;
    record.httpStatus = reply ? reply->status : 0;
    std::string text;
    if (error) {
      try {
        std::rethrow_exception(error);
      } catch (Http::TransportError const& e) {
        record.outcome = Http::CallOutcome::TransportError;
        text = Basalt::Demangle(typeid(e)) + ": " + e.what();
      } catch (Fault::RequestCanceled::Exception const& e) {
        record.outcome = Http::CallOutcome::Canceled;
        text = FaultLine(e);
      } catch (MethodFault::Exception const& e) {
        record.outcome = sentAlready ? Http::CallOutcome::Fault : Http::CallOutcome::Refused;
        text = FaultLine(e);
      } catch (std::exception const& e) {
        record.outcome = sentAlready ? Http::CallOutcome::Fault : Http::CallOutcome::Refused;
        text = Basalt::Demangle(typeid(e)) + ": " + e.what();
      } catch (...) {
        record.outcome = Http::CallOutcome::Refused;
        text = "an exception of unknown type";
      }
      record.error = text;
    }
    try {
      settings.hook(record);
    } catch (...) {
      // A hook that throws must not change the call's outcome.
    }
  }
};

// What an async call's completion needs besides its handle.
struct HttpAdapter::AsyncCall {
  std::shared_ptr<AsyncTransfer> transfer;  // null when the call was refused before sending
  std::unique_ptr<Basalt::Exception> refused;
  Basalt::Ref<MoRef> target;
  std::chrono::steady_clock::time_point start;
  std::size_t sent = 0;
};

HttpAdapter::HttpAdapter(Settings settings) : _core(std::make_shared<Core>(std::move(settings))) {}

HttpAdapter::~HttpAdapter() { Shutdown(); }

std::string const& HttpAdapter::GetUrl() const noexcept { return _core->settings.url; }
Version const* HttpAdapter::GetVersion() const noexcept { return _core->version; }
std::string HttpAdapter::GetSessionCookie() const {
  return _core->transport->GetCookie(_core->transport->GetConfig().sessionCookieName);
}
void HttpAdapter::SetSessionCookie(std::string const& cookie) {
  if (cookie.find_first_of(";, \t\r\n\"\\") != std::string::npos) {
    ThrowBadArgument("cookie", "a session cookie has no ';', ',', quotes, backslashes or white space");
  }
  _core->transport->SetCookie(_core->transport->GetConfig().sessionCookieName, cookie);
}
void HttpAdapter::ClearCookies() { _core->transport->ClearCookies(); }
void HttpAdapter::Shutdown() { _core->Shutdown(); }
bool HttpAdapter::IsShutDown() const noexcept { return _core->stopped.load(std::memory_order_acquire); }
std::uint64_t HttpAdapter::GetConnectCount() const noexcept { return _core->transport->GetConnectCount(); }
std::uint64_t HttpAdapter::GetCallbackFailureCount() const noexcept { return _core->executor->GetFailureCount(); }

void HttpAdapter::Invoke(MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result,
                         RequestContext*) {
  Core& c = *_core;
  CallFaults::CheckCall(c.stopped.load(std::memory_order_acquire), target, method);
  auto start = c.settings.hook ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
  // The request is written into, and the answer read from, the buffers of the
  // connection the call goes out on: after the first calls of a thread they
  // have room enough, and a call allocates nothing of its own for them.
  std::unique_ptr<Http::Detail::Connection> connection = c.transport->Take();
  struct GiveBack {
    Transport& transport;
    std::unique_ptr<Http::Detail::Connection>& connection;
    ~GiveBack() { transport.GiveBack(std::move(connection)); }
  } giveBack{*c.transport, connection};
  try {
    Wire::EncodeRequest(connection->request, target, method, args, c.version);
  } catch (...) {
    c.Report(method, target, false, start, 0, nullptr, std::current_exception(), false);
    throw;
  }
  Reply const& reply = connection->reply;
  std::size_t sent = connection->request.size();
  Basalt::Ref<Any> out;
  try {
    c.transport->Perform(*connection);
    c.ReadAnswer(method, reply, out);
  } catch (...) {
    c.Report(method, target, false, start, sent, reply.status ? &reply : nullptr, std::current_exception(), true);
    throw;
  }
  c.Report(method, target, false, start, sent, &reply, nullptr, true);
  result = std::move(out);
}

void HttpAdapter::StartInvoke(MoRef* target, ManagedMethod* method, ArgVector& args, InvokeCallback const& callback,
                              Basalt::Ref<Basalt::System::ScheduledItem>& item, RequestContext*) {
  std::shared_ptr<Core> core = _core;
  CallFaults::CheckCall(core->stopped.load(std::memory_order_acquire), target, method);

  Basalt::Ref<PendingCall> call(new PendingCall(method, callback));
  auto state = std::make_shared<AsyncCall>();
  state->target = target;
  state->start = std::chrono::steady_clock::now();
  ArgVector taken(std::move(args));
  auto async = std::make_shared<AsyncTransfer>();
  try {
    async->request = Wire::EncodeRequest(target, method, taken, core->version);
    state->sent = async->request.size();
    state->transfer = async;
  } catch (Basalt::Exception const& e) {
    state->refused.reset(e.Clone());
  }
  taken.clear();

  core->AcquireSlot();
  auto job = [core, call, state](bool) { Complete(core, call.get(), *state); };
  if (state->transfer) {
    std::weak_ptr<Core> weakCore = core;
    std::weak_ptr<AsyncTransfer> weakTransfer = async;
    call->SetAbort([weakCore, weakTransfer] {
      std::shared_ptr<Core> alive = weakCore.lock();
      std::shared_ptr<AsyncTransfer> transfer = weakTransfer.lock();
      if (alive && transfer) alive->transport->Cancel(transfer);
    });
  }
  Basalt::Ref<Basalt::System::ScheduledItem> old;
  old.swap(item);
  item = call.get();

  if (!state->transfer) {
    if (!core->executor->Post(job)) job(true);
    return;
  }
  std::weak_ptr<Core> weak = core;
  async->done = [weak, job](AsyncTransfer&) {
    std::shared_ptr<Core> alive = weak.lock();
    if (!alive || !alive->executor->Post(job)) job(true);
  };
  try {
    core->transport->Start(async);
  } catch (...) {
    async->done = nullptr;
    call->SetAbort(nullptr);
    core->ReleaseSlot();
    item.swap(old);
    throw;
  }
}

void HttpAdapter::Complete(std::shared_ptr<Core> const& core, PendingCall* call, AsyncCall& state) {
  AsyncTransfer* async = state.transfer.get();
  bool canceled = false;
  bool sentAlready = async != nullptr;
  Reply const* reply = nullptr;
  Basalt::Ref<Any> result;
  std::unique_ptr<Basalt::Exception> error;
  if (!call->Start()) {
    // Cancel won: whatever the transfer brought is dropped.
    canceled = true;
    if (async && async->outcome == AsyncTransfer::Outcome::Canceled) error = std::move(async->error);
    if (!error) error = CallFaults::RequestCanceled("the call to " + core->settings.url + " was cancelled");
  } else if (!async) {
    error = std::move(state.refused);
  } else {
    switch (async->outcome) {
      case AsyncTransfer::Outcome::Answered:
        reply = &async->reply;
        try {
          core->ReadAnswer(call->GetMethod(), async->reply, result);
        } catch (Basalt::Exception const& e) {
          error.reset(e.Clone());
        } catch (std::exception const& e) {
          error.reset(new Http::BadResponse(core->settings.url, e.what()));
        }
        break;
      case AsyncTransfer::Outcome::Failed:
        error = std::move(async->error);
        break;
      case AsyncTransfer::Outcome::Canceled:
        error = std::move(async->error);
        canceled = true;
        break;
    }
  }
  if (core->settings.hook) {
    std::exception_ptr thrown;
    if (error) {
      try {
        error->Throw();
      } catch (...) {
        thrown = std::current_exception();
      }
    }
    core->Report(call->GetMethod(), state.target.get(), true, state.start, state.sent, reply, thrown, sentAlready);
  }
  if (async) {
    async->request = std::string();
    async->reply.body = std::string();
  }
  state.target = nullptr;
  if (call->Deliver(std::move(result), std::move(error), canceled) == PendingCall::Delivery::CallbackThrew) {
    core->executor->CountFailure();
  }
  core->ReleaseSlot();
}

}  // namespace Quill
