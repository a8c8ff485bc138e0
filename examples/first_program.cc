// The README's first program.
#include <cstdio>

#include "quill/Registry.h"
#include "quill/Type.h"
#include "tarn/TaskInfo.h"
#include "tarn/vm/ConfigSpec.h"

int main() {
  Basalt::Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->name = std::string("web-01");  // optional fields: set by assignment
  spec->memoryMB = 4096L;
  Basalt::Ref<Tarn::Vm::ConfigSpec> copy(new Tarn::Vm::ConfigSpec(*spec));  // deep copy
  copy->memoryMB = 8192L;

  Quill::PropertyDiffSet diffs;
  spec->_DiffProperties(copy.get(), "", diffs);
  for (auto const& path : diffs.GetPaths()) std::printf("differs: %s\n", path.c_str());  // .memoryMB

  Quill::Type* type = Quill::FindType("tarn.vm.ConfigSpec");
  std::printf("%s is WSDL %s\n", type->GetName(), type->GetWsdlName());
  std::printf("%s\n", Quill::TagOf(Tarn::TaskInfo::State::success));  // "success"
  return spec->_IsEqual(copy.get(), /*lenient=*/false) ? 1 : 0;
}
