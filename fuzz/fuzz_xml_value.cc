// A value document of any type of the catalogue, as DecodeXml reads files and
// logs: whatever decodes must encode and decode again.
#include "FuzzInput.h"
#include "quill/MethodFault.h"
#include "quill/wire/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  tarn_fuzz::Input in;
  if (!tarn_fuzz::Split(data, size, tarn_fuzz::ValueTypes().size(), in)) return 0;
  Quill::Type* declared = tarn_fuzz::ValueTypes()[in.choice];
  Quill::Wire::DecodeReport report;
  Quill::Wire::DecodeOptions options;
  options.report = &report;
  Basalt::Ref<Quill::Any> value;
  try {
    value = Quill::Wire::DecodeXml(in.document, declared, options);
  } catch (Quill::MethodFault::Exception const&) {
    return 0;  // refused, as it should be: the fault names what and where
  }
  if (!value) return 0;  // a value of a type no one here knows, where any type may stand: left empty
  std::string again;
  try {
    Quill::Wire::EncodeXml(again, value.get(), declared, "value");
  } catch (Quill::MethodFault::Exception const&) {
    return 0;  // text the XML form cannot carry back (a control character)
  }
  Quill::Wire::DecodeXml(again, declared);  // our own output must read back
  return 0;
}
