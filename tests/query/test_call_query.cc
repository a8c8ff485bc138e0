// tarn-call retrieve and watch against the query service of an HttpServer on loopback.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>

#include "OverHttp.h"
#include "call/Call.h"

using namespace tarn_query_test;
using namespace std::chrono_literals;

namespace {

// Six VMs; the root as tarn-call names it.
struct SixVms : ServedOverHttp {
  SixVms() { inventory->Build(1, 2, 3, 1); }
  std::string Root() const { return "Folder:" + inventory->root->_GetRef()->GetId(); }
};

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Call(std::vector<std::string> words) {
  words.insert(words.begin(), "tarn-call");
  std::vector<char const*> argv;
  for (auto const& w : words) argv.push_back(w.c_str());
  std::ostringstream out, err;
  int status = TarnCall::Run(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

std::vector<std::string> Lines(std::string const& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::size_t Count(std::string const& text, std::string const& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(QueryCall, RetrievePrintsEveryObjectWithItsValues) {
  SixVms s;
  auto r = Call({s.Url(), "retrieve", "VirtualMachine", s.Root(), "name", "runtime.maxMemoryUsage"});
  ASSERT_EQ(r.status, TarnCall::kOk) << r.err;
  EXPECT_EQ(Count(r.out, "\"obj\": \"tarn.VirtualMachine:"), s.inventory->vms.size());
  for (auto const& vm : s.inventory->vms) {
    std::string obj = "\"obj\": \"tarn.VirtualMachine:" + vm->_GetRef()->GetId() + "\"";
    auto at = r.out.find(obj);
    ASSERT_NE(at, std::string::npos) << obj;
    std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_NE(line.find("\"" + vm->GetName() + "\""), std::string::npos) << line;
    EXPECT_NE(line.find(std::to_string(vm->Memory())), std::string::npos) << line;
  }
}

TEST(QueryCall, BadQueriesAreUsageErrorsOrFaults) {
  SixVms s;
  std::string url = s.Url();
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string message;
  } cases[] = {
      {{url, "retrieve", "VirtualMachine"}, TarnCall::kUsage, "needs TYPE and ROOT"},
      {{url, "retrieve", "VirtualMachine", "group-1"}, TarnCall::kUsage, "is not TYPE:ID"},
      {{url, "watch", "NoSuchType", s.Root()}, TarnCall::kUsage, "is not a managed type"},
      {{url, "retrieve", "VirtualMachine", s.Root(), "no.such.path"}, TarnCall::kFault, "InvalidArgument"},
  };
  for (auto const& c : cases) {
    auto r = Call(c.words);
    EXPECT_EQ(r.status, c.status) << c.words[1] << " " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

TEST(QueryCall, WatchPrintsTheContentThenEachChange) {
  SixVms s;
  Outcome r;
  std::thread call([&] {
    r = Call({s.Url(), "--count", "7", "watch", "VirtualMachine", s.Root(), "runtime.maxMemoryUsage"});
  });
  // Change one VM until the seventh line has come (the six VMs entering come first).
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i <= 500 && !done.load(); ++i) {
      s.inventory->vms[4]->SetMemory(50000 + i);
      s.adapter->NotifyChanged(s.inventory->vms[4]->_GetRef(), {"runtime"});
      std::this_thread::sleep_for(20ms);
    }
  });
  call.join();
  done = true;
  writer.join();
  ASSERT_EQ(r.status, TarnCall::kOk) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 7u) << r.out;
  std::set<std::string> entered;
  for (int i = 0; i < 6; ++i) {
    EXPECT_NE(lines[i].find("\"kind\": \"enter\""), std::string::npos) << lines[i];
    entered.insert(lines[i].substr(lines[i].find("\"obj\"")));
  }
  EXPECT_EQ(entered.size(), 6u);
  EXPECT_NE(lines[6].find("\"kind\": \"modify\""), std::string::npos) << lines[6];
  EXPECT_NE(lines[6].find(s.inventory->vms[4]->_GetRef()->GetId() + "\""), std::string::npos) << lines[6];
  EXPECT_NE(lines[6].find("\"path\": \"runtime.maxMemoryUsage\", \"op\": \"assign\", \"value\": 5"), std::string::npos)
      << lines[6];
  // the watch went with the run
  EXPECT_EQ(s.service->GetStats().watches, 0u);

  auto quiet = Call({s.Url(), "--seconds", "0.3", "watch", "VirtualMachine", s.Root(), "name"});
  EXPECT_EQ(quiet.status, TarnCall::kOk) << quiet.err;
  EXPECT_EQ(Lines(quiet.out).size(), 6u) << quiet.out;
}
