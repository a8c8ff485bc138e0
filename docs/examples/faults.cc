// Faults: objects, Throw(), catching by class and by base, stored exceptions and the
// runtime's own faults, as docs/faults.md describes them.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "check.h"
#include "quill/FaultText.h"
#include "quill/Quill.h"
#include "tarn/TaskInfo.h"
#include "tarn/fault/InvalidHostState.h"
#include "tarn/fault/NoPermission.h"

namespace {

// [raise]
void RefuseMaintenance(char const* hostId) {
  Basalt::Ref<Tarn::Fault::InvalidHostState> fault(new Tarn::Fault::InvalidHostState());
  fault->host = new Quill::MoRef("tarn.HostSystem", hostId);
  fault->Throw();
}
// [raise]

void CatchByClassAndBase() {
  // [catch-own]
  try {
    RefuseMaintenance("host-12");
  } catch (Tarn::Fault::InvalidHostState::Exception& e) {
    auto* fault = static_cast<Tarn::Fault::InvalidHostState*>(e.GetFault());
    CHECK(fault->host->GetId() == "host-12");
    CHECK(std::string(e.what()) == "Fault cause: tarn.fault.InvalidHostState\n");
  }
  // [catch-own]

  // [catch-base]
  int caughtAs = 0;
  try {
    RefuseMaintenance("host-12");
  } catch (Tarn::Fault::InvalidState::Exception&) {      // the direct base fault
    caughtAs = 1;
  } catch (Tarn::Fault::TarnFault::Exception&) {         // every fault of the API's own tree
    caughtAs = 2;
  } catch (Quill::MethodFault::Exception&) {             // every fault at all
    caughtAs = 3;
  } catch (Basalt::Exception&) {                         // every runtime error
    caughtAs = 4;
  }
  CHECK(caughtAs == 1);
  // [catch-base]
  CHECK_THROWS(Tarn::Fault::TarnFault::Exception, RefuseMaintenance("h"));
  CHECK_THROWS(Quill::MethodFault::Exception, RefuseMaintenance("h"));
  CHECK_THROWS(Basalt::Exception, RefuseMaintenance("h"));
  CHECK_THROWS(std::exception, RefuseMaintenance("h"));

  // [outside-the-tree]
  Basalt::Ref<Tarn::Fault::NoPermission> denied(new Tarn::Fault::NoPermission());
  denied->privilegeId = "Host.Config.Maintenance";
  bool asTarnFault = false, asSecurityError = false;
  try {
    denied->Throw();
  } catch (Tarn::Fault::TarnFault::Exception&) {
    asTarnFault = true;
  } catch (Quill::Fault::SecurityError::Exception&) {
    asSecurityError = true;
  }
  CHECK(!asTarnFault && asSecurityError);
  // [outside-the-tree]
}

void HeldAsBase() {
  // [held-as-base]
  Basalt::Ref<Quill::MethodFault> held(new Tarn::Fault::InvalidHostState());
  CHECK_THROWS(Tarn::Fault::InvalidHostState::Exception, held->Throw());  // its own class, not the base's
  // [held-as-base]

  // [stored]
  std::unique_ptr<Basalt::Exception> stored(held->CreateException());   // made, not thrown
  std::unique_ptr<Basalt::Exception> copy(stored->Clone());              // same most-derived class
  CHECK_THROWS(Tarn::Fault::InvalidHostState::Exception, copy->Throw());
  auto* asFault = dynamic_cast<Quill::MethodFault::Exception*>(stored.get());
  CHECK(asFault != nullptr && asFault->GetFault() == held.get());        // shared, not copied
  // [stored]

  // The fault lives as long as the last exception that holds it.
  Tarn::Fault::InvalidHostState* raw = new Tarn::Fault::InvalidHostState();
  raw->host = new Quill::MoRef("tarn.HostSystem", "host-9");
  std::unique_ptr<Quill::MethodFault::Exception> only(raw->CreateException());
  CHECK(raw->GetRefCount() == 1);
  std::unique_ptr<Basalt::Exception> another(only->Clone());
  CHECK(raw->GetRefCount() == 2);
  only.reset();
  CHECK(static_cast<Tarn::Fault::InvalidHostState*>(
            dynamic_cast<Quill::MethodFault::Exception*>(another.get())->GetFault())
            ->host->GetId() == "host-9");
}

void FaultsAreDataObjects() {
  // [data]
  Basalt::Ref<Tarn::Fault::InvalidHostState> cause(new Tarn::Fault::InvalidHostState());
  Basalt::Ref<Quill::LocalizableMessage> message(new Quill::LocalizableMessage());
  message->key = "host.maintenance.refused";
  message->message = std::string("host-12 is not in a state that allows this");
  Basalt::Ref<Tarn::Fault::NoPermission> fault(new Tarn::Fault::NoPermission());
  fault->faultCause = cause;
  fault->GetFaultMessage()->Append(message.get());
  Basalt::Ref<Tarn::TaskInfo> info(new Tarn::TaskInfo());
  info->state = Tarn::TaskInfo::State::error;
  info->error = fault;                                 // a failed task carries its fault as data
  // [data]
  Basalt::Ref<Tarn::TaskInfo> copy(static_cast<Tarn::TaskInfo*>(info->_Clone()));
  CHECK(copy->error.get() != info->error.get());
  CHECK(copy->_IsEqual(info.get(), false));
  auto* copied = static_cast<Tarn::Fault::NoPermission*>(copy->error.get());
  copied->privilegeId = "System.View";
  CHECK(!copy->_IsEqual(info.get(), false));
  Quill::PropertyDiffSet diffs;
  info->_DiffProperties(copy.get(), "", diffs);
  CHECK(diffs.GetPaths() == std::vector<std::string>{".error.privilegeId"});
  CHECK_THROWS(Quill::Fault::SecurityError::Exception, copy->error->Throw());
}

void RuntimeFaults() {
  // [runtime]
  try {
    Quill::GetEnumType<Tarn::TaskInfo::State>()->GetTag(7);
  } catch (Quill::Fault::InvalidArgument::Exception& e) {
    CHECK(dynamic_cast<Quill::Fault::InvalidArgument*>(e.GetFault()) != nullptr);
  }
  bool mismatchIsAFault = false;
  try {
    Basalt::Ref<Quill::Any> box(new Quill::Primitive<int>(7));
    Quill::Unbox<std::string>(box.get());
  } catch (Quill::MethodFault::Exception&) {
    mismatchIsAFault = true;
  } catch (Basalt::TypeMismatchException& e) {
    CHECK(std::string(e.what()).find("Primitive<std::") != std::string::npos);
  }
  CHECK(!mismatchIsAFault);
  // [runtime]
  CHECK_THROWS(Quill::RuntimeFault::Exception, Quill::GetEnumType<Tarn::TaskInfo::State>()->GetValue("done"));
}

void WholeStory() {
  auto cause = Basalt::MakeRef<Tarn::Fault::InvalidHostState>();
  cause->host = new Quill::MoRef("tarn.HostSystem", "host-12");
  auto refused = Basalt::MakeRef<Quill::LocalizableMessage>();
  refused->key = "host.maintenance.refused";
  refused->message = std::string("host-12 is not in a state that allows this");
  auto denied = Basalt::MakeRef<Tarn::Fault::NoPermission>();
  denied->privilegeId = "Host.Config.Maintenance";
  denied->faultCause = cause;
  denied->GetFaultMessage()->Append(refused.get());

  // [story]
  try {
    denied->Throw();
  } catch (std::exception& e) {                   // the last handler there is
    std::string story = Quill::FaultText(e);      // class, messages, causes, every field
    std::fputs(story.c_str(), stdout);
    CHECK(story.starts_with("tarn.fault.NoPermission (Tarn::Fault::NoPermission)\n"));
    CHECK(story.find("  message: host-12 is not in a state that allows this\n") != std::string::npos);
    CHECK(story.find("  caused by: tarn.fault.InvalidHostState") != std::string::npos);
    CHECK(story.find("Host.Config.Maintenance") != std::string::npos);
  }
  // [story]
  std::string story = Quill::DescribeFault(denied.get());
  CHECK(story == Quill::FaultText(Tarn::Fault::NoPermission::Exception(denied.get())));
  // The cause's own fields are in the data below the headline (its host's id).
  CHECK(story.find("data:") < story.find("HostSystem"));
  CHECK(Quill::DescribeFault(nullptr) == "(no fault)\n");

  // [story-key]
  auto locked = Basalt::MakeRef<Quill::LocalizableMessage>();
  locked->key = "vm.locked";                      // no text: the key and its arguments
  auto name = Basalt::MakeRef<Quill::KeyAnyValue>();
  name->key = "name";
  name->value = new Quill::Primitive<std::string>("web-01");
  locked->GetArg()->Append(name.get());
  auto busy = Basalt::MakeRef<Tarn::Fault::InvalidHostState>();
  busy->GetFaultMessage()->Append(locked.get());
  CHECK(Quill::DescribeFault(busy.get()).find("  message: vm.locked(name=\"web-01\")\n") != std::string::npos);
  // [story-key]

  // Exceptions that are not faults: the runtime's tell their class and message.
  try {
    Basalt::Ref<Quill::Any> box(new Quill::Primitive<int>(7));
    Quill::Unbox<std::string>(box.get());
  } catch (std::exception& e) {
    CHECK(Quill::FaultText(e).find("TypeMismatchException") != std::string::npos);
  }
  CHECK(Quill::FaultText(std::runtime_error("disk full")) == "std::runtime_error: disk full\n");
}

}  // namespace

int main() {
  CatchByClassAndBase();
  HeldAsBase();
  FaultsAreDataObjects();
  RuntimeFaults();
  WholeStory();
  return guide::Finish("faults");
}
