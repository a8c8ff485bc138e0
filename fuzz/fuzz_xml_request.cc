// A SOAP request as a server reads it: any method of any managed type. What
// decodes must encode again for the version it named.
#include "FuzzInput.h"
#include "quill/MethodFault.h"
#include "quill/wire/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string_view xml(reinterpret_cast<char const*>(data), size);
  Quill::Wire::DecodeReport report;
  Quill::Wire::DecodeOptions options;
  options.report = &report;
  Quill::Wire::Request request;
  try {
    request = Quill::Wire::DecodeRequest(xml, options);
  } catch (Quill::MethodFault::Exception const&) {
    return 0;
  }
  if (!request.method || !request.target || request.args.size() != request.method->GetParameterCount()) {
    __builtin_trap();
  }
  try {
    Quill::Wire::DecodeRequest(
        Quill::Wire::EncodeRequest(request.target.get(), request.method, request.args, request.version));
  } catch (Quill::MethodFault::Exception const&) {
  }
  return 0;
}
