// Uses the catalogue only by name, through the runtime: it references no symbol of
// libtarn-types, which must still be loaded (and its types registered) when the program
// is linked with --as-needed.
#include <cstdio>

#include "quill/Registry.h"
#include "quill/Type.h"

int main() {
  Quill::Type* type = Quill::FindType("tarn.vm.ConfigSpec");
  std::printf("by name: %s, %zu types\n", type ? type->GetWsdlName() : "(not found)", Quill::GetTypeCount());
  return type && Quill::GetTypeCount() > 3800 ? 0 : 1;
}
