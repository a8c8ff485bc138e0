// The export check: the generated units reference every function the public headers declare,
// so this program links only if the library exports them all; and each unit hands its
// variables' addresses to CheckVariables while the program starts, because a weak reference to
// a variable the library does not export links as null instead of failing.
#include <cstdio>

#include "exports_check.h"
#include "tarn/Records.h"

namespace tarn_exports {
namespace {
int gMissing = 0;  // constant-initialised: the units' initialisers may run before this file's
int gChecked = 0;
}  // namespace

int CheckVariables(Variable const* variables, int count) {
  for (int i = 0; i < count; ++i) {
    if (variables[i].address == nullptr) {
      std::fprintf(stderr, "not exported by libtarn-types: %s\n", variables[i].name);
      ++gMissing;
    }
  }
  gChecked += count;
  return count;
}
}  // namespace tarn_exports

int main() {
  tarn_exports::Variable const namespaceData[] = {{&Tarn::sedgeNamespaceId, "Tarn::sedgeNamespaceId"},
                                                  {&Tarn::ltsDevOfficialVersions, "Tarn::ltsDevOfficialVersions"},
                                                  {&Tarn::ltsDevInternalVersions, "Tarn::ltsDevInternalVersions"}};
  tarn_exports::CheckVariables(namespaceData, 3);
  std::printf("%d variables checked, %d missing\n", tarn_exports::gChecked, tarn_exports::gMissing);
  return tarn_exports::gMissing == 0 && tarn_exports::gChecked > 3 ? 0 : 1;
}
