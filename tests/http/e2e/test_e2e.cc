// Generated stubs calling through Quill::HttpAdapter to Quill::HttpServer on
// loopback: faults by class, sync and async; a task method followed through its
// task stub; the server stopped under 100 async calls; a request over the
// server's body limit. Sessions and TLS between the two are the adapter's tests
// (tests/http/client). Every wait is bounded.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "TestObjects.h"
#include "quill/http/HttpAdapter.h"
#include "tarn/FolderStub.h"
#include "tarn/SimpleCommandStub.h"
#include "tarn/TaskStub.h"
#include "tarn/vm/device/VirtualDeviceSpec.h"
#include "tarn/vm/device/VirtualDisk.h"

using namespace tarn_http_test;
using namespace std::chrono_literals;
using Basalt::Ref;

namespace {

Ref<Quill::HttpAdapter> Client(std::string const& url, std::chrono::milliseconds timeout = 20s) {
  Quill::HttpAdapter::Settings s;
  s.url = url;
  s.callTimeout = timeout;
  return new Quill::HttpAdapter(s);
}

template <class S>
Ref<S> Stub(char const* type, char const* id, Quill::StubAdapter* adapter) {
  Ref<Quill::MoRef> ref(new Quill::MoRef(type, id));
  return Quill::CreateStub<S>(ref.get(), adapter);
}

Ref<Quill::Array<std::string>> Words(std::initializer_list<std::string> w) { return new Quill::Array<std::string>(w); }

// What an async callback saw; the count says how often it was called.
struct Seen {
  std::atomic<int> calls{0};
  std::unique_ptr<Basalt::Exception> error;
  Ref<Quill::Any> result;
  Quill::InvokeCallback Callback() {
    return [this](Basalt::System::ScheduledItem*, Basalt::Exception* e, Quill::Any* r) {
      if (e) error.reset(e->Clone());
      result = r;
      ++calls;
    };
  }
};

Ref<Tarn::Vm::ConfigSpec> FilledSpec(std::string const& name) {
  Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->name = name;
  spec->numCPUs = 4;
  spec->memoryMB = 8192L;
  spec->guestId = std::string("otherLinux64Guest");
  spec->annotation = std::string("a <tagged> & \"quoted\" note");
  Ref<Tarn::Vm::Device::VirtualDisk> disk(new Tarn::Vm::Device::VirtualDisk());
  disk->key = -100;
  disk->capacityInKB = 16L * 1024 * 1024;
  Ref<Tarn::Vm::Device::VirtualDeviceSpec> change(new Tarn::Vm::Device::VirtualDeviceSpec());
  change->operation = Tarn::Vm::Device::VirtualDeviceSpec::Operation::add;
  change->device = disk;
  spec->GetDeviceChange()->Append(change.get());
  return spec;
}

// Polls the task until it leaves queued/running, for at most 10 s.
Ref<Tarn::TaskInfo> WaitForTask(Quill::StubAdapter* adapter, Quill::MoRef* task) {
  Ref<Tarn::TaskStub> stub = Quill::CreateStub<Tarn::TaskStub>(task, adapter);
  Ref<Tarn::TaskInfo> info;
  for (int i = 0; i < 2000; ++i) {
    stub->GetInfo(info);
    if (info->state == Tarn::TaskInfo::State::success || info->state == Tarn::TaskInfo::State::error) return info;
    std::this_thread::sleep_for(5ms);
  }
  ADD_FAILURE() << "task " << task->GetId() << " never finished";
  return info;
}

}  // namespace

TEST(HttpEndToEnd, FaultsByClassAndByBaseSyncAndAsync) {
  Objects objects(false);
  Quill::HttpServer server(objects.adapter.get(), Loopback());
  auto client = Client(server.GetUrl());
  auto root = Stub<Tarn::FolderStub>("tarn.Folder", "group-d1", client.get());
  auto echo = Stub<Tarn::SimpleCommandStub>("tarn.SimpleCommand", "echo", client.get());

  Ref<Quill::MoRef> first, again;
  root->CreateFolder("Production", first);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->GetTypeName(), "tarn.Folder");
  try {
    root->CreateFolder("Production", again);
    ADD_FAILURE() << "duplicate accepted";
  } catch (Tarn::Fault::DuplicateName::Exception& e) {
    auto* fault = static_cast<Tarn::Fault::DuplicateName*>(e.GetFault());
    EXPECT_EQ(fault->name, "Production");
    ASSERT_TRUE(fault->object);
    EXPECT_EQ(fault->object->GetId(), first->GetId());
  }
  EXPECT_THROW(echo->Execute(nullptr), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(echo->Execute(Words({"crash"}).get()), Quill::Fault::SystemError::Exception);
  auto nobody = Stub<Tarn::SimpleCommandStub>("tarn.SimpleCommand", "nobody", client.get());
  EXPECT_THROW(nobody->Execute(Words({"x"}).get()), Quill::Fault::ManagedObjectNotFound::Exception);
  EXPECT_EQ(echo->Execute(Words({"a", "b"}).get()), "a,b");
  EXPECT_EQ(echo->GetEncodingType(), Tarn::SimpleCommand::Encoding::CSV);

  // Async: the fault reaches the callback once, as a copy that rethrows as its class.
  Seen dup, ok;
  Ref<Basalt::System::ScheduledItem> h1, h2;
  root->CreateFolder("Production", dup.Callback(), h1);
  echo->Execute(Words({"x", "y"}).get(), ok.Callback(), h2);
  ASSERT_TRUE(h1->WaitFor(20s));
  ASSERT_TRUE(h2->WaitFor(20s));
  EXPECT_EQ(dup.calls, 1);
  ASSERT_TRUE(dup.error);
  EXPECT_THROW(dup.error->Throw(), Tarn::Fault::DuplicateName::Exception);
  EXPECT_EQ(ok.calls, 1);
  EXPECT_FALSE(ok.error);
  ASSERT_TRUE(ok.result);
  EXPECT_EQ(Quill::Unbox<std::string>(ok.result.get()), "x,y");
}

TEST(HttpEndToEnd, TaskMethodFollowedThroughItsTaskStub) {
  Objects objects(false);
  Quill::HttpServer server(objects.adapter.get(), Loopback());
  auto client = Client(server.GetUrl());
  auto root = Stub<Tarn::FolderStub>("tarn.Folder", "group-d1", client.get());

  auto spec = FilledSpec("web-01");
  Ref<Quill::MoRef> pool(new Quill::MoRef("tarn.ResourcePool", "resgroup-8"));
  Ref<Quill::MoRef> task;
  root->CreateVm(spec.get(), pool.get(), nullptr, task);
  ASSERT_TRUE(task);
  EXPECT_EQ(task->GetTypeName(), "tarn.Task");
  // The filled spec arrived whole.
  ASSERT_TRUE(objects.root->lastSpec);
  EXPECT_TRUE(objects.root->lastSpec->_IsEqual(spec.get(), false));

  auto info = WaitForTask(client.get(), task.get());
  ASSERT_EQ(info->state, Tarn::TaskInfo::State::success);
  auto* created = dynamic_cast<Quill::MoRef*>(info->result.get());
  ASSERT_NE(created, nullptr) << "the task's result is no reference";
  EXPECT_EQ(created->GetTypeName(), "tarn.Folder");
  ASSERT_TRUE(info->task);
  EXPECT_EQ(info->task->GetId(), task->GetId());

  // The same name again: the task ends in error, with the fault in its info.
  root->CreateVm(spec.get(), pool.get(), nullptr, task);
  info = WaitForTask(client.get(), task.get());
  EXPECT_EQ(info->state, Tarn::TaskInfo::State::error);
  auto* dup = dynamic_cast<Tarn::Fault::DuplicateName*>(info->error.get());
  ASSERT_NE(dup, nullptr);
  EXPECT_EQ(dup->name, "web-01");

  // A spec without a name is refused by the task method itself.
  Ref<Tarn::Vm::ConfigSpec> unnamed(new Tarn::Vm::ConfigSpec());
  EXPECT_THROW(root->CreateVm(unnamed.get(), pool.get(), nullptr, task), Quill::Fault::InvalidArgument::Exception);
}

TEST(HttpEndToEnd, StopWithHundredAsyncCallsInFlight) {
  Objects objects(false);
  auto options = Loopback();
  options.workers = 4;
  auto server = std::make_unique<Quill::HttpServer>(objects.adapter.get(), options);
  std::string url = server->GetUrl();
  Quill::HttpAdapter::Settings s;
  s.url = url;
  s.callTimeout = 30s;
  s.maxAsyncConnections = 100;
  Ref<Quill::HttpAdapter> client(new Quill::HttpAdapter(s));
  auto echo = Stub<Tarn::SimpleCommandStub>("tarn.SimpleCommand", "echo", client.get());

  constexpr int kCalls = 100;
  std::vector<std::unique_ptr<Seen>> seen;
  std::vector<Ref<Basalt::System::ScheduledItem>> handles(kCalls);
  for (int i = 0; i < kCalls; ++i) {
    seen.push_back(std::make_unique<Seen>());
    echo->Execute(Words({"block", std::to_string(i)}).get(), seen.back()->Callback(), handles[i]);
  }
  for (int i = 0; i < 1000 && server->GetStats().callsInFlight < kCalls; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server->GetStats().callsInFlight, static_cast<std::size_t>(kCalls));
  ASSERT_TRUE(objects.echo->gate.WaitForWaiters(4, 5s));

  std::thread stopper([&] { server->Stop(20s); });
  std::this_thread::sleep_for(100ms);  // the stop is under way, waiting for the calls
  objects.echo->gate.Open();
  stopper.join();
  int answered = 0;
  for (int i = 0; i < kCalls; ++i) {
    ASSERT_TRUE(handles[i]->WaitFor(20s)) << i;
    EXPECT_EQ(seen[i]->calls, 1) << i;
    if (!seen[i]->error && seen[i]->result &&
        Quill::Unbox<std::string>(seen[i]->result.get()) == "block," + std::to_string(i)) {
      ++answered;
    }
  }
  EXPECT_EQ(answered, kCalls) << "calls accepted before the stop are answered";
  EXPECT_EQ(objects.echo->executions, kCalls);

  // Nobody listens any more.
  EXPECT_THROW(echo->Execute(Words({"late"}).get()), Quill::Http::ConnectFailed);
  Seen late;
  Ref<Basalt::System::ScheduledItem> h;
  echo->Execute(Words({"late"}).get(), late.Callback(), h);
  ASSERT_TRUE(h->WaitFor(20s));
  EXPECT_EQ(late.calls, 1);
  ASSERT_TRUE(late.error);
  EXPECT_THROW(late.error->Throw(), Quill::Http::ConnectFailed);
}

TEST(HttpEndToEnd, RequestOverTheBodyLimit) {
  Objects objects(false);
  auto options = Loopback();
  options.maxBodyBytes = 2048;
  Quill::HttpServer server(objects.adapter.get(), options);
  auto client = Client(server.GetUrl());
  auto echo = Stub<Tarn::SimpleCommandStub>("tarn.SimpleCommand", "echo", client.get());
  try {
    echo->Execute(Words({std::string(4096, 'x')}).get());
    ADD_FAILURE() << "an oversized request went through";
  } catch (Quill::Http::HttpStatusError& e) {
    EXPECT_EQ(e.GetStatus(), 413);
    EXPECT_NE(std::string(e.what()).find(server.GetUrl()), std::string::npos) << e.what();
  }
  // The adapter goes on with calls that fit.
  EXPECT_EQ(echo->Execute(Words({"small"}).get()), "small");
  EXPECT_EQ(objects.echo->executions, 1);
}
