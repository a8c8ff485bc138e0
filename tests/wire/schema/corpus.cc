// tarn-wire-corpus: writes the round-trip corpus as files, encoded by the codec
// from the values the codec tests fill (every property set, arrays of two,
// nested objects):
//   OUT/value/<WsdlName>.xml     one document per data and fault type
//   OUT/fault/<WsdlName>.xml     one SOAP fault message per fault type
//   OUT/request/<n>.xml, OUT/response/<n>.xml   one of each per operation
//   OUT/value.<ns>, OUT/request.<ns>   values and requests of the newest release that
//                                      speaks an older wire namespace <ns>
// With --seeds it writes the inputs of the fuzz targets instead (FuzzInput.h):
//   OUT/xml_value, OUT/json_value, OUT/xml_request, OUT/xml_response.
// Whatever the newest release does not have is left out and counted.
#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "Fill.h"
#include "FuzzInput.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"
#include "quill/Registry.h"
#include "quill/Values.h"
#include "quill/wire/Wire.h"

namespace fs = std::filesystem;
using Basalt::Ref;
using Quill::Any;

namespace {

std::string gWhere;  // what is being written, for the message of a failure

struct Counts {
  int written = 0, notInVersion = 0;
};

void Write(fs::path const& path, std::string const& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out.flush()) {
    std::cerr << "tarn-wire-corpus: cannot write " << path << "\n";
    std::exit(2);
  }
}

bool InNewest(Quill::Type const* t) { return Quill::ExistsInVersion(t, Quill::Wire::DefaultVersion()); }

void Values(fs::path const& out, bool seeds, Counts& c) {
  auto const& types = tarn_fuzz::ValueTypes();
  for (std::size_t i = 0; i < types.size(); ++i) {
    Quill::Type* t = types[i];
    if (t->GetKind() != Quill::KIND_DATA && t->GetKind() != Quill::KIND_FAULT) continue;
    if (!InNewest(t)) {
      ++c.notInVersion;
      continue;
    }
    gWhere = t->GetName();
    auto* dt = static_cast<Quill::DataObjectType*>(t);
    if (wire_test::Concrete(dt) != dt) continue;  // abstract: its concrete subtypes stand for it
    Ref<Quill::DynamicData> v = wire_test::Filled(dt);
    if (!v) continue;
    if (!seeds && t->GetKind() == Quill::KIND_FAULT) {
      Write(out / "fault" / (std::string(t->GetWsdlName()) + ".xml"),
            Quill::Wire::EncodeFault(static_cast<Quill::MethodFault*>(v.get())));
    }
    std::string xml;
    Quill::Wire::EncodeXml(xml, v.get(), t, t->GetWsdlName());
    if (seeds) {
      std::string json;
      Quill::Wire::EncodeJson(json, v.get(), t);
      Write(out / "xml_value" / (std::to_string(i) + ".xml"), tarn_fuzz::Prefix(i) + xml);
      Write(out / "json_value" / (std::to_string(i) + ".json"), tarn_fuzz::Prefix(i) + json);
      // the same value where any type may stand: it names its class
      xml.clear();
      Quill::Wire::EncodeXml(xml, v.get(), types[0], "value");
      Write(out / "xml_value" / (std::to_string(i) + "-any.xml"), tarn_fuzz::Prefix(0) + xml);
    } else {
      Write(out / "value" / (std::string(t->GetWsdlName()) + ".xml"), xml);
    }
    ++c.written;
  }
}

void Operations(fs::path const& out, bool seeds, Counts& c) {
  auto const& methods = tarn_fuzz::Methods();
  for (std::size_t i = 0; i < methods.size(); ++i) {
    Quill::ManagedMethod* m = methods[i];
    if (!Quill::ExistsInVersion(m, Quill::Wire::DefaultVersion())) {
      ++c.notInVersion;
      continue;
    }
    gWhere = std::string(m->GetDeclaringType()->GetName()) + "." + m->GetName();
    Ref<Quill::MoRef> target(new Quill::MoRef(m->GetDeclaringType()->GetName(), "obj-" + std::to_string(i)));
    Quill::ArgVector args;
    for (std::uint32_t p = 0; p < m->GetParameterCount(); ++p) {
      // a parameter added after the release stays empty, as a caller of that release leaves it
      bool has = Quill::ExistsInVersion(m->GetParameter(p), Quill::Wire::DefaultVersion());
      args.push_back(has ? wire_test::ValueFor(m->GetParameter(p)) : Ref<Any>());
    }
    Quill::PropertyInfo const* info = m->IsProperty()                   ? m->GetPropertyInfo()
                                      : m->GetMethodInfo()->result.type ? &m->GetMethodInfo()->result
                                                                        : nullptr;
    Ref<Any> result;
    if (m->IsTask()) {
      result = new Quill::MoRef("tarn.Task", "task-" + std::to_string(i));
    } else if (info) {
      result = wire_test::ValueFor(*info);
    }
    std::string name = std::string(m->GetDeclaringType()->GetWsdlName()) + "." + m->GetWsdlName() + ".xml";
    std::string request = Quill::Wire::EncodeRequest(target.get(), m, args);
    std::string response = Quill::Wire::EncodeResponse(m, result.get());
    if (seeds) {
      Write(out / "xml_request" / name, request);
      Write(out / "xml_response" / name, tarn_fuzz::Prefix(i) + response);
    } else {
      Write(out / "request" / name, request);
      Write(out / "response" / name, response);
    }
    ++c.written;
  }
}

// The values and requests of the first release that speaks another wire namespace than the
// newest (an older schema), into value.<namespace> and request.<namespace>. A value that
// holds a type the release does not have cannot be written for it and is counted.
void OlderRelease(fs::path const& out, Counts& c) {
  Quill::Version const* newest = Quill::Wire::DefaultVersion();
  Quill::Version const* old = nullptr;
  for (Quill::Version const* v : Quill::GetVersions()) {
    if (v->GetNamespace() == newest->GetNamespace() && v->GetKind() == newest->GetKind() &&
        std::string_view(v->GetWireNamespace()) != newest->GetWireNamespace()) {
      old = v;
      break;
    }
  }
  if (!old) return;
  std::string ns = old->GetWireNamespace();
  fs::create_directories(out / ("value." + ns));
  fs::create_directories(out / ("request." + ns));
  for (Quill::Type* t : tarn_fuzz::ValueTypes()) {
    if ((t->GetKind() != Quill::KIND_DATA && t->GetKind() != Quill::KIND_FAULT) || !Quill::ExistsInVersion(t, old)) {
      continue;
    }
    auto* dt = static_cast<Quill::DataObjectType*>(t);
    if (wire_test::Concrete(dt) != dt) continue;
    gWhere = std::string(t->GetName()) + " for " + old->GetName();
    Ref<Quill::DynamicData> v = wire_test::Filled(dt);
    std::string xml;
    try {
      Quill::Wire::EncodeXml(xml, v.get(), t, t->GetWsdlName(), old);
    } catch (Quill::Fault::NotSupported::Exception const&) {
      ++c.notInVersion;
      continue;
    }
    Write(out / ("value." + ns) / (std::string(t->GetWsdlName()) + ".xml"), xml);
    ++c.written;
  }
  for (Quill::ManagedMethod* m : tarn_fuzz::Methods()) {
    if (!Quill::ExistsInVersion(m, old)) continue;
    gWhere = std::string(m->GetDeclaringType()->GetName()) + "." + m->GetName() + " for " + old->GetName();
    Ref<Quill::MoRef> target(new Quill::MoRef(m->GetDeclaringType()->GetName(), "obj-old"));
    Quill::ArgVector args;
    for (std::uint32_t p = 0; p < m->GetParameterCount(); ++p) {
      bool has = Quill::ExistsInVersion(m->GetParameter(p), old);
      args.push_back(has ? wire_test::ValueFor(m->GetParameter(p)) : Ref<Any>());
    }
    std::string request;
    try {
      request = Quill::Wire::EncodeRequest(target.get(), m, args, old);
    } catch (Quill::Fault::NotSupported::Exception const&) {
      ++c.notInVersion;
      continue;
    }
    Write(
        out / ("request." + ns) / (std::string(m->GetDeclaringType()->GetWsdlName()) + "." + m->GetWsdlName() + ".xml"),
        request);
    ++c.written;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes the codec's round-trip corpus (or the fuzz seeds) as files.", "tarn-wire-corpus"};
  std::string dir;
  bool seeds = false;
  app.add_option("out", dir, "directory to fill (made if missing)")->required();
  app.add_flag("--seeds", seeds, "write the fuzz targets' seed inputs instead");
  CLI11_PARSE(app, argc, argv);

  fs::path out(dir);
  // Named arrays: an initializer_list chosen by ?: would outlive the array behind it.
  static constexpr std::array<char const*, 4> kSeedDirs{"xml_value", "json_value", "xml_request", "xml_response"};
  static constexpr std::array<char const*, 4> kCorpusDirs{"value", "fault", "request", "response"};
  for (char const* sub : seeds ? kSeedDirs : kCorpusDirs) fs::create_directories(out / sub);
  Counts values, operations, older;
  try {
    Values(out, seeds, values);
    Operations(out, seeds, operations);
    if (!seeds) OlderRelease(out, older);
  } catch (Quill::MethodFault::Exception const& e) {
    std::cerr << "tarn-wire-corpus: " << gWhere << ": " << e.what();
    if (auto* messages = e.GetFault()->faultMessage.get()) {
      for (std::size_t i = 0; i < messages->GetItems().size(); ++i) {
        if (messages->Get(i)->message) std::cerr << *messages->Get(i)->message;
      }
    }
    std::cerr << "\n";
    return 1;
  }
  std::printf("%d values, %d operations written; %d types and %d operations not in the newest release\n",
              values.written, operations.written, values.notInVersion, operations.notInVersion);
  if (!seeds) {
    std::printf("older release: %d values and requests written, %d holding what it does not have\n", older.written,
                older.notInVersion);
  }
  return 0;
}
