// Every kind of installed header in one translation unit, with the templates a program
// instantiates: compiled with -Wall -Wextra -Werror through the installed headers taken as
// ordinary (not system) headers, so that a warning in any of them fails the build.
#include <chrono>
#include <cstdio>
#include <string>

#include "quill/Async.h"
#include "quill/FaultText.h"
#include "quill/Quill.h"
#include "quill/StubSupport.h"
#include "tarn/AboutInfo.h"
#include "tarn/Folder.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/FolderStub.h"
#include "tarn/TaskFilterSpec.h"
#include "tarn/TaskInfo.h"
#include "tarn/VirtualMachine.h"
#include "tarn/VirtualMachineSkeleton.h"
#include "tarn/VirtualMachineStub.h"

int UseHeaders() {
  auto about = Basalt::MakeRef<Tarn::AboutInfo>();
  about->name = "headers";
  Basalt::Ref<Tarn::AboutInfo> copy = Quill::Clone(about);
  Tarn::TaskFilterSpec filter;
  filter.GetState()->Append(Tarn::TaskInfo::State::running);
  int states = 0;
  for (Tarn::TaskInfo::State s : *filter.state) states += s == Tarn::TaskInfo::State::running;
  auto info = Basalt::MakeRef<Tarn::TaskInfo>();
  info->GetLocked()->Append(new Quill::MoRef("tarn.Datastore", "ds-1"));
  int locked = 0;
  for (Quill::MoRef* r : *info->locked) locked += r != nullptr;
  auto when = Basalt::System::DateTime::FromTimePoint(std::chrono::system_clock::now());
  Quill::AsyncResult<long> pending;
  Quill::InvokeCallback callback = pending.Callback();
  callback(nullptr, nullptr, nullptr);
  int failures = 0;
  try {
    pending.Get(std::chrono::seconds(1));  // an empty result where a value is required
  } catch (std::exception& e) {
    failures += !Quill::FaultText(e).empty();
  }
  // CreateStub<I> with a type it cannot be: the mismatch path of the template.
  try {
    Basalt::Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
    auto ref = Basalt::MakeRef<Quill::MoRef>("tarn.Folder", "group-d1");
    Quill::CreateStub<Tarn::VirtualMachine>(ref.get(), adapter.get());
  } catch (Basalt::TypeMismatchException&) {
    ++failures;
  }
  std::printf("headers: clone %d, states %d, locked %d, time %d, failures %d\n", copy->_IsEqual(about.get(), false),
              states, locked, when.GetUtcTime() > 0, failures);
  return copy && states == 1 && locked == 1 && failures == 2 ? 0 : 1;
}
