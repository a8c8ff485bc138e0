// A SOAP response as a client reads it, to any method or property read of the
// catalogue: a result, or a fault rethrown as its own class.
#include "FuzzInput.h"
#include "quill/MethodFault.h"
#include "quill/wire/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  tarn_fuzz::Input in;
  if (!tarn_fuzz::Split(data, size, tarn_fuzz::Methods().size(), in)) return 0;
  Quill::ManagedMethod* method = tarn_fuzz::Methods()[in.choice];
  Quill::Wire::DecodeReport report;
  Quill::Wire::DecodeOptions options;
  options.report = &report;
  Basalt::Ref<Quill::Any> result;
  try {
    Quill::Wire::DecodeResponse(in.document, method, result, options);
  } catch (Quill::MethodFault::Exception const& e) {
    // a decode error, or the fault the server sent: either way a whole fault object
    if (!e.GetFault()) __builtin_trap();
  }
  return 0;
}
