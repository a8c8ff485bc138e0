#include "call/Call.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <ostream>
#include <set>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"
#include "quill/Stub.h"
#include "quill/Values.h"
#include "quill/http/HttpAdapter.h"
#include "quill/wire/Wire.h"

namespace TarnCall {

namespace {

// The text as a JSON string, so the codec reads it as the parameter's type.
std::string JsonString(std::string_view text) {
  std::string out;
  Quill::Wire::AppendJsonString(out, text);
  return out;
}

Quill::Type* DeclaredType(Quill::PropertyInfo const& p) {
  Quill::Type* t = p.type ? Quill::FindTypeByInfo(p.type) : nullptr;
  if (t && (p.flags & Quill::F_ARRAY)) t = t->GetArrayType();
  return t;
}

std::string TypeText(Quill::PropertyInfo const& p) {
  Quill::Type* t = p.type ? Quill::FindTypeByInfo(p.type) : nullptr;
  std::string s = t ? t->GetName() : (p.type ? p.type->name : "?");
  if (p.flags & Quill::F_ARRAY) s += "[]";
  if (p.flags & Quill::F_OPTIONAL) s += "?";
  return s;
}

std::string FaultText(Quill::MethodFault::Exception const& e) {
  Quill::MethodFault* fault = e.GetFault();
  if (fault && fault->faultMessage && fault->faultMessage->size()) {
    if (Quill::LocalizableMessage* m = (*fault->faultMessage)[0]) {
      if (m->message) return *m->message;
    }
  }
  return e.what();
}

// The type a result is printed as.
Quill::Type* ResultType(Quill::ManagedMethod* method) {
  if (method->IsProperty()) return DeclaredType(*method->GetPropertyInfo());
  if (method->IsTask()) {
    Quill::Type* task = Quill::FindType("tarn.Task");
    return task ? task : Quill::GetNoType<Quill::Any>();
  }
  return DeclaredType(method->GetMethodInfo()->result);
}

}  // namespace

Options ParseCommandLine(int argc, char const* const* argv) {
  Options o;
  CLI::App app{"Calls one method of a server over HTTP and prints its result.", "tarn-call"};
  app.add_option("url", o.url, "server URL, e.g. http://127.0.0.1:8080/sdk");
  app.add_option("target", o.target, "the managed object, TYPE:ID (tarn.Folder:group-d1 or Folder:group-d1)");
  app.add_option("method", o.method, "method name, WSDL name or property name");
  app.add_option("arguments", o.arguments, "name=value per parameter; JSON for objects and arrays");
  app.add_option("--list", o.list, "print the methods of TYPE with their parameters")->option_text("TYPE");
  app.add_flag("--xml", o.xml, "print the result as XML instead of JSON");
  app.add_flag("--insecure", o.insecure, "do not verify the server's TLS certificate (tests only)");
  app.add_option("--version-api", o.apiVersion, "API version: a version name or wire version (default newest)");
  app.add_option("--timeout", o.timeoutSeconds, "seconds the call may take")->check(CLI::PositiveNumber);
  app.add_option("--ca-file", o.caFile, "PEM file of the CAs to trust instead of the system's");
  app.add_option("--pin", o.pin, "accept only the certificate with this SHA-256 thumbprint");
  app.add_flag("--log", o.log, "log the call to stderr");
  try {
    app.parse(argc, argv);
  } catch (CLI::CallForHelp const&) {
    o.help = true;
    o.helpText = app.help();
  } catch (CLI::ParseError const& e) {
    throw UsageError{std::string(e.what()) + " (see --help)"};
  }
  return o;
}

Quill::ManagedObjectType* FindManagedType(std::string_view name) {
  Quill::Type* t = Quill::FindType(name);
  if (!t) t = Quill::FindTypeByWsdlName(name);
  if (!t || t->GetKind() != Quill::KIND_MANAGED) {
    throw UsageError{"'" + std::string(name) + "' is not a managed type (try tarn-inspect list --kind managed)"};
  }
  return static_cast<Quill::ManagedObjectType*>(t);
}

Quill::ManagedMethod* FindOperation(Quill::ManagedObjectType* type, std::string_view name) {
  if (Quill::ManagedMethod* m = type->FindMethod(name)) return m;
  if (Quill::ManagedMethod* m = type->FindMethodByWsdlName(name)) return m;
  if (Quill::ManagedProperty const* p = type->FindProperty(name)) return p->reader;
  throw UsageError{std::string(type->GetName()) + " has no method or property '" + std::string(name) +
                   "' (see --list " + type->GetName() + ")"};
}

Basalt::Ref<Quill::Any> ConvertArgument(Quill::PropertyInfo const& parameter, std::string const& text) {
  Quill::Type* declared = DeclaredType(parameter);
  if (!declared) throw UsageError{std::string("parameter '") + parameter.name + "' has a type that is not bound"};
  bool json = !text.empty() && (text[0] == '{' || text[0] == '[');
  // A reference as Type:id (or just the id, of the parameter's own type).
  if (!json && declared->GetKind() == Quill::KIND_MANAGED) {
    std::size_t colon = text.find(':');
    std::string typeName = colon == std::string::npos ? declared->GetName() : text.substr(0, colon);
    std::string id = colon == std::string::npos ? text : text.substr(colon + 1);
    if (id.empty()) throw UsageError{std::string("parameter '") + parameter.name + "': '" + text + "' has no id"};
    return Basalt::Ref<Quill::Any>(new Quill::MoRef(FindManagedType(typeName)->GetName(), id));
  }
  // JSON and literals (numbers, true, false) as they are; text that is not
  // one of those is the parameter's string, tag or date.
  std::string firstError;
  try {
    return Quill::Wire::DecodeJson(text, declared);
  } catch (Quill::Wire::DecodeError const& e) {
    firstError = e.what();
  }
  if (!json) {
    try {
      return Quill::Wire::DecodeJson(JsonString(text), declared);
    } catch (Quill::Wire::DecodeError const& e) {
      if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9') && text != "true" && text != "false")) {
        firstError = e.what();
      }
    }
  }
  throw UsageError{std::string("parameter '") + parameter.name + "' (" + TypeText(parameter) + "): '" + text +
                   "' is not a value of its type: " + firstError};
}

Quill::ArgVector BuildArguments(Quill::ManagedMethod* method, std::vector<std::string> const& words) {
  Quill::ArgVector args(method->GetParameterCount());
  std::set<std::uint32_t> given;
  for (std::string const& word : words) {
    std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError{"'" + word + "' is not name=value"};
    std::string name = word.substr(0, eq);
    std::uint32_t i = 0;
    while (i < method->GetParameterCount() && name != method->GetParameter(i).name) ++i;
    if (i == method->GetParameterCount()) {
      std::string names;
      for (std::uint32_t k = 0; k < method->GetParameterCount(); ++k) {
        names += (k ? ", " : "") + std::string(method->GetParameter(k).name);
      }
      throw UsageError{std::string(method->GetName()) + " has no parameter '" + name + "' (" +
                       (names.empty() ? "it takes none" : "it takes " + names) + ")"};
    }
    if (!given.insert(i).second) throw UsageError{"parameter '" + name + "' is given twice"};
    args[i] = ConvertArgument(method->GetParameter(i), word.substr(eq + 1));
  }
  return args;
}

void ListOperations(Quill::ManagedObjectType* type, std::ostream& out) {
  for (Quill::ManagedObjectType* t = type; t; t = t->GetBaseType()) {
    std::uint32_t count = t->GetOwnMethodCount() + t->GetOwnPropertyCount();
    if (!count) continue;
    out << t->GetName() << ":\n";
    for (std::uint32_t i = 0; i < count; ++i) {
      Quill::ManagedMethod* m = t->GetMethodObject(i);
      if (!m) continue;
      out << "  " << m->GetName();
      if (m->IsProperty()) {
        out << " (property) -> " << TypeText(*m->GetPropertyInfo()) << "\n";
        continue;
      }
      out << " (" << m->GetWsdlName() << ")";
      for (std::uint32_t k = 0; k < m->GetParameterCount(); ++k) {
        Quill::PropertyInfo const& p = m->GetParameter(k);
        out << (k ? ", " : " ") << p.name << ": " << TypeText(p);
      }
      Quill::PropertyInfo const& result = m->GetMethodInfo()->result;
      if (m->IsTask()) {
        out << " -> task";
        if (result.type) out << " of " << TypeText(result);
      } else if (result.type) {
        out << " -> " << TypeText(result);
      }
      out << "\n";
    }
  }
}

int Run(int argc, char const* const* argv, std::ostream& out, std::ostream& err) {
  try {
    Options o = ParseCommandLine(argc, argv);
    if (o.help) {
      out << o.helpText;
      return kOk;
    }
    if (!o.list.empty()) {
      ListOperations(FindManagedType(o.list), out);
      return kOk;
    }
    if (o.url.empty() || o.target.empty() || o.method.empty()) {
      throw UsageError{"URL, TYPE:ID and METHOD are needed, or --list TYPE (see --help)"};
    }
    std::size_t colon = o.target.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == o.target.size()) {
      throw UsageError{"'" + o.target + "' is not TYPE:ID"};
    }
    Quill::ManagedObjectType* type = FindManagedType(o.target.substr(0, colon));
    Quill::ManagedMethod* method = FindOperation(type, o.method);
    Quill::ArgVector args = BuildArguments(method, o.arguments);

    Quill::HttpAdapter::Settings settings;
    settings.url = o.url;
    if (!o.apiVersion.empty()) {
      settings.version = Quill::FindVersion(o.apiVersion);
      if (!settings.version) settings.version = Quill::FindVersionByWireVersion("tarn", o.apiVersion);
      if (!settings.version) throw UsageError{"'" + o.apiVersion + "' is not an API version"};
    }
    settings.callTimeout = std::chrono::milliseconds(static_cast<long long>(o.timeoutSeconds * 1000));
    settings.connectTimeout = std::min(settings.connectTimeout, settings.callTimeout);
    settings.insecureSkipTlsVerification = o.insecure;
    settings.caFile = o.caFile;
    settings.pinnedCertificateSha256 = o.pin;
    settings.completionThreads = 1;
    if (o.log) settings.hook = Quill::Http::StderrCallLogger();
    Basalt::Ref<Quill::HttpAdapter> adapter;
    try {
      adapter = new Quill::HttpAdapter(settings);
    } catch (Quill::Fault::InvalidArgument::Exception const& e) {
      throw UsageError{FaultText(e)};
    }

    Basalt::Ref<Quill::MoRef> target(new Quill::MoRef(type->GetName(), o.target.substr(colon + 1)));
    Basalt::Ref<Quill::Any> result;
    adapter->Invoke(target.get(), method, args, result, nullptr);
    Quill::Type* resultType = ResultType(method);
    if (!resultType) return kOk;  // the method has no result
    std::string text;
    if (!result) {
      text = o.xml ? "" : "null";
    } else if (o.xml) {
      Quill::Wire::EncodeXml(text, result.get(), resultType, "result", adapter->GetVersion());
    } else {
      Quill::Wire::EncodeJson(text, result.get(), resultType, adapter->GetVersion());
    }
    if (!text.empty()) out << text << "\n";
    return kOk;
  } catch (UsageError const& e) {
    err << "tarn-call: " << e.message << "\n";
    return kUsage;
  } catch (Quill::Http::TransportError const& e) {
    err << "tarn-call: " << e.what() << "\n";
    return kFailed;
  } catch (Quill::MethodFault::Exception const& e) {
    Quill::MethodFault* fault = e.GetFault();
    Quill::Type* type = fault ? fault->_GetType() : nullptr;
    err << "fault " << (type ? type->GetName() : "?") << ": " << FaultText(e) << "\n";
    if (fault && type) {
      std::string json;
      try {
        Quill::Wire::EncodeJson(json, fault, type);
      } catch (Basalt::Exception const&) {
        json.clear();  // a fault the version cannot carry: the line above says it all
      }
      if (!json.empty()) err << json << "\n";
    }
    return kFault;
  } catch (std::exception const& e) {
    err << "tarn-call: " << e.what() << "\n";
    return kFailed;
  }
}

}  // namespace TarnCall
