// A short walk through the runtime on its own types: build and print data
// objects, copy and compare them, look types and versions up, and raise a
// fault as its own exception class.
#include <cstdio>

#include "quill/Quill.h"

int main() {
  using namespace Quill;

  // Data objects are counted: the first Ref owns a new object.
  Basalt::Ref<LocalizableMessage> msg(new LocalizableMessage());
  msg->key = "vm.powerOn.failed";
  msg->message = std::string("The virtual machine could not be powered on.");
  auto* arg = new KeyAnyValue();
  arg->key = "host";
  arg->value = new Primitive<std::string>("host-07");
  msg->GetArg()->Append(arg);
  std::printf("%s\n\n", msg->ToString().c_str());

  // A copy is deep (arrays of objects share their elements); change one leaf
  // and the diff names exactly that path.
  Basalt::Ref<LocalizableMessage> copy(static_cast<LocalizableMessage*>(msg->_Clone()));
  std::printf("copy equal: %s\n", copy->_IsEqual(msg.get(), false) ? "yes" : "no");
  copy->message = std::string("Powered on after retry.");
  PropertyDiffSet diffs;
  copy->_DiffProperties(msg.get(), "msg", diffs);
  for (auto const& path : diffs) std::printf("differs: %s\n", path.c_str());

  // Lookups over the registered types and versions.
  Type* t = FindType("sedge.fault.NotSupported");
  std::printf("\n%s: wsdl %s, since %s\n", t->GetName(), t->GetWsdlName(), t->GetVersionName());
  std::printf("%zu types registered, %zu of them faults\n", GetTypeCount(), GetTypesOfKind(KIND_FAULT).size());
  std::printf("sedge.query 4 succeeds sedge 0: %s\n",
              Succeeds("sedge.query.version.version4", "sedge.version.version0") ? "yes" : "no");

  // A fault held only as MethodFault* raises its own exception class.
  Basalt::Ref<MethodFault> fault(new Fault::NotSupported());
  fault->faultMessage = new DataArray<LocalizableMessage>{msg.get()};
  try {
    fault->Throw();
  } catch (RuntimeFault::Exception const& e) {
    std::printf("\ncaught %s", e.what());
    std::printf("%s\n", e.GetFault()->ToString().c_str());
  }
  return 0;
}
