// The base of every managed-object interface, and a helper base for objects a
// program implements on the server end.
//
// A generated interface `Tarn::X` derives virtually from its base interface
// (or from Quill::ManagedObject for a root type), implements _GetType() and
// adds one pure virtual operation per getter and method of its own level.
// It must NOT redeclare _GetRef(), _Deactivate() or any operation of a base
// interface: the stub `Tarn::XStub` inherits those bodies from Quill::StubImpl
// and from the base type's stub, and a redeclaration on the interface would
// leave the stub with two final overriders (ill-formed). The virtual table
// still lists them in the documented order, since they reach it through the
// virtual bases.
#pragma once

#include "basalt/Object.h"
#include "quill/Forward.h"
#include "quill/Values.h"

namespace Quill {

class ManagedObject : public virtual Basalt::Object {
 public:
  ~ManagedObject() override;

  // The managed type of the most-derived interface the object implements
  // (the interface's slot, GetMoType<Interface>()).
  virtual ManagedObjectType* _GetType() const = 0;
  // The reference the object answers to; borrowed, valid while the object
  // lives. A stub answers the reference it was made for.
  virtual MoRef* _GetRef() = 0;
  // Tells the object that the server end no longer routes new calls to it
  // (unregistered, or its adapter shut down); calls already under way may
  // still be running. Called once per registration. A stub has nothing to
  // deactivate and implements it with an empty body.
  virtual void _Deactivate() = 0;

 protected:
  ManagedObject() noexcept = default;
};

// Base for server-side implementations of an interface I: holds the object's
// reference and answers _GetRef() with it; _Deactivate() does nothing unless
// the implementation overrides it. I is a virtual base, so an implementation
// of a derived interface can reuse one of the base interface:
//   class BigCounterImpl : public CounterImpl, public virtual Sample::Rpc::BigCounter { ... };
//
//   class CounterImpl : public Quill::ServerObject<Sample::Rpc::Counter> {
//    public:
//     using ServerObject::ServerObject;
//     long GetValue() override { ... }
//     ...
//   };
//   Basalt::Ref<CounterImpl> impl(new CounterImpl(new Quill::MoRef("sample.rpc.Counter", "c-1")));
//   adapter->Register(nullptr, impl.get());   // registered under impl->_GetRef()
template <class I>
class ServerObject : public virtual I {
 public:
  explicit ServerObject(MoRef* ref = nullptr) : _ref(ref) {}
  MoRef* _GetRef() override { return _ref.get(); }
  void _Deactivate() override {}

 private:
  Basalt::Ref<MoRef> _ref;
};

}  // namespace Quill
