// An in-process server: implementation objects registered under references,
// and calls on stubs carried out on them through the declaring type's
// dispatch function, synchronously on the caller's thread or asynchronously
// on a small executor that the adapter owns.
//
// Sync call, in order:
//   1. the adapter is not shut down          else Fault::RequestCanceled
//   2. a method object and a target are given else Fault::InvalidArgument
//   3. the target is registered               else Fault::ManagedObjectNotFound (obj = the reference)
//   4. the target's type is, or derives from, the method's declaring type
//                                             else Fault::InvalidArgument (invalidProperty "method")
//   5. one argument per parameter             else Fault::InvalidArgument ("args")
//   6. the method is not of a disabled version and its type has a dispatch
//                                             else Fault::NotSupported
//   7. no empty slot for a required value parameter
//                                             else Fault::InvalidArgument (the parameter's name)
//   8. the privilege checker, if any, lets the call pass
//   9. dispatch(object, method index, args, result)
// What the implementation throws reaches the caller unchanged: a fault as its
// own nested exception class (catchable by its class and by every base), any
// Basalt exception as itself. An exception that is not a Basalt one (a
// std::exception, anything else) is turned into Fault::SystemError, whose
// `reason` is the operation's name and its what() text
// ("tarn.Folder.createFolder: <what>"), as a server would before answering.
//
// Async call: StartInvoke sets the caller's handle, queues the call and
// returns. A worker thread performs the same steps and then calls the
// callback exactly once, with the handle, the exception (a heap copy of the
// most-derived class; rethrow it with Throw()) or null, and the raw result or
// null. Only after the callback has returned does the handle become done, so
// a caller that waits on it sees everything the callback did. The handle is a
// Quill::PendingCall (quill/PendingCall.h, the same for every adapter), which
// also keeps the result and the exception for callers that prefer waiting to
// callbacks; the pointers handed to the callback stay valid as long as the
// handle lives.
//
// A callback that throws: the exception is caught on the worker, kept on the
// handle (PendingCall::GetCallbackError) and counted
// (LocalAdapter::GetCallbackFailureCount); the worker goes on, the handle
// still becomes done.
//
// Cancel() on a queued call makes the worker skip it and deliver
// Fault::RequestCanceled instead (Cancel answers true); a call already
// running is not interrupted (false). The handle of a cancelled call ends in
// the Canceled state, every other one in Completed.
//
// Shutdown (explicit, or by the destructor): no new calls are accepted (sync
// and async calls throw Fault::RequestCanceled), queued calls and posted work
// are cancelled (RequestCanceled to their callbacks, `true` to posted work),
// running ones finish, the workers are joined and every registered object is
// unregistered and deactivated. Nothing in flight is lost. Shutdown may be
// called from a callback; the calling worker then finishes its current call
// and exits on its own.
//
// Server tasks: an implementation of a task method starts a task and returns
// its reference at once. Inside the call it reaches the adapter through
// CurrentCall(), makes a reference of the task type with MakeRef(), registers
// an object that implements the task interface under it, posts the task's
// body with Post() and hands the reference back:
//
//   LocalAdapter* adapter = LocalAdapter::CurrentCall()->adapter;
//   Basalt::Ref<MoRef> ref = adapter->MakeRef("tarn.Task");
//   Basalt::Ref<MyTask> task(new MyTask(ref.get()));   // a ServerObject<Tarn::Task>
//   adapter->Register(nullptr, task.get());
//   adapter->Post([task](bool canceled) { task->Run(canceled); });
//   result = ref;
//
// Clients follow it through a stub of the reference (CreateStub). The sample
// library's tests show it whole (quill/tests/sample/RpcImpl.h).
//
// Threads: the executor has `workers` threads, started at the first
// asynchronous call or posted job, and a queue of `queueCapacity` entries; a
// caller that finds the queue full waits for room, except a worker thread
// (a callback starting another call), which is never made to wait.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "basalt/ScheduledItem.h"
#include "quill/CallTarget.h"
#include "quill/PendingCall.h"
#include "quill/Stub.h"
#include "quill/Values.h"

namespace Quill {

class LocalAdapter;
namespace Detail {
class Deferral;
}

// What the privilege checker and the implementation can know about the call
// being carried out.
struct CallInfo {
  LocalAdapter* adapter;
  MoRef* target;
  ManagedObject* object;  // the registered implementation
  ManagedMethod* method;
  // The method's privilege, or for a method with a per-type list the entry of
  // the target's type; for a property read the property's privilege. Null
  // when none is named (including a target type missing from the list).
  char const* privilege;
  RequestContext* context;  // may be null
};

// Called before dispatch; denies a call by throwing (a fault of its choice,
// such as a NoPermission fault). Runs on the thread that carries out the call.
using PrivilegeChecker = std::function<void(CallInfo const&)>;

// Told what happens to the objects of an adapter: registration, unregistration
// and the changes that implementations report with NotifyChanged. Called on
// the thread that made the change, without the adapter's lock held; an
// observer must not block and must not throw. OnShutdown comes once, when the
// adapter starts shutting down and before it waits for running calls, so that
// an observer can end calls that would otherwise wait on it.
class AdapterObserver {
 public:
  virtual ~AdapterObserver();
  virtual void OnRegistered(MoRef const& ref) = 0;
  virtual void OnUnregistered(MoRef const& ref) = 0;
  // `paths` name the properties that changed ("name", "config.hardware");
  // empty means that anything may have changed.
  virtual void OnChanged(MoRef const& ref, std::vector<std::string> const& paths) = 0;
  virtual void OnShutdown() = 0;
};

// A call that its implementation answers later, from any thread
// (LocalAdapter::DeferCurrentCall). The first Complete or Fail answers it; later
// ones do nothing.
class DeferredCall {
 public:
  virtual ~DeferredCall();
  virtual void Complete(Basalt::Ref<Any> result) = 0;
  virtual void Fail(Basalt::Exception const& error) = 0;
};

class LocalAdapter final : public StubAdapter, public CallTarget {
 public:
  struct Options {
    unsigned workers = 2;
    std::size_t queueCapacity = 1024;
    PrivilegeChecker checkPrivilege;  // empty: every call passes
    // Which calls may hold their thread for long (MayBlock). Empty: property
    // reads do not, every method may, since an implementation can wait on
    // anything; a program whose implementations answer at once says so here.
    // Task methods may block whatever this says.
    std::function<bool(MoRef const* target, ManagedMethod const* method)> mayBlock;
  };

  LocalAdapter();
  explicit LocalAdapter(Options options);
  ~LocalAdapter() override;  // Shutdown()

  // Registers `object` under `ref` (a copy of its type name and id is the
  // key); with `ref` null, under object->_GetRef(). Throws
  // Fault::InvalidArgument::Exception for a null object, no reference, a
  // reference already registered, an object whose type is unknown, a
  // reference whose type name is not a registered managed type or one the
  // object's type does not derive from, or a stub of this very adapter (its
  // calls would come back here forever); Fault::RequestCanceled::Exception
  // after shutdown. A new object (count 0) passed here belongs to the
  // adapter, refused or not. Calls nested more than 64 deep on one thread
  // (implementations forwarding to each other in a ring) fail with
  // Fault::NotSupported instead of exhausting the stack.
  void Register(MoRef* ref, ManagedObject* object);
  // Removes the registration and deactivates the object; false when the
  // reference was not registered.
  bool Unregister(MoRef const* ref);
  Basalt::Ref<ManagedObject> Find(MoRef const* ref) const;
  std::size_t GetObjectCount() const;

  // A new reference of the given type with an id no other reference made
  // here has ("<last name component, lower case>-<n>", e.g. "task-12").
  Basalt::Ref<MoRef> MakeRef(std::string_view typeName);

  // Background work for implementations (a server task's body): runs
  // `work(false)` on a worker, or `work(true)` if the adapter shuts down
  // before it starts. Exceptions from `work` are caught and counted like
  // those of callbacks. Throws Fault::RequestCanceled::Exception after
  // shutdown.
  void Post(std::function<void(bool canceled)> work);

  // Observers see every registration, unregistration and reported change
  // from the moment they are added; the adapter keeps them alive until they
  // are removed or it is destroyed.
  void AddObserver(std::shared_ptr<AdapterObserver> observer);
  void RemoveObserver(AdapterObserver const* observer);
  // Implementations say here that properties of a registered object changed,
  // after the change, so that an observer that reads them again sees it.
  void NotifyChanged(MoRef const* ref, std::vector<std::string> const& paths = {});

  // The privilege checker's verdict on a call, asked as the call itself would ask it, without
  // making the call: throws what the checker throws (Fault::ManagedObjectNotFound for a target
  // that is not registered). Nothing to ask, and nothing looked up, without a checker. For
  // servers that share one read of a value among callers who must each be allowed it.
  void CheckPrivilege(MoRef* target, ManagedMethod* method, RequestContext* context);
  bool HasPrivilegeChecker() const noexcept { return static_cast<bool>(_options.checkPrivilege); }

  void Shutdown();
  bool IsShutDown() const noexcept { return _stopped.load(std::memory_order_acquire); }
  // Exceptions thrown by callbacks and posted work so far.
  std::uint64_t GetCallbackFailureCount() const noexcept;

  // The call being carried out on this thread (inside dispatch or the
  // privilege checker), or null. Nested calls see their own.
  static CallInfo const* CurrentCall() noexcept;
  // Inside an implementation: the current call is answered when the returned
  // handle is completed, not when the implementation returns (what it returns
  // is then dropped). A synchronous Invoke waits for the handle on the
  // caller's thread; an asynchronous call frees its worker at once and calls
  // its callback on the thread that completes the handle. An implementation
  // that defers must complete every handle, also when it stops. Null outside
  // a call.
  static std::shared_ptr<DeferredCall> DeferCurrentCall();

  // A call carried out on this thread whose answer goes to `done`, once: before
  // this returns, or, when the implementation deferred it, later on the thread
  // that completes it. For servers that must not hold a thread while a call
  // waits (HttpServer's workers). Failures before the call starts (shut down,
  // no method or target) are thrown, not passed to `done`.
  using CallDone = CallTarget::Done;
  void InvokeThen(MoRef* target, ManagedMethod* method, ArgVector& args, RequestContext* context,
                  CallDone done) override;
  // CallTarget: see Options::mayBlock.
  bool MayBlock(MoRef const* target, ManagedMethod const* method) const override;

  // StubAdapter
  void Invoke(MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result,
              RequestContext* context) override;
  void StartInvoke(MoRef* target, ManagedMethod* method, ArgVector& args, InvokeCallback const& callback,
                   Basalt::Ref<Basalt::System::ScheduledItem>& item, RequestContext* context) override;

  // Invoke on `object`, which the caller itself found registered as `target` (Find) while
  // serving the same request: a service that reads many properties of the objects it has just
  // looked up spares a second lookup per read. Everything else is as Invoke (checks, privilege,
  // faults); an object unregistered since it was found is still called.
  void InvokeFound(ManagedObject* object, MoRef* target, ManagedMethod* method, ArgVector& args,
                   Basalt::Ref<Any>& result, RequestContext* context);

 private:
  struct Key {
    std::string type;
    std::string id;
  };
  struct KeyView {
    std::string_view type;
    std::string_view id;
  };
  // Not noexcept on purpose: the standard map then keeps each entry's hash, so a lookup
  // compares hashes along its bucket rather than hashing two strings of every entry it passes
  // (a third of a bulk read's time with 10,000 objects).
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(KeyView k) const;
    std::size_t operator()(Key const& k) const { return (*this)(KeyView{k.type, k.id}); }
  };
  struct KeyEq {
    using is_transparent = void;
    static KeyView View(Key const& k) noexcept { return {k.type, k.id}; }
    static KeyView View(KeyView k) noexcept { return k; }
    template <class A, class B>
    bool operator()(A const& a, B const& b) const noexcept {
      KeyView x = View(a), y = View(b);
      return x.type == y.type && x.id == y.id;
    }
  };
  // Steps 3 to 9 of a call; `result` is filled only on success.
  // A call whose implementation deferred it hands the deferral to `deferred`
  // when given, and otherwise waits for it.
  void Call(MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result, RequestContext* context,
            std::shared_ptr<Detail::Deferral>* deferred = nullptr);
  void CallFound(ManagedObject* object, MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result,
                 RequestContext* context, std::shared_ptr<Detail::Deferral>* deferred);
  void ThrowIfStopped() const;

  Options _options;
  std::atomic<bool> _stopped{false};
  mutable std::shared_mutex _mutex;
  std::unordered_map<Key, Basalt::Ref<ManagedObject>, KeyHash, KeyEq> _objects;
  std::atomic<std::uint64_t> _nextId{1};
  mutable std::mutex _observerMutex;
  std::vector<std::shared_ptr<AdapterObserver>> _observers;
  std::vector<std::shared_ptr<AdapterObserver>> Observers() const;
  std::shared_ptr<CallExecutor> _executor;  // shared with its worker threads
};

}  // namespace Quill
