// tarn-inspect: the API's types, methods and versions as the runtime's registry
// holds them once every module of libtarn-types is bound. Exit status 0 on
// success, 1 when a named type, method, module or version does not exist (or a
// short name is ambiguous), 2 on bad usage, 3 when the output cannot be written
// or the registry fails.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "inspect/Catalog.h"
#include "inspect/Json.h"
#include "inspect/Render.h"
#include "quill/Registry.h"
#include "quill/Type.h"

#ifndef TARN_INSPECT_VERSION
#define TARN_INSPECT_VERSION "unknown"
#endif

namespace {

constexpr int kNotFound = 1;
constexpr int kUsage = 2;
constexpr int kOutputError = 3;

struct Options {
  bool json = false;
  std::optional<std::string> kind, module, apiVersion, oldVersion;
  std::string name;
};

void Say(std::string const& line) { std::fprintf(stderr, "tarn-inspect: %s\n", line.c_str()); }

// A usage error is one line: what was wrong and where to read more.
int UsageError(std::string const& message, std::string const& command) {
  std::string help = command.empty() ? "tarn-inspect --help" : "tarn-inspect " + command + " --help";
  Say(message + " (see " + help + ")");
  return kUsage;
}

// Everything a command prints goes through here, so that a full disk or a
// closed pipe turns into an exit status instead of a silent truncation.
int Print(std::string const& s) {
  std::size_t written = std::fwrite(s.data(), 1, s.size(), stdout);
  if (written != s.size() || std::fflush(stdout) != 0 || std::ferror(stdout)) {
    int err = errno;
    Say(std::string("cannot write the output: ") + (err ? std::strerror(err) : "write error"));
    return kOutputError;
  }
  return 0;
}

// A command's one document: JSON when asked for (lines broken down to
// `jsonBreakDepth`; kOneLine keeps it on one line), aligned text otherwise.
constexpr int kOneLine = 1 << 30;
template <class Json, class Text>
int Emit(Options const& o, int jsonBreakDepth, Json json, Text text) {
  std::string out;
  if (o.json) {
    Inspect::JsonWriter w(out, jsonBreakDepth);
    json(w);
    out += '\n';
  } else {
    text(out);
  }
  return Print(out);
}

void ListTypes(char const* heading, std::vector<Quill::Type*> const& types, Quill::Type const* chosen = nullptr) {
  std::fprintf(stderr, "%s\n", heading);
  for (Quill::Type const* t : types) {
    std::fprintf(stderr, "  %s%s\n", t->GetName(), t == chosen ? "  (shown)" : "");
  }
}

int NoVersion(std::string const& name) {
  Say("no version named \"" + name + "\"");
  auto near = Inspect::NearVersions(name);
  if (!near.empty()) {
    std::fprintf(stderr, "near matches:\n");
    for (auto const* v : near) std::fprintf(stderr, "  %s\n", v->GetName());
  }
  return kNotFound;
}

int CmdList(Options const& o) {
  std::optional<Quill::TypeKind> kind;
  if (o.kind) kind = Inspect::ParseKind(*o.kind);  // checked by the parser
  Quill::Version const* version = nullptr;
  if (o.apiVersion) {
    version = Inspect::ResolveVersion(*o.apiVersion);
    if (!version) return NoVersion(*o.apiVersion);
  }
  std::vector<Quill::Type*> all = Inspect::DescribedTypes();
  if (o.module &&
      std::none_of(all.begin(), all.end(), [&](Quill::Type const* t) { return Inspect::ModuleOf(t) == *o.module; })) {
    Say("no module named \"" + *o.module + "\" (tarn-inspect modules lists them)");
    return kNotFound;
  }
  std::vector<Quill::Type*> kept;
  for (Quill::Type* t : all) {
    if (kind && t->GetKind() != *kind) continue;
    if (o.module && Inspect::ModuleOf(t) != *o.module) continue;
    if (version && !Quill::ExistsInVersion(t, version)) continue;
    kept.push_back(t);
  }
  return Emit(
      o, 1, [&](Inspect::JsonWriter& w) { Inspect::WriteListJson(w, kept); },
      [&](std::string& out) { Inspect::WriteListText(out, kept); });
}

int ShowType(Options const& o, Quill::Type const* type) {
  return Emit(
      o, kOneLine, [&](Inspect::JsonWriter& w) { Inspect::WriteTypeJson(w, type, true); },
      [&](std::string& out) { Inspect::WriteShowText(out, type); });
}

int CmdShow(Options const& o) {
  std::string const& name = o.name;
  Quill::Type* type = Inspect::ResolveType(name);
  if (type && (type->GetKind() == Quill::KIND_PRIMITIVE || type->GetKind() == Quill::KIND_ANY)) {
    return Emit(
        o, kOneLine, [&](Inspect::JsonWriter& w) { Inspect::WritePrimitiveJson(w, type); },
        [&](std::string& out) { Inspect::WritePrimitiveText(out, type); });
  }
  if (type && type->GetKind() >= Quill::KIND_ENUM) {
    // A WSDL or catalogue name may also be the short name of other types:
    // say which one this is, so that nobody reads the wrong one unawares.
    std::vector<Quill::Type*> candidates = Inspect::Candidates(name);
    if (candidates.size() > 1) {
      Say("warning: \"" + name + "\" may name " + std::to_string(candidates.size()) + " types");
      ListTypes("candidates:", candidates, type);
    }
    return ShowType(o, type);
  }
  if (auto method = Inspect::ResolveMethod(name)) {
    return Emit(
        o, kOneLine, [&](Inspect::JsonWriter& w) { Inspect::WriteMethodShowJson(w, *method); },
        [&](std::string& out) { Inspect::WriteMethodShowText(out, *method); });
  }
  std::vector<Quill::Type*> candidates = Inspect::Candidates(name);
  if (candidates.size() == 1) return ShowType(o, candidates[0]);
  if (candidates.size() > 1) {
    Say("\"" + name + "\" is ambiguous: it names " + std::to_string(candidates.size()) +
        " types; give one of their full names");
    ListTypes("candidates:", candidates);
    return kNotFound;
  }
  Say("no type or method named \"" + name + "\"");
  auto near = Inspect::NearTypes(name);
  if (!near.empty()) ListTypes("near matches:", near);
  return kNotFound;
}

int CmdModules(Options const& o) {
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
      o, 1,
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
          table.Add({c.module, std::to_string(c.counts[1]), std::to_string(c.counts[2]), std::to_string(c.counts[0]),
                     std::to_string(c.counts[3])});
        }
        table.Print(out);
      });
}

int CmdVersions(Options const& o) {
  std::vector<Quill::Version const*> versions = Quill::GetVersions();
  return Emit(
      o, 1,
      [&](Inspect::JsonWriter& w) {
        w.BeginArray();
        for (Quill::Version const* v : versions) Inspect::WriteVersionJson(w, v, false);
        w.EndArray();
      },
      [&](std::string& out) { Inspect::WriteVersionsText(out, versions); });
}

int CmdVersion(Options const& o) {
  Quill::Version const* v = Inspect::ResolveVersion(o.name);
  if (!v) return NoVersion(o.name);
  return Emit(
      o, kOneLine, [&](Inspect::JsonWriter& w) { Inspect::WriteVersionJson(w, v, true); },
      [&](std::string& out) { Inspect::WriteVersionText(out, v); });
}

int CmdDump(Options const& o) {
  std::string out;
  if (o.json) {
    Inspect::WriteDumpJson(out);
  } else {
    bool first = true;
    for (Quill::Type const* t : Inspect::DescribedTypes()) {
      if (!first) out += '\n';
      first = false;
      Inspect::WriteShowText(out, t);
    }
  }
  return Print(out);
}

CLI::App* Command(CLI::App& app, Options& o, char const* name, char const* description) {
  CLI::App* c = app.add_subcommand(name, description);
  c->add_flag("--json", o.json, "JSON instead of aligned text (shapes in docs/inspect.md)");
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "The API's types, methods and versions, read from the runtime's type registry\n"
      "with every module of libtarn-types bound.",
      "tarn-inspect"};
  app.set_version_flag("--version", "tarn-inspect " TARN_INSPECT_VERSION, "Print the tool's version and exit");
  app.require_subcommand(1);
  app.footer(
      "exit status: 0 done, 1 no such type, method, module or version (or an ambiguous\n"
      "short name), 2 bad usage, 3 output could not be written\n");

  CLI::App* list = Command(app, o, "list", "The types, one a line (name, kind, version); filters combine");
  list->add_option("--kind", o.kind, "Only types of this kind")
      ->check(CLI::IsMember({"data", "fault", "enum", "managed"}));
  list->add_option("--module", o.module, "Only types of this module, exactly (tarn.vm, not tarn.vm.device)");
  list->add_option("--api-version", o.apiVersion,
                   "Only the types a client of this API version sees (tarn.version.v7_0 or v7_0)");
  // The filter's first spelling, before --version meant the tool's own.
  list->add_option("--version", o.oldVersion)->group("");

  CLI::App* show = Command(app, o, "show",
                           "One type or method: a type by sedge name (tarn.vm.ConfigSpec), WSDL name\n"
                           "(VirtualMachineConfigSpec), name less \"tarn.\" (vm.ConfigSpec) or short name\n"
                           "(when it is unique); a primitive (string); a method as TYPE.METHOD\n"
                           "(tarn.VirtualMachine.reconfigure, VirtualMachine.ReconfigVM_Task)");
  show->add_option("name", o.name, "Type, primitive or TYPE.METHOD")->required();

  CLI::App* modules = Command(app, o, "modules", "The modules with their number of types");
  CLI::App* versions = Command(app, o, "versions", "The version table");
  CLI::App* version = Command(app, o, "version",
                              "One version and every version it succeeds; a version of the \"tarn\"\n"
                              "namespace may be named without \"tarn.version.\"");
  version->add_option("name", o.name, "Version name")->required();
  CLI::App* dump = Command(app, o, "dump", "Every type; with --json one document (docs/inspect.md)");

  try {
    app.parse(argc, argv);
  } catch (CLI::CallForHelp const&) {
    // Delegates to the command it was asked on, if any.
    std::cout << app.help();
    std::cout.flush();
    return std::cout ? 0 : (Say("cannot write the output"), kOutputError);
  } catch (CLI::CallForVersion const& e) {
    std::cout << e.what() << '\n';
    std::cout.flush();
    return std::cout ? 0 : (Say("cannot write the output"), kOutputError);
  } catch (CLI::ParseError const& e) {
    std::string command;
    for (CLI::App const* c : app.get_subcommands()) command = c->get_name();
    return UsageError(e.what(), command);
  }

  try {
    if (o.oldVersion) {
      if (o.apiVersion) return UsageError("--version and --api-version given together", "list");
      Say("warning: list --version is now list --api-version");
      o.apiVersion = o.oldVersion;
    }
    if (list->parsed()) return CmdList(o);
    if (show->parsed()) return CmdShow(o);
    if (modules->parsed()) return CmdModules(o);
    if (versions->parsed()) return CmdVersions(o);
    if (version->parsed()) return CmdVersion(o);
    if (dump->parsed()) return CmdDump(o);
    return UsageError("no command given", "");
  } catch (std::exception const& e) {
    Say(e.what());
    return kOutputError;
  }
}
