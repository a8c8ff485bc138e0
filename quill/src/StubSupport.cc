#include "quill/StubSupport.h"

#include "Internal.h"
#include "quill/Type.h"

namespace Quill {

namespace Detail {

void ThrowMissingArgument(std::uint32_t index) {
  ThrowBadArgument("args[" + std::to_string(index) + "]", "quill.dispatch.missingArgument",
                   "argument " + std::to_string(index) + " is empty, but its parameter requires a value");
}

void ThrowEmptyResult(std::type_info const& expected, ManagedMethod const* method) {
  std::string where;
  if (method && method->GetDeclaringType()) {
    where = std::string(method->GetDeclaringType()->GetName()) + "." + method->GetName() + ": ";
  }
  ThrowSystemError(where + "no result, but a required " + Basalt::Demangle(expected) + " was declared");
}

void ThrowNullDispatchTarget(std::type_info const& expected) {
  ThrowBadArgument("object", "quill.dispatch.noObject",
                   "dispatch for " + Basalt::Demangle(expected) + " was given no object");
}

}  // namespace Detail

void ThrowNoDispatchEntry(ManagedObjectType const* type, std::uint32_t index) {
  Detail::ThrowNotSupported("quill.dispatch.noEntry", std::string(type ? type->GetName() : "?") +
                                                          " has no operation with index " + std::to_string(index));
}

void ThrowDisabledOperation(char const* method) {
  Detail::ThrowNotSupported("quill.stub.disabled",
                            std::string(method ? method : "?") + " belongs to a disabled version and cannot be called");
}

void ThrowNotImplemented(char const* qualifiedName) {
  Detail::ThrowNotSupported("quill.server.notImplemented",
                            std::string(qualifiedName ? qualifiedName : "?") + " is not implemented by this server");
}

void Dispatch(ManagedObject* object, ManagedMethod const* method, ArgVector const& args, Basalt::Ref<Any>& result) {
  if (!object) Detail::ThrowBadArgument("object", "quill.dispatch.noObject", "dispatch was given no object");
  if (!method) Detail::ThrowBadArgument("method", "quill.dispatch.noMethod", "dispatch was given no method");
  ManagedObjectType* declaring = method->GetDeclaringType();
  ManagedObjectType* type = object->_GetType();
  if (!declaring || !type || !type->IsSubtypeOf(declaring)) {
    Detail::ThrowBadArgument("method", "quill.dispatch.foreignMethod",
                             std::string(method->GetName() ? method->GetName() : "?") + " is not an operation of " +
                                 (type ? type->GetName() : "an unbound type"));
  }
  if (args.size() != method->GetParameterCount()) {
    Detail::ThrowBadArgument("args", "quill.dispatch.argumentCount",
                             std::string(method->GetName()) + " takes " + std::to_string(method->GetParameterCount()) +
                                 " arguments, " + std::to_string(args.size()) + " were given");
  }
  DispatchFn dispatch = declaring->GetDescriptor()->dispatch;
  if (!dispatch) {
    Detail::ThrowNotSupported("quill.dispatch.none", std::string(declaring->GetName()) + " has no dispatch function");
  }
  Basalt::Ref<Any> out;
  dispatch(object, method->GetIndex(), args.data(), &out);
  result = std::move(out);
}

// --- boxing ---------------------------------------------------------------------------
namespace {
template <class V>
Basalt::Ref<Any> NewBox(V const& v) {
  return Basalt::Ref<Any>(new Primitive<V>(v));
}
}  // namespace

Basalt::Ref<Any> Box(std::string const& v) { return NewBox(v); }
Basalt::Ref<Any> Box(char const* v) {
  return v ? Basalt::Ref<Any>(new Primitive<std::string>(std::string(v))) : Basalt::Ref<Any>();
}
Basalt::Ref<Any> Box(bool v) { return Basalt::Ref<Any>(Primitive<bool>::Get(v)); }
Basalt::Ref<Any> Box(Basalt::Optional<bool> const& v) { return v.IsSet() ? Box(v.GetValue()) : Basalt::Ref<Any>(); }
Basalt::Ref<Any> Box(signed char v) { return NewBox(v); }
Basalt::Ref<Any> Box(short v) { return NewBox(v); }
Basalt::Ref<Any> Box(int v) { return NewBox(v); }
Basalt::Ref<Any> Box(long v) { return NewBox(v); }
Basalt::Ref<Any> Box(float v) { return NewBox(v); }
Basalt::Ref<Any> Box(double v) { return NewBox(v); }
Basalt::Ref<Any> Box(std::vector<unsigned char> const& v) { return NewBox(v); }
Basalt::Ref<Any> Box(Basalt::System::DateTime const& v) { return NewBox(v); }
Basalt::Ref<Any> Box(TypeName const& v) { return NewBox(v); }
Basalt::Ref<Any> Box(MethodName const& v) { return NewBox(v); }
Basalt::Ref<Any> Box(PropertyPath const& v) { return NewBox(v); }
Basalt::Ref<Any> Box(Uri const& v) { return NewBox(v); }

// --- invocation -------------------------------------------------------------------------

void Invoke(StubImpl* stub, ManagedMethod* method, ArgVector&& args) { stub->_Invoke_Task(method, args); }

void StartInvoke(StubImpl* stub, ManagedMethod* method, ArgVector&& args, InvokeCallback const& callback,
                 Basalt::Ref<Basalt::System::ScheduledItem>& item) {
  stub->_StartInvoke_Task(method, args, callback, item);
}

QUILL_STUB_SUPPORT_VALUES()

}  // namespace Quill
