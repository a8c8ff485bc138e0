// tarn-inspect: the API's types and versions as the runtime's registry holds
// them once every module of libtarn-types is bound. Exit status 0 on success,
// 1 when a named type, module or version does not exist, 2 on bad usage.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/Catalog.h"
#include "inspect/Json.h"
#include "inspect/Render.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace {

constexpr char kUsage[] =
    "usage: tarn-inspect COMMAND [ARGUMENTS] [--json]\n"
    "\n"
    "The API's types and versions, read from the runtime's type registry with\n"
    "every module of libtarn-types bound.\n"
    "\n"
    "commands:\n"
    "  list [--kind data|fault|enum|managed] [--module NAME] [--version NAME]\n"
    "                  the types, one a line (name, kind, version); filters combine;\n"
    "                  --version keeps the types a client of that version sees\n"
    "  show NAME       one type, by sedge name (tarn.vm.ConfigSpec), WSDL name\n"
    "                  (VirtualMachineConfigSpec) or name less \"tarn.\" (vm.ConfigSpec)\n"
    "  modules         the modules with their number of types\n"
    "  versions        the version table\n"
    "  version NAME    one version and every version it succeeds; a version of\n"
    "                  the \"tarn\" namespace may be named without \"tarn.version.\"\n"
    "  dump            every type; with --json one document (see docs/inspect.md)\n"
    "\n"
    "options:\n"
    "  --json          JSON instead of aligned text\n"
    "  -h, --help      this text\n"
    "\n"
    "exit status: 0 done, 1 no such type, module or version, 2 bad usage\n";

struct Args {
  std::string command;
  std::vector<std::string> positional;
  bool json = false;
  std::optional<std::string> kind, module, version;
};

struct UsageError {
  std::string message;
};

int Usage(std::string const& message) {
  std::fprintf(stderr, "tarn-inspect: %s\n\n%s", message.c_str(), kUsage);
  return 2;
}

void Print(std::string const& s) { std::fwrite(s.data(), 1, s.size(), stdout); }

// Prints a command's one document: JSON when asked for (lines broken down to
// `jsonBreakDepth`; kOneLine keeps it on one line), aligned text otherwise.
constexpr int kOneLine = 1 << 30;
template <class Json, class Text>
int Emit(Args const& a, int jsonBreakDepth, Json json, Text text) {
  std::string out;
  if (a.json) {
    Inspect::JsonWriter w(out, jsonBreakDepth);
    json(w);
    out += '\n';
  } else {
    text(out);
  }
  Print(out);
  return 0;
}

// Options may stand anywhere after the program name, as "--opt VALUE" or "--opt=VALUE".
Args Parse(int argc, char** argv, bool& help) {
  Args a;
  help = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      help = true;
      continue;
    }
    if (arg == "--json") {
      a.json = true;
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      std::string_view name = arg, value;
      bool inlineValue = false;
      if (std::size_t eq = arg.find('='); eq != std::string_view::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inlineValue = true;
      }
      std::optional<std::string>* slot = name == "--kind"      ? &a.kind
                                         : name == "--module"  ? &a.module
                                         : name == "--version" ? &a.version
                                                               : nullptr;
      if (!slot) throw UsageError{"unknown option " + std::string(arg)};
      if (!inlineValue) {
        if (i + 1 >= argc) throw UsageError{std::string(name) + " needs a value"};
        value = argv[++i];
      }
      if (slot->has_value()) throw UsageError{std::string(name) + " given twice"};
      *slot = std::string(value);
      continue;
    }
    if (a.command.empty()) {
      a.command = std::string(arg);
    } else {
      a.positional.emplace_back(arg);
    }
  }
  return a;
}

void ExpectPositional(Args const& a, std::size_t n) {
  if (a.positional.size() < n) throw UsageError{a.command + " needs a name"};
  if (a.positional.size() > n) throw UsageError{"unexpected argument " + a.positional[n]};
}

void ExpectNoFilters(Args const& a) {
  if (a.kind || a.module || a.version) throw UsageError{"--kind, --module and --version belong to list"};
}

int NoVersion(std::string const& name) {
  std::fprintf(stderr, "tarn-inspect: no version named \"%s\"\n", name.c_str());
  auto near = Inspect::NearVersions(name);
  if (!near.empty()) {
    std::fprintf(stderr, "near matches:\n");
    for (auto const* v : near) std::fprintf(stderr, "  %s\n", v->GetName());
  }
  return 1;
}

int CmdList(Args const& a) {
  ExpectPositional(a, 0);
  std::optional<Quill::TypeKind> kind;
  if (a.kind) {
    kind = Inspect::ParseKind(*a.kind);
    if (!kind) throw UsageError{"--kind takes data, fault, enum or managed, not " + *a.kind};
  }
  Quill::Version const* version = nullptr;
  if (a.version) {
    version = Inspect::ResolveVersion(*a.version);
    if (!version) return NoVersion(*a.version);
  }
  std::vector<Quill::Type*> all = Inspect::DescribedTypes();
  if (a.module) {
    bool known = false;
    for (Quill::Type const* t : all) {
      if (Inspect::ModuleOf(t) == *a.module) {
        known = true;
        break;
      }
    }
    if (!known) {
      std::fprintf(stderr, "tarn-inspect: no module named \"%s\" (tarn-inspect modules lists them)\n",
                   a.module->c_str());
      return 1;
    }
  }
  std::vector<Quill::Type*> kept;
  for (Quill::Type* t : all) {
    if (kind && t->GetKind() != *kind) continue;
    if (a.module && Inspect::ModuleOf(t) != *a.module) continue;
    if (version && !Quill::ExistsInVersion(t, version)) continue;
    kept.push_back(t);
  }
  return Emit(
      a, 1, [&](Inspect::JsonWriter& w) { Inspect::WriteListJson(w, kept); },
      [&](std::string& out) { Inspect::WriteListText(out, kept); });
}

int CmdShow(Args const& a) {
  ExpectPositional(a, 1);
  ExpectNoFilters(a);
  std::string const& name = a.positional[0];
  Quill::Type* type = Inspect::ResolveType(name);
  if (!type || type->GetKind() < Quill::KIND_ENUM) {
    std::fprintf(stderr, "tarn-inspect: no type named \"%s\"\n", name.c_str());
    auto near = Inspect::NearTypes(name);
    if (!near.empty()) {
      std::fprintf(stderr, "near matches:\n");
      for (auto const* t : near) std::fprintf(stderr, "  %s\n", t->GetName());
    }
    return 1;
  }
  return Emit(
      a, kOneLine, [&](Inspect::JsonWriter& w) { Inspect::WriteTypeJson(w, type, true); },
      [&](std::string& out) { Inspect::WriteShowText(out, type); });
}

int CmdModules(Args const& a) {
  ExpectPositional(a, 0);
  ExpectNoFilters(a);
  struct Count {
    std::string module;
    std::size_t counts[4] = {};
  };
  std::vector<Count> modules;
  for (Quill::Type const* t : Inspect::DescribedTypes()) {
    std::string m = Inspect::ModuleOf(t);
    auto it = std::find_if(modules.begin(), modules.end(), [&](Count const& c) { return c.module == m; });
    if (it == modules.end()) it = modules.insert(modules.end(), Count{m});
    it->counts[t->GetKind() - Quill::KIND_ENUM]++;
  }
  std::sort(modules.begin(), modules.end(), [](Count const& x, Count const& y) { return x.module < y.module; });
  char const* kinds[] = {"enum", "data", "fault", "managed"};
  return Emit(
      a, 1,
      [&](Inspect::JsonWriter& w) {
        w.BeginArray();
        for (Count const& c : modules) {
          w.BeginObject();
          w.Member("name", c.module);
          for (int k = 0; k < 4; ++k) {
            w.Key(kinds[k]);
            w.UInt(c.counts[k]);
          }
          w.EndObject();
        }
        w.EndArray();
      },
      [&](std::string& out) {
        Inspect::Table table;
        table.Add({"module", "data", "fault", "enum", "managed"});
        for (Count const& c : modules) {
          table.Add({c.module, std::to_string(c.counts[1]), std::to_string(c.counts[2]),
                     std::to_string(c.counts[0]), std::to_string(c.counts[3])});
        }
        table.Print(out);
      });
}

int CmdVersions(Args const& a) {
  ExpectPositional(a, 0);
  ExpectNoFilters(a);
  std::vector<Quill::Version const*> versions = Quill::GetVersions();
  return Emit(
      a, 1,
      [&](Inspect::JsonWriter& w) {
        w.BeginArray();
        for (Quill::Version const* v : versions) Inspect::WriteVersionJson(w, v, false);
        w.EndArray();
      },
      [&](std::string& out) { Inspect::WriteVersionsText(out, versions); });
}

int CmdVersion(Args const& a) {
  ExpectPositional(a, 1);
  ExpectNoFilters(a);
  Quill::Version const* v = Inspect::ResolveVersion(a.positional[0]);
  if (!v) return NoVersion(a.positional[0]);
  return Emit(
      a, kOneLine, [&](Inspect::JsonWriter& w) { Inspect::WriteVersionJson(w, v, true); },
      [&](std::string& out) { Inspect::WriteVersionText(out, v); });
}

int CmdDump(Args const& a) {
  ExpectPositional(a, 0);
  ExpectNoFilters(a);
  std::string out;
  if (a.json) {
    Inspect::WriteDumpJson(out);
  } else {
    bool first = true;
    for (Quill::Type const* t : Inspect::DescribedTypes()) {
      if (!first) out += '\n';
      first = false;
      Inspect::WriteShowText(out, t);
    }
  }
  Print(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    bool help = false;
    Args a = Parse(argc, argv, help);
    if (help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a.command.empty()) return Usage("no command given");
    if (a.command == "list") return CmdList(a);
    if (a.command == "show") return CmdShow(a);
    if (a.command == "modules") return CmdModules(a);
    if (a.command == "versions") return CmdVersions(a);
    if (a.command == "version") return CmdVersion(a);
    if (a.command == "dump") return CmdDump(a);
    return Usage("unknown command " + a.command);
  } catch (UsageError const& e) {
    return Usage(e.message);
  } catch (std::exception const& e) {
    std::fprintf(stderr, "tarn-inspect: %s\n", e.what());
    return 3;
  }
}
