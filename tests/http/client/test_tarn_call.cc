// tarn-call: its command line, its arguments read as the parameters' types,
// and whole runs against an HttpServer on a loopback port.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "call/Call.h"
#include "quill/Quill.h"
#include "quill/http/HttpServer.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/SimpleCommandSkeleton.h"
#include "tarn/fault/DuplicateName.h"

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

struct Server {
  Server() {
    local = new Quill::LocalAdapter();
    local->Register(nullptr, new Echo(new Quill::MoRef("tarn.SimpleCommand", "echo")));
    local->Register(nullptr, new Folder(new Quill::MoRef("tarn.Folder", "group-d1")));
    server = std::make_unique<Quill::HttpServer>(local.get(), Quill::HttpServer::Options{});
  }
  ~Server() {
    server->Stop(std::chrono::seconds(2));
    local->Shutdown();
  }
  Basalt::Ref<Quill::LocalAdapter> local;
  std::unique_ptr<Quill::HttpServer> server;
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
