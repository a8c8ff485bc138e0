#include "quill/LocalAdapter.h"

#include <cctype>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Internal.h"
#include "quill/Faults.h"
#include "quill/Type.h"

namespace Quill {

namespace {
thread_local CallInfo const* tCurrentCall = nullptr;
// Calls carried out inside calls on this thread. An implementation that calls
// back into its own adapter is fine; a chain of them that never ends (a stub
// of another adapter that forwards back here) is cut off with a fault.
constexpr unsigned kMaxNestedCalls = 64;
thread_local unsigned tNestedCalls = 0;

class NestingScope {
 public:
  NestingScope() noexcept { ++tNestedCalls; }
  ~NestingScope() { --tNestedCalls; }
  NestingScope(NestingScope const&) = delete;
  NestingScope& operator=(NestingScope const&) = delete;
};

// Makes `info` the current call of this thread for its lifetime; nested calls
// restore the outer one.
class CurrentCallScope {
 public:
  explicit CurrentCallScope(CallInfo const* info) noexcept : _outer(tCurrentCall) { tCurrentCall = info; }
  ~CurrentCallScope() { tCurrentCall = _outer; }
  CurrentCallScope(CurrentCallScope const&) = delete;
  CurrentCallScope& operator=(CurrentCallScope const&) = delete;

 private:
  CallInfo const* _outer;
};

// Where DeferCurrentCall leaves the deferral of the call running on this thread.
thread_local std::shared_ptr<Detail::Deferral>* tDeferSlot = nullptr;

class DeferScope {
 public:
  explicit DeferScope(std::shared_ptr<Detail::Deferral>* slot) noexcept : _outer(tDeferSlot) { tDeferSlot = slot; }
  ~DeferScope() { tDeferSlot = _outer; }
  DeferScope(DeferScope const&) = delete;
  DeferScope& operator=(DeferScope const&) = delete;

 private:
  std::shared_ptr<Detail::Deferral>* _outer;
};

bool IsRequiredValue(PropertyInfo const& p) {
  if (p.flags & (F_OPTIONAL | F_ARRAY)) return false;
  return p.type && (p.type->kind == KIND_PRIMITIVE || p.type->kind == KIND_ENUM);
}

using CallFaults::OperationName;
}  // namespace

// --- deferred calls ------------------------------------------------------------------------

namespace Detail {
class Deferral final : public DeferredCall {
 public:
  using Done = std::function<void(Basalt::Ref<Any>, std::unique_ptr<Basalt::Exception>)>;

  void Complete(Basalt::Ref<Any> result) override { Finish(std::move(result), nullptr); }
  void Fail(Basalt::Exception const& error) override {
    Finish(nullptr, std::unique_ptr<Basalt::Exception>(error.Clone()));
  }

  // The synchronous caller's end.
  void Wait(Basalt::Ref<Any>& result) {
    std::unique_lock lock(_mutex);
    _cv.wait(lock, [&] { return _done; });
    if (_error) _error->Throw();
    result = std::move(_result);
  }
  // The asynchronous caller's end: `done` runs when the call is answered (now, if it is).
  void OnDone(Done done) {
    std::unique_lock lock(_mutex);
    if (!_done) {
      _then = std::move(done);
      return;
    }
    lock.unlock();
    done(std::move(_result), std::move(_error));
  }

 private:
  void Finish(Basalt::Ref<Any> result, std::unique_ptr<Basalt::Exception> error) {
    std::unique_lock lock(_mutex);
    if (_done) return;
    _done = true;
    if (_then) {
      Done then = std::move(_then);
      lock.unlock();
      then(std::move(result), std::move(error));
      return;
    }
    _result = std::move(result);
    _error = std::move(error);
    _cv.notify_all();
  }

  std::mutex _mutex;
  std::condition_variable _cv;
  bool _done = false;
  Basalt::Ref<Any> _result;
  std::unique_ptr<Basalt::Exception> _error;
  Done _then;
};
}  // namespace Detail

DeferredCall::~DeferredCall() = default;

std::shared_ptr<DeferredCall> LocalAdapter::DeferCurrentCall() {
  if (!tDeferSlot) return nullptr;
  if (!*tDeferSlot) *tDeferSlot = std::make_shared<Detail::Deferral>();
  return *tDeferSlot;
}

// --- LocalAdapter --------------------------------------------------------------------------------

std::size_t LocalAdapter::KeyHash::operator()(KeyView k) const {
  std::size_t h = std::hash<std::string_view>{}(k.id);
  return h ^ (std::hash<std::string_view>{}(k.type) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
}

LocalAdapter::LocalAdapter() : LocalAdapter(Options{}) {}

LocalAdapter::LocalAdapter(Options options)
    : _options(std::move(options)),
      _executor(CallExecutor::Make(_options.workers, _options.queueCapacity ? _options.queueCapacity : 1)) {}

LocalAdapter::~LocalAdapter() { Shutdown(); }

void LocalAdapter::ThrowIfStopped() const {
  if (IsShutDown()) CallFaults::ThrowRequestCanceled("the adapter is shut down");
}

void LocalAdapter::Register(MoRef* ref, ManagedObject* object) {
  // Taken first: a new object handed over and refused dies here, not leaks.
  Basalt::Ref<ManagedObject> held(object);
  ThrowIfStopped();
  if (!object) Detail::ThrowBadArgument("object", "quill.adapter.noObject", "no object to register");
  if (!ref) ref = object->_GetRef();
  if (!ref) Detail::ThrowBadArgument("ref", "quill.adapter.noRef", "the object has no reference to register under");
  ManagedObjectType* type = object->_GetType();
  if (!type) {
    Detail::ThrowBadArgument("object", "quill.adapter.unboundType",
                             "the object's managed type is not bound (" + ref->GetTypeName() + ")");
  }
  Type* named = FindType(ref->GetTypeName());
  if (!named || named->GetKind() != KIND_MANAGED) {
    Detail::ThrowBadArgument("ref", "quill.adapter.notManaged",
                             "'" + ref->GetTypeName() + "' is not a managed type; nothing can be registered under it");
  }
  if (auto* stub = dynamic_cast<StubImpl*>(object); stub && stub->_GetStubAdapter() == this) {
    // Every call on it would come straight back here, without end.
    Detail::ThrowBadArgument("object", "quill.adapter.ownStub",
                             "a stub of this adapter cannot be registered as an implementation in it (" +
                                 ref->GetTypeName() + ":" + ref->GetId() + ")");
  }
  if (!type->IsSubtypeOf(static_cast<ManagedObjectType*>(named))) {
    Detail::ThrowBadArgument(
        "ref", "quill.adapter.typeMismatch",
        "an object of type " + std::string(type->GetName()) + " cannot be registered as " + ref->GetTypeName());
  }
  std::unique_lock lock(_mutex);
  auto [it, added] = _objects.try_emplace(Key{ref->GetTypeName(), ref->GetId()}, std::move(held));
  if (!added) {
    lock.unlock();
    Detail::ThrowBadArgument("ref", "quill.adapter.duplicate",
                             ref->GetTypeName() + ":" + ref->GetId() + " is already registered");
  }
  lock.unlock();
  for (auto const& o : Observers()) o->OnRegistered(*ref);
}

bool LocalAdapter::Unregister(MoRef const* ref) {
  if (!ref) return false;
  Basalt::Ref<ManagedObject> removed;
  {
    std::unique_lock lock(_mutex);
    auto it = _objects.find(KeyView{ref->GetTypeName(), ref->GetId()});
    if (it == _objects.end()) return false;
    removed.swap(it->second);
    _objects.erase(it);
  }
  removed->_Deactivate();
  for (auto const& o : Observers()) o->OnUnregistered(*ref);
  return true;
}

AdapterObserver::~AdapterObserver() = default;

std::vector<std::shared_ptr<AdapterObserver>> LocalAdapter::Observers() const {
  std::lock_guard lock(_observerMutex);
  return _observers;
}

void LocalAdapter::AddObserver(std::shared_ptr<AdapterObserver> observer) {
  if (!observer) Detail::ThrowBadArgument("observer", "quill.adapter.noObserver", "no observer to add");
  std::lock_guard lock(_observerMutex);
  _observers.push_back(std::move(observer));
}

void LocalAdapter::RemoveObserver(AdapterObserver const* observer) {
  std::shared_ptr<AdapterObserver> removed;  // released outside the lock
  std::lock_guard lock(_observerMutex);
  for (auto it = _observers.begin(); it != _observers.end(); ++it) {
    if (it->get() == observer) {
      removed = std::move(*it);
      _observers.erase(it);
      return;
    }
  }
}

void LocalAdapter::NotifyChanged(MoRef const* ref, std::vector<std::string> const& paths) {
  if (!ref) return;
  for (auto const& o : Observers()) o->OnChanged(*ref, paths);
}

Basalt::Ref<ManagedObject> LocalAdapter::Find(MoRef const* ref) const {
  if (!ref) return {};
  std::shared_lock lock(_mutex);
  auto it = _objects.find(KeyView{ref->GetTypeName(), ref->GetId()});
  return it == _objects.end() ? Basalt::Ref<ManagedObject>() : it->second;
}

std::size_t LocalAdapter::GetObjectCount() const {
  std::shared_lock lock(_mutex);
  return _objects.size();
}

Basalt::Ref<MoRef> LocalAdapter::MakeRef(std::string_view typeName) {
  std::string_view last = typeName.substr(typeName.rfind('.') + 1);  // npos + 1 == 0
  std::string id(last);
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  id += '-';
  id += std::to_string(_nextId.fetch_add(1, std::memory_order_relaxed));
  return Basalt::Ref<MoRef>(new MoRef(std::string(typeName), std::move(id)));
}

void LocalAdapter::Post(std::function<void(bool)> work) {
  ThrowIfStopped();
  if (!work) Detail::ThrowBadArgument("work", "quill.adapter.noWork", "no work to post");
  if (!_executor->Post(std::move(work))) Detail::ThrowRequestCanceled("the adapter is shut down");
}

void LocalAdapter::Shutdown() {
  if (!_executor->Close()) return;
  // Once this is seen, every queued call is certain to be cancelled.
  _stopped.store(true, std::memory_order_release);
  for (auto const& o : Observers()) o->OnShutdown();
  _executor->Join();
  decltype(_objects) objects;
  {
    std::unique_lock lock(_mutex);
    objects.swap(_objects);
  }
  for (auto& [key, object] : objects) object->_Deactivate();
}

std::uint64_t LocalAdapter::GetCallbackFailureCount() const noexcept { return _executor->GetFailureCount(); }

CallInfo const* LocalAdapter::CurrentCall() noexcept { return tCurrentCall; }

void LocalAdapter::Invoke(MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result,
                          RequestContext* context) {
  CallFaults::CheckCall(IsShutDown(), target, method);
  Call(target, method, args, result, context);
}

void LocalAdapter::InvokeThen(MoRef* target, ManagedMethod* method, ArgVector& args, RequestContext* context,
                              CallDone done) {
  CallFaults::CheckCall(IsShutDown(), target, method);
  Basalt::Ref<Any> result;
  std::shared_ptr<Detail::Deferral> deferred;
  try {
    Call(target, method, args, result, context, &deferred);
  } catch (Basalt::Exception const& e) {
    done(nullptr, std::unique_ptr<Basalt::Exception>(e.Clone()));
    return;
  }
  if (deferred) {
    deferred->OnDone(std::move(done));
    return;
  }
  done(std::move(result), nullptr);
}

bool LocalAdapter::MayBlock(MoRef const* target, ManagedMethod const* method) const {
  if (!method || method->IsTask()) return true;
  if (_options.mayBlock) return _options.mayBlock(target, method);
  return !method->IsProperty();
}

void LocalAdapter::StartInvoke(MoRef* target, ManagedMethod* method, ArgVector& args, InvokeCallback const& callback,
                               Basalt::Ref<Basalt::System::ScheduledItem>& item, RequestContext* context) {
  CallFaults::CheckCall(IsShutDown(), target, method);
  Basalt::Ref<PendingCall> call(new PendingCall(method, callback));
  CallExecutor* executor = _executor.get();  // outlives every job: its workers hold it
  auto job = [this, executor, call, ref = Basalt::Ref<MoRef>(target), argv = std::move(args),
              ctx = Basalt::Ref<RequestContext>(context)](bool canceled) mutable {
    if (canceled || !call->Start()) {
      argv.clear();
      if (call->Deliver(nullptr, nullptr, true) == PendingCall::Delivery::CallbackThrew) executor->CountFailure();
      return;
    }
    Basalt::Ref<Any> result;
    std::unique_ptr<Basalt::Exception> error;
    std::shared_ptr<Detail::Deferral> deferred;
    try {
      Call(ref.get(), call->GetMethod(), argv, result, ctx.get(), &deferred);
    } catch (...) {
      // Call turns foreign exceptions into SystemError; what is left is an
      // allocation failure while doing so.
      error = CallFaults::Capture(std::current_exception(), "the call failed");
    }
    argv.clear();
    if (deferred && !error) {
      // Answered later, on the thread that completes it; this worker moves on.
      deferred->OnDone([call](Basalt::Ref<Any> answer, std::unique_ptr<Basalt::Exception> failure) {
        call->Deliver(std::move(answer), std::move(failure), false);
      });
      return;
    }
    if (call->Deliver(std::move(result), std::move(error), false) == PendingCall::Delivery::CallbackThrew) {
      executor->CountFailure();
    }
  };
  // The handle is in place before any worker can see the call; the caller's
  // old one is released after.
  Basalt::Ref<Basalt::System::ScheduledItem> old;
  old.swap(item);
  item = call.get();
  if (!_executor->Post(std::move(job))) {
    item.swap(old);
    Detail::ThrowRequestCanceled("the adapter is shut down");
  }
}

namespace {
// Runs what an implementation or the privilege checker does: API faults pass as they are,
// anything else becomes a SystemError naming the operation.
template <class Fn>
void AsApiFaults(ManagedMethod const* method, Fn&& fn) {
  try {
    fn();
  } catch (Basalt::Exception const&) {
    throw;
  } catch (std::exception const& e) {
    Detail::ThrowSystemError(OperationName(method) + ": " + e.what());
  } catch (...) {
    Detail::ThrowSystemError(OperationName(method) + ": an exception of unknown type");
  }
}
}  // namespace

void LocalAdapter::CheckPrivilege(MoRef* target, ManagedMethod* method, RequestContext* context) {
  if (!_options.checkPrivilege) return;
  Basalt::Ref<ManagedObject> object = Find(target);
  if (!object) Detail::ThrowNotFound(target);
  CallInfo info{this, target, object.get(), method, method->GetPrivilege(object->_GetType()), context};
  CurrentCallScope scope(&info);
  AsApiFaults(method, [&] { _options.checkPrivilege(info); });
}

void LocalAdapter::InvokeFound(ManagedObject* object, MoRef* target, ManagedMethod* method, ArgVector& args,
                               Basalt::Ref<Any>& result, RequestContext* context) {
  CallFaults::CheckCall(IsShutDown(), target, method);
  if (!object) Detail::ThrowNotFound(target);
  CallFound(object, target, method, args, result, context, nullptr);
}

void LocalAdapter::Call(MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result,
                        RequestContext* context, std::shared_ptr<Detail::Deferral>* deferredOut) {
  Basalt::Ref<ManagedObject> object = Find(target);
  if (!object) Detail::ThrowNotFound(target);
  CallFound(object.get(), target, method, args, result, context, deferredOut);
}

void LocalAdapter::CallFound(ManagedObject* object, MoRef* target, ManagedMethod* method, ArgVector& args,
                             Basalt::Ref<Any>& result, RequestContext* context,
                             std::shared_ptr<Detail::Deferral>* deferredOut) {
  ManagedObjectType* declaring = method->GetDeclaringType();
  ManagedObjectType* type = object->_GetType();
  if (!declaring || !type || !type->IsSubtypeOf(declaring)) {
    Detail::ThrowBadArgument("method", "quill.call.foreignMethod",
                             OperationName(method) + " is not an operation of " +
                                 (type ? type->GetName() : "an unbound type") + " (target " + target->GetTypeName() +
                                 ":" + target->GetId() + ")");
  }
  std::uint32_t params = method->GetParameterCount();
  if (args.size() != params) {
    Detail::ThrowBadArgument("args", "quill.call.argumentCount",
                             OperationName(method) + " takes " + std::to_string(params) + " arguments, " +
                                 std::to_string(args.size()) + " were given");
  }
  DispatchFn dispatch = declaring->GetDescriptor()->dispatch;
  if (method->IsDisabled() || !dispatch) {
    Detail::ThrowNotSupported("quill.call.disabled", OperationName(method) + " is not carried out by this server");
  }
  for (std::uint32_t i = 0; i < params; ++i) {
    if (!args[i] && IsRequiredValue(method->GetParameter(i))) {
      Detail::ThrowBadArgument(
          method->GetParameter(i).name, "quill.call.missingArgument",
          OperationName(method) + ": the required argument " + method->GetParameter(i).name + " is empty");
    }
  }
  if (tNestedCalls >= kMaxNestedCalls) {
    Detail::ThrowNotSupported("quill.call.tooDeep",
                              OperationName(method) + ": calls nested more than " + std::to_string(kMaxNestedCalls) +
                                  " deep on one thread (an implementation that forwards to itself?)");
  }
  NestingScope nesting;
  CallInfo info{this, target, object, method, method->GetPrivilege(type), context};
  CurrentCallScope scope(&info);
  Basalt::Ref<Any> out;
  std::shared_ptr<Detail::Deferral> deferred;
  AsApiFaults(method, [&] {
    if (_options.checkPrivilege) _options.checkPrivilege(info);
    DeferScope deferScope(&deferred);
    dispatch(object, method->GetIndex(), args.data(), &out);
  });
  if (deferred) {
    if (deferredOut) {
      *deferredOut = std::move(deferred);
      return;
    }
    deferred->Wait(result);
    return;
  }
  result = std::move(out);
}

}  // namespace Quill
