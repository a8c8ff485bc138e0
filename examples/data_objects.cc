// Data objects and enumerations of the generated library: build, copy, compare, diff.
#include <cstdio>

#include "quill/Type.h"
#include "quill/Values.h"
#include "tarn/AboutInfo.h"
#include "tarn/TaskInfo.h"

int main() {
  Basalt::Ref<Tarn::AboutInfo> about(new Tarn::AboutInfo());
  about->name = "tarn";
  about->patchLevel = std::string("p1");  // optional: now set
  Basalt::Ref<Tarn::AboutInfo> copy(new Tarn::AboutInfo(*about));
  copy->patchLevel.Unset();
  bool lenient = about->_IsEqual(copy.get(), /*lenient=*/true);  // unset there is a wildcard
  bool strict = about->_IsEqual(copy.get(), /*lenient=*/false);
  Quill::PropertyDiffSet diffs;
  about->_DiffProperties(copy.get(), "", diffs);
  std::printf("lenient equal: %s, strict equal: %s\n", lenient ? "yes" : "no", strict ? "yes" : "no");
  for (auto const& path : diffs.GetPaths()) std::printf("differs: %s\n", path.c_str());
  char const* tag = Quill::GetEnumType<Tarn::TaskInfo::State>()->GetTag(2);
  std::printf("TaskInfo.State 2 is \"%s\"\n", tag);
  return lenient && !strict && diffs.GetPaths().size() == 1 ? 0 : 1;
}
