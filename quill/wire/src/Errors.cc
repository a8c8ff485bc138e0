// Decode, encode and version errors, and how a writer names where it was.
#include <string>

#include "Common.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"

namespace Quill::Wire {

DecodeError::DecodeError(Fault::InvalidRequest* fault, std::string text, Version const* version)
    : Fault::InvalidRequest::Exception(fault), _text(std::move(text)), _version(version) {}
DecodeError::DecodeError(DecodeError const& other) = default;
DecodeError::~DecodeError() = default;
char const* DecodeError::what() const noexcept { return _text.c_str(); }
std::string const& DecodeError::GetMessage() const noexcept { return _text; }
DecodeError* DecodeError::Clone() const { return new DecodeError(*this); }
void DecodeError::Throw() const { throw DecodeError(*this); }

namespace Detail {

std::string PathText(WritePath const& path, std::string_view leaf) {
  std::string out;
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (!out.empty()) out += '.';
    out.append(path[i]);
  }
  if (!leaf.empty()) {
    if (!out.empty()) out += '.';
    out.append(leaf);
  }
  return Printable(out);
}

void ThrowBadString(std::string_view s, std::size_t bad, std::string_view path) {
  char const* why = "invalid UTF-8";
  BadCharAt(s, why);
  ThrowEncode(std::string(why) + " at byte " + std::to_string(bad) + " of the string of '" + std::string(path) +
              "' cannot be carried (strings hold UTF-8 text of XML characters)");
}

namespace {
template <class F>
void AddMessage(F* fault, char const* key, std::string const& text) {
  auto* msg = new LocalizableMessage();
  msg->key = key;
  msg->message = text;
  fault->GetFaultMessage()->Append(msg);
}
}  // namespace

// Messages quote input (names, tags, values): whatever it held, the message
// is text a fault can carry.
void ThrowDecode(std::string text, Version const* version) {
  text = Printable(text, std::string::npos);
  Basalt::Ref<Fault::InvalidRequest> fault(new Fault::InvalidRequest());
  AddMessage(fault.get(), "quill.wire.decode", text);
  throw DecodeError(fault.get(), std::move(text), version);
}

void ThrowEncode(std::string text) {
  text = Printable(text, std::string::npos);
  Basalt::Ref<Fault::InvalidArgument> fault(new Fault::InvalidArgument());
  AddMessage(fault.get(), "quill.wire.encode", text);
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

void ThrowNotSupported(std::string text) {
  text = Printable(text, std::string::npos);
  Basalt::Ref<Fault::NotSupported> fault(new Fault::NotSupported());
  AddMessage(fault.get(), "quill.wire.version", text);
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

}  // namespace Detail
}  // namespace Quill::Wire
