// Enumerations: values, tag constants, conversions both ways, arrays and unknown tags, as
// docs/enumerations.md describes them.
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "quill/Quill.h"
#include "tarn/HostSystem.h"
#include "tarn/TaskFilterSpec.h"
#include "tarn/TaskInfo.h"
#include "tarn/VirtualMachine.h"

namespace {

using ConnectionState = Tarn::HostSystem::ConnectionState;

// [lenient-tags]
// Tags from a newer server that this build does not know are skipped, not fatal.
std::vector<ConnectionState> KnownStates(Quill::Array<std::string> const& tags, std::vector<std::string>& unknown) {
  Quill::EnumType* type = Quill::GetEnumType<ConnectionState>();
  std::vector<ConnectionState> known;
  for (std::string const& tag : tags.GetValues()) {
    int value = type->FindValue(tag);
    if (value < 0) {
      unknown.push_back(tag);
    } else {
      known.push_back(static_cast<ConnectionState>(value));
    }
  }
  return known;
}
// [lenient-tags]

void ValuesAndTags() {
  // [values]
  ConnectionState state = ConnectionState::notResponding;
  Quill::EnumType* type = Quill::GetEnumType<ConnectionState>();
  char const* tag = type->GetTag(static_cast<int>(state));                    // "notResponding"
  auto parsed = static_cast<ConnectionState>(type->GetValue("disconnected"));  // value 2
  // [values]
  CHECK(static_cast<int>(state) == 1);
  CHECK(std::strcmp(tag, "notResponding") == 0);
  CHECK(parsed == ConnectionState::disconnected);
  CHECK(type->GetTagCount() == 3);
  CHECK(std::strcmp(type->GetName(), "tarn.HostSystem.ConnectionState") == 0);
  CHECK(std::strcmp(type->GetWsdlName(), "HostSystemConnectionState") == 0);

  // [constants]
  CHECK(std::strcmp(Tarn::HostSystem::CONNECTIONSTATE_NOTRESPONDING, "notResponding") == 0);
  CHECK(tag == static_cast<char const*>(Tarn::HostSystem::CONNECTIONSTATE_NOTRESPONDING));  // one copy
  CHECK(std::string(Tarn::TaskInfo::STATE_SUCCESS) == "success");
  // [constants]

  // [per-enumeration]
  CHECK(static_cast<int>(Tarn::VirtualMachine::PowerState::poweredOff) == 0);
  CHECK(static_cast<int>(Tarn::HostSystem::PowerState::poweredOn) == 0);
  // [per-enumeration]

  // [bad-input]
  CHECK_THROWS(Quill::Fault::InvalidArgument::Exception, type->GetTag(3));             // out of range
  CHECK_THROWS(Quill::Fault::InvalidArgument::Exception, type->GetValue("Connected"));  // case counts
  CHECK(type->FindValue("Connected") == -1);                                           // no exception
  // [bad-input]
}

void Arrays() {
  // [arrays]
  Basalt::Ref<Quill::Array<ConnectionState>> states(
      new Quill::Array<ConnectionState>{ConnectionState::disconnected, ConnectionState::connected});
  states->Append(ConnectionState::notResponding);
  Quill::EnumType* type = Quill::GetEnumType<ConnectionState>();
  Basalt::Ref<Quill::Array<std::string>> tags;
  type->GetFuncs().toTags(states.get(), type, tags);
  Basalt::Ref<Quill::Any> back(type->GetFuncs().fromTags(tags.get(), type));
  // [arrays]
  CHECK(states->size() == 3 && states->Get(2) == ConnectionState::notResponding);
  CHECK(tags->GetValues() == (std::vector<std::string>{"disconnected", "connected", "notResponding"}));
  CHECK(back->_IsEqual(states.get(), false));
  CHECK(back->_GetType() == type->GetArrayType());
  CHECK(std::strcmp(type->GetArrayType()->GetName(), "tarn.HostSystem.ConnectionState[]") == 0);
  auto* typedBack = dynamic_cast<Quill::Array<ConnectionState>*>(back.get());
  CHECK(typedBack != nullptr && typedBack->Get(0) == ConnectionState::disconnected);

  // [field]
  Tarn::TaskFilterSpec filter;
  filter.GetState()->Append(Tarn::TaskInfo::State::running);
  filter.GetState()->Append(Tarn::TaskInfo::State::queued);
  // [field]
  CHECK(filter.state->size() == 2 && filter.state->Get(1) == Tarn::TaskInfo::State::queued);

  // [unknown]
  Basalt::Ref<Quill::Array<std::string>> fromServer(
      new Quill::Array<std::string>{"connected", "maintenance", "disconnected"});
  CHECK_THROWS(Quill::Fault::InvalidArgument::Exception, type->GetFuncs().fromTags(fromServer.get(), type));
  std::vector<std::string> unknown;
  std::vector<ConnectionState> known = KnownStates(*fromServer, unknown);
  // [unknown]
  CHECK(known == (std::vector<ConnectionState>{ConnectionState::connected, ConnectionState::disconnected}));
  CHECK(unknown == std::vector<std::string>{"maintenance"});

  // [mixed-arrays]
  Basalt::Ref<Quill::Array<Tarn::VirtualMachine::PowerState>> vmStates(
      new Quill::Array<Tarn::VirtualMachine::PowerState>{Tarn::VirtualMachine::PowerState::poweredOff});
  Basalt::Ref<Quill::Array<Tarn::HostSystem::PowerState>> hostStates(
      new Quill::Array<Tarn::HostSystem::PowerState>{Tarn::HostSystem::PowerState::poweredOn});
  CHECK(vmStates->_IsEqual(hostStates.get(), false));  // both hold the integer 0
  // [mixed-arrays]
}

void Boxes() {
  // [boxes]
  Basalt::Ref<Quill::Any> box(new Quill::Primitive<ConnectionState>(ConnectionState::disconnected));
  ConnectionState unboxed = Quill::Unbox<ConnectionState>(box.get());
  Basalt::Ref<Quill::Any> notAState(new Quill::Primitive<int>(2));
  // [boxes]
  CHECK(unboxed == ConnectionState::disconnected);
  CHECK(box->_GetType() == Quill::GetEnumType<ConnectionState>());
  CHECK(box->ToString().find("disconnected") != std::string::npos);
  CHECK_THROWS(Basalt::TypeMismatchException, Quill::Unbox<ConnectionState>(notAState.get()));
  Quill::EnumType* type = Quill::GetEnumType<ConnectionState>();
  CHECK(type->GetFuncs().unbox(box.get()) == 2);
  CHECK_THROWS(Basalt::TypeMismatchException, type->GetFuncs().unbox(notAState.get()));
}

}  // namespace

int main() {
  ValuesAndTags();
  Arrays();
  Boxes();
  return guide::Finish("enumerations");
}
