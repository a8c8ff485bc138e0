// The faults that calls raise on their own account (bad input, unknown
// objects, disabled methods, shutdown), each with a readable message; shared
// by every adapter (quill/PendingCall.h).
#include <typeinfo>

#include "Internal.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/FaultMessage.h"
#include "quill/Faults.h"
#include "quill/PendingCall.h"
#include "quill/Type.h"

namespace Quill::CallFaults {

void ThrowBadArgument(std::string const& property, std::string const& key, std::string const& text) {
  auto fault = MakeFault<Fault::InvalidArgument>(key, text);
  fault->invalidProperty = PropertyPath(property);
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

void ThrowNotSupported(std::string const& key, std::string const& text) {
  MakeFault<Fault::NotSupported>(key, text)->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

void ThrowRequestCanceled(std::string const& text) {
  MakeFault<Fault::RequestCanceled>("quill.call.canceled", text)->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

void ThrowSystemError(std::string const& reason) {
  Basalt::Ref<Fault::SystemError> fault(new Fault::SystemError());
  fault->reason = reason;
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

void ThrowNotFound(MoRef const* ref) {
  auto fault = MakeFault<Fault::ManagedObjectNotFound>(
      "quill.call.notFound", "no object is registered as " + ref->GetTypeName() + ":" + ref->GetId());
  fault->obj = ref->_Clone();
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

std::unique_ptr<Basalt::Exception> RequestCanceled(std::string const& text) {
  return std::unique_ptr<Basalt::Exception>(
      MakeFault<Fault::RequestCanceled>("quill.call.canceled", text)->CreateException());
}

std::unique_ptr<Basalt::Exception> SystemError(std::string const& reason) {
  Basalt::Ref<Fault::SystemError> fault(new Fault::SystemError());
  fault->reason = reason;
  return std::unique_ptr<Basalt::Exception>(fault->CreateException());
}

void CheckCall(bool shutDown, MoRef const* target, ManagedMethod const* method) {
  if (shutDown) ThrowRequestCanceled("the adapter is shut down");
  if (!method) ThrowBadArgument("method", "quill.call.noMethod", "no method object (is its module bound?)");
  if (!target) ThrowBadArgument("target", "quill.call.noTarget", "no target reference");
}

std::string OperationName(ManagedMethod const* m) {
  if (!m) return "?";
  return std::string(m->GetDeclaringType() ? m->GetDeclaringType()->GetName() : "?") + "." + m->GetName();
}

std::unique_ptr<Basalt::Exception> Capture(std::exception_ptr error, std::string_view operation) {
  std::string prefix = operation.empty() ? std::string() : std::string(operation) + ": ";
  try {
    std::rethrow_exception(error);
  } catch (Basalt::Exception const& e) {
    return std::unique_ptr<Basalt::Exception>(e.Clone());
  } catch (std::exception const& e) {
    return SystemError(prefix + e.what());
  } catch (...) {
    return SystemError(prefix + "an exception of unknown type");
  }
}

}  // namespace Quill::CallFaults

// The runtime's own spelling of the same helpers.
namespace Quill::Detail {

void ThrowBadArgument(std::string const& property, std::string const& key, std::string const& text) {
  CallFaults::ThrowBadArgument(property, key, text);
}
void ThrowNotSupported(std::string const& key, std::string const& text) { CallFaults::ThrowNotSupported(key, text); }
void ThrowRequestCanceled(std::string const& text) { CallFaults::ThrowRequestCanceled(text); }
void ThrowSystemError(std::string const& reason) { CallFaults::ThrowSystemError(reason); }
void ThrowNotFound(MoRef const* ref) { CallFaults::ThrowNotFound(ref); }

MethodFault::Exception* MakeRequestCanceled(std::string const& text) {
  return MakeFault<Fault::RequestCanceled>("quill.call.canceled", text)->CreateException();
}

MethodFault::Exception* MakeSystemError(std::string const& reason) {
  Basalt::Ref<Fault::SystemError> fault(new Fault::SystemError());
  fault->reason = reason;
  return fault->CreateException();
}

}  // namespace Quill::Detail
