// Data objects: build, copy, compare, diff, arrays and reflection, as docs/data-objects.md
// describes them.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "check.h"
#include "quill/Quill.h"
#include "tarn/AboutInfo.h"
#include "tarn/ElementDescription.h"
#include "tarn/TaskDescription.h"
#include "tarn/TaskFilterSpec.h"
#include "tarn/TaskInfo.h"

namespace {

std::vector<std::string> Diff(Quill::Any const& mine, Quill::Any const* theirs, std::string const& prefix = "") {
  Quill::PropertyDiffSet diffs;
  mine._DiffProperties(theirs, prefix, diffs);
  return diffs.GetPaths();
}

Tarn::ElementDescription* Element(char const* key, char const* label) {
  auto* e = new Tarn::ElementDescription();
  e->key = key;
  e->label = label;
  return e;
}

void BuildAndCopy() {
  // [build]
  Basalt::Ref<Tarn::TaskInfo> info(new Tarn::TaskInfo());
  info->key = "task-7";
  info->state = Tarn::TaskInfo::State::running;
  info->progress = 40;  // optional: assigning sets it
  info->description = new Quill::LocalizableMessage();
  info->description->key = "backup.started";
  info->GetLocked()->Append(new Quill::MoRef("tarn.Datastore", "ds-1"));  // array made on first use
  // [build]

  // [defaults]
  Tarn::TaskInfo fresh;
  CHECK(fresh.key.empty() && fresh.eventChainId == 0 && !fresh.cancelled);
  CHECK(fresh.state == Tarn::TaskInfo::State::queued);        // value 0, the first tag
  CHECK(fresh.queueTime.GetUtcTime() == 0);                   // the epoch
  CHECK(!fresh.entityName.IsSet() && fresh.entityName->empty());
  CHECK(!fresh.description && !fresh.locked);                 // objects and arrays start null
  // [defaults]

  // [copy]
  Basalt::Ref<Tarn::TaskInfo> copy(static_cast<Tarn::TaskInfo*>(info->_Clone()));
  Basalt::Ref<Tarn::TaskInfo> second(new Tarn::TaskInfo(*info));  // the same deep copy
  CHECK(copy->description.get() != info->description.get());     // nested objects are copied
  CHECK(copy->locked.get() != info->locked.get());               // so are arrays...
  CHECK(copy->locked->Get(0) == info->locked->Get(0));           // ...but not their elements
  // [copy]
  CHECK(copy->_IsEqual(info.get(), false) && second->_IsEqual(info.get(), false));
  CHECK(copy->GetRefCount() == 1);  // the clone belonged to nobody until `copy` took it

  // [shared-elements]
  copy->locked->Get(0)->SetId("ds-2");                   // changes the original's element too
  CHECK(info->locked->Get(0)->GetId() == "ds-2");
  copy->locked->GetItems()[0] = new Quill::MoRef("tarn.Datastore", "ds-3");  // replace instead
  CHECK(info->locked->Get(0)->GetId() == "ds-2");
  // [shared-elements]
  copy->locked->GetItems()[0] = info->locked->Get(0);

  // [compare]
  copy->progress.Unset();
  CHECK(!info->_IsEqual(copy.get(), /*lenient=*/false));  // set here, unset there
  CHECK(info->_IsEqual(copy.get(), /*lenient=*/true));    // unset in the other: a wildcard
  CHECK(!copy->_IsEqual(info.get(), /*lenient=*/true));   // not the other way round
  // [compare]

  // [diff]
  copy->description->key = "backup.resumed";
  CHECK(Diff(*info, copy.get()) == (std::vector<std::string>{".description.key", ".progress"}));
  CHECK(Diff(*info, copy.get(), "task") ==
        (std::vector<std::string>{"task.description.key", "task.progress"}));
  // [diff]

  // Foreign or missing objects are unequal, never an error, and diff as the prefix itself.
  Tarn::AboutInfo about;
  CHECK(!info->_IsEqual(&about, true) && !info->_IsEqual(nullptr, true));
  CHECK(Diff(*info, &about, "task") == std::vector<std::string>{"task"});
}

void Optionals() {
  // [optionals]
  Tarn::AboutInfo about;
  CHECK(!about.patchLevel.IsSet());
  about.patchLevel = "p2";                           // set
  CHECK(about.patchLevel.IsSet() && *about.patchLevel == "p2");
  about.patchLevel = std::string();                  // set, to the empty string
  CHECK(about.patchLevel.IsSet());
  about.patchLevel.Unset();                          // unset again
  CHECK(!about.patchLevel.IsSet() && about.patchLevel.GetValue().empty());
  // [optionals]
}

void Arrays() {
  // [arrays]
  Basalt::Ref<Tarn::TaskDescription> mine(new Tarn::TaskDescription());
  mine->GetMethodInfo()->Append(Element("tarn.Folder.createFolder", "Create folder"));
  mine->GetMethodInfo()->Append(Element("tarn.ManagedEntity.rename", "Rename"));
  Basalt::Ref<Tarn::TaskDescription> theirs(static_cast<Tarn::TaskDescription*>(mine->_Clone()));
  theirs->methodInfo->GetItems()[1] = Element("tarn.ManagedEntity.rename", "Rename entity");
  CHECK(Diff(*mine, theirs.get()) == std::vector<std::string>{".methodInfo[1].label"});
  theirs->GetMethodInfo()->Append(Element("tarn.Task.cancel", "Cancel"));
  CHECK(Diff(*mine, theirs.get()) == std::vector<std::string>{".methodInfo"});  // lengths differ
  // [arrays]

  // [null-array]
  Tarn::TaskDescription a, b;
  a.GetState();                                      // an empty array now...
  CHECK(a.state && !b.state);
  CHECK(a._IsEqual(&b, false) && Diff(a, &b).empty());  // ...the same value as none
  // [null-array]
}

void Helpers() {
  // [make-ref]
  auto info = Basalt::MakeRef<Tarn::TaskInfo>();  // a Basalt::Ref<Tarn::TaskInfo>, the only holder
  info->key = "task-7";
  info->GetLocked()->Append(new Quill::MoRef("tarn.Datastore", "ds-1"));
  info->GetLocked()->Append(new Quill::MoRef("tarn.Datastore", "ds-2"));
  auto ref = Basalt::MakeRef<Quill::MoRef>("tarn.HostSystem", "host-1");  // constructor arguments
  // [make-ref]
  CHECK(info->GetRefCount() == 1 && ref->GetId() == "host-1");

  // [typed-clone]
  Basalt::Ref<Tarn::TaskInfo> copy = Quill::Clone(info);  // no cast
  Basalt::Ref<Quill::Any> held = info;
  Basalt::Ref<Quill::Any> again = Quill::Clone(held);     // through a base: the whole object
  CHECK(dynamic_cast<Tarn::TaskInfo*>(again.get()) != nullptr);
  // [typed-clone]
  CHECK(copy.get() != info.get() && copy->_IsEqual(info.get(), false));
  CHECK(again.get() != held.get() && again->_IsEqual(info.get(), false));
  CHECK(!Quill::Clone(Basalt::Ref<Tarn::TaskInfo>()));   // null stays null

  // [typed-iteration]
  std::vector<std::string> ids;
  for (Quill::MoRef* locked : *info->locked) ids.push_back(locked->GetId());  // no cast
  CHECK((ids == std::vector<std::string>{"ds-1", "ds-2"}));

  Tarn::TaskFilterSpec filter;
  filter.GetState()->Append(Tarn::TaskInfo::State::running);
  filter.GetState()->Append(Tarn::TaskInfo::State::error);
  int failed = 0;
  for (Tarn::TaskInfo::State state : *filter.state) {  // enumerators, not ints
    if (state == Tarn::TaskInfo::State::error) ++failed;
  }
  CHECK(failed == 1);
  // [typed-iteration]
  auto isSecond = [](Quill::MoRef* r) { return r->GetId() == "ds-2"; };
  CHECK(std::count_if(info->locked->begin(), info->locked->end(), isSecond) == 1);
  CHECK(std::find(filter.state->begin(), filter.state->end(), Tarn::TaskInfo::State::running) ==
        filter.state->begin());
  CHECK(std::distance(copy->locked->begin(), copy->locked->end()) == 2);

  // [chrono]
  auto now = std::chrono::system_clock::now();
  info->queueTime = Basalt::System::DateTime::FromTimePoint(now);
  CHECK(info->queueTime.ToTimePoint() == std::chrono::floor<std::chrono::microseconds>(now));
  auto written = Basalt::System::DateTime::FromTimePoint(now, 120);  // the same instant at +02:00
  CHECK(written == info->queueTime && written.ToIso8601() != info->queueTime.ToIso8601());
  // [chrono]
  auto before = std::chrono::system_clock::time_point(std::chrono::nanoseconds(-1));
  CHECK(Basalt::System::DateTime::FromTimePoint(before).GetUtcTime() == -1);  // towards the past
  CHECK(Basalt::System::DateTime::FromCivil(1969, 12, 31, 23, 59, 59).ToTimePoint() ==
        std::chrono::system_clock::time_point(std::chrono::seconds(-1)));
  CHECK_THROWS(Basalt::Exception, Basalt::System::DateTime::FromCivil(2300, 1, 1).ToTimePoint());
  CHECK_THROWS(Basalt::Exception, Basalt::System::DateTime::FromCivil(1600, 1, 1).ToTimePoint());
}

void Reflection() {
  // [reflection]
  auto* type = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.ElementDescription"));
  Basalt::Ref<Quill::DynamicData> obj(type->Create());
  Quill::DataProperty const* label = type->FindProperty("label");   // inherited from tarn.Description
  std::string value = "Rename";
  label->owner->setProperty(obj.get(), label->ownIndex, &value);
  std::string back;
  label->owner->getProperty(obj.get(), label->ownIndex, &back);
  // [reflection]
  CHECK(type != nullptr && type->GetKind() == Quill::KIND_DATA);
  CHECK(obj->_GetType() == Quill::GetDoType<Tarn::ElementDescription>());
  CHECK(back == "Rename");
  CHECK(static_cast<Tarn::ElementDescription*>(obj.get())->label == "Rename");
  CHECK(label->owner == Quill::GetDoType<Tarn::Description>()->GetDescriptor());
  CHECK(type->FindProperty("labels") == nullptr);

  // [property-order]
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < type->GetPropertyCount(); ++i) names.push_back(type->GetProperty(i).info->name);
  CHECK(names == (std::vector<std::string>{"label", "summary", "key"}));  // base properties first
  // [property-order]

  // [reflection-kinds]
  auto* taskType = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.TaskInfo"));
  Basalt::Ref<Quill::DynamicData> task(taskType->Create());
  Quill::DataProperty const* state = taskType->FindProperty("state");
  Quill::DataProperty const* progress = taskType->FindProperty("progress");
  int success = Quill::GetEnumType<Tarn::TaskInfo::State>()->GetValue("success");
  state->owner->setProperty(task.get(), state->ownIndex, &success);       // an enumeration as int
  int percent = 75;
  progress->owner->setProperty(task.get(), progress->ownIndex, &percent);  // an optional: now set
  bool progressSet = progress->owner->isPropertySet(task.get(), progress->ownIndex);
  // [reflection-kinds]
  auto* typed = static_cast<Tarn::TaskInfo*>(task.get());
  CHECK(typed->state == Tarn::TaskInfo::State::success);
  CHECK(progressSet && typed->progress.IsSet() && *typed->progress == 75);
  CHECK((progress->info->flags & Quill::F_OPTIONAL) && !(state->info->flags & Quill::F_OPTIONAL));
  progress->owner->unsetProperty(task.get(), progress->ownIndex);
  CHECK(!typed->progress.IsSet());
}

}  // namespace

int main() {
  BuildAndCopy();
  Optionals();
  Arrays();
  Helpers();
  Reflection();
  return guide::Finish("data-objects");
}
