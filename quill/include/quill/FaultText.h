// A fault's whole story as text: what() of a fault's exception is only
// "Fault cause: <name>\n", which tells a log reader nothing about why. These
// gather the class, the message texts, the chain of causes and every field.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <typeinfo>

#include "basalt/Exception.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/MethodFault.h"
#include "quill/Type.h"

namespace Quill {

namespace Detail {
// One message: its rendered text when the server sent one, otherwise its key
// with the arguments as ToString prints them: vm.locked(name="web-01").
inline std::string MessageText(LocalizableMessage const& m) {
  if (m.message.IsSet()) return m.message.GetValue();
  std::string out = m.key;
  if (m.arg && !m.arg->empty()) {
    out += '(';
    bool first = true;
    for (KeyAnyValue const* kv : *m.arg) {
      if (!kv) continue;
      if (!first) out += ", ";
      first = false;
      out += kv->key + "=" + (kv->value ? kv->value->ToString() : std::string("(unset)"));
    }
    out += ')';
  }
  return out;
}

inline void AppendIndented(std::string& out, std::string const& text, std::string const& indent) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += indent;
    out.append(text, start, end - start);
    out += '\n';
    start = end + 1;
  }
}

inline void AppendHeadline(std::string& out, MethodFault const& f, std::string const& indent) {
  Type const* type = f._GetType();
  out += indent;
  out += type ? type->GetName() : "(unknown fault type)";
  out += " (" + Basalt::Demangle(typeid(f)) + ")\n";
  if (f.faultMessage) {
    for (LocalizableMessage const* m : *f.faultMessage) {
      if (m) out += indent + "  message: " + MessageText(*m) + "\n";
    }
  }
}
}  // namespace Detail

// Several lines, each ending in '\n':
//
//   tarn.fault.InvalidState (Tarn::Fault::InvalidState)
//     message: The virtual machine is locked by another task.
//     caused by: tarn.fault.TaskInProgress (Tarn::Fault::TaskInProgress)
//       message: ...
//     data:
//       (the fault as ToString prints it: every field, nested objects included)
//
// The sedge name and the C++ class come first, then each message's text (its
// key and arguments when it has no text), then the chain of causes (at most 16
// deep, so a cause that leads back to itself cannot loop), then every field.
// A null fault gives "(no fault)\n".
inline std::string DescribeFault(MethodFault const* fault) {
  if (!fault) return "(no fault)\n";
  std::string out;
  Detail::AppendHeadline(out, *fault, "");
  std::string indent = "  ";
  int depth = 0;
  for (MethodFault const* cause = fault->faultCause.get(); cause && depth < 16;
       cause = cause->faultCause.get(), ++depth) {
    std::string line;
    Detail::AppendHeadline(line, *cause, "");
    out += indent + "caused by: " + line.substr(0, line.find('\n') + 1);
    Detail::AppendIndented(out, line.substr(line.find('\n') + 1), indent);
    indent += "  ";
  }
  out += "  data:\n";
  Detail::AppendIndented(out, fault->ToString(), "    ");
  return out;
}

// The story of any exception: DescribeFault for a fault's exception,
// Basalt::Throwable::Dump() (class, message, where) for the runtime's other
// exceptions, and "<class>: <what()>" for anything else.
//
// An exception of a class of its own derived from its fault's exception (the
// HTTP transport's TlsFailure, ConnectFailed, ... are SystemError's) is told
// apart by that class, not by the fault it carries: its first line is
//   Quill::Http::TlsFailure (sedge.fault.SystemError)
inline std::string FaultText(std::exception const& e) {
  if (auto const* f = dynamic_cast<MethodFault::Exception const*>(&e)) {
    std::string story = DescribeFault(f->GetFault());
    MethodFault* fault = f->GetFault();
    if (!fault) return story;
    std::unique_ptr<MethodFault::Exception> own(fault->CreateException());
    if (!own) return story;
    MethodFault::Exception const& ownException = *own;
    if (typeid(ownException) == typeid(e)) return story;
    Type const* type = fault->_GetType();
    return Basalt::Demangle(typeid(e)) + " (" + (type ? type->GetName() : "(unknown fault type)") + ")" +
           story.substr(story.find('\n'));
  }
  if (auto const* t = dynamic_cast<Basalt::Throwable const*>(&e)) return t->Dump() + "\n";
  return Basalt::Demangle(typeid(e)) + ": " + e.what() + "\n";
}

}  // namespace Quill
