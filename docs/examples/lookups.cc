// Looking types, properties, methods and versions up by name, as docs/lookups.md
// describes them.
#include <cstring>
#include <string>

#include "check.h"
#include "quill/Quill.h"
#include "tarn/AboutInfo.h"
#include "tarn/HostSystem.h"
#include "tarn/ManagedEntity.h"
#include "tarn/TaskInfo.h"
#include "tarn/host/MaintenanceManager.h"

namespace {

bool Is(char const* a, char const* b) { return a && b && std::strcmp(a, b) == 0; }

void Types() {
  // [find-type]
  Quill::Type* spec = Quill::FindType("tarn.vm.ConfigSpec");                // sedge name
  Quill::Type* content = Quill::FindTypeByWsdlName("ServiceContent");      // name on the wire
  Quill::Type* missing = Quill::FindType("tarn.vm.ConfigSpecs");           // unknown: null
  // [find-type]
  CHECK(spec && Is(spec->GetWsdlName(), "VirtualMachineConfigSpec"));
  CHECK(content && Is(content->GetName(), "tarn.ServiceInstanceContent"));
  CHECK(missing == nullptr);
  CHECK(Quill::FindTypeByWsdlName("VirtualMachineConfigSpec") == spec);
  CHECK(Quill::FindType("vm.ConfigSpec") == nullptr);  // always the full name, with "tarn."

  // [kinds]
  std::string kinds;
  for (char const* name : {"tarn.AboutInfo", "tarn.fault.InvalidName", "tarn.TaskInfo.State", "tarn.Folder",
                           "string"}) {
    Quill::Type* t = Quill::FindType(name);
    switch (t ? t->GetKind() : Quill::KIND_ARRAY) {
      case Quill::KIND_DATA: kinds += "data "; break;
      case Quill::KIND_FAULT: kinds += "fault "; break;        // a DataObjectType as well
      case Quill::KIND_ENUM: kinds += "enum "; break;          // an EnumType
      case Quill::KIND_MANAGED: kinds += "managed "; break;    // a ManagedObjectType
      case Quill::KIND_PRIMITIVE: kinds += "primitive "; break;
      default: kinds += "? "; break;
    }
  }
  // [kinds]
  CHECK(kinds == "data fault enum managed primitive ");

  // [typed]
  auto* about = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.AboutInfo"));
  auto* state = static_cast<Quill::EnumType*>(Quill::FindType("tarn.TaskInfo.State"));
  auto* host = static_cast<Quill::ManagedObjectType*>(Quill::FindType("tarn.HostSystem"));
  // [typed]
  CHECK(about == Quill::GetDoType<Tarn::AboutInfo>());
  CHECK(state == Quill::GetEnumType<Tarn::TaskInfo::State>() && Is(state->GetTag(3), "error"));
  CHECK(host == Quill::GetMoType<Tarn::HostSystem>());
  CHECK(host->IsSubtypeOf(Quill::GetMoType<Tarn::ManagedEntity>()));
  auto* invalidName = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.fault.InvalidName"));
  CHECK(invalidName->IsFault() && Is(invalidName->GetBaseType()->GetName(), "tarn.fault.TarnFault"));

  // [array-types]
  Quill::Type* specs = spec->GetArrayType();
  CHECK(Is(specs->GetName(), "tarn.vm.ConfigSpec[]") && specs->GetElementType() == spec);
  CHECK(Is(specs->GetWsdlName(), "ArrayOfVirtualMachineConfigSpec"));
  CHECK(spec->GetArrayType() == specs);  // made once, then always the same object
  CHECK(Quill::FindType("tarn.vm.ConfigSpec[]") == specs);  // the derived names find it too
  CHECK(Quill::FindTypeByWsdlName("ArrayOfVirtualMachineConfigSpec") == specs);
  // [array-types]

  // Every type of a kind, in registration order.
  bool allEnums = true;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_ENUM)) allEnums &= t->GetKind() == Quill::KIND_ENUM;
  CHECK(allEnums && Quill::GetTypesOfKind(Quill::KIND_ENUM).size() > 400);
}

void Versions() {
  // [versions]
  Quill::Version const* v7 = Quill::FindVersion("tarn.version.v7_0");
  Quill::Version const* v8 = Quill::FindVersion("tarn.version.v8_0_0_1");
  Quill::Version const* liveUpdate = Quill::FindVersion("tarn.version.LiveUpdate");
  // [versions]
  CHECK(v7 && v8 && liveUpdate);
  CHECK(Is(v7->GetWireVersion(), "7.0.0.0") && v7->GetKind() == Quill::VERSION_RELEASE);
  CHECK(liveUpdate->GetKind() == Quill::VERSION_FEATURE);
  CHECK(Quill::FindVersionByWireVersion("tarn", "7.0.0.0") == v7);
  CHECK(Quill::FindVersion("v7_0") == nullptr);  // full names only

  // [succeeds]
  CHECK(v8->Succeeds(v7) && !v7->Succeeds(v8));
  CHECK(!v8->Succeeds(v8) && v8->Includes(v8));                // Succeeds is not reflexive
  CHECK(liveUpdate->Succeeds(v8));                             // a feature builds on a release
  CHECK(!Quill::Succeeds("tarn.version.GreenMetrics", "tarn.version.LiveUpdate"));  // siblings
  CHECK(Quill::Succeeds("tarn.version.version7", "sedge.reflect.version.version1"));  // across namespaces
  CHECK(!Quill::Succeeds("tarn.version.v8_0_0_1", "tarn.version.nonesuch"));
  CHECK(!Quill::ExistsInVersion("tarn.version.nonesuch", v8) && !Quill::ExistsInVersion("tarn.version.v7_0", nullptr));
  // [succeeds]

  // [exists]
  auto* about = Quill::GetDoType<Tarn::AboutInfo>();
  Quill::PropertyInfo const& patchLevel = *about->FindProperty("patchLevel")->info;
  CHECK(Is(patchLevel.version, "tarn.version.v7_0_2_0"));
  CHECK(Quill::ExistsInVersion(patchLevel, v8) && !Quill::ExistsInVersion(patchLevel, v7));
  auto* maintenance = Quill::GetMoType<Tarn::Host::MaintenanceManager>();
  CHECK(Quill::ExistsInVersion(maintenance, liveUpdate) && !Quill::ExistsInVersion(maintenance, v8));
  Quill::ManagedMethod* enter = maintenance->FindMethod("enterPartialMaintenanceMode");
  CHECK(Quill::ExistsInVersion(enter, Quill::FindVersion("tarn.version.TallowLiveUpdate")));
  CHECK(!Quill::ExistsInVersion(enter, Quill::FindVersion("tarn.version.GreenMetrics")));
  // [exists]
  CHECK(maintenance->GetVersion() == liveUpdate);
}

void Members() {
  // [data-properties]
  auto* about = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.AboutInfo"));
  Quill::DataProperty const* patchLevel = about->FindProperty("patchLevel");
  bool optional = patchLevel->info->flags & Quill::F_OPTIONAL;
  char const* valueType = patchLevel->info->type->name;                 // "string"
  // [data-properties]
  CHECK(optional && Is(valueType, "string"));
  CHECK(Is(about->GetProperty(4).info->name, "patchLevel") && about->GetPropertyCount() == 13);
  CHECK(about->FindProperty("PatchLevel") == nullptr);  // exact and case-sensitive

  // [methods]
  auto* host = Quill::GetMoType<Tarn::HostSystem>();
  Quill::ManagedMethod* rename = host->FindMethod("rename");              // inherited
  Quill::ManagedMethod* sameByWire = host->FindMethodByWsdlName("Rename_Task");
  // [methods]
  CHECK(rename && rename == sameByWire);
  CHECK(rename->GetDeclaringType() == Quill::GetMoType<Tarn::ManagedEntity>());
  CHECK(rename->IsTask() && !rename->IsProperty());
  CHECK(rename->GetParameterCount() == 1 && Is(rename->GetParameter(0).name, "newName"));
  CHECK(Is(rename->GetParameter(0).type->name, "string"));
  CHECK(host->FindMethod("Rename") == nullptr && host->FindMethod("rename_Task") == nullptr);

  // [privileges]
  CHECK(Is(rename->GetPrivilege(Quill::FindType("tarn.Folder")), "Folder.Rename"));    // per target type
  CHECK(Is(rename->GetPrivilege(Quill::FindType("tarn.Datastore")), "Datastore.Rename"));
  CHECK(rename->GetPrivilege(host) == nullptr);                                     // none named
  // [privileges]

  // [managed-properties]
  Quill::ManagedProperty const* name = host->FindProperty("name");
  CHECK(name && name->reader->IsProperty() && Is(name->reader->GetName(), "name"));
  CHECK(host->GetPropertyIndex("name") >= 0 && host->GetPropertyIndex("nonesuch") == -1);
  CHECK(host->GetProperty(static_cast<std::uint32_t>(host->GetPropertyIndex("name"))).info == name->info);
  // [managed-properties]

  // The faults a method declares, from its descriptor.
  bool raisesInvalidName = false;
  for (Quill::TypeInfo const* const* f = rename->GetMethodInfo()->faults; f && *f; ++f) {
    raisesInvalidName |= Is((*f)->name, "tarn.fault.InvalidName");
  }
  CHECK(raisesInvalidName);
}

}  // namespace

int main() {
  Types();
  Versions();
  Members();
  return guide::Finish("lookups");
}
