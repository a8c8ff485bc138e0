// The faults that calls raise on their own account (bad input, unknown
// objects, disabled methods, shutdown), each with a readable message.
#include "Internal.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/FaultMessage.h"
#include "quill/Faults.h"

namespace Quill::Detail {

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

MethodFault::Exception* MakeRequestCanceled(std::string const& text) {
  return MakeFault<Fault::RequestCanceled>("quill.call.canceled", text)->CreateException();
}

MethodFault::Exception* MakeSystemError(std::string const& reason) {
  Basalt::Ref<Fault::SystemError> fault(new Fault::SystemError());
  fault->reason = reason;
  return fault->CreateException();
}

}  // namespace Quill::Detail
