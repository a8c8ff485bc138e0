// The wire encoding of the API's values: XML (SOAP 1.1 document/literal, the
// form that goes over the wire) and JSON (files, logs, scripts). Driven only
// by the runtime's type objects and descriptors; docs/wire-format.md describes
// the forms.
//
// Decoders never trust their input: every failure is a
// Quill::Fault::InvalidRequest::Exception whose message names what went wrong
// and where (element path for XML, byte offset for JSON), and nothing the
// input claims makes them allocate past the limits.
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "basalt/Object.h"
#include "quill/Any.h"
#include "quill/Faults.h"
#include "quill/Registry.h"
#include "quill/Stub.h"
#include "quill/Type.h"

namespace Quill::Wire {

// What every decoder throws: an InvalidRequest (its fault carries the same
// text as its one message) whose what() says what is wrong and where.
class DecodeError : public Fault::InvalidRequest::Exception {
 public:
  DecodeError(Fault::InvalidRequest* fault, std::string text, Version const* version = nullptr);
  DecodeError(DecodeError const& other);
  ~DecodeError() override;
  char const* what() const noexcept override;
  std::string const& GetMessage() const noexcept override;
  DecodeError* Clone() const override;
  [[noreturn]] void Throw() const override;
  // The version the message spoke as far as it was read (its apiVersion
  // header, else its body's namespace); null when nothing said. A refusal is
  // answered in it.
  Version const* GetVersion() const noexcept { return _version; }

 private:
  std::string _text;
  Version const* _version = nullptr;
};

// Safe defaults; a caller that expects larger messages raises them.
struct Limits {
  std::size_t maxDepth = 64;               // nested elements / JSON containers
  std::size_t maxBytes = 64u << 20;        // whole input
  std::size_t maxStringBytes = 16u << 20;  // one text or string value
  std::size_t maxElements = 1000000;       // elements / JSON values in all
  // XML markup, checked on each start tag before the element is read.
  // Namespace declarations (xmlns, xmlns:p) are not attributes.
  std::size_t maxAttributesPerElement = 64;
  std::size_t maxNamespacesPerElement = 16;
  std::size_t maxAttributes = 1000000;  // in the whole document
  std::size_t maxNamespaces = 100000;   // in the whole document
  // Declared by an element and those it is in: each prefixed name is looked
  // up past all of them.
  std::size_t maxNamespacesInScope = 32;
};

// What a decoder passed over without failing (a newer peer's additions).
struct DecodeReport {
  std::uint64_t skippedElements = 0;  // unknown properties
  std::uint64_t unknownTypes = 0;     // named types decoded as their declared type
  // Called once per skip, with the path and what was skipped; may be empty.
  std::function<void(std::string_view path, std::string_view what)> onSkip;
};

struct DecodeOptions {
  Limits limits;
  DecodeReport* report = nullptr;  // may be null
  // The version a single value (DecodeXml, DecodeJson) was written for: what
  // it lacks is not required of it. Null: the newest. Messages name their own.
  Version const* version = nullptr;
};

// The version a message speaks when none is named: the one the registered
// library identity names (Quill::GetDefaultVersion, quill/Identity.h).
Version const* DefaultVersion();

// --- single values ---------------------------------------------------------------
// `declared` is the type of the position the value stands in (a data, fault,
// enumeration, managed, primitive, array or the any type); the value may be
// of a derived class, and is then named by its type. `version` null: newest.
// Encoders throw InvalidArgument for a value whose class does not fit
// `declared` or a string XML cannot carry (a C0 control other than tab,
// newline and carriage return, U+FFFE, U+FFFF, bytes that are not UTF-8: the
// same in both forms), NotSupported for a type the version does not have (an
// object of a newer class goes out as its nearest base the version has, unless
// that is only the abstract root).
void EncodeXml(std::string& out, Any const* value, Type const* declared, char const* elementName,
               Version const* version = nullptr);
void EncodeJson(std::string& out, Any const* value, Type const* declared, Version const* version = nullptr);
// `text` as a JSON string literal, quoted and escaped, for programs that
// build JSON around encoded values (a command line's arguments, a log line).
// Invalid UTF-8 throws Quill::Fault::InvalidArgument::Exception.
void AppendJsonString(std::string& out, std::string_view text);

// A document holding one value: its root element (any name) for XML.
Basalt::Ref<Any> DecodeXml(std::string_view xml, Type const* declared, DecodeOptions const& options = {});
Basalt::Ref<Any> DecodeJson(std::string_view json, Type const* declared, DecodeOptions const& options = {});

// --- SOAP messages -------------------------------------------------------------
// A request: method, target, arguments in parameter order (empty slots left
// out). A method (or property) newer than `version` throws
// Quill::Fault::NotSupported::Exception before anything is written.
std::string EncodeRequest(MoRef const* target, ManagedMethod const* method, ArgVector const& args,
                          Version const* version = nullptr);
// The same into `out`, which it replaces and whose room it reuses (a client's
// per-connection buffer).
void EncodeRequest(std::string& out, MoRef const* target, ManagedMethod const* method, ArgVector const& args,
                   Version const* version = nullptr);

struct Request {
  Basalt::Ref<MoRef> target;
  ManagedMethod* method = nullptr;
  ArgVector args;  // one slot per parameter
  // What the answer must speak: the apiVersion header's version, else the
  // newest release of the namespace the request element is in, else the
  // default version.
  Version const* version = nullptr;
};
// The method is found by the target type's FindMethodByWsdlName (or property
// name); unknown type, method or argument element: InvalidRequest.
Request DecodeRequest(std::string_view xml, DecodeOptions const& options = {});

// A response with the result (null for none), or with a fault. An exception
// that is not a fault goes out as Quill::Fault::SystemError with its what().
std::string EncodeResponse(ManagedMethod const* method, Any const* result, Version const* version = nullptr);
std::string EncodeFault(MethodFault const* fault, Version const* version = nullptr, bool clientFault = false);
// The fault message for whatever a call threw: a fault's exception carries its
// fault (a DecodeError as a client fault: the request could not be read);
// anything else becomes a Quill::Fault::SystemError whose reason is what()
// (as every message of the codec, with bytes that are not text shown \xNN).
std::string EncodeError(std::exception const& error, Version const* version = nullptr);

// Reads a response to `method`: fills `result` (left empty for none), or
// throws the fault it carries as the fault's own nested exception class.
void DecodeResponse(std::string_view xml, ManagedMethod const* method, Basalt::Ref<Any>& result,
                    DecodeOptions const& options = {});

}  // namespace Quill::Wire
