// tarn-call: its command line, its arguments read as the parameters' types,
// and whole runs against an HttpServer on a loopback port.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "LoopbackServer.h"
#include "call/Call.h"
#include "quill/Quill.h"
#include "quill/http/HttpServer.h"
#include "quill/wire/Wire.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceSkeleton.h"
#include "tarn/SessionManagerSkeleton.h"
#include "tarn/SimpleCommandSkeleton.h"
#include "tarn/UserSession.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidLogin.h"
#include "tarn/fault/NotAuthenticated.h"

namespace {

class Echo : public Tarn::SimpleCommandSkeleton {
 public:
  using SimpleCommandSkeleton::SimpleCommandSkeleton;
  Tarn::SimpleCommand::Encoding GetEncodingType() override { return Tarn::SimpleCommand::Encoding::HEX; }
  std::string Execute(Quill::Array<std::string>* arguments) override {
    std::string joined;
    if (arguments) {
      for (std::string const& a : arguments->GetValues()) joined += (joined.empty() ? "" : ",") + a;
    }
    if (joined == "dup") {
      Basalt::Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
      fault->name = "dup";
      fault->object = new Quill::MoRef("tarn.Folder", "group-d7");
      fault->Throw();
    }
    return joined;
  }
};

class Folder : public Tarn::FolderSkeleton {
 public:
  using FolderSkeleton::FolderSkeleton;
  void RegisterVm(std::string const& path, Basalt::Optional<std::string> const& name, bool asTemplate,
                  Quill::MoRef* pool, Quill::MoRef* host, Basalt::Ref<Quill::MoRef>& result) override {
    // The task's id spells out what arrived, for the test to read back.
    std::string id = path + "|" + (name.IsSet() ? *name : "-") + "|" + (asTemplate ? "t" : "f") + "|" +
                     (pool ? pool->GetTypeName() + ":" + pool->GetId() : "-") + "|" + (host ? host->GetId() : "-");
    result = new Quill::MoRef("tarn.Task", id);
  }
};

// Echo and a folder. With `login`, every non-anonymous call needs a login, and the session
// manager has an id of its own, so tarn-call must find it through the service content.
struct Server {
  class Sessions : public Tarn::SessionManagerSkeleton {
   public:
    Sessions(Quill::MoRef* ref, std::atomic<int>& logins) : SessionManagerSkeleton(ref), _logins(logins) {}
    void Login(std::string const& user, std::string const& password, Basalt::Optional<std::string> const&,
               Basalt::Ref<Tarn::UserSession>& result) override {
      if (user != "alice" || password != "pw 1;{")
        Basalt::Ref<Tarn::Fault::InvalidLogin>(new Tarn::Fault::InvalidLogin())->Throw();
      _logins.fetch_add(1);
      Quill::LocalAdapter::CurrentCall()->context->Set("user", new Quill::Primitive<std::string>(user));
      result = new Tarn::UserSession();
      result->userName = user;
    }
    void Logout() override { Quill::LocalAdapter::CurrentCall()->context->Remove("user"); }

   private:
    std::atomic<int>& _logins;
  };
  class Instance : public Tarn::ServiceInstanceSkeleton {
   public:
    using ServiceInstanceSkeleton::ServiceInstanceSkeleton;
    void RetrieveContent(Basalt::Ref<Tarn::ServiceInstanceContent>& result) override {
      result = new Tarn::ServiceInstanceContent();
      result->sessionManager = new Quill::MoRef("tarn.SessionManager", "sessions-7");
    }
  };

  explicit Server(bool login = false) {
    Quill::LocalAdapter::Options options;
    if (login) {
      options.checkPrivilege = [](Quill::CallInfo const& call) {
        if (!call.privilege || std::string(call.privilege) == "System.Anonymous") return;
        if (call.context && call.context->Contains("user")) return;
        Basalt::Ref<Tarn::Fault::NotAuthenticated>(new Tarn::Fault::NotAuthenticated())->Throw();
      };
    }
    local = new Quill::LocalAdapter(options);
    local->Register(nullptr, new Echo(new Quill::MoRef("tarn.SimpleCommand", "echo")));
    local->Register(nullptr, new Folder(new Quill::MoRef("tarn.Folder", "group-d1")));
    if (login) {
      local->Register(nullptr, new Sessions(new Quill::MoRef("tarn.SessionManager", "sessions-7"), logins));
      local->Register(nullptr, new Instance(new Quill::MoRef("tarn.ServiceInstance", "ServiceInstance")));
    }
    server = std::make_unique<Quill::HttpServer>(local.get(), Quill::HttpServer::Options{});
  }
  ~Server() {
    server->Stop(std::chrono::seconds(2));
    local->Shutdown();
  }
  std::atomic<int> logins{0};
  Basalt::Ref<Quill::LocalAdapter> local;
  std::unique_ptr<Quill::HttpServer> server;
};

struct TempDir {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("tarn-call-test-" + std::to_string(::getpid()));
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string Write(char const* name, std::string const& text) const {
    std::ofstream(path / name) << text;
    return (path / name).string();
  }
};

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Call(std::vector<std::string> words) {
  std::vector<char const*> argv{"tarn-call"};
  for (auto& w : words) argv.push_back(w.c_str());
  std::ostringstream out, err;
  int status = TarnCall::Run(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

TEST(TarnCall, TheCommandLine) {
  std::vector<char const*> argv{"tarn-call",       "--xml",        "--timeout",  "2.5",
                                "--version-api",   "8.0.0.1",      "--insecure", "http://h/sdk",
                                "Folder:group-d1", "createFolder", "name=x",     "other=y"};
  TarnCall::Options o = TarnCall::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(o.url, "http://h/sdk");
  EXPECT_EQ(o.target, "Folder:group-d1");
  EXPECT_EQ(o.method, "createFolder");
  EXPECT_EQ(o.arguments, (std::vector<std::string>{"name=x", "other=y"}));
  EXPECT_TRUE(o.xml);
  EXPECT_TRUE(o.insecure);
  EXPECT_DOUBLE_EQ(o.timeoutSeconds, 2.5);
  EXPECT_EQ(o.apiVersion, "8.0.0.1");

  for (std::vector<std::string> bad :
       {std::vector<std::string>{"--timeout", "-1", "u", "t:i", "m"}, std::vector<std::string>{"--no-such-option"},
        std::vector<std::string>{"u", "t:i"}, std::vector<std::string>{"u", "tarn.Folder", "m"},
        std::vector<std::string>{"u", "NoSuchType:x", "m"}, std::vector<std::string>{"u", "Folder:x", "noSuchMethod"},
        std::vector<std::string>{"--list", "tarn.fault.DuplicateName"}}) {
    SCOPED_TRACE(bad[0] + " " + (bad.size() > 1 ? bad[1] : ""));
    Outcome r = Call(bad);
    EXPECT_EQ(r.status, TarnCall::kUsage);
    EXPECT_EQ(r.err.rfind("tarn-call: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
    EXPECT_EQ(r.out, "");
  }
  Outcome help = Call({"--help"});
  EXPECT_EQ(help.status, TarnCall::kOk);
  EXPECT_NE(help.out.find("--version-api"), std::string::npos);
}

TEST(TarnCall, ArgumentsAreReadAsTheirParametersTypes) {
  Quill::ManagedObjectType* folder = TarnCall::FindManagedType("Folder");
  EXPECT_EQ(folder, TarnCall::FindManagedType("tarn.Folder"));
  Quill::ManagedMethod* registerVm = TarnCall::FindOperation(folder, "RegisterVM_Task");
  EXPECT_EQ(registerVm, TarnCall::FindOperation(folder, "registerVm"));

  Quill::ArgVector args = TarnCall::BuildArguments(
      registerVm, {"path=ds1/a b.vmx", "asTemplate=true", "pool=ResourcePool:resgroup-1", "host=host-9"});
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(Quill::Unbox<std::string>(args[0].get()), "ds1/a b.vmx") << "text that is not JSON stays text";
  EXPECT_FALSE(args[1]) << "an optional left out is an empty slot";
  EXPECT_TRUE(Quill::Unbox<bool>(args[2].get()));
  auto* pool = dynamic_cast<Quill::MoRef*>(args[3].get());
  ASSERT_TRUE(pool);
  EXPECT_EQ(pool->GetTypeName(), "tarn.ResourcePool");
  EXPECT_EQ(pool->GetId(), "resgroup-1");
  auto* host = dynamic_cast<Quill::MoRef*>(args[4].get());
  ASSERT_TRUE(host);
  EXPECT_EQ(host->GetTypeName(), "tarn.HostSystem") << "an id alone is of the parameter's type";

  // A string that looks like a number is still the string.
  Quill::ArgVector named = TarnCall::BuildArguments(registerVm, {"path=42", "name=\"[ds1] x\""});
  EXPECT_EQ(Quill::Unbox<std::string>(named[0].get()), "42");
  EXPECT_EQ(Quill::Unbox<std::string>(named[1].get()), "[ds1] x") << "a JSON string is read as JSON";

  Quill::ManagedMethod* execute = TarnCall::FindOperation(TarnCall::FindManagedType("SimpleCommand"), "Execute");
  Quill::ArgVector list = TarnCall::BuildArguments(execute, {"arguments=[\"a\",\"b c\"]"});
  auto* strings = dynamic_cast<Quill::Array<std::string>*>(list[0].get());
  ASSERT_TRUE(strings);
  EXPECT_EQ(strings->GetValues(), (std::vector<std::string>{"a", "b c"}));

  struct Bad {
    std::vector<std::string> words;
    char const* mentions;
  };
  for (Bad const& b : {Bad{{"asTemplate=maybe"}, "asTemplate"}, Bad{{"nosuch=1"}, "path, name, asTemplate"},
                       Bad{{"path=a", "path=b"}, "twice"}, Bad{{"noequals"}, "name=value"},
                       Bad{{"pool=NoSuchType:x"}, "NoSuchType"}, Bad{{"pool=ResourcePool:"}, "no id"}}) {
    SCOPED_TRACE(b.words[0]);
    try {
      TarnCall::BuildArguments(registerVm, b.words);
      ADD_FAILURE() << "accepted";
    } catch (TarnCall::UsageError const& e) {
      EXPECT_NE(e.message.find(b.mentions), std::string::npos) << e.message;
    }
  }
  try {
    TarnCall::BuildArguments(execute, {"arguments=[1,"});
    ADD_FAILURE() << "accepted";
  } catch (TarnCall::UsageError const& e) {
    EXPECT_NE(e.message.find("arguments"), std::string::npos) << e.message;
  }
}

TEST(TarnCall, CallsAServerAndPrintsResultsAndFaults) {
  Server s;
  std::string url = s.server->GetUrl();

  Outcome r = Call({url, "SimpleCommand:echo", "Execute", "arguments=[\"a\",\"b\"]"});
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_EQ(r.out, "\"a,b\"\n");

  r = Call({url, "tarn.SimpleCommand:echo", "encodingType"});
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_EQ(r.out, "\"HEX\"\n");

  r = Call({url, "Folder:group-d1", "registerVm", "path=p.vmx", "asTemplate=false", "pool=resgroup-3"});
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_NE(r.out.find("p.vmx|-|f|tarn.ResourcePool:resgroup-3|-"), std::string::npos) << r.out;

  r = Call({"--xml", url, "SimpleCommand:echo", "Execute", "arguments=[\"x\"]"});
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_NE(r.out.find("<result"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">x</result>"), std::string::npos) << r.out;

  r = Call({url, "SimpleCommand:echo", "Execute", "arguments=[\"dup\"]"});
  EXPECT_EQ(r.status, TarnCall::kFault);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("fault tarn.fault.DuplicateName", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("group-d7"), std::string::npos) << "the fault's properties: " << r.err;

  r = Call({url, "SimpleCommand:nobody", "Execute"});
  EXPECT_EQ(r.status, TarnCall::kFault);
  EXPECT_EQ(r.err.rfind("fault sedge.fault.ManagedObjectNotFound", 0), 0u) << r.err;

  TestNet::LoopbackServer closed([](TestNet::Connection&) {}, false);
  r = Call({"--timeout", "2", closed.Url(), "SimpleCommand:echo", "Execute"});
  EXPECT_EQ(r.status, TarnCall::kFailed);
  EXPECT_NE(r.err.find("cannot connect"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(closed.Url()), std::string::npos) << r.err;

  r = Call({"--list", "SimpleCommand"});
  EXPECT_EQ(r.status, TarnCall::kOk);
  EXPECT_EQ(r.out.rfind("tarn.SimpleCommand:\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  Execute (ExecuteSimpleCommand) arguments: string[]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("-> string\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  encodingType (property) -> tarn.SimpleCommand.Encoding\n"), std::string::npos) << r.out;
  r = Call({"--list", "Folder"});
  EXPECT_NE(r.out.find("  registerVm (RegisterVM_Task) path: string, name: string?, asTemplate: boolean"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("tarn.ManagedEntity:\n"), std::string::npos) << "inherited operations are listed";
}

}  // namespace

namespace {

TEST(TarnCall, SessionsAreKeptInAFileSharedByInvocationsAndRenewedByLogin) {
  Server s(/*login=*/true);
  TempDir dir;
  std::string url = s.server->GetUrl();
  std::string file = (dir.path / "session").string();
  ::setenv("TARN_PASSWORD", "pw 1;{", 1);
  std::vector<std::string> echo{url, "SimpleCommand:echo", "Execute", "arguments=[\"a\"]"};
  auto with = [](std::vector<std::string> head, std::vector<std::string> const& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };

  Outcome r = Call(echo);
  EXPECT_EQ(r.status, TarnCall::kFault);
  EXPECT_EQ(r.err.rfind("fault tarn.fault.NotAuthenticated", 0), 0u) << r.err;

  r = Call(with({"--user", "alice", "--session", file}, echo));
  ASSERT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_EQ(r.out, "\"a\"\n");
  EXPECT_EQ(s.logins.load(), 1);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  TarnCall::Session kept = TarnCall::ReadSession(file);
  EXPECT_EQ(kept.url, url);
  EXPECT_GE(kept.cookie.size(), 16u);

  // The next invocations continue the session, with or without --user.
  r = Call(with({"--session", file}, echo));
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  r = Call(with({"--user", "alice", "--session", file}, echo));
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_EQ(s.logins.load(), 1) << "no second login while the session lives";

  // A copy of the file logs the session out; the original's cookie is then
  // refused, and with --user a new login takes its place.
  std::filesystem::copy_file(file, dir.path / "copy");
  ::chmod((dir.path / "copy").c_str(), 0600);
  r = Call({"--session", (dir.path / "copy").string(), "logout"});
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.path / "copy"));
  r = Call(with({"--session", file}, echo));
  EXPECT_EQ(r.status, TarnCall::kFault) << r.err;
  r = Call(with({"--user", "alice", "--session", file}, echo));
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_EQ(s.logins.load(), 2);
  r = Call({"--session", file, "logout", url});
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  r = Call({"--session", file, "logout", url});
  EXPECT_EQ(r.status, TarnCall::kOk) << "no file: nothing to log out";

  ::setenv("TARN_PASSWORD", "wrong", 1);
  r = Call(with({"--user", "alice", "--session", file}, echo));
  EXPECT_EQ(r.status, TarnCall::kFault);
  EXPECT_EQ(r.err.rfind("fault tarn.fault.InvalidLogin", 0), 0u) << r.err;
  EXPECT_FALSE(std::filesystem::exists(file));
  ::unsetenv("TARN_PASSWORD");

  // A session file anybody may read is not used; nor is a file of another kind.
  TarnCall::WriteSession(file, kept);
  ::chmod(file.c_str(), 0644);
  r = Call(with({"--session", file}, echo));
  EXPECT_EQ(r.status, TarnCall::kUsage);
  EXPECT_NE(r.err.find("chmod 600"), std::string::npos) << r.err;
  std::string notOurs = dir.Write("notes", "url x\n");
  ::chmod(notOurs.c_str(), 0600);
  r = Call(with({"--session", notOurs}, echo));
  EXPECT_EQ(r.status, TarnCall::kUsage);
  for (std::vector<std::string> bad :
       {std::vector<std::string>{url, "login"}, std::vector<std::string>{"--session", file, url, "login"},
        std::vector<std::string>{"logout", url}}) {
    SCOPED_TRACE(bad[0] + " " + bad[1]);
    EXPECT_EQ(Call(bad).status, TarnCall::kUsage);
  }
}

TEST(TarnCall, HeadersAndWholeArgumentsFromFiles) {
  std::mutex mutex;
  std::string head;
  TestNet::LoopbackServer loopback([&](TestNet::Connection& c) {
    std::string h;
    if (!c.ReadHead(h)) return;
    {
      std::lock_guard lock(mutex);
      head = h;
    }
    c.Write(TestNet::Response(200, "<not-soap/>"));
  });
  Outcome r =
      Call({"--header", "X-Trace: abc", "--header", "X-Other:1", loopback.Url(), "SimpleCommand:echo", "Execute"});
  EXPECT_EQ(r.status, TarnCall::kFailed) << r.err;
  {
    std::lock_guard lock(mutex);
    EXPECT_NE(head.find("\r\nX-Trace: abc\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-Other:1\r\n"), std::string::npos) << head;
  }
  for (char const* bad : {"Content-Type: text/plain", "SOAPAction: x", "no colon", "Bad Name: x", "Cookie: a=b"}) {
    SCOPED_TRACE(bad);
    r = Call({"--header", bad, loopback.Url(), "SimpleCommand:echo", "Execute"});
    EXPECT_EQ(r.status, TarnCall::kUsage);
    EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
  }

  Server s;
  TempDir dir;
  std::string url = s.server->GetUrl();
  std::string json = dir.Write("args.json", "[\"a\", \"b c\"]\n");
  Basalt::Ref<Quill::Array<std::string>> values(new Quill::Array<std::string>());
  values->Append("x<y");
  values->Append("z");
  Quill::ManagedMethod* execute = TarnCall::FindOperation(TarnCall::FindManagedType("SimpleCommand"), "Execute");
  std::string xmlText;
  Quill::Wire::EncodeXml(xmlText, values.get(), Quill::FindTypeByInfo(execute->GetParameter(0).type)->GetArrayType(),
                         "arguments");
  std::string xml = dir.Write("args.xml", xmlText);

  r = Call({"--json-arg", "arguments=" + json, url, "SimpleCommand:echo", "Execute"});
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_EQ(r.out, "\"a,b c\"\n");
  r = Call({"--xml-arg", "arguments=" + xml, url, "SimpleCommand:echo", "Execute"});
  EXPECT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_EQ(r.out, "\"x<y,z\"\n");

  struct Bad {
    std::vector<std::string> words;
    char const* mentions;
  };
  std::string broken = dir.Write("broken.json", "[\"a\",");
  for (Bad const& b :
       {Bad{{"--json-arg", "arguments=" + broken}, "arguments"}, Bad{{"--json-arg", "arguments=" + xml}, "JSON"},
        Bad{{"--xml-arg", "arguments=" + json}, "XML"},
        Bad{{"--json-arg", "arguments=" + (dir.path / "none.json").string()}, "cannot read"},
        Bad{{"--json-arg", "nosuch=" + json}, "no parameter"}, Bad{{"--json-arg", "arguments"}, "NAME=FILE"},
        Bad{{"--json-arg", "arguments=" + json, "--xml-arg", "arguments=" + xml}, "twice"}}) {
    SCOPED_TRACE(b.words[1]);
    std::vector<std::string> words = b.words;
    words.insert(words.end(), {url, "SimpleCommand:echo", "Execute"});
    r = Call(words);
    EXPECT_EQ(r.status, TarnCall::kUsage);
    EXPECT_NE(r.err.find(b.mentions), std::string::npos) << r.err;
  }
}

TEST(TarnCall, UnusableTlsSettingsAreUsageErrorsNotCrashes) {
  for (std::vector<std::string> words :
       {std::vector<std::string>{"--pin", "AB"}, std::vector<std::string>{"--pin", std::string(64, 'x')},
        std::vector<std::string>{"--ca-file", "/nonexistent/ca.pem"}}) {
    SCOPED_TRACE(words[1]);
    words.insert(words.end(), {"https://127.0.0.1:1/sdk", "SimpleCommand:echo", "Execute"});
    Outcome r = Call(words);
    EXPECT_EQ(r.status, TarnCall::kUsage);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  Outcome r = Call({"ftp://127.0.0.1/sdk", "SimpleCommand:echo", "Execute"});
  EXPECT_EQ(r.status, TarnCall::kUsage);
  EXPECT_NE(r.err.find("only http and https"), std::string::npos) << r.err;
}

}  // namespace
