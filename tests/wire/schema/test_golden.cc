// The golden files of tests/wire/golden: a few values and messages, checked by
// eye once, compared byte for byte with what the codec writes today, and read
// back into the values they were made from. A change of the wire form shows up
// here as a diff to review; TARN_UPDATE_GOLDEN=1 rewrites the files after one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Values.h"
#include "quill/wire/Wire.h"
#include "tarn/Folder.h"
#include "tarn/VirtualMachine.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/option/OptionValue.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/device/VirtualDeviceSpec.h"
#include "tarn/vm/device/VirtualDisk.h"

namespace {

namespace fs = std::filesystem;
using Basalt::Ref;

fs::path GoldenPath(std::string const& name) { return fs::path(TARN_GOLDEN_DIR) / name; }

std::string Slurp(fs::path const& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Compares with the file, or rewrites it when asked to.
void ExpectGolden(std::string const& name, std::string const& text) {
  fs::path p = GoldenPath(name);
  char const* update = std::getenv("TARN_UPDATE_GOLDEN");
  if (update && *update == '1') {
    std::ofstream(p, std::ios::binary) << text;
    return;
  }
  ASSERT_TRUE(fs::exists(p)) << p << " is missing (TARN_UPDATE_GOLDEN=1 writes it)";
  std::string want = Slurp(p);
  if (want == text) return;
  std::size_t at = 0;
  while (at < want.size() && at < text.size() && want[at] == text[at]) ++at;
  ADD_FAILURE() << name << " differs from byte " << at << ":\n  golden: " << want.substr(at > 40 ? at - 40 : 0, 120)
                << "\n  now:    " << text.substr(at > 40 ? at - 40 : 0, 120);
}

Ref<Tarn::Vm::ConfigSpec> SmallConfigSpec() {
  Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->name = std::string("web-01");
  spec->annotation = std::string("tier <front> & \"edge\"");
  spec->numCPUs = 2;
  spec->memoryMB = 4096L;
  spec->npivNodeWorldWideName = new Quill::Array<long>{-1L, 9223372036854775807L};
  Ref<Tarn::Vm::Device::VirtualDisk> disk(new Tarn::Vm::Device::VirtualDisk());
  disk->key = -100;
  disk->capacityInKB = 16777216L;
  Ref<Tarn::Vm::Device::VirtualDeviceSpec> change(new Tarn::Vm::Device::VirtualDeviceSpec());
  change->operation = Tarn::Vm::Device::VirtualDeviceSpec::Operation::add;
  change->device = disk;  // a derived object in a base-typed property
  spec->GetDeviceChange()->Append(change.get());
  Ref<Tarn::Option::OptionValue> option(new Tarn::Option::OptionValue());
  option->key = "guestinfo.role";
  option->value = new Quill::Primitive<std::string>("web");
  spec->GetExtraConfig()->Append(option.get());
  return spec;
}

// An option whose any-typed value is an array: the value names its array type.
Ref<Tarn::Option::OptionValue> ArrayOption() {
  Ref<Tarn::Option::OptionValue> option(new Tarn::Option::OptionValue());
  option->key = "sched.cpu.affinity";
  option->value = new Quill::Array<int>{0, 2, -7};
  return option;
}

// A fault with a cause, a message with an argument, and a reference.
Ref<Tarn::Fault::DuplicateName> NestedFault() {
  Ref<Quill::Fault::InvalidArgument> cause(new Quill::Fault::InvalidArgument());
  cause->invalidProperty = Quill::PropertyPath("name");
  Ref<Quill::KeyAnyValue> arg(new Quill::KeyAnyValue());
  arg->key = "name";
  arg->value = new Quill::Primitive<std::string>("Production");
  Ref<Quill::LocalizableMessage> message(new Quill::LocalizableMessage());
  message->key = "folder.duplicate";
  message->message = std::string("The name 'Production' already exists.");
  message->GetArg()->Append(arg.get());
  Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
  fault->name = "Production";
  fault->object = new Quill::MoRef("tarn.Folder", "group-d3");
  fault->faultCause = cause;
  fault->GetFaultMessage()->Append(message.get());
  return fault;
}

Quill::ManagedMethod* Method(char const* type, char const* wsdl) {
  auto* t = static_cast<Quill::ManagedObjectType*>(Quill::FindType(type));
  Quill::ManagedMethod* m = t ? t->FindMethodByWsdlName(wsdl) : nullptr;
  EXPECT_NE(m, nullptr) << type << "." << wsdl;
  return m;
}

std::string Xml(Quill::Any const* value, char const* type) {
  Quill::Type* t = Quill::FindType(type);
  std::string out;
  Quill::Wire::EncodeXml(out, value, t, t->GetWsdlName());
  return out;
}

std::string Json(Quill::Any const* value, char const* type) {
  std::string out;
  Quill::Wire::EncodeJson(out, value, Quill::FindType(type));
  return out;
}

TEST(WireGolden, ValuesInBothForms) {
  struct Case {
    char const* file;
    char const* type;
    Ref<Quill::Any> value;
  } const cases[] = {
      {"config-spec", "tarn.vm.ConfigSpec", SmallConfigSpec()},
      {"option-value", "tarn.option.OptionValue", ArrayOption()},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.file);
    Quill::Type* t = Quill::FindType(c.type);
    std::string xml = Xml(c.value.get(), c.type), json = Json(c.value.get(), c.type);
    ExpectGolden(std::string(c.file) + ".xml", xml);
    ExpectGolden(std::string(c.file) + ".json", json);
    // the files themselves read back into the value, in both forms
    Ref<Quill::Any> fromXml = Quill::Wire::DecodeXml(Slurp(GoldenPath(std::string(c.file) + ".xml")), t);
    Ref<Quill::Any> fromJson = Quill::Wire::DecodeJson(Slurp(GoldenPath(std::string(c.file) + ".json")), t);
    EXPECT_TRUE(fromXml->_IsEqual(c.value.get(), false));
    EXPECT_TRUE(fromJson->_IsEqual(c.value.get(), false));
  }
}

TEST(WireGolden, FaultRequestAndResponse) {
  Ref<Tarn::Fault::DuplicateName> fault = NestedFault();
  ExpectGolden("fault.xml", Quill::Wire::EncodeFault(fault.get()));
  Quill::ManagedMethod* create = Method("tarn.Folder", "CreateFolder");
  try {
    Ref<Quill::Any> none;
    Quill::Wire::DecodeResponse(Slurp(GoldenPath("fault.xml")), create, none);
    ADD_FAILURE() << "the fault was not thrown";
  } catch (Tarn::Fault::DuplicateName::Exception const& e) {
    EXPECT_TRUE(e.GetFault()->_IsEqual(fault.get(), false));
  }

  Quill::ManagedMethod* reconfigure = Method("tarn.VirtualMachine", "ReconfigVM_Task");
  Ref<Quill::MoRef> vm(new Quill::MoRef("tarn.VirtualMachine", "vm-12"));
  Ref<Tarn::Vm::ConfigSpec> spec = SmallConfigSpec();
  ExpectGolden("request.xml", Quill::Wire::EncodeRequest(vm.get(), reconfigure, Quill::ArgVector{spec}));
  Quill::Wire::Request req = Quill::Wire::DecodeRequest(Slurp(GoldenPath("request.xml")));
  EXPECT_EQ(req.method, reconfigure);
  ASSERT_TRUE(req.target);
  EXPECT_EQ(req.target->GetId(), "vm-12");
  ASSERT_EQ(req.args.size(), 1u);
  EXPECT_TRUE(req.args[0]->_IsEqual(spec.get(), false));

  Ref<Quill::MoRef> folder(new Quill::MoRef("tarn.Folder", "group-d2"));
  ExpectGolden("response.xml", Quill::Wire::EncodeResponse(create, folder.get()));
  Ref<Quill::Any> result;
  Quill::Wire::DecodeResponse(Slurp(GoldenPath("response.xml")), create, result);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->_IsEqual(folder.get(), false));
}

// Requests written by a generic SOAP client from the generated WSDL (the
// wire.soap-client test makes them): prefixed elements, its own namespace
// declarations, and still the same call.
TEST(WireGolden, RequestsOfAGenericSoapClient) {
  char const* dir = std::getenv("TARN_SOAP_CLIENT_DIR");
  if (!dir) GTEST_SKIP() << "TARN_SOAP_CLIENT_DIR is not set (the wire.soap-client test sets it)";
  Quill::Wire::Request reconfigure = Quill::Wire::DecodeRequest(Slurp(fs::path(dir) / "ReconfigVM_Task.xml"));
  EXPECT_EQ(reconfigure.method, Method("tarn.VirtualMachine", "ReconfigVM_Task"));
  ASSERT_TRUE(reconfigure.target);
  EXPECT_EQ(reconfigure.target->GetId(), "vm-12");
  EXPECT_EQ(reconfigure.target->GetTypeName(), "tarn.VirtualMachine");
  ASSERT_EQ(reconfigure.args.size(), 1u);
  auto* spec = dynamic_cast<Tarn::Vm::ConfigSpec*>(reconfigure.args[0].get());
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(*spec->name, "web-01");
  EXPECT_EQ(*spec->numCPUs, 2);
  EXPECT_EQ(*spec->memoryMB, 4096L);
  ASSERT_TRUE(spec->deviceChange);
  ASSERT_EQ(spec->deviceChange->GetItems().size(), 1u);
  auto* disk = dynamic_cast<Tarn::Vm::Device::VirtualDisk*>(spec->deviceChange->Get(0)->device.get());
  ASSERT_NE(disk, nullptr) << "the derived device lost its class";
  EXPECT_EQ(disk->capacityInKB, 16777216L);

  Quill::Wire::Request create = Quill::Wire::DecodeRequest(Slurp(fs::path(dir) / "CreateFolder.xml"));
  EXPECT_EQ(create.method, Method("tarn.Folder", "CreateFolder"));
  ASSERT_EQ(create.args.size(), 1u);
  auto* name = dynamic_cast<Quill::Primitive<std::string>*>(create.args[0].get());
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->GetValue(), "Production");
}

}  // namespace
