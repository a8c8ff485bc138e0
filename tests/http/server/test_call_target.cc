// The server in front of a call target that is no LocalAdapter: generated
// stubs over Quill::HttpAdapter are answered by the test's own target.
#include <gtest/gtest.h>

#include "PartsDoubles.h"
#include "RawHttp.h"
#include "TestObjects.h"
#include "quill/http/HttpAdapter.h"
#include "tarn/SimpleCommandStub.h"
#include "tarn/TaskStub.h"

using namespace tarn_http_test;

namespace {

TEST(HttpServerCallTarget, ServesAnyTargetThroughGeneratedStubs) {
  TableTarget target;
  Basalt::Ref<Tarn::TaskInfo> info(new Tarn::TaskInfo());
  info->key = "task-9";
  info->progress = 70;
  target.info = info;
  target.blocking = {"Execute"};
  auto options = Loopback();
  options.workers = 1;
  Quill::HttpServer server(target, options);

  Quill::HttpAdapter::Settings settings;
  settings.url = server.GetUrl();
  settings.callTimeout = std::chrono::seconds(10);
  Basalt::Ref<Quill::HttpAdapter> client(new Quill::HttpAdapter(settings));
  Basalt::Ref<Quill::MoRef> taskRef(new Quill::MoRef("tarn.Task", "task-9"));
  Basalt::Ref<Quill::MoRef> commandRef(new Quill::MoRef("tarn.SimpleCommand", "cmd"));
  auto task = Quill::CreateStub<Tarn::TaskStub>(taskRef.get(), client.get());
  auto command = Quill::CreateStub<Tarn::SimpleCommandStub>(commandRef.get(), client.get());

  Basalt::Ref<Tarn::TaskInfo> got;
  task->GetInfo(got);
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->_IsEqual(info.get(), false));
  EXPECT_EQ(command->Execute(Words({"a", "b", "c"}).get()), "a,b,c");
  // The target's own fault reaches the caller as its class.
  EXPECT_THROW(command->Execute(Words({}).get()), Quill::Fault::InvalidArgument::Exception);
  // Refused before it started: still a fault of its class, and the server goes on.
  EXPECT_THROW(command->GetEncodingType(), Quill::Fault::NotSupported::Exception);
  EXPECT_EQ(command->Execute(Words({"d"}).get()), "d");

  // The getter was made on the thread that read it, the method that may block on a worker.
  EXPECT_NE(target.threads["info"], target.threads["Execute"]);
  // The session the first Execute left (its context holds a user) is the later calls' one.
  ASSERT_GE(target.contexts.size(), 4u);
  EXPECT_EQ(target.contexts[1], target.contexts.back());
  Quill::HttpServer::Stats stats = server.GetStats();
  EXPECT_EQ(stats.callsAnswered, 5u);
  EXPECT_EQ(stats.faults, 2u);
  EXPECT_EQ(stats.sessions, 1u);
}

}  // namespace
