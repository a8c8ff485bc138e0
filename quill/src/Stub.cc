#include "quill/Stub.h"

#include "Internal.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace Quill {

ManagedObject::~ManagedObject() = default;

// --- RequestContext --------------------------------------------------------------

RequestContext::~RequestContext() = default;

void RequestContext::Set(std::string const& key, Any* value) {
  Basalt::Ref<Any> incoming(value);
  std::lock_guard lock(_mutex);
  // The old value is released after the lock: its destructor may do anything.
  _values[key].swap(incoming);
}

Basalt::Ref<Any> RequestContext::Get(std::string_view key) const {
  std::lock_guard lock(_mutex);
  auto it = _values.find(key);
  return it == _values.end() ? Basalt::Ref<Any>() : it->second;
}

bool RequestContext::Contains(std::string_view key) const {
  std::lock_guard lock(_mutex);
  return _values.find(key) != _values.end();
}

bool RequestContext::Remove(std::string_view key) {
  Basalt::Ref<Any> old;
  std::lock_guard lock(_mutex);
  auto it = _values.find(key);
  if (it == _values.end()) return false;
  old.swap(it->second);
  _values.erase(it);
  return true;
}

std::vector<std::string> RequestContext::GetKeys() const {
  std::lock_guard lock(_mutex);
  std::vector<std::string> keys;
  keys.reserve(_values.size());
  for (auto const& [k, v] : _values) keys.push_back(k);
  return keys;
}

// --- StubAdapter, StubImpl -----------------------------------------------------------

StubAdapter::~StubAdapter() = default;

StubImpl::StubImpl(MoRef* moref, StubAdapter* adapter, RequestContext* context)
    : _moref(moref), _adapter(adapter), _context(context) {
  if (!moref) Detail::ThrowBadArgument("moref", "quill.stub.noRef", "a stub needs a managed object reference");
  if (!adapter) Detail::ThrowBadArgument("adapter", "quill.stub.noAdapter", "a stub needs an adapter");
}

StubImpl::~StubImpl() = default;

MoRef* StubImpl::_GetRef() { return _moref.get(); }
void StubImpl::_Deactivate() {}

void StubImpl::_Invoke(ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result) {
  _adapter->Invoke(_moref.get(), method, args, result, _context.get());
}

void StubImpl::_Invoke_Task(ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result) {
  _Invoke(method, args, result);
}

void StubImpl::_StartInvoke(ManagedMethod* method, ArgVector& args, InvokeCallback const& callback,
                            Basalt::Ref<Basalt::System::ScheduledItem>& item) {
  _adapter->StartInvoke(_moref.get(), method, args, callback, item, _context.get());
}

void StubImpl::_StartInvoke_Task(ManagedMethod* method, ArgVector const& args, InvokeCallback const& callback,
                                 Basalt::Ref<Basalt::System::ScheduledItem>& item) {
  ArgVector own(args);
  _StartInvoke(method, own, callback, item);
}

StubAdapter* StubImpl::_GetStubAdapter() const { return _adapter.get(); }
RequestContext* StubImpl::_GetRequestContext() const { return _context.get(); }
void StubImpl::_SetRequestContext(RequestContext* context) { _context = context; }

void StubImpl::_Invoke_Task(ManagedMethod* method, ArgVector& args) {
  Basalt::Ref<Any> dropped;
  _Invoke_Task(method, args, dropped);
}

// --- factory -------------------------------------------------------------------------------

Basalt::Ref<StubImpl> CreateStub(MoRef* moref, StubAdapter* adapter, RequestContext* context) {
  // Taken first, as the stub would take them: new (unowned) objects handed
  // over die here when no stub can be made, instead of leaking.
  Basalt::Ref<MoRef> heldRef(moref);
  Basalt::Ref<StubAdapter> heldAdapter(adapter);
  Basalt::Ref<RequestContext> heldContext(context);
  if (!moref) Detail::ThrowBadArgument("moref", "quill.stub.noRef", "a stub needs a managed object reference");
  Type* type = FindType(moref->GetTypeName());
  if (!type || type->GetKind() != KIND_MANAGED) {
    Detail::ThrowInvalidType(moref->GetTypeName(), "not a registered managed type");
  }
  CreateStubFn create = static_cast<ManagedObjectType*>(type)->GetDescriptor()->createStub;
  if (!create) {
    Detail::ThrowNotSupported("quill.stub.noFactory",
                              std::string("managed type ") + type->GetName() + " has no stub factory");
  }
  if (!adapter) Detail::ThrowBadArgument("adapter", "quill.stub.noAdapter", "a stub needs an adapter");
  return Basalt::Ref<StubImpl>(create(moref, adapter, context));
}

}  // namespace Quill
