// Uses an installed libtarn-types: generated classes, the runtime's registry and a fault.
#include <cstdio>

#include "quill/Registry.h"
#include "quill/Type.h"
#include "tarn/AboutInfo.h"
#include "tarn/fault/DuplicateName.h"

int main() {
  Basalt::Ref<Tarn::AboutInfo> about(new Tarn::AboutInfo());
  about->name = "consumer";
  Basalt::Ref<Tarn::AboutInfo> copy(new Tarn::AboutInfo(*about));
  bool equal = about->_IsEqual(copy.get(), false);
  bool found = Quill::FindType("tarn.AboutInfo") == Quill::GetDoType<Tarn::AboutInfo>();
  bool caught = false;
  try {
    Basalt::Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
    fault->Throw();
  } catch (Tarn::Fault::TarnFault::Exception&) {
    caught = true;
  }
  std::printf("equal %d, found %d, caught %d, %zu types\n", equal, found, caught, Quill::GetTypeCount());
  return equal && found && caught && Quill::GetTypeCount() > 3800 ? 0 : 1;
}
