// The client end of a managed-object call: the stub base that every generated
// stub derives from, the transport interface it calls through, and the
// per-call context.
//
// A generated stub `Tarn::XStub` derives from its interface (virtual) and from
// the stub of its base type, down to Quill::StubImpl. Its operations pack the
// arguments into an ArgVector and call _Invoke_Task (sync) or
// _StartInvoke_Task (async) with the method object; quill/StubSupport.h has
// the helpers that make each operation one line.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "basalt/ScheduledItem.h"
#include "quill/Any.h"
#include "quill/ManagedObject.h"

namespace Quill {

// One boxed value per parameter, in parameter order; an empty slot stands for
// an unset optional or a null object.
using ArgVector = std::vector<Basalt::Ref<Any>>;

// Completion callback of an asynchronous call: the handle, the exception when
// the call failed (else null) and the raw boxed result (null when none).
using InvokeCallback = std::function<void(Basalt::System::ScheduledItem*, Basalt::Exception*, Any*)>;

// Key/value data that travels with every call a stub makes (a session, a
// locale, a trace id). Counted; shared by the stubs that were given it.
// Its own operations are synchronised, so one context may serve stubs on
// several threads.
class RequestContext : public Basalt::Object {
 public:
  RequestContext() = default;
  ~RequestContext() override;

  // Stores `value` (which may be null) under `key`, replacing what was there.
  void Set(std::string const& key, Any* value);
  // The value under `key`, or null.
  Basalt::Ref<Any> Get(std::string_view key) const;
  bool Contains(std::string_view key) const;
  bool Remove(std::string_view key);
  std::vector<std::string> GetKeys() const;  // sorted

 private:
  mutable std::mutex _mutex;
  std::map<std::string, Basalt::Ref<Any>, std::less<>> _values;
};

// What a stub calls through: an in-process server (Quill::LocalAdapter) or,
// later, a wire transport. Counted: every stub holds a reference.
class StubAdapter : public Basalt::Object {
 public:
  ~StubAdapter() override;

  // Carries out one call and returns when it is done: `result` receives the
  // boxed result (left empty for a method without one); a failure is thrown,
  // a fault as its own nested exception class.
  virtual void Invoke(MoRef* target, ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result,
                      RequestContext* context) = 0;
  // Starts one call and returns. Sets `item` to the call's handle before the
  // call can complete, takes `args` over (the vector is left empty) and calls
  // `callback` exactly once, unless it is empty. Throws only when the call
  // cannot be started at all.
  virtual void StartInvoke(MoRef* target, ManagedMethod* method, ArgVector& args, InvokeCallback const& callback,
                           Basalt::Ref<Basalt::System::ScheduledItem>& item, RequestContext* context) = 0;

 protected:
  StubAdapter() = default;
};

class StubImpl : public virtual ManagedObject {
 public:
  // Shares all three (the reference is not copied). A null reference or a
  // null adapter throws Quill::Fault::InvalidArgument::Exception (its
  // invalidProperty names the argument); the context may be null.
  StubImpl(MoRef* moref, StubAdapter* adapter, RequestContext* context);
  ~StubImpl() override;

  // Virtual operations in their fixed order.
  MoRef* _GetRef() override;
  void _Deactivate() override;
  // Hands the call to the adapter.
  virtual void _Invoke(ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result);
  // The entry point of every generated sync operation; the default is
  // _Invoke. A subclass that overrides it sees every call of the stub.
  virtual void _Invoke_Task(ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result);
  // Starts an asynchronous call; takes the vector over.
  virtual void _StartInvoke(ManagedMethod* method, ArgVector& args, InvokeCallback const& callback,
                            Basalt::Ref<Basalt::System::ScheduledItem>& item);
  // The entry point of every generated async overload: copies the vector
  // (the caller releases its own when this returns) and calls _StartInvoke.
  virtual void _StartInvoke_Task(ManagedMethod* method, ArgVector const& args, InvokeCallback const& callback,
                                 Basalt::Ref<Basalt::System::ScheduledItem>& item);
  virtual StubAdapter* _GetStubAdapter() const;
  virtual RequestContext* _GetRequestContext() const;
  // Replaces the context for later calls. Not synchronised with calls in
  // flight on the same stub: set it before sharing the stub between threads
  // (stubs are cheap; make one per context instead).
  virtual void _SetRequestContext(RequestContext* context);

  // Sync call of an operation without result: the virtual _Invoke_Task with a
  // result that is dropped.
  void _Invoke_Task(ManagedMethod* method, ArgVector& args);

 private:
  Basalt::Ref<MoRef> _moref;
  Basalt::Ref<StubAdapter> _adapter;
  Basalt::Ref<RequestContext> _context;
};

// A stub for `moref` made by the createStub function of the managed type that
// the reference names. An unknown or non-managed type name throws
// Quill::Fault::InvalidType::Exception, a type without a stub factory
// Quill::Fault::NotSupported::Exception; bad pointers as for StubImpl. New
// objects passed in (count 0) belong to the call: when it throws they are
// freed, not leaked. Objects on the stack may be passed; the stub then must
// not outlive them.
Basalt::Ref<StubImpl> CreateStub(MoRef* moref, StubAdapter* adapter, RequestContext* context = nullptr);

// The same, as the interface I; a stub that does not implement I throws
// Basalt::TypeMismatchException (expected I, actual stub class).
template <class I>
Basalt::Ref<I> CreateStub(MoRef* moref, StubAdapter* adapter, RequestContext* context = nullptr) {
  Basalt::Ref<StubImpl> stub = CreateStub(moref, adapter, context);
  I* i = dynamic_cast<I*>(stub.get());
  if (!i) {
    StubImpl const& actual = *stub;  // typeid of a plain reference: nothing to evaluate twice
    Basalt::ThrowTypeMismatchException(typeid(I), typeid(actual));
  }
  return Basalt::Ref<I>(i);
}

}  // namespace Quill
