// The query service through the generated stubs, HttpAdapter and HttpServer over loopback:
// each client is a session of its own with its own collector behind the one root reference.
#include <gtest/gtest.h>

#include <thread>

#include "Inventory.h"
#include "quill/Faults.h"
#include "quill/Query.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"

using namespace tarn_query_test;
using namespace std::chrono_literals;

namespace {

Ref<Quill::HttpAdapter> Client(std::string const& url) {
  Quill::HttpAdapter::Settings s;
  s.url = url;
  s.callTimeout = 20s;
  return new Quill::HttpAdapter(s);
}

}  // namespace

TEST(QueryOverHttp, RetrieveAndWatchThroughTheRootCollector) {
  Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  Quill::Query::QueryService service(adapter.get());
  Inventory inventory(adapter.get());
  inventory.Build(2, 2, 50, 2);
  Quill::HttpServer::Options options;
  options.address = "127.0.0.1";
  Quill::HttpServer server(adapter.get(), options);

  auto client = Client(server.GetUrl());
  auto pc = Quill::CreateStub<Quill::Query::PropertyCollectorStub>(service.GetRootRef(), client.get());
  auto spec =
      TreeSpec(inventory.root->_GetRef(), {Select("tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"})}, true);
  Ref<Quill::Query::RetrieveOptions> ro(new Quill::Query::RetrieveOptions());
  ro->maxObjects = 150;
  Ref<Quill::Query::ResultPage> page;
  pc->Retrieve(Specs(spec.get()).get(), ro.get(), page);
  std::map<std::string, std::map<std::string, std::string>> got;
  for (int guard = 0; guard < 10; ++guard) {
    for (std::size_t i = 0; page->objects && i < page->objects->size(); ++i) {
      auto* r = (*page->objects)[i];
      got[Key(r->obj.get())] = Values(r);
    }
    if (!page->token.IsSet()) break;
    std::string token = *page->token;
    pc->ContinueRetrieve(token, page);
  }
  std::map<std::string, std::map<std::string, std::string>> want;
  for (auto const& vm : inventory.vms) {
    want[Key(vm->_GetRef())] = {
        {"name", Ref<Quill::Any>(new Quill::Primitive<std::string>(vm->GetName()))->ToString()},
        {"runtime.maxMemoryUsage", Ref<Quill::Any>(new Quill::Primitive<int>(vm->Memory()))->ToString()}};
  }
  EXPECT_EQ(got, want);

  // a watch of this client's session; another client's session has none
  Ref<Quill::MoRef> watch;
  pc->CreateWatch(spec.get(), true, watch);
  Ref<Quill::Query::UpdateBatch> batch;
  Ref<Quill::Query::WaitOptions> wo(new Quill::Query::WaitOptions());
  wo->maxWaitSeconds = 10;
  pc->WaitForUpdates(Basalt::Optional<std::string>(), wo.get(), batch);
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->watches->size(), 1u);
  EXPECT_EQ((*batch->watches)[0]->objects->size(), inventory.vms.size());

  auto other =
      Quill::CreateStub<Quill::Query::PropertyCollectorStub>(service.GetRootRef(), Client(server.GetUrl()).get());
  Ref<Quill::DataArray<MoRef>> watches;
  other->GetWatches(watches);
  EXPECT_TRUE(!watches || watches->size() == 0u);

  std::thread writer([&] {
    std::this_thread::sleep_for(50ms);
    inventory.vms[7]->SetMemory(99999);
    adapter->NotifyChanged(inventory.vms[7]->_GetRef(), {"runtime"});
  });
  std::string version = batch->version;
  pc->WaitForUpdates(version, wo.get(), batch);
  writer.join();
  ASSERT_TRUE(batch);
  auto* ch = (*(*batch->watches)[0]->objects)[0];
  EXPECT_EQ(ch->kind, Quill::Query::ChangeKind::modify);
  EXPECT_EQ(ch->obj->GetId(), inventory.vms[7]->_GetRef()->GetId());
  ASSERT_EQ(ch->changes->size(), 1u);
  auto* value = dynamic_cast<Quill::Primitive<int>*>((*ch->changes)[0]->value.get());
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->GetValue(), 99999);

  // a fault of the service reaches the client as its own class
  EXPECT_THROW(pc->ContinueRetrieve("nothing", page), Quill::Query::InvalidToken::Exception);
}
