// Values and messages in their XML and JSON forms, as docs/wire.md describes
// them: encoding and decoding, values that name their type, versions, what a
// newer peer may send, limits, and faults across the wire.
#include <string>

#include "check.h"
#include "quill/Quill.h"
#include "quill/wire/Wire.h"
#include "tarn/Folder.h"
#include "tarn/VirtualMachine.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/option/OptionValue.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/device/VirtualDeviceSpec.h"

namespace {

bool Has(std::string const& text, std::string const& part) { return text.find(part) != std::string::npos; }

void Values() {
  // [encode]
  Basalt::Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->name = std::string("web-01");
  spec->memoryMB = 4096L;
  Quill::Type* type = Quill::FindType("tarn.vm.ConfigSpec");

  std::string xml;
  Quill::Wire::EncodeXml(xml, spec.get(), type, "VirtualMachineConfigSpec");  // root element name
  std::string json;
  Quill::Wire::EncodeJson(json, spec.get(), type);

  Basalt::Ref<Quill::Any> fromXml = Quill::Wire::DecodeXml(xml, type);
  Basalt::Ref<Quill::Any> fromJson = Quill::Wire::DecodeJson(json, type);
  CHECK(fromXml->_IsEqual(spec.get(), /*lenient=*/false));
  CHECK(fromJson->_IsEqual(spec.get(), false));
  // [encode]
  CHECK(Has(xml, "<VirtualMachineConfigSpec xmlns=\"urn:tarn25\""));
  CHECK(Has(xml, "<name>web-01</name><memoryMB>4096</memoryMB></VirtualMachineConfigSpec>"));
  CHECK(Has(json, "\"_type\":\"VirtualMachineConfigSpec\""));
  CHECK(Has(json, "\"memoryMB\":4096"));
}

void NamedTypes() {
  // [any]
  Basalt::Ref<Tarn::Option::OptionValue> option(new Tarn::Option::OptionValue());
  option->key = "sched.cpu.affinity";
  option->value = new Quill::Array<int>{0, 2};  // an any-typed property
  std::string xml;
  Quill::Wire::EncodeXml(xml, option.get(), Quill::FindType("tarn.option.OptionValue"), "OptionValue");
  // ...<value xsi:type="ArrayOfInt"><int>0</int><int>2</int></value>...
  // [any]
  CHECK(Has(xml, "<value xsi:type=\"ArrayOfInt\"><int>0</int><int>2</int></value>"));
  Basalt::Ref<Quill::Any> back = Quill::Wire::DecodeXml(xml, Quill::FindType("tarn.option.OptionValue"));
  CHECK(back->_IsEqual(option.get(), false));
}

void Versions() {
  // [versions]
  Quill::Version const* old = Quill::FindVersionByWireVersion("tarn", "2.0");
  Basalt::Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->memoryMB = 4096L;
  spec->npivNodeWorldWideName = new Quill::Array<long>{7L};  // introduced in 2.5
  Quill::Type* type = Quill::FindType("tarn.vm.ConfigSpec");
  std::string forOld, forNewest;
  Quill::Wire::EncodeXml(forOld, spec.get(), type, "VirtualMachineConfigSpec", old);
  Quill::Wire::EncodeXml(forNewest, spec.get(), type, "VirtualMachineConfigSpec");

  auto* vmType = static_cast<Quill::ManagedObjectType*>(Quill::FindType("tarn.VirtualMachine"));
  Quill::ManagedMethod* consolidate = vmType->FindMethodByWsdlName("ConsolidateVMDisks_Task");  // since 5.0
  Basalt::Ref<Quill::MoRef> vm(new Quill::MoRef("tarn.VirtualMachine", "vm-12"));
  CHECK_THROWS(Quill::Fault::NotSupported::Exception, Quill::Wire::EncodeRequest(vm.get(), consolidate, {}, old));
  // [versions]
  CHECK(old != nullptr);
  CHECK(Has(forOld, "xmlns=\"urn:tarn2\"") && !Has(forOld, "npivNodeWorldWideName"));
  CHECK(Has(forNewest, "<npivNodeWorldWideName>7</npivNodeWorldWideName>"));
  CHECK(Has(Quill::Wire::EncodeRequest(vm.get(), consolidate, {}), "<ConsolidateVMDisks_Task"));
}

void NewerPeers() {
  // [forward]
  std::string fromNewerPeer =
      "<VirtualMachineConfigSpec xmlns=\"urn:tarn25\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
      "<name>web-01</name><teleportTarget>moon</teleportTarget>"
      "<deviceChange><device xsi:type=\"VirtualHoloDisk\"><key>7</key></device></deviceChange>"
      "</VirtualMachineConfigSpec>";
  Quill::Wire::DecodeReport report;
  std::string skipped;
  report.onSkip = [&](std::string_view path, std::string_view what) {
    skipped += std::string(what) + " at " + std::string(path) + "; ";
  };
  Quill::Wire::DecodeOptions options;
  options.report = &report;
  Basalt::Ref<Quill::Any> value =
      Quill::Wire::DecodeXml(fromNewerPeer, Quill::FindType("tarn.vm.ConfigSpec"), options);
  auto* spec = static_cast<Tarn::Vm::ConfigSpec*>(value.get());
  // the unknown property is skipped, the unknown device class read as its declared VirtualDevice
  CHECK(report.skippedElements == 1 && report.unknownTypes == 1);
  CHECK(spec->deviceChange->Get(0)->device->key == 7);
  // [forward]
  CHECK(*spec->name == "web-01");
  CHECK(Has(skipped, "teleportTarget") && Has(skipped, "VirtualHoloDisk"));
}

void Limits() {
  // [limits]
  Quill::Wire::DecodeOptions tight;
  tight.limits.maxDepth = 2;  // the root and its children, nothing nested deeper
  std::string nested = "{\"_type\":\"VirtualMachineConfigSpec\",\"deviceChange\":[{\"_type\":"
                       "\"VirtualDeviceConfigSpec\",\"device\":{\"_type\":\"VirtualDevice\",\"key\":1}}]}";
  std::string message;
  try {
    Quill::Wire::DecodeJson(nested, Quill::FindType("tarn.vm.ConfigSpec"), tight);
  } catch (Quill::Fault::InvalidRequest::Exception const& e) {
    message = e.what();  // says which limit, and where (a byte offset in JSON)
  }
  // [limits]
  CHECK(!message.empty());
  CHECK(Quill::Wire::DecodeJson(nested, Quill::FindType("tarn.vm.ConfigSpec")) != nullptr);
  CHECK_THROWS(Quill::Fault::InvalidRequest::Exception,
               Quill::Wire::DecodeXml("<!DOCTYPE x [<!ENTITY a \"b\">]><x>&a;</x>", Quill::FindType("string")));
}

void Faults() {
  // [faults]
  Basalt::Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
  fault->name = "Production";
  fault->object = new Quill::MoRef("tarn.Folder", "group-d3");
  std::string response = Quill::Wire::EncodeFault(fault.get());  // what a server sends

  auto* folderType = static_cast<Quill::ManagedObjectType*>(Quill::FindType("tarn.Folder"));
  Quill::ManagedMethod* create = folderType->FindMethodByWsdlName("CreateFolder");
  Basalt::Ref<Quill::Any> result;
  try {
    Quill::Wire::DecodeResponse(response, create, result);  // what the client reads
  } catch (Tarn::Fault::DuplicateName::Exception const& e) {
    auto* received = static_cast<Tarn::Fault::DuplicateName*>(e.GetFault());
    CHECK(received->name == "Production");
  }
  // [faults]
  CHECK(Has(response, "<DuplicateNameFault xmlns=\"urn:tarn25\" xsi:type=\"DuplicateName\">"));
  CHECK(!result);
  CHECK_THROWS(Tarn::Fault::DuplicateName::Exception, Quill::Wire::DecodeResponse(response, create, result));
}

}  // namespace

int main() {
  Values();
  NamedTypes();
  Versions();
  NewerPeers();
  Limits();
  Faults();
  return guide::Finish("wire");
}
