// Stubs and dispatch on the worked cases: what goes into the argument vector, which method
// object a call uses, how results and faults come back.
#include <gtest/gtest.h>

#include "harness.h"
#include "quill/Registry.h"
#include "tarn/AboutInfo.h"
#include "tarn/CustomFieldsManager.h"
#include "tarn/CustomFieldsManagerStub.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/FolderStub.h"
#include "tarn/HostSystem.h"
#include "tarn/HostSystemStub.h"
#include "tarn/InternalServiceInstanceContent.h"
#include "tarn/Network.h"
#include "tarn/NetworkStub.h"
#include "tarn/PrivilegePolicyDef.h"
#include "tarn/Records.h"
#include "tarn/ServiceInstance.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceStub.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidName.h"
#include "tarn/vm/BackupAgent.h"
#include "tarn/vm/BackupAgentStub.h"

namespace {

// A transport that records the call and answers whatever the test put in `answer`.
class Scripted : public tarn_test::Recorder {
 public:
  void Invoke(Quill::MoRef*, Quill::ManagedMethod* m, Quill::ArgVector& a, Basalt::Ref<Quill::Any>& r,
              Quill::RequestContext*) override {
    method = m;
    args = a;
    ++calls;
    r = answer;
  }
  Basalt::Ref<Quill::Any> answer;
};

template <class S>
Basalt::Ref<S> StubOf(char const* type, Quill::StubAdapter* adapter) {
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef(type, "x-1"));
  return Quill::CreateStub<S>(ref.get(), adapter);
}

TEST(Stubs, ArgumentSlotsFollowTheParameterForms) {
  Basalt::Ref<Scripted> wire(new Scripted());
  auto cfm = StubOf<Tarn::CustomFieldsManagerStub>("tarn.CustomFieldsManager", wire.get());
  wire->answer = new Tarn::CustomFieldsManager::FieldDef();
  Basalt::Ref<Tarn::CustomFieldsManager::FieldDef> def;
  Basalt::Ref<Tarn::PrivilegePolicyDef> policy(new Tarn::PrivilegePolicyDef());
  cfm->AddFieldDefinition("owner", {}, policy.get(), nullptr, def);
  EXPECT_EQ(wire->method, gTarnCustomFieldsManagerMethodObjects[0]);
  ASSERT_EQ(wire->args.size(), 4u);
  EXPECT_EQ(Quill::Unbox<std::string>(wire->args[0].get()), "owner");
  EXPECT_FALSE(wire->args[1]);                                             // unset optional: empty slot
  EXPECT_EQ(wire->args[2].get(), static_cast<Quill::Any*>(policy.get()));  // objects go as they are
  EXPECT_FALSE(wire->args[3]);
  EXPECT_EQ(def.get(), wire->answer.get());

  cfm->RemoveFieldDefinition(7);
  EXPECT_EQ(wire->method, gTarnCustomFieldsManagerMethodObjects[1]);
  ASSERT_EQ(wire->args.size(), 1u);
  EXPECT_EQ(Quill::Unbox<int>(wire->args[0].get()), 7);

  // An array result that comes back empty is an empty array, never a null reference.
  wire->answer = nullptr;
  Basalt::Ref<Quill::DataArray<Tarn::CustomFieldsManager::FieldDef>> fields;
  cfm->GetField(fields);
  EXPECT_EQ(wire->method, gTarnCustomFieldsManagerMethodObjects[6]);
  EXPECT_TRUE(wire->args.empty());
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->size(), 0u);
}

TEST(Stubs, OptionalsAreBoxedOnlyWhenSet) {
  Basalt::Ref<Scripted> wire(new Scripted());
  auto agent = StubOf<Tarn::Vm::BackupAgentStub>("tarn.vm.BackupAgent", wire.get());
  agent->AbortBackup(std::string());
  ASSERT_EQ(wire->args.size(), 1u);
  ASSERT_TRUE(wire->args[0]);  // set to "": boxed
  EXPECT_EQ(Quill::Unbox<std::string>(wire->args[0].get()), "");
  agent->AbortBackup({});
  EXPECT_FALSE(wire->args[0]);

  auto host = StubOf<Tarn::HostSystemStub>("tarn.HostSystem", wire.get());
  wire->answer = new Quill::MoRef("tarn.Task", "task-9");
  Basalt::Ref<Quill::MoRef> task;
  host->EnterStandbyMode(30, false, task);
  ASSERT_EQ(wire->args.size(), 2u);
  EXPECT_EQ(wire->args[1].get(), Quill::Primitive<bool>::Factory::sFalse);
  // A task method answers the task's reference.
  ASSERT_TRUE(task);
  EXPECT_EQ(task->GetId(), "task-9");
}

TEST(Stubs, AResultOfTheWrongClassIsATypeMismatchNamingTheExpectedClassFirst) {
  Basalt::Ref<Scripted> wire(new Scripted());
  auto si = StubOf<Tarn::ServiceInstanceStub>("tarn.ServiceInstance", wire.get());
  wire->answer = new Quill::Primitive<int>(3);
  Basalt::Ref<Tarn::ServiceInstanceContent> content(new Tarn::ServiceInstanceContent());
  Tarn::ServiceInstanceContent* before = content.get();
  try {
    si->RetrieveContent(content);
    FAIL() << "no exception";
  } catch (Basalt::TypeMismatchException& e) {
    std::string what = e.what();
    EXPECT_LT(what.find("ServiceInstanceContent"), what.find("Primitive")) << what;
  }
  EXPECT_EQ(content.get(), before);  // the out-parameter keeps its value
  // A required value that arrives empty is a clear error, not a null read.
  wire->answer = nullptr;
  EXPECT_THROW(si->CurrentTime(), Quill::Fault::SystemError::Exception);
}

TEST(Stubs, ReDeclaredGettersUseTheTypesOwnMethodObject) {
  Basalt::Ref<Scripted> wire(new Scripted());
  auto net = StubOf<Tarn::NetworkStub>("tarn.Network", wire.get());
  wire->answer = Quill::Box(std::string("lan"));
  EXPECT_EQ(net->GetName(), "lan");
  auto* nt = Quill::GetMoType<Tarn::Network>();
  ASSERT_NE(wire->method, nullptr);
  EXPECT_EQ(wire->method->GetDeclaringType(), nt);
  EXPECT_STREQ(wire->method->GetName(), "name");
  // Through the interface the same overrider answers.
  Tarn::ManagedEntity* entity = net.get();
  wire->method = nullptr;
  entity->GetName();
  EXPECT_EQ(wire->method->GetDeclaringType(), nt);
}

TEST(Stubs, PrivilegeOfRenameDependsOnTheTarget) {
  auto* me = Quill::GetMoType<Tarn::ManagedEntity>();
  Quill::ManagedMethod* rename = me->FindMethod("rename");
  ASSERT_NE(rename, nullptr);
  EXPECT_STREQ(rename->GetPrivilege(Quill::GetMoType<Tarn::Network>()), "System.Read");
  EXPECT_STREQ(rename->GetPrivilege(Quill::FindType("tarn.Folder")), "Folder.Rename");
  EXPECT_EQ(rename->GetPrivilege(Quill::GetMoType<Tarn::HostSystem>()), nullptr);
}

// --- the server end ----------------------------------------------------------------

class Instance : public Quill::ServerObject<Tarn::ServiceInstance> {
 public:
  using ServerObject::ServerObject;
  Basalt::System::DateTime GetServerClock() override { return Basalt::System::DateTime(42); }
  void GetCapability(Basalt::Ref<Tarn::Capability>&) override {}
  void GetContent(Basalt::Ref<Tarn::ServiceInstanceContent>& r) override { r = content; }
  Basalt::System::DateTime CurrentTime() override { return Basalt::System::DateTime(77); }
  void RetrieveContent(Basalt::Ref<Tarn::ServiceInstanceContent>& r) override { r = content; }
  void RetrieveInternalContent(Basalt::Ref<Tarn::InternalServiceInstanceContent>&) override {
    Basalt::Ref<Tarn::Fault::InvalidName> f(new Tarn::Fault::InvalidName());
    f->name = "internal";
    f->Throw();
  }
  void ValidateMigration(Quill::DataArray<Quill::MoRef>*, Basalt::Optional<Tarn::VirtualMachine::PowerState> const&,
                         Quill::Array<std::string>*, Quill::MoRef*, Quill::MoRef*,
                         Basalt::Ref<Quill::DataArray<Tarn::Event::Event>>&) override {}
  void QueryGlideCompatibility(Quill::MoRef*, Quill::DataArray<Quill::MoRef>*, Quill::Array<std::string>*,
                               Basalt::Ref<Quill::DataArray<Tarn::ServiceInstance::HostGlideCompatibility>>&) override {
  }
  void RetrieveProductComponents(Basalt::Ref<Quill::DataArray<Tarn::ServiceInstance::ProductComponentInfo>>&) override {
  }

  Basalt::Ref<Tarn::ServiceInstanceContent> content{new Tarn::ServiceInstanceContent()};
};

TEST(Dispatch, IndexesFollowTheMethodObjectArray) {
  Basalt::Ref<Instance> impl(new Instance(new Quill::MoRef("tarn.ServiceInstance", "si")));
  auto const* desc = Quill::GetMoType<Tarn::ServiceInstance>()->GetDescriptor();
  Basalt::Ref<Quill::Any> result;
  desc->dispatch(impl.get(), 0, nullptr, &result);
  EXPECT_EQ(Quill::Unbox<Basalt::System::DateTime>(result.get()).GetUtcTime(), 77);
  desc->dispatch(impl.get(), 8, nullptr, &result);
  EXPECT_EQ(result.get(), impl->content.get());
  // Bad input never reaches an implementation.
  EXPECT_THROW(desc->dispatch(nullptr, 0, nullptr, &result), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(desc->dispatch(impl.get(), 9, nullptr, &result), Quill::Fault::NotSupported::Exception);
  Basalt::Ref<Scripted> wire(new Scripted());
  auto someStub = StubOf<Tarn::NetworkStub>("tarn.Network", wire.get());
  EXPECT_THROW(desc->dispatch(someStub.get(), 0, nullptr, &result), Basalt::TypeMismatchException);
  EXPECT_EQ(desc->propertyIndex("content", 7), 2);
  EXPECT_EQ(desc->propertyIndex("contents", 8), -1);
  auto const* net = Quill::GetMoType<Tarn::Network>()->GetDescriptor();
  EXPECT_EQ(net->propertyIndex("value", 5), 0);
  EXPECT_EQ(net->propertyIndex("parent", 6), 2);
  EXPECT_EQ(net->propertyIndex("name", 4), 9);
  EXPECT_EQ(net->propertyIndex("summary", 7), 16);
  EXPECT_EQ(net->propertyIndex("host", 4), 17);
}

TEST(Dispatch, AServerFaultReachesTheCallerAsItsOwnClass) {
  Basalt::Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  Basalt::Ref<Instance> impl(new Instance(new Quill::MoRef("tarn.ServiceInstance", "si")));
  adapter->Register(nullptr, impl.get());
  auto si = Quill::CreateStub<Tarn::ServiceInstanceStub>(impl->_GetRef(), adapter.get());
  EXPECT_EQ(si->CurrentTime().GetUtcTime(), 77);
  Basalt::Ref<Tarn::InternalServiceInstanceContent> internal;
  try {
    si->RetrieveInternalContent(internal);
    FAIL() << "no fault";
  } catch (Tarn::Fault::InvalidName::Exception& e) {
    auto* f = dynamic_cast<Tarn::Fault::InvalidName*>(e.GetFault());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->name, "internal");
  }
  EXPECT_THROW(si->RetrieveInternalContent(internal), Tarn::Fault::TarnFault::Exception);
  adapter->Shutdown();
}

// What a skeleton answers for an operation, or "" when the call succeeded.
template <class F>
std::string NotSupportedText(F call) {
  try {
    call();
  } catch (Quill::Fault::NotSupported::Exception& e) {
    auto* messages = e.GetFault()->faultMessage.get();
    return messages && messages->GetCollectionLength() ? messages->Get(0)->message.GetValue() : "(no message)";
  }
  return "";
}

TEST(Skeletons, OverriddenOperationsAnswerTheRestAreNotSupported) {
  class NamedFolder : public Tarn::FolderSkeleton {
   public:
    using FolderSkeleton::FolderSkeleton;
    std::string GetName() override { return "root"; }  // inherited from tarn.ManagedEntity
  };
  Basalt::Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  Basalt::Ref<NamedFolder> impl(new NamedFolder(new Quill::MoRef("tarn.Folder", "f-1")));
  EXPECT_EQ(impl->_GetType(), Quill::GetMoType<Tarn::Folder>());
  adapter->Register(nullptr, impl.get());
  auto folder = Quill::CreateStub<Tarn::FolderStub>(impl->_GetRef(), adapter.get());
  EXPECT_EQ(folder->GetName(), "root");
  Basalt::Ref<Quill::MoRef> ref;
  // Own and inherited methods, and getters, name the operation the server lacks.
  EXPECT_EQ(NotSupportedText([&] { folder->CreateFolder("x", ref); }),
            "tarn.Folder.createFolder is not implemented by this server");
  EXPECT_EQ(NotSupportedText([&] { folder->Reload(); }), "tarn.ManagedEntity.reload is not implemented by this server");
  EXPECT_EQ(NotSupportedText([&] { folder->GetOverallStatus(); }),
            "tarn.ManagedEntity.overallStatus is not implemented by this server");
  EXPECT_EQ(NotSupportedText([&] { folder->SetCustomValue("k", "v"); }),
            "tarn.ExtensibleManagedObject.setCustomValue is not implemented by this server");
  // The same through the asynchronous form: delivered to the callback.
  Basalt::Ref<Basalt::System::ScheduledItem> item;
  std::string text;
  folder->CreateFolder(
      "x",
      [&](Basalt::System::ScheduledItem*, Basalt::Exception* error, Quill::Any*) {
        text = NotSupportedText([&] {
          if (error) error->Throw();
        });
      },
      item);
  item->Wait();
  EXPECT_EQ(text, "tarn.Folder.createFolder is not implemented by this server");
  adapter->Shutdown();
}

}  // namespace
