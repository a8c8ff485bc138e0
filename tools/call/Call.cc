#include "call/Call.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"
#include "quill/Primitive.h"
#include "quill/Reflection.h"
#include "quill/Stub.h"
#include "quill/Values.h"
#include "quill/http/HttpAdapter.h"
#include "quill/query/FolderTree.h"
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

// The fault's first message text, else its type's name.
std::string FaultText(Quill::MethodFault::Exception const& e) {
  Quill::MethodFault* fault = e.GetFault();
  if (fault && fault->faultMessage && fault->faultMessage->size()) {
    if (Quill::LocalizableMessage* m = (*fault->faultMessage)[0]) {
      if (m->message) return *m->message;
    }
  }
  return fault && fault->_GetType() ? fault->_GetType()->GetName() : e.what();
}

bool IsFaultOf(Quill::MethodFault::Exception const& e, char const* typeName) {
  auto* wanted = dynamic_cast<Quill::DataObjectType*>(Quill::FindType(typeName));
  Quill::MethodFault* fault = e.GetFault();
  auto* type = fault ? dynamic_cast<Quill::DataObjectType*>(fault->_GetType()) : nullptr;
  return wanted && type && type->IsSubtypeOf(wanted);
}

std::string ReadWholeFile(std::string const& path) {
  std::ostringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
    return text.str();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError{"cannot read '" + path + "': " + std::strerror(errno)};
  text << in.rdbuf();
  return text.str();
}

// TARN_PASSWORD, else a prompt on the terminal with echo off.
std::string Password(std::string const& user) {
  if (char const* env = std::getenv("TARN_PASSWORD")) return env;
  int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) throw UsageError{"no password for '" + user + "': set TARN_PASSWORD (no terminal to ask on)"};
  std::string prompt = "password for " + user + ": ";
  termios saved{};
  bool quiet = ::tcgetattr(tty, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ECHONL;
    quiet = ::tcsetattr(tty, TCSAFLUSH, &silent) == 0;
  }
  if (!quiet) {
    ::close(tty);
    throw UsageError{"no password for '" + user + "': set TARN_PASSWORD (cannot turn the terminal's echo off)"};
  }
  [[maybe_unused]] ssize_t w = ::write(tty, prompt.data(), prompt.size());
  std::string password;
  char c;
  while (::read(tty, &c, 1) == 1 && c != '\n') password.push_back(c);
  ::tcsetattr(tty, TCSAFLUSH, &saved);
  ::close(tty);
  return password;
}

Basalt::Ref<Quill::Any> Text(std::string const& s) {
  return Basalt::Ref<Quill::Any>(new Quill::Primitive<std::string>(s));
}

void Invoke(Quill::HttpAdapter* adapter, Quill::MoRef* target, char const* methodName, Quill::ArgVector& args,
            Basalt::Ref<Quill::Any>& result) {
  Quill::ManagedMethod* method = FindOperation(FindManagedType(target->GetTypeName()), methodName);
  adapter->Invoke(target, method, args, result, nullptr);
}

// The session manager the service content names; found anew on each run,
// as every client must (its id is the server's choice).
Basalt::Ref<Quill::MoRef> SessionManager(Quill::HttpAdapter* adapter, Options const& o) {
  Basalt::Ref<Quill::MoRef> si(new Quill::MoRef(FindManagedType("ServiceInstance")->GetName(), o.serviceInstance));
  Quill::ArgVector none;
  Basalt::Ref<Quill::Any> content;
  Invoke(adapter, si.get(), "retrieveContent", none, content);
  auto* data = dynamic_cast<Quill::DynamicData*>(content.get());
  Basalt::Ref<Quill::Any> manager = data ? Quill::Reflection::Get(data, "sessionManager") : nullptr;
  auto* ref = dynamic_cast<Quill::MoRef*>(manager.get());
  if (!ref) throw std::runtime_error("the server names no session manager in its service content");
  return Basalt::Ref<Quill::MoRef>(ref);
}

void Login(Quill::HttpAdapter* adapter, Options const& o) {
  std::string password = Password(o.user);
  Basalt::Ref<Quill::MoRef> manager = SessionManager(adapter, o);
  Quill::ManagedMethod* login = FindOperation(FindManagedType(manager->GetTypeName()), "login");
  Quill::ArgVector args(login->GetParameterCount());
  for (std::uint32_t i = 0; i < login->GetParameterCount(); ++i) {
    std::string_view name = login->GetParameter(i).name;
    if (name == "userName") args[i] = Text(o.user);
    if (name == "password") args[i] = Text(password);
  }
  Basalt::Ref<Quill::Any> session;
  adapter->Invoke(manager.get(), login, args, session, nullptr);
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

// --- retrieve and watch ---------------------------------------------------------------------

std::string RefText(Quill::MoRef const* ref) {
  std::string out;
  Quill::Wire::AppendJsonString(out, ref ? ref->GetTypeName() + ":" + ref->GetId() : "");
  return out;
}

// A value as JSON of its own class (a reference as "TYPE:ID").
std::string ValueJson(Quill::Any* value, Quill::Version const* version) {
  if (!value) return "null";
  if (auto* ref = dynamic_cast<Quill::MoRef*>(value)) return RefText(ref);
  std::string out;
  Quill::Wire::EncodeJson(out, value, value->_GetType(), version);
  return out;
}

std::string FaultsJson(Quill::DataArray<Quill::Query::PathFault>* faults, Quill::Version const* version) {
  std::string out = "{";
  for (std::size_t i = 0; faults && i < faults->size(); ++i) {
    Quill::Query::PathFault* f = (*faults)[i];
    if (i) out += ", ";
    Quill::Wire::AppendJsonString(out, std::string(f->path));
    out += ": " + ValueJson(f->fault.get(), version);
  }
  return out + "}";
}

std::string ObjectJson(Quill::Query::ObjectResult* r, Quill::Version const* version) {
  std::string out = "{\"obj\": " + RefText(r->obj.get()) + ", \"values\": {";
  for (std::size_t i = 0; r->values && i < r->values->size(); ++i) {
    Quill::DynamicProperty* p = (*r->values)[i];
    if (i) out += ", ";
    Quill::Wire::AppendJsonString(out, p->name);
    out += ": " + ValueJson(p->val.get(), version);
  }
  out += "}";
  if (r->faults && r->faults->size()) out += ", \"faults\": " + FaultsJson(r->faults.get(), version);
  return out + "}";
}

char const* KindText(Quill::Query::ChangeKind k) {
  switch (k) {
    case Quill::Query::ChangeKind::enter:
      return "enter";
    case Quill::Query::ChangeKind::modify:
      return "modify";
    default:
      return "leave";
  }
}

char const* OpText(Quill::Query::ChangeOp op) {
  switch (op) {
    case Quill::Query::ChangeOp::assign:
      return "assign";
    case Quill::Query::ChangeOp::add:
      return "add";
    default:
      return "remove";
  }
}

std::string ChangeJson(std::string const& version, Quill::Query::ObjectChange* c, Quill::Version const* wire) {
  std::string out = "{\"version\": ";
  Quill::Wire::AppendJsonString(out, version);
  out += std::string(", \"kind\": \"") + KindText(c->kind) + "\", \"obj\": " + RefText(c->obj.get());
  out += ", \"changes\": [";
  for (std::size_t i = 0; c->changes && i < c->changes->size(); ++i) {
    Quill::Query::PropertyChange* p = (*c->changes)[i];
    if (i) out += ", ";
    out += "{\"path\": ";
    Quill::Wire::AppendJsonString(out, std::string(p->path));
    out += std::string(", \"op\": \"") + OpText(p->op) + "\", \"value\": " + ValueJson(p->value.get(), wire) + "}";
  }
  out += "]";
  if (c->faults && c->faults->size()) out += ", \"faults\": " + FaultsJson(c->faults.get(), wire);
  return out + "}";
}

std::atomic<bool> gInterrupted{false};
extern "C" void OnInterrupt(int) { gInterrupted.store(true); }

struct QueryArgs {
  std::string type;
  Basalt::Ref<Quill::MoRef> root;
  std::vector<std::string> paths;
};

QueryArgs ParseQuery(Options const& o) {
  if (o.method.empty() || o.arguments.empty()) {
    throw UsageError{o.target + " needs TYPE and ROOT (TYPE:ID), then the property paths (see --help)"};
  }
  QueryArgs q;
  q.type = FindManagedType(o.method)->GetName();
  std::string const& root = o.arguments[0];
  std::size_t colon = root.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == root.size()) {
    throw UsageError{"'" + root + "' is not TYPE:ID"};
  }
  q.root = new Quill::MoRef(FindManagedType(root.substr(0, colon))->GetName(), root.substr(colon + 1));
  q.paths.assign(o.arguments.begin() + 1, o.arguments.end());
  return q;
}

int RunRetrieve(Quill::HttpAdapter* adapter, QueryArgs const& q, std::ostream& out) {
  auto objects = Quill::Query::Retrieve(adapter, q.type, q.paths, q.root.get());
  out << "[";
  for (std::size_t i = 0; i < objects.size(); ++i) {
    out << (i ? ",\n " : "\n ") << ObjectJson(objects[i].GetResult(), adapter->GetVersion());
  }
  out << (objects.empty() ? "]\n" : "\n]\n");
  return kOk;
}

int RunWatch(Quill::HttpAdapter* adapter, QueryArgs const& q, Options const& o, double callSeconds, std::ostream& out) {
  auto selection =
      q.paths.empty() ? Quill::Query::MakeSelectionAll(q.type) : Quill::Query::MakeSelection(q.type, q.paths);
  auto spec = Quill::Query::FolderTreeSpec(q.root.get(), {selection});
  Basalt::Ref<Quill::Query::PropertyCollectorStub> collector(
      new Quill::Query::PropertyCollectorStub(Quill::Query::RootCollector().get(), adapter, nullptr));
  Basalt::Ref<Quill::MoRef> watchRef;
  collector->CreateWatch(spec.get(), true, watchRef);

  std::mutex mutex;
  std::condition_variable cv;
  long lines = 0;
  bool ended = false;
  std::unique_ptr<Basalt::Throwable> failure;
  Quill::Query::Watcher::Settings settings;
  // Each wait ends well before the transport gives up on it.
  settings.maxWaitSeconds = std::max(1, static_cast<int>(callSeconds / 2));
  settings.onError = [&](std::exception const& e, bool retrying) {
    if (retrying) return;
    std::lock_guard lock(mutex);
    if (auto const* t = dynamic_cast<Basalt::Throwable const*>(&e)) failure.reset(t->Clone());
    ended = true;
    cv.notify_all();
  };
  auto onBatch = [&](Quill::Query::UpdateBatch* batch) {
    std::lock_guard lock(mutex);
    for (std::size_t w = 0; batch->watches && w < batch->watches->size(); ++w) {
      Quill::Query::WatchUpdate* update = (*batch->watches)[w];
      for (std::size_t i = 0; update->objects && i < update->objects->size(); ++i) {
        if (o.count > 0 && lines >= o.count) break;
        out << ChangeJson(batch->version, (*update->objects)[i], adapter->GetVersion()) << "\n";
        ++lines;
      }
    }
    out.flush();
    if (o.count > 0 && lines >= o.count) ended = true;
    cv.notify_all();
  };

  gInterrupted.store(false);
  struct sigaction action {
  }, previous{};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &previous);
  {
    Quill::Query::Watcher watcher(adapter, onBatch, settings);
    auto deadline = o.seconds > 0 ? std::chrono::steady_clock::now() +
                                        std::chrono::milliseconds(static_cast<long long>(o.seconds * 1000))
                                  : std::chrono::steady_clock::time_point::max();
    std::unique_lock lock(mutex);
    // A signal cannot wake a condition variable: look every 100 ms.
    while (!ended && !gInterrupted.load() && std::chrono::steady_clock::now() < deadline) {
      cv.wait_for(lock, std::chrono::milliseconds(100));
    }
    lock.unlock();
    watcher.Stop();
  }
  ::sigaction(SIGINT, &previous, nullptr);
  try {
    Basalt::Ref<Quill::Query::WatchStub> watch(new Quill::Query::WatchStub(watchRef.get(), adapter, nullptr));
    watch->Remove();
  } catch (std::exception const&) {
    // The session (and its watches) may have ended already.
  }
  if (failure) failure->Throw();
  return kOk;
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
  app.add_option("--user", o.user, "log in as NAME first (password: $TARN_PASSWORD or a prompt)")->option_text("NAME");
  app.add_option("--session", o.sessionFile, "keep the session in FILE (mode 0600) for the next invocation")
      ->option_text("FILE");
  app.add_option("--count", o.count, "watch: stop after N lines")->option_text("N")->check(CLI::PositiveNumber);
  app.add_option("--seconds", o.seconds, "watch: stop after N seconds")->option_text("N")->check(CLI::PositiveNumber);
  app.add_option("--service-instance", o.serviceInstance, "id of the service instance (default ServiceInstance)")
      ->option_text("ID");
  app.add_option("--header", o.headers, "extra request header 'Name: value' (repeatable)")
      ->option_text("HEADER")
      ->allow_extra_args(false);
  app.add_option("--json-arg,--json", o.jsonFiles, "parameter NAME's value as JSON from FILE ('-': stdin)")
      ->option_text("NAME=FILE")
      ->allow_extra_args(false);
  app.add_option("--xml-arg", o.xmlFiles, "parameter NAME's value as XML from FILE ('-': stdin)")
      ->option_text("NAME=FILE")
      ->allow_extra_args(false);
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

void ReadFileArguments(Quill::ManagedMethod* method, std::vector<std::string> const& words, bool xml,
                       Quill::ArgVector& args) {
  for (std::string const& word : words) {
    std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == word.size()) {
      throw UsageError{"'" + word + "' is not NAME=FILE"};
    }
    std::string name = word.substr(0, eq), path = word.substr(eq + 1);
    std::uint32_t i = 0;
    while (i < method->GetParameterCount() && name != method->GetParameter(i).name) ++i;
    if (i == method->GetParameterCount()) {
      throw UsageError{std::string(method->GetName()) + " has no parameter '" + name + "'"};
    }
    if (args[i]) throw UsageError{"parameter '" + name + "' is given twice"};
    Quill::PropertyInfo const& parameter = method->GetParameter(i);
    Quill::Type* declared = DeclaredType(parameter);
    if (!declared) throw UsageError{"parameter '" + name + "' has a type that is not bound"};
    std::string text = ReadWholeFile(path);
    try {
      args[i] = xml ? Quill::Wire::DecodeXml(text, declared) : Quill::Wire::DecodeJson(text, declared);
    } catch (Quill::Wire::DecodeError const& e) {
      throw UsageError{"parameter '" + name + "' (" + TypeText(parameter) + "): '" + path + "' does not hold " +
                       (xml ? "XML" : "JSON") + " of its type: " + e.what()};
    }
    if (!args[i]) throw UsageError{"parameter '" + name + "': '" + path + "' holds no value"};
  }
}

Session ReadSession(std::string const& path) {
  Session session;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return session;
    throw UsageError{"session file '" + path + "': " + std::strerror(errno)};
  }
  // The cookie is as good as the password: a file others can read is not used.
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    throw UsageError{"session file '" + path + "' can be read by others (chmod 600 it, or remove it)"};
  }
  std::istringstream lines(ReadWholeFile(path));
  std::string line;
  bool ours = false;
  while (std::getline(lines, line)) {
    if (line == "# tarn-call session") ours = true;
    if (line.rfind("url ", 0) == 0) session.url = line.substr(4);
    if (line.rfind("tarn_session ", 0) == 0) session.cookie = line.substr(13);
  }
  if (!ours) throw UsageError{"'" + path + "' is not a tarn-call session file"};
  return session;
}

void WriteSession(std::string const& path, Session const& session) {
  std::string text = "# tarn-call session\nurl " + session.url + "\ntarn_session " + session.cookie + "\n";
  std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw UsageError{"cannot write the session file '" + temporary + "': " + std::strerror(errno)};
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    std::string why = std::strerror(errno);
    ::unlink(temporary.c_str());
    throw UsageError{"cannot write the session file '" + path + "': " + why};
  }
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
    // `logout [URL]` and `URL login` are the session's own commands.
    bool logout = o.url == "logout";
    if (logout) {
      if (!o.method.empty()) throw UsageError{"logout takes at most the URL (see --help)"};
      o.url = o.target;
      o.target.clear();
    }
    bool loginOnly = !logout && o.target == "login" && o.method.empty();
    bool query = !logout && (o.target == "retrieve" || o.target == "watch");
    QueryArgs queryArgs;
    if (query) queryArgs = ParseQuery(o);
    if ((logout || loginOnly) && o.sessionFile.empty()) {
      throw UsageError{std::string(logout ? "logout" : "login") + " needs --session FILE"};
    }
    if (loginOnly && o.user.empty()) throw UsageError{"login needs --user NAME"};
    Session stored = o.sessionFile.empty() ? Session{} : ReadSession(o.sessionFile);
    if (logout && o.url.empty()) o.url = stored.url;
    if (o.url.empty() || (!logout && !loginOnly && (o.target.empty() || o.method.empty()))) {
      throw UsageError{"URL, TYPE:ID and METHOD are needed, or --list TYPE (see --help)"};
    }
    Quill::ManagedObjectType* type = nullptr;
    Quill::ManagedMethod* method = nullptr;
    Quill::ArgVector args;
    std::size_t colon = o.target.find(':');
    if (!logout && !loginOnly && !query) {
      if (colon == std::string::npos || colon == 0 || colon + 1 == o.target.size()) {
        throw UsageError{"'" + o.target + "' is not TYPE:ID"};
      }
      type = FindManagedType(o.target.substr(0, colon));
      method = FindOperation(type, o.method);
      args = BuildArguments(method, o.arguments);
      ReadFileArguments(method, o.jsonFiles, false, args);
      ReadFileArguments(method, o.xmlFiles, true, args);
    }

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
    settings.headers = o.headers;
    // A session is only ever sent to the server it came from.
    bool resumed = !stored.cookie.empty() && stored.url == o.url;
    if (resumed) settings.sessionCookie = stored.cookie;
    settings.completionThreads = 1;
    if (o.log) settings.hook = Quill::Http::StderrCallLogger();
    Basalt::Ref<Quill::HttpAdapter> adapter;
    try {
      adapter = new Quill::HttpAdapter(settings);
    } catch (Quill::Fault::InvalidArgument::Exception const& e) {
      throw UsageError{FaultText(e)};
    }

    if (logout) {
      if (resumed) {
        try {
          Basalt::Ref<Quill::MoRef> manager = SessionManager(adapter.get(), o);
          Quill::ArgVector none;
          Basalt::Ref<Quill::Any> nothing;
          Invoke(adapter.get(), manager.get(), "logout", none, nothing);
        } catch (Quill::MethodFault::Exception const& e) {
          if (!IsFaultOf(e, "tarn.fault.NotAuthenticated")) throw;
          err << "tarn-call: the session had already ended\n";
        }
      }
      if (::unlink(o.sessionFile.c_str()) != 0 && errno != ENOENT) {
        throw UsageError{"cannot remove the session file '" + o.sessionFile + "': " + std::strerror(errno)};
      }
      return kOk;
    }

    // The session is saved whatever the call's outcome: a fault does not end it.
    auto save = [&] {
      if (o.sessionFile.empty()) return;
      std::string cookie = adapter->GetSessionCookie();
      if (!cookie.empty() && (cookie != stored.cookie || stored.url != o.url)) {
        WriteSession(o.sessionFile, Session{o.url, cookie});
      }
    };
    if (!o.user.empty() && (!resumed || loginOnly)) {
      Login(adapter.get(), o);
      save();
    }
    if (loginOnly) return kOk;
    if (query) {
      try {
        int status = o.target == "retrieve" ? RunRetrieve(adapter.get(), queryArgs, out)
                                            : RunWatch(adapter.get(), queryArgs, o, o.timeoutSeconds, out);
        save();
        return status;
      } catch (...) {
        save();
        throw;
      }
    }

    Basalt::Ref<Quill::MoRef> target(new Quill::MoRef(type->GetName(), o.target.substr(colon + 1)));
    Basalt::Ref<Quill::Any> result;
    try {
      Quill::ArgVector kept = args;  // a retry sends the same arguments
      try {
        adapter->Invoke(target.get(), method, kept, result, nullptr);
      } catch (Quill::MethodFault::Exception const& e) {
        // The stored session ended on the server (idle, restarted): log in anew, once.
        if (!resumed || o.user.empty() || !IsFaultOf(e, "tarn.fault.NotAuthenticated")) throw;
        adapter->ClearCookies();
        Login(adapter.get(), o);
        adapter->Invoke(target.get(), method, args, result, nullptr);
      }
    } catch (...) {
      save();
      throw;
    }
    save();
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
