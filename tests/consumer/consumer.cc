// Uses an installed libtarn-types: generated classes, the runtime's registry and a fault.
#include <cstdio>

#include "quill/Registry.h"
#include "quill/Type.h"
#include "tarn/AboutInfo.h"
#include "tarn/fault/DuplicateName.h"

int UseHeaders();  // headers.cc

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
  // The standard the program was compiled with: the package must not have chosen it.
  std::printf("equal %d, found %d, caught %d, %zu types, __cplusplus %ld\n", equal, found, caught,
              Quill::GetTypeCount(), static_cast<long>(__cplusplus));
  int headers = UseHeaders();
  return equal && found && caught && Quill::GetTypeCount() > 3800 && headers == 0 ? 0 : 1;
}
