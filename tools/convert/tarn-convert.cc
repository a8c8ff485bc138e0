// tarn-convert: turns a value of the API between its XML and JSON forms, or
// checks that a file holds a valid value of a type.
//
//   tarn-convert --type tarn.vm.ConfigSpec spec.json --to xml
//   tarn-convert --type VirtualMachineConfigSpec spec.xml --check
//   tarn-convert --type tarn.AboutInfo - --from json -o about.xml
//
// The input's form is --from, else its extension (.xml, .json), else its
// first character ('<' is XML). The output is the other form unless --to says
// otherwise; it goes to stdout or, with -o, to a file that is replaced only
// once the whole value has been written.
//
// Exit codes: 0 done; 1 the input is not a valid value of the type (decode
// error, or with --strict anything skipped); 2 usage (bad options, unknown
// type or version); 3 the input cannot be read; 4 the output cannot be
// written. Every error is one line on stderr.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>

#include "basalt/Exception.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/wire/Wire.h"

namespace {

enum Exit : int { kOk = 0, kInvalid = 1, kUsage = 2, kUnreadable = 3, kUnwritable = 4 };

struct Failure {
  int code;
  std::string message;
};

enum class Form { Xml, Json };

char const* NameOf(Form f) { return f == Form::Xml ? "xml" : "json"; }

std::optional<Form> FormOfName(std::string const& s) {
  if (s == "xml") return Form::Xml;
  if (s == "json") return Form::Json;
  return std::nullopt;
}

Form SniffForm(std::string const& path, std::string_view text) {
  std::filesystem::path p(path);
  if (auto f = FormOfName(p.extension().string().empty() ? "" : p.extension().string().substr(1))) return *f;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    return c == '<' ? Form::Xml : Form::Json;
  }
  return Form::Json;
}

// The text of the input, refusing more than the decoder would accept before
// reading it all into memory.
std::string ReadInput(std::string const& path, std::size_t limit) {
  std::string text;
  if (path == "-") {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) {
      text.append(buf, n);
      if (text.size() > limit) {
        throw Failure{kInvalid, "stdin: input is larger than the limit of " + std::to_string(limit) + " bytes"};
      }
    }
    if (std::ferror(stdin)) throw Failure{kUnreadable, std::string("stdin: ") + std::strerror(errno)};
    return text;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw Failure{kUnreadable, path + ": is a directory"};
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{kUnreadable, path + ": " + std::strerror(errno)};
  in.seekg(0, std::ios::end);
  auto size = static_cast<std::streamoff>(in.tellg());
  if (size < 0) throw Failure{kUnreadable, path + ": cannot tell its size"};
  if (static_cast<std::uintmax_t>(size) > limit) {
    throw Failure{kInvalid, path + ": input is " + std::to_string(size) + " bytes, larger than the limit of " +
                                std::to_string(limit)};
  }
  in.seekg(0);
  text.resize(static_cast<std::size_t>(size));
  if (!in.read(text.data(), size)) throw Failure{kUnreadable, path + ": read failed"};
  return text;
}

void WriteAll(std::FILE* f, std::string const& text, std::string const& name) {
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fflush(f) != 0) {
    throw Failure{kUnwritable, name + ": " + std::strerror(errno)};
  }
}

// Into a file beside the target, renamed over it only when complete: a failed
// run never leaves half a value where a good one was.
void WriteOutput(std::string const& path, std::string const& text) {
  if (path.empty() || path == "-") {
    WriteAll(stdout, text, "stdout");
    return;
  }
  std::string partial = path + ".partial";
  std::FILE* f = std::fopen(partial.c_str(), "wb");
  if (!f) throw Failure{kUnwritable, path + ": " + std::strerror(errno)};
  try {
    WriteAll(f, text, path);
  } catch (...) {
    std::fclose(f);
    std::remove(partial.c_str());
    throw;
  }
  if (std::fclose(f) != 0 || std::rename(partial.c_str(), path.c_str()) != 0) {
    int err = errno;
    std::remove(partial.c_str());
    throw Failure{kUnwritable, path + ": " + std::strerror(err)};
  }
}

Quill::Type* TypeNamed(std::string const& name) {
  if (Quill::Type* t = Quill::FindType(name)) return t;
  if (Quill::Type* t = Quill::FindTypeByWsdlName(name)) return t;
  throw Failure{kUsage, "unknown type '" + name + "' (a type name such as tarn.vm.ConfigSpec or its WSDL name)"};
}

Quill::Version const* VersionNamed(std::string const& name) {
  if (name.empty()) return nullptr;
  if (Quill::Version const* v = Quill::FindVersion(name)) return v;
  // A wire version of the API itself before one of the runtime's own tables ("2.0" is both).
  char const* api = Quill::Wire::DefaultVersion()->GetNamespace()->namespaceName;
  if (Quill::Version const* v = Quill::FindVersionByWireVersion(api, name)) return v;
  if (Quill::Version const* v = Quill::FindVersionByWireVersion(name)) return v;
  throw Failure{kUsage, "unknown version '" + name + "' (a version name or a wire version such as 8.0.0.1)"};
}

// The root element of an XML document holding one value: the type's WSDL name.
std::string RootName(Quill::Type const* type) {
  char const* wsdl = type->GetWsdlName();
  return wsdl && *wsdl ? wsdl : "value";
}

// The fault's own message texts; its class name when it has none.
std::string FaultText(Quill::MethodFault::Exception const& e) {
  std::string text;
  Quill::MethodFault* fault = e.GetFault();
  if (auto* messages = fault ? fault->faultMessage.get() : nullptr) {
    for (std::size_t i = 0; i < messages->GetItems().size(); ++i) {
      Quill::LocalizableMessage* m = messages->Get(i);
      if (!m || !m->message || m->message->empty()) continue;
      if (!text.empty()) text += "; ";
      text += *m->message;
    }
  }
  if (text.empty() && fault) text = fault->_GetType()->GetName();
  return text.empty() ? std::string(e.what()) : text;
}

// Every error is one line, whatever a message below us holds.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

struct Options {
  std::string type, input, from, to, output, version;
  bool check = false, strict = false, quiet = false;
};

int Run(Options const& o) {
  Quill::Type* type = TypeNamed(o.type);
  Quill::Version const* version = VersionNamed(o.version);
  std::optional<Form> from, to;
  if (!o.from.empty()) from = FormOfName(o.from);
  if (!o.to.empty()) to = FormOfName(o.to);

  Quill::Wire::DecodeOptions decode;
  Quill::Wire::DecodeReport report;
  std::string const source = o.input == "-" ? std::string("stdin") : o.input;
  report.onSkip = [&](std::string_view path, std::string_view what) {
    if (!o.quiet) std::cerr << "tarn-convert: " << source << ": skipped " << what << " at " << path << "\n";
  };
  decode.report = &report;
  // A value written for a version lacks what that version lacks: read it as one.
  decode.version = version;

  std::string text = ReadInput(o.input, decode.limits.maxBytes);
  Form in = from ? *from : SniffForm(o.input, text);
  Basalt::Ref<Quill::Any> value;
  try {
    value = in == Form::Xml ? Quill::Wire::DecodeXml(text, type, decode) : Quill::Wire::DecodeJson(text, type, decode);
  } catch (Quill::MethodFault::Exception const& e) {
    throw Failure{kInvalid, source + ": not a valid " + NameOf(in) + " " + type->GetName() + ": " + FaultText(e)};
  }
  std::uint64_t skipped = report.skippedElements + report.unknownTypes;
  if (o.strict && skipped) {
    throw Failure{kInvalid, source + ": " + std::to_string(skipped) + " unknown element(s) or type(s) skipped"};
  }
  if (o.check) {
    if (!o.quiet) {
      std::string line = source + ": valid " + type->GetName();
      if (skipped) line += " (" + std::to_string(skipped) + " unknown element(s) or type(s) skipped)";
      WriteOutput(o.output, line + "\n");
    }
    return kOk;
  }
  Form out = to ? *to : (in == Form::Xml ? Form::Json : Form::Xml);
  std::string result;
  try {
    if (out == Form::Xml) {
      result = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
      Quill::Wire::EncodeXml(result, value.get(), type, RootName(type).c_str(), version);
    } else {
      Quill::Wire::EncodeJson(result, value.get(), type, version);
    }
  } catch (Quill::MethodFault::Exception const& e) {
    // Only a value the chosen version cannot carry gets here.
    throw Failure{kInvalid, source + ": cannot be written as " + NameOf(out) + ": " + FaultText(e)};
  }
  result += '\n';
  WriteOutput(o.output, result);
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Converts a value of the API between its XML and JSON forms, or checks a file against a type.",
               "tarn-convert"};
  Options o;
  app.add_option("input", o.input, "file holding the value ('-': stdin)")->required();
  app.add_option("-t,--type", o.type, "declared type: its name (tarn.vm.ConfigSpec) or WSDL name")->required();
  app.add_option("--from", o.from, "form of the input (default: by extension, else by content)")
      ->check(CLI::IsMember({"xml", "json"}));
  app.add_option("--to", o.to, "form of the output (default: the other one)")->check(CLI::IsMember({"xml", "json"}));
  app.add_option("-o,--output", o.output, "write here instead of stdout");
  app.add_option("--api-version", o.version, "read and write for this version (name or wire version; default: newest)");
  app.add_flag("--check", o.check, "only check that the input is a valid value of the type");
  app.add_flag("--strict", o.strict, "fail when the input holds elements or types this library does not know");
  app.add_flag("-q,--quiet", o.quiet, "no report of skipped elements, nothing printed by --check");
  try {
    app.parse(argc, argv);
  } catch (CLI::CallForHelp const& e) {
    return app.exit(e);
  } catch (CLI::CallForAllHelp const& e) {
    return app.exit(e);
  } catch (CLI::ParseError const& e) {
    std::cerr << "tarn-convert: " << e.what() << " (--help for usage)\n";
    return kUsage;
  }
  try {
    return Run(o);
  } catch (Failure const& f) {
    std::cerr << "tarn-convert: " << OneLine(f.message) << "\n";
    return f.code;
  } catch (std::exception const& e) {
    std::cerr << "tarn-convert: " << OneLine(e.what()) << "\n";
    return kInvalid;
  }
}
