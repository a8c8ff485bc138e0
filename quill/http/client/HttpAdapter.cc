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

[[noreturn]] void ThrowCanceled(std::string const& text) {
  MakeFault<Fault::RequestCanceled>("quill.call.canceled", text)->ThrowInternal();
  std::abort();
}

[[noreturn]] void ThrowBadArgument(char const* property, std::string const& text) {
  auto fault = MakeFault<Fault::InvalidArgument>("quill.call.badArgument", text);
  fault->invalidProperty = PropertyPath(property);
  fault->ThrowInternal();
  std::abort();
}

std::string OperationName(ManagedMethod const* m) {
  return std::string(m->GetDeclaringType() ? m->GetDeclaringType()->GetName() : "?") + "." + m->GetName();
}

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

// Small pool of threads for completions. Closing lets the workers drain what
// is queued, then they exit; a worker that closes detaches itself.
class Executor : public std::enable_shared_from_this<Executor> {
 public:
  explicit Executor(unsigned threads) : _threadCount(threads ? threads : 1) {}

  // False once closed: the caller then runs the job itself.
  bool Post(std::function<void()> job) {
    {
      std::lock_guard lock(_mutex);
      if (_closed) return false;
      if (_threads.empty()) {
        _threads.reserve(_threadCount);
        for (unsigned i = 0; i < _threadCount; ++i) {
          _threads.emplace_back([self = shared_from_this()] { self->Work(); });
        }
      }
      _queue.push_back(std::move(job));
    }
    _ready.notify_one();
    return true;
  }

  void CloseAndJoin() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(_mutex);
      _closed = true;
      threads.swap(_threads);
    }
    _ready.notify_all();
    for (std::thread& t : threads) {
      if (t.get_id() == std::this_thread::get_id()) {
        t.detach();
      } else {
        t.join();
      }
    }
  }

  bool OnWorker() const noexcept { return tWorkerOf == this; }

 private:
  void Work() {
    tWorkerOf = this;
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(_mutex);
        _ready.wait(lock, [&] { return !_queue.empty() || _closed; });
        if (_queue.empty()) return;
        job = std::move(_queue.front());
        _queue.pop_front();
      }
      job();
    }
  }

  static thread_local Executor const* tWorkerOf;
  unsigned const _threadCount;
  std::mutex _mutex;
  std::condition_variable _ready;
  std::deque<std::function<void()>> _queue;
  std::vector<std::thread> _threads;
  bool _closed = false;
};

thread_local Executor const* Executor::tWorkerOf = nullptr;

}  // namespace

struct HttpAdapter::Core {
  // Everything a Core owns is made here, so that a Core either exists whole
  // or not at all: a setting that is refused throws before the destructor
  // could ever run over a transport or an executor that was never made.
  explicit Core(Settings s)
      : settings(std::move(s)),
        version(CheckedVersion(settings)),
        transport(std::make_unique<Transport>(MakeTransportConfig(settings, version))),
        executor(std::make_shared<Executor>(settings.completionThreads)) {}
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
  std::shared_ptr<Executor> const executor;
  std::mutex pendingMutex;
  std::condition_variable pendingRoom;
  std::size_t pending = 0;
  std::atomic<bool> stopped{false};
  std::atomic<std::uint64_t> callbackFailures{0};

  void Shutdown() {
    {
      std::lock_guard lock(pendingMutex);
      stopped.store(true, std::memory_order_release);
    }
    pendingRoom.notify_all();
    // Every async call not yet answered is handed to the executor as
    // cancelled before the executor closes, so none is lost.
    transport->Stop();
    executor->CloseAndJoin();
  }

  void AcquireSlot() {
    std::unique_lock lock(pendingMutex);
    if (!executor->OnWorker()) {
      pendingRoom.wait(lock,
                       [&] { return stopped.load(std::memory_order_relaxed) || pending < settings.maxPendingCalls; });
    }
    if (stopped.load(std::memory_order_relaxed)) {
      lock.unlock();
      ThrowCanceled("the adapter is shut down");
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

struct HttpPendingCall::Transfer {
  std::weak_ptr<HttpAdapter::Core> core;
  std::shared_ptr<AsyncTransfer> async;  // null when the call was refused before sending
  InvokeCallback callback;
  Basalt::Ref<MoRef> target;
  std::chrono::steady_clock::time_point start;
  std::size_t sent = 0;
};

HttpPendingCall::HttpPendingCall() = default;
HttpPendingCall::~HttpPendingCall() = default;

bool HttpPendingCall::Cancel() {
  if (!_transfer || !_transfer->async) return false;
  std::shared_ptr<HttpAdapter::Core> core = _transfer->core.lock();
  if (!core) return false;
  return core->transport->Cancel(_transfer->async);
}

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
std::uint64_t HttpAdapter::GetCallbackFailureCount() const noexcept {
  return _core->callbackFailures.load(std::memory_order_relaxed);
}

void HttpAdapter::Invoke(MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result,
                         RequestContext*) {
  Core& c = *_core;
  if (c.stopped.load(std::memory_order_acquire)) ThrowCanceled("the adapter is shut down");
  if (!method) ThrowBadArgument("method", "no method object (is its module bound?)");
  if (!target) ThrowBadArgument("target", "no target reference");
  auto start = std::chrono::steady_clock::now();
  std::string request;
  try {
    request = Wire::EncodeRequest(target, method, args, c.version);
  } catch (...) {
    c.Report(method, target, false, start, 0, nullptr, std::current_exception(), false);
    throw;
  }
  Reply reply;
  Basalt::Ref<Any> out;
  try {
    c.transport->Post(request, reply);
    c.ReadAnswer(method, reply, out);
  } catch (...) {
    c.Report(method, target, false, start, request.size(), reply.status ? &reply : nullptr, std::current_exception(),
             true);
    throw;
  }
  c.Report(method, target, false, start, request.size(), &reply, nullptr, true);
  result = std::move(out);
}

void HttpAdapter::StartInvoke(MoRef* target, ManagedMethod* method, ArgVector& args, InvokeCallback const& callback,
                              Basalt::Ref<Basalt::System::ScheduledItem>& item, RequestContext*) {
  std::shared_ptr<Core> core = _core;
  if (core->stopped.load(std::memory_order_acquire)) ThrowCanceled("the adapter is shut down");
  if (!method) ThrowBadArgument("method", "no method object (is its module bound?)");
  if (!target) ThrowBadArgument("target", "no target reference");

  Basalt::Ref<HttpPendingCall> call(new HttpPendingCall());
  call->_method = method;
  auto transfer = std::make_unique<HttpPendingCall::Transfer>();
  transfer->core = core;
  transfer->callback = callback;
  transfer->target = target;
  transfer->start = std::chrono::steady_clock::now();
  ArgVector taken(std::move(args));
  std::unique_ptr<Basalt::Exception> refused;
  auto async = std::make_shared<AsyncTransfer>();
  try {
    async->request = Wire::EncodeRequest(target, method, taken, core->version);
    transfer->sent = async->request.size();
  } catch (Basalt::Exception const& e) {
    refused.reset(e.Clone());
  }
  taken.clear();

  core->AcquireSlot();
  if (refused) {
    call->_exception = std::move(refused);
  } else {
    transfer->async = async;
  }
  call->_transfer = std::move(transfer);
  Basalt::Ref<Basalt::System::ScheduledItem> old;
  old.swap(item);
  item = call.get();

  auto job = [core, call] { Complete(core, call.get()); };
  if (!call->_transfer->async) {
    if (!core->executor->Post(job)) job();
    return;
  }
  std::weak_ptr<Core> weak = core;
  async->done = [weak, job](AsyncTransfer&) {
    std::shared_ptr<Core> alive = weak.lock();
    if (!alive || !alive->executor->Post(job)) job();
  };
  try {
    core->transport->Start(async);
  } catch (...) {
    async->done = nullptr;
    call->_transfer->async = nullptr;
    core->ReleaseSlot();
    item.swap(old);
    throw;
  }
}

void HttpAdapter::Complete(std::shared_ptr<Core> const& core, HttpPendingCall* call) {
  HttpPendingCall::Transfer& transfer = *call->_transfer;
  bool canceled = false;
  Reply const* reply = nullptr;
  bool sentAlready = false;
  if (AsyncTransfer* async = transfer.async.get()) {
    sentAlready = true;
    switch (async->outcome) {
      case AsyncTransfer::Outcome::Answered:
        reply = &async->reply;
        try {
          core->ReadAnswer(call->_method, async->reply, call->_result);
        } catch (Basalt::Exception const& e) {
          call->_exception.reset(e.Clone());
        } catch (std::exception const& e) {
          call->_exception.reset(new Http::BadResponse(core->settings.url, e.what()));
        }
        break;
      case AsyncTransfer::Outcome::Failed:
        call->_exception = std::move(async->error);
        break;
      case AsyncTransfer::Outcome::Canceled:
        call->_exception = std::move(async->error);
        canceled = true;
        break;
    }
  }
  if (core->settings.hook) {
    std::exception_ptr error;
    if (call->_exception) {
      try {
        call->_exception->Throw();
      } catch (...) {
        error = std::current_exception();
      }
    }
    core->Report(call->_method, transfer.target.get(), true, transfer.start, transfer.sent, reply, error, sentAlready);
  }
  if (transfer.callback) {
    try {
      transfer.callback(call, call->_exception.get(), call->_result.get());
    } catch (...) {
      call->_callbackError = std::current_exception();
      core->callbackFailures.fetch_add(1, std::memory_order_relaxed);
    }
    transfer.callback = nullptr;
  }
  if (transfer.async) {
    transfer.async->request = std::string();
    transfer.async->reply.body = std::string();
  }
  transfer.target = nullptr;
  using State = Basalt::System::ScheduledItem::State;
  call->Finish(canceled ? State::Canceled : State::Completed);
  core->ReleaseSlot();
}

}  // namespace Quill
