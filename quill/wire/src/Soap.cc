// SOAP 1.1 envelopes around the XML values: requests, responses and faults.
#include <algorithm>

#include "Xml.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"

namespace Quill::Wire {

using namespace Detail;

namespace {

void OpenEnvelope(std::string& out, Version const* v) {
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<soapenv:Envelope xmlns:soapenv=\"";
  out += kSoapNs;
  out += "\" xmlns:xsi=\"";
  out += kXsiNs;
  out += "\" xmlns:xsd=\"";
  out += kXsdNs;
  out += "\"><soapenv:Header><apiVersion xmlns=\"urn:";
  out += v->GetWireNamespace();
  out += "\">";
  out += v->GetWireVersion();
  out += "</apiVersion></soapenv:Header><soapenv:Body>";
}

void CloseEnvelope(std::string& out) { out += "</soapenv:Body></soapenv:Envelope>"; }

void CheckMethod(ManagedMethod const* method, Version const* v) {
  if (!method) ThrowEncode("no method");
  if (!ExistsInVersion(method, v)) {
    ThrowNotSupported(std::string(method->GetDeclaringType()->GetName()) + "." + method->GetName() +
                      " (introduced in " + (method->GetVersionName() ? method->GetVersionName() : "?") +
                      ") does not exist in version " + v->GetName());
  }
}

// One argument or the result: left out when empty.
void WriteBoxed(XmlWriter& w, Slot const& s, Any const* value, char const* what) {
  if (!value || (s.array && ArrayLength(value, s.vk) == 0)) {
    if (!value && !s.optional && !s.array && what) {
      ThrowEncode(std::string("required ") + what + " '" + std::string(s.name) + "' is empty");
    }
    return;
  }
  if (!w.Filter().Has(s)) {
    if (!what) return;  // a result of a type the version lacks is left out, as its schema does
    ThrowNotSupported(std::string(what ? what : "value") + " '" + std::string(s.name) + "' does not exist in version " +
                      w.Filter().version()->GetName());
  }
  if (s.array) {
    Type const* t = value->_GetType();
    bool fits = t && t->IsArray() &&
                (IsPlain(s.vk) ? t->GetElementType() == s.type : dynamic_cast<DataArrayBase const*>(value) != nullptr);
    if (!fits) ThrowEncode(std::string("'") + std::string(s.name) + "' is not an array of " + s.type->GetName());
    w.SlotValue(s, value);
  } else {
    w.Element(value, s.vk, s.type, s.name);
  }
}

// The namespace attribute of the body's element.
void AppendBodyNamespace(std::string& out, Version const* v) {
  out += " xmlns=\"urn:";
  out += v->GetWireNamespace();
  out += '"';
}

// Room for an answer as large as the last one this thread wrote, so that it
// is written into one block rather than grown into it (within 512 B–64 KiB).
thread_local std::size_t tAnswerSize = 512;

}  // namespace

std::string EncodeRequest(MoRef const* target, ManagedMethod const* method, ArgVector const& args,
                          Version const* version) {
  std::string out;
  out.reserve(512);
  EncodeRequest(out, target, method, args, version);
  return out;
}

void EncodeRequest(std::string& out, MoRef const* target, ManagedMethod const* method, ArgVector const& args,
                   Version const* version) {
  out.clear();
  Version const* v = VersionOrDefault(version);
  CheckMethod(method, v);
  if (!target) ThrowEncode("no target for the request");
  Plan const& plan = ParamPlanOf(method);
  if (args.size() != plan.slots.size()) {
    ThrowEncode(std::string(method->GetName()) + " takes " + std::to_string(plan.slots.size()) + " arguments, not " +
                std::to_string(args.size()));
  }
  OpenEnvelope(out, v);
  XmlWriter w(out, v);
  std::string_view name = method->GetWsdlName();
  out += '<';
  out += name;
  AppendBodyNamespace(out, v);
  out += " target=\"";
  AppendXmlEscaped(out, target->GetId(), "the target");
  out += "\" targetType=\"";
  AppendXmlEscaped(out, RefWireType(target->GetTypeName()), "the target");
  out += "\">";
  for (std::size_t i = 0; i < plan.slots.size(); ++i) WriteBoxed(w, plan.slots[i], args[i].get(), "argument");
  out += "</";
  out += name;
  out += '>';
  CloseEnvelope(out);
}

Request DecodeRequest(std::string_view xml, DecodeOptions const& options) {
  XmlResult r;
  ReadXml(xml, XmlDoc::Request, nullptr, nullptr, options, r);
  return std::move(r.request);
}

std::string EncodeResponse(ManagedMethod const* method, Any const* result, Version const* version) {
  Version const* v = VersionOrDefault(version);
  CheckMethod(method, v);
  Plan const& plan = ResultPlanOf(method);
  std::string out;
  out.reserve(tAnswerSize);
  OpenEnvelope(out, v);
  XmlWriter w(out, v);
  out += '<';
  out += method->GetWsdlName();
  out += "Response";
  AppendBodyNamespace(out, v);
  out += '>';
  if (!plan.slots.empty()) WriteBoxed(w, plan.slots[0], result, nullptr);
  out += "</";
  out += method->GetWsdlName();
  out += "Response>";
  CloseEnvelope(out);
  tAnswerSize = std::clamp<std::size_t>(out.size(), 512, 64 << 10);
  return out;
}

std::string EncodeFault(MethodFault const* fault, Version const* version, bool clientFault) {
  Version const* v = VersionOrDefault(version);
  if (!fault) ThrowEncode("no fault");
  VersionFilter vf(v);
  DataObjectType const* t = TypeForVersion(fault->_GetDataType(), vf);
  if (!t)
    ThrowNotSupported(std::string("fault ") + fault->_GetDataType()->GetName() + " has no class in version " +
                      v->GetName());
  std::string text;
  auto* f = const_cast<MethodFault*>(fault);
  if (f->faultMessage && f->faultMessage->size() && f->faultMessage->Get(0)->message.IsSet()) {
    text = f->faultMessage->Get(0)->message.GetValue();
  } else {
    text = fault->_GetDataType()->GetName();
  }
  std::string out;
  out.reserve(512);
  OpenEnvelope(out, v);
  out += "<soapenv:Fault><faultcode>";
  out += clientFault ? "soapenv:Client" : "soapenv:Server";
  out += "</faultcode><faultstring>";
  // The text is for people: what XML cannot carry is shown escaped, not refused.
  std::string printable = Printable(text, std::string::npos);
  AppendXmlEscaped(out, printable, "faultstring");
  out += "</faultstring><detail>";
  XmlWriter w(out, v);
  std::string element = std::string(t->GetWsdlName()) + "Fault";
  std::string attrs;
  AppendBodyNamespace(attrs, v);
  w.Object(fault, nullptr, element, attrs);
  out += "</detail></soapenv:Fault>";
  CloseEnvelope(out);
  return out;
}

std::string EncodeError(std::exception const& error, Version const* version) {
  if (auto const* e = dynamic_cast<MethodFault::Exception const*>(&error)) {
    if (e->GetFault()) return EncodeFault(e->GetFault(), version, dynamic_cast<DecodeError const*>(e) != nullptr);
  }
  Basalt::Ref<Fault::SystemError> f(new Fault::SystemError());
  // Whatever the text holds, the fault must be writable.
  f->reason = Printable(error.what(), std::string::npos);
  auto* msg = new LocalizableMessage();
  msg->key = "quill.wire.error";
  msg->message = f->reason;
  f->GetFaultMessage()->Append(msg);
  return EncodeFault(f.get(), version);
}

void DecodeResponse(std::string_view xml, ManagedMethod const* method, Basalt::Ref<Any>& result,
                    DecodeOptions const& options) {
  if (!method) ThrowDecode("no method to read a response to");
  XmlResult r;
  ReadXml(xml, XmlDoc::Response, nullptr, method, options, r);
  if (r.fault) r.fault->Throw();
  if (r.isFault) {  // a fault without a detail this end can read
    Basalt::Ref<Fault::SystemError> f(new Fault::SystemError());
    f->reason = r.faultString;
    f->Throw();
  }
  result = std::move(r.value);
}

}  // namespace Quill::Wire
