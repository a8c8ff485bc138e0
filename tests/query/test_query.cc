// The query service in process: stubs of the root collector on the LocalAdapter that holds
// the inventory, each call through the adapter as a client's would be.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <optional>
#include <set>
#include <thread>

#include "Inventory.h"

using namespace tarn_query_test;
using namespace std::chrono_literals;
using Quill::Query::ChangeKind;
using Quill::Query::PropertyCollectorStub;

TEST(QueryRetrieve, ThousandsOfObjectsMatchADirectWalkOfTheTree) {
  Served f;
  f.inventory->Build(4, 3, 250, 5);  // 3,000 VMs, some reached twice (through hosts)
  auto spec = TreeSpec(f.inventory->root->_GetRef(), {Select("tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"}),
                                                      Select("tarn.ManagedEntity", {"name"})});
  int pages = 0;
  auto got = RetrieveAll(f.Collector().get(), spec.get(), 700, &pages);

  auto want = VmValues(*f.inventory);
  auto name = [](auto const& x) {
    return std::map<std::string, std::string>{{"name", Text(new Quill::Primitive<std::string>(x->GetName()))}};
  };
  for (auto const& x : f.inventory->folders) want[Key(x->_GetRef())] = name(x);
  for (auto const& x : f.inventory->datacenters) want[Key(x->_GetRef())] = name(x);
  for (auto const& x : f.inventory->hostsList) want[Key(x->_GetRef())] = name(x);
  EXPECT_EQ(got, want);
  EXPECT_EQ(pages, static_cast<int>((want.size() + 699) / 700));
}

TEST(QueryRetrieve, SkippedStartsAndHopsAreFollowedButNotReported) {
  Served f;
  f.inventory->Build(1, 2, 3, 1);
  auto spec =
      TreeSpec(f.inventory->root->_GetRef(), {Select("tarn.VirtualMachine", {"name"}), Select("tarn.Folder", {})},
               /*skipRoot=*/true);
  (*spec->hops)[0]->skip = true;  // folders' children are followed, folders themselves not reported
  auto got = RetrieveAll(f.Collector().get(), spec.get(), 100);
  std::map<std::string, int> types;
  for (auto const& [key, values] : got) ++types[key.substr(0, key.find(':'))];
  // what only the skipped hop reaches (sub-folders, VMs in them) is not reported, nor the types
  // no selection names (datacenters, hosts); the VM and host folders come through the
  // datacenters' hops, one VM through its host's
  EXPECT_EQ(types, (std::map<std::string, int>{{"tarn.Folder", 2}, {"tarn.VirtualMachine", 1}}));
  EXPECT_FALSE(got.count(Key(f.inventory->root->_GetRef())));
}

TEST(QueryRetrieve, RecursionThroughACycleOfFoldersEnds) {
  Served f;
  auto& inv = *f.inventory;
  auto a = inv.Folder("a", nullptr);
  auto b = inv.Folder("b", a.get());
  auto c = inv.Folder("c", b.get());
  c->Add(a->_GetRef());  // a -> b -> c -> a
  c->Add(c->_GetRef());  // and c -> c
  auto vm = inv.Vm(b.get(), 1);
  auto spec = TreeSpec(a->_GetRef(), {Select("tarn.ManagedEntity", {"name"})});
  // One page, and pages that leave exactly one object for the last one.
  for (int page : {10, 3, 1}) {
    SCOPED_TRACE(page);
    auto got = RetrieveAll(f.Collector().get(), spec.get(), page);
    EXPECT_EQ(got.size(), 4u);
    for (auto const* r : {a->_GetRef(), b->_GetRef(), c->_GetRef(), vm->_GetRef()}) EXPECT_TRUE(got.count(Key(r)));
  }
}

TEST(QueryRetrieve, RefusedPropertiesArePathFaultsOfTheirObjectsOnly) {
  // The restricted session may not read "runtime" of every third VM; the rest of the query
  // goes on.
  std::set<std::string> hidden;  // every third VM's runtime, for the restricted session
  Served f(RefuseRuntime([&](MoRef const* vm) { return hidden.count(vm->GetId()) > 0; }));
  auto folder = f.inventory->Folder("f", nullptr);
  for (int i = 0; i < 30; ++i) {
    auto vm = f.inventory->Vm(folder.get(), 100 + i);
    if (i % 3 == 0) hidden.insert(vm->_GetRef()->GetId());
  }
  auto restricted = Restricted();
  auto spec = TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"})}, true);

  for (bool limited : {false, true}) {
    Ref<Quill::Query::ResultPage> page;
    f.Collector(limited ? restricted.get() : nullptr)->Retrieve(Specs(spec.get()).get(), nullptr, page);
    ASSERT_TRUE(page->objects);
    ASSERT_EQ(page->objects->size(), 30u);
    int faults = 0;
    for (std::size_t i = 0; i < page->objects->size(); ++i) {
      auto* r = (*page->objects)[i];
      bool refused = limited && hidden.count(r->obj->GetId());
      auto values = Values(r);
      EXPECT_TRUE(values.count("name"));
      EXPECT_EQ(values.count("runtime.maxMemoryUsage"), refused ? 0u : 1u) << r->obj->GetId();
      if (r->faults && r->faults->size()) {
        ++faults;
        ASSERT_EQ(r->faults->size(), 1u);
        EXPECT_EQ((*r->faults)[0]->path.GetString(), "runtime.maxMemoryUsage");
        EXPECT_NE(dynamic_cast<Quill::Fault::SecurityError*>((*r->faults)[0]->fault.get()), nullptr);
      }
    }
    EXPECT_EQ(faults, limited ? 10 : 0);
  }
}

TEST(QueryRetrieve, PagesSeeObjectsThatGoButNotThoseAddedAfterTheQuery) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  for (int i = 0; i < 1000; ++i) f.inventory->Vm(folder.get(), i);
  auto spec = TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}, true);
  auto pc = f.Collector();
  Ref<Quill::Query::RetrieveOptions> options(new Quill::Query::RetrieveOptions());
  options->maxObjects = 100;
  Ref<Quill::Query::ResultPage> page;
  pc->Retrieve(Specs(spec.get()).get(), options.get(), page);
  ASSERT_EQ(page->objects->size(), 100u);
  std::set<std::string> seen;
  for (std::size_t i = 0; i < 100; ++i) seen.insert(Key((*page->objects)[i]->obj.get()));

  // between pages: 50 seen and 50 unseen objects go, 50 new ones come
  std::set<std::string> gone;
  int goneSeen = 0, goneUnseen = 0;
  for (auto const& vm : f.inventory->vms) {
    bool wasSeen = seen.count(Key(vm->_GetRef()));
    if ((wasSeen ? goneSeen : goneUnseen) >= 50) continue;
    ++(wasSeen ? goneSeen : goneUnseen);
    gone.insert(Key(vm->_GetRef()));
    folder->Remove(vm->_GetRef());
    f.adapter->Unregister(vm->_GetRef());
  }
  std::set<std::string> added;
  for (int i = 0; i < 50; ++i) added.insert(Key(f.inventory->Vm(folder.get(), i)->_GetRef()));

  std::set<std::string> later;
  for (int guard = 0; page->token.IsSet() && guard < 100; ++guard) {
    std::string token = *page->token;
    pc->ContinueRetrieve(token, page);
    for (std::size_t i = 0; page->objects && i < page->objects->size(); ++i) {
      EXPECT_TRUE(later.insert(Key((*page->objects)[i]->obj.get())).second);
    }
  }
  EXPECT_FALSE(page->token.IsSet());
  EXPECT_EQ(later.size(), 900u - 50u);
  for (auto const& k : later) {
    EXPECT_FALSE(seen.count(k));
    EXPECT_FALSE(gone.count(k));
    EXPECT_FALSE(added.count(k));
  }
}

TEST(QueryRetrieve, ContinuationTokensEndAndCanBeCancelled) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  for (int i = 0; i < 30; ++i) f.inventory->Vm(folder.get(), i);
  auto spec = TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}, true);
  auto pc = f.Collector();
  Ref<Quill::Query::RetrieveOptions> options(new Quill::Query::RetrieveOptions());
  options->maxObjects = 10;
  Ref<Quill::Query::ResultPage> page;
  pc->Retrieve(Specs(spec.get()).get(), options.get(), page);
  ASSERT_TRUE(page->token.IsSet());
  std::string token = *page->token;
  pc->CancelRetrieve(token);
  EXPECT_THROW(pc->ContinueRetrieve(token, page), Quill::Query::InvalidToken::Exception);
  EXPECT_THROW(pc->CancelRetrieve(token), Quill::Query::InvalidToken::Exception);
  EXPECT_THROW(pc->ContinueRetrieve("no-such-token", page), Quill::Fault::InvalidArgument::Exception);
  // another session cannot continue this session's result
  pc->Retrieve(Specs(spec.get()).get(), options.get(), page);
  Ref<Quill::RequestContext> other(new Quill::RequestContext());
  EXPECT_THROW(f.Collector(other.get())->ContinueRetrieve(*page->token, page), Quill::Query::InvalidToken::Exception);
}

TEST(QueryRetrieve, HostileSpecsAreRefusedNamingTheElement) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  MoRef* root = folder->_GetRef();
  auto deep = [] {
    std::string p = "runtime";
    for (int i = 0; i < 20; ++i) p += ".maxMemoryUsage";
    return p;
  };
  struct Case {
    char const* what;
    std::function<void(Quill::Query::QuerySpec*)> edit;
    char const* element;
  };
  std::vector<Case> cases = {
      {"unknown hop type", [](auto* s) { (*s->hops)[0]->type = Quill::TypeName("tarn.NoSuchType"); },
       "specs[0].hops[0].type"},
      {"unknown hop property", [](auto* s) { (*s->hops)[1]->path = Quill::PropertyPath("vmFolders"); },
       "specs[0].hops[1].path"},
      {"hop onto a value", [](auto* s) { (*s->hops)[1]->path = Quill::PropertyPath("name"); }, "specs[0].hops[1].path"},
      {"unknown hop name",
       [](auto* s) {
         (*s->hops)[2]->follow = Names({"children", "nowhere"});
       },
       "specs[0].hops[2].follow[1]"},
      {"unknown start hop", [](auto* s) { (*s->objects)[0]->follow = Names({"nowhere"}); },
       "specs[0].objects[0].follow[0]"},
      {"hop named twice", [](auto* s) { (*s->hops)[3]->name = "dcVm"; }, "specs[0].hops[3].name"},
      {"unknown selection type", [](auto* s) { s->GetProperties()->Append(Select("tarn.Nothing", {"name"}).get()); },
       "specs[0].properties[1].type"},
      {"unknown property", [](auto* s) { s->GetProperties()->Append(Select("tarn.VirtualMachine", {"nmae"}).get()); },
       "specs[0].properties[1].paths[0]"},
      {"unknown nested property",
       [](auto* s) { s->GetProperties()->Append(Select("tarn.VirtualMachine", {"runtime.noSuch"}).get()); },
       "specs[0].properties[1].paths[0]"},
      {"path through an array",
       [](auto* s) { s->GetProperties()->Append(Select("tarn.VirtualMachine", {"config.datastoreUrl.key"}).get()); },
       "specs[0].properties[1].paths[0]"},
      {"deep path", [&](auto* s) { s->GetProperties()->Append(Select("tarn.VirtualMachine", {deep()}).get()); },
       "specs[0].properties[1].paths[0]"},
      {"huge hop set",
       [](auto* s) {
         for (int i = 0; i < 300; ++i)
           s->GetHops()->Append(MakeHop("h" + std::to_string(i), "tarn.Folder", "childEntity", {}).get());
       },
       "specs[0].hops"},
      {"no start", [](auto* s) { s->objects = new Quill::DataArray<Quill::Query::ObjectSelection>(); },
       "specs[0].objects"},
  };
  auto pc = f.Collector();
  for (auto const& c : cases) {
    auto spec = TreeSpec(root, {Select("tarn.VirtualMachine", {"name"})});
    c.edit(spec.get());
    Ref<Quill::Query::ResultPage> page;
    try {
      pc->Retrieve(Specs(spec.get()).get(), nullptr, page);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (Quill::Fault::InvalidArgument::Exception const& e) {
      auto* fault = static_cast<Quill::Fault::InvalidArgument*>(e.GetFault());
      ASSERT_TRUE(fault->invalidProperty.IsSet()) << c.what;
      EXPECT_EQ(fault->invalidProperty->GetString(), c.element) << c.what;
    }
    Ref<Quill::MoRef> watch;
    EXPECT_THROW(pc->CreateWatch(spec.get(), true, watch), Quill::Fault::InvalidArgument::Exception) << c.what;
  }
}

namespace {
// A managed type of another namespace that shares its wire name with the catalogue's
// datacenter, as types of two wire namespaces may.
Quill::TypeInfo const gTwinDatacenterTypeInfo = {Quill::KIND_MANAGED, "twin.Datacenter", "Datacenter",
                                                 "sedge.query.version.version1"};
Quill::ManagedTypeInfo const kTwinDatacenter = {&gTwinDatacenterTypeInfo,
                                                &Quill::gSedgeManagedObjectTypeInfo,
                                                nullptr,
                                                nullptr,
                                                nullptr,
                                                nullptr,
                                                nullptr,
                                                nullptr};

// The same query with every hop and selection type named by its wire name instead.
void WireNames(Quill::Query::QuerySpec* spec) {
  auto wire = [](Quill::TypeName& t) {
    Quill::Type* type = Quill::FindType(t.GetString());
    ASSERT_NE(type, nullptr) << t.GetString();
    ASSERT_NE(std::string(type->GetWsdlName()), t.GetString());
    t = Quill::TypeName(type->GetWsdlName());
  };
  for (std::size_t i = 0; i < spec->hops->size(); ++i) wire((*spec->hops)[i]->type);
  for (std::size_t i = 0; i < spec->properties->size(); ++i) wire((*spec->properties)[i]->type);
}
}  // namespace

TEST(QueryRetrieve, TypesNamedByTheirWireNamesSelectWhatTheirCatalogueNamesDo) {
  Served f;
  f.inventory->Build(2, 2, 5, 2);
  MoRef* root = f.inventory->root->_GetRef();
  auto selections = [] {
    return std::vector<Ref<Quill::Query::PropertySelection>>{Select("tarn.VirtualMachine", {"runtime.maxMemoryUsage"}),
                                                             Select("tarn.ManagedEntity", {"name"})};
  };
  auto byName = TreeSpec(root, selections());
  auto byWire = TreeSpec(root, selections());
  WireNames(byWire.get());
  auto pc = f.Collector();
  auto want = RetrieveAll(pc.get(), byName.get(), 1000);
  ASSERT_EQ(want.size(), f.inventory->vms.size() + f.inventory->folders.size() + f.inventory->datacenters.size() +
                             f.inventory->hostsList.size());
  EXPECT_EQ(RetrieveAll(pc.get(), byWire.get(), 1000), want);

  // A watch says the same in its first answer.
  Ref<MoRef> watch;
  pc->CreateWatch(byWire.get(), true, watch);
  Ref<Quill::Query::WaitOptions> o(new Quill::Query::WaitOptions());
  o->maxWaitSeconds = 0;
  Ref<Quill::Query::UpdateBatch> batch;
  pc->WaitForUpdates({}, o.get(), batch);
  ASSERT_TRUE(batch && batch->watches && batch->watches->size() == 1);
  EXPECT_EQ((*batch->watches)[0]->objects->size(), want.size());

  // Once a second type answers to a wire name, that name no longer says which is meant.
  ASSERT_NE(Quill::CreateManagedObjectType(&kTwinDatacenter), nullptr);
  EXPECT_EQ(RetrieveAll(pc.get(), byName.get(), 1000), want);  // the catalogue's names still do
  try {
    Ref<Quill::Query::ResultPage> page;
    pc->Retrieve(Specs(byWire.get()).get(), nullptr, page);
    ADD_FAILURE() << "an ambiguous wire name was accepted";
  } catch (Quill::Fault::InvalidArgument::Exception const& e) {
    auto* fault = static_cast<Quill::Fault::InvalidArgument*>(e.GetFault());
    ASSERT_TRUE(fault->invalidProperty.IsSet());
    EXPECT_EQ(fault->invalidProperty->GetString(), "specs[0].hops[1].type");  // the datacenter's hop
  }
}

// --- watches ---------------------------------------------------------------------------------

TEST(QueryWatch, ConcurrentChangesArriveInOrderOnceAndNoneIsLostWhenTruncated) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  constexpr int kVms = 40, kWriters = 4, kSteps = 150;
  for (int i = 0; i < kVms; ++i) f.inventory->Vm(folder.get(), 0);
  auto pc = f.Collector();
  Ref<Quill::MoRef> watch;
  pc->CreateWatch(TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"runtime.maxMemoryUsage"})}, true).get(),
                  true, watch);

  // the first answer: every VM enters, seven at a time
  Seen seen;
  std::string version;
  for (int guard = 0; guard < 100; ++guard) {
    auto batch = Wait(pc.get(), version, 7);
    ASSERT_TRUE(batch);
    version = batch->version;
    seen.Take(batch.get());
    if (!batch->truncated.IsSet() || !*batch->truncated) break;
  }
  EXPECT_EQ(seen.truncated, (kVms + 6) / 7 - 1);
  ASSERT_EQ(seen.entered.size(), static_cast<std::size_t>(kVms));

  std::thread writers([&] { Modify(*f.inventory, kWriters, kSteps); });
  auto until = std::chrono::steady_clock::now() + 60s;
  while (!seen.WaitForLast(f.inventory->vms, kSteps, 0) && std::chrono::steady_clock::now() < until) {
    auto batch = Wait(pc.get(), version, 5, 5);
    if (!batch) continue;
    version = batch->version;
    seen.Take(batch.get());
  }
  writers.join();
  ExpectComplete(seen, *f.inventory, kSteps);
  EXPECT_EQ(seen.watches, std::set<std::string>{Key(watch.get())});
  EXPECT_EQ(seen.paths, std::set<std::string>{"runtime.maxMemoryUsage"});
  for (auto const& [id, values] : seen.values) {
    ASSERT_GE(values.size(), 2u) << id;
    EXPECT_EQ(values.front(), 0) << id;  // what it entered with
  }
  // nothing is left over
  EXPECT_FALSE(Wait(pc.get(), version, 0, 0));
}

TEST(QueryWatch, ObjectsEnterAndLeaveAndWholeObjectsAreSentWhenAsked) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  auto a = f.inventory->Vm(folder.get(), 1);
  auto b = f.inventory->Vm(folder.get(), 2);
  auto pc = f.Collector();
  Ref<Quill::MoRef> watch;
  pc->CreateWatch(
      TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"})}, true).get(),
      /*partialUpdates=*/false, watch);
  auto first = Wait(pc.get(), "");
  ASSERT_TRUE(first);
  ASSERT_EQ(first->watches->size(), 1u);
  EXPECT_EQ((*first->watches)[0]->objects->size(), 2u);

  auto changes = [](Quill::Query::UpdateBatch* batch) {
    std::vector<std::tuple<ChangeKind, std::string, std::size_t>> out;
    for (std::size_t i = 0; i < (*batch->watches)[0]->objects->size(); ++i) {
      auto* ch = (*(*batch->watches)[0]->objects)[i];
      out.emplace_back(ch->kind, ch->obj->GetId(), ch->changes ? ch->changes->size() : 0);
    }
    return out;
  };
  a->SetMemory(5);  // one of two paths changed: the whole object (two values) comes
  f.adapter->NotifyChanged(a->_GetRef(), {"runtime.maxMemoryUsage"});
  auto second = Wait(pc.get(), first->version);
  ASSERT_TRUE(second);
  EXPECT_EQ(
      changes(second.get()),
      (std::vector<std::tuple<ChangeKind, std::string, std::size_t>>{{ChangeKind::modify, a->_GetRef()->GetId(), 2}}));

  folder->Remove(b->_GetRef());
  f.adapter->NotifyChanged(folder->_GetRef(), {"childEntity"});
  auto c = f.inventory->Vm(folder.get(), 3);
  f.adapter->NotifyChanged(folder->_GetRef(), {"childEntity"});
  auto third = Wait(pc.get(), second->version);
  ASSERT_TRUE(third);
  EXPECT_EQ(changes(third.get()),
            (std::vector<std::tuple<ChangeKind, std::string, std::size_t>>{
                {ChangeKind::leave, b->_GetRef()->GetId(), 0}, {ChangeKind::enter, c->_GetRef()->GetId(), 2}}));

  // a change of a path nobody watches wakes nobody
  f.adapter->NotifyChanged(a->_GetRef(), {"config"});
  EXPECT_FALSE(Wait(pc.get(), third->version, 0, 0));
  // the version before the last answer gets the last answer again; older ones are refused
  EXPECT_EQ(Wait(pc.get(), second->version)->version, third->version);
  EXPECT_THROW(Wait(pc.get(), first->version), Quill::Query::InvalidToken::Exception);
  // the watch is a managed object of its own
  Ref<Quill::Query::WatchStub> w(new Quill::Query::WatchStub(watch.get(), f.adapter.get(), nullptr));
  EXPECT_FALSE(w->IsPartialUpdates());
  w->Remove();
  Ref<Quill::DataArray<MoRef>> watches;
  pc->GetWatches(watches);
  EXPECT_EQ(watches->size(), 0u);
}

TEST(QueryWatch, CancelStopAndSessionEndEndWaits) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  f.inventory->Vm(folder.get(), 1);
  Ref<Quill::RequestContext> session(new Quill::RequestContext());
  auto pc = f.Collector(session.get());
  Ref<Quill::MoRef> watch;
  pc->CreateWatch(TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}, true).get(), true, watch);
  std::string version = Wait(pc.get(), "")->version;

  std::string canceled, replaced, stopped;
  std::thread t1([&] { canceled = WaitEnd(pc.get(), version); });
  EXPECT_TRUE(AwaitWaiting(*f.service, 1));
  pc->CancelWait();
  t1.join();
  EXPECT_EQ(canceled, "canceled");

  // a second wait on the same collector replaces the first
  std::thread t2([&] { replaced = WaitEnd(pc.get(), version); });
  EXPECT_TRUE(AwaitWaiting(*f.service, 1));
  std::thread t3([&] { stopped = WaitEnd(pc.get(), version); });
  t2.join();
  EXPECT_EQ(replaced, "canceled");
  EXPECT_TRUE(AwaitWaiting(*f.service, 1));
  f.service->Stop();
  t3.join();
  EXPECT_EQ(stopped, "canceled");
  EXPECT_THROW(pc->CancelWait(), Quill::Fault::RequestCanceled::Exception);
  EXPECT_FALSE(f.adapter->Find(watch.get()));
}

TEST(QueryWatch, ASessionsCollectorsAndWatchesGoWithItsContext) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  Ref<Quill::MoRef> watch, extra;
  {
    Ref<Quill::RequestContext> session(new Quill::RequestContext());
    auto pc = f.Collector(session.get());
    pc->CreateWatch(TreeSpec(folder->_GetRef(), {Select("tarn.Folder", {"name"})}).get(), true, watch);
    pc->CreateCollector(extra);
    EXPECT_TRUE(f.adapter->Find(watch.get()));
    EXPECT_TRUE(f.adapter->Find(extra.get()));
    EXPECT_EQ(f.service->GetStats().collectors, 2u);
    // another session sees neither
    Ref<Quill::RequestContext> other(new Quill::RequestContext());
    Ref<Quill::DataArray<MoRef>> watches;
    f.Collector(other.get())->GetWatches(watches);
    EXPECT_EQ(watches->size(), 0u);
    Ref<PropertyCollectorStub> foreign(new PropertyCollectorStub(extra.get(), f.adapter.get(), other.get()));
    EXPECT_THROW(foreign->CancelWait(), Quill::Fault::SecurityError::Exception);
  }
  EXPECT_FALSE(f.adapter->Find(watch.get()));
  EXPECT_FALSE(f.adapter->Find(extra.get()));
  EXPECT_EQ(f.service->GetStats().collectors, 0u);
}

TEST(QueryWatch, ArraysOfReferencesChangeByTheElementsAddedAndRemoved) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  auto keep = f.inventory->Vm(folder.get(), 1);
  auto drop = f.inventory->Vm(folder.get(), 2);
  auto pc = f.Collector();
  auto spec = TreeSpec(folder->_GetRef(), {Select("tarn.Folder", {"childEntity", "name"})});
  spec->hops = nullptr;
  (*spec->objects)[0]->follow = nullptr;
  Ref<Quill::MoRef> watch;
  pc->CreateWatch(spec.get(), true, watch);
  auto first = Wait(pc.get(), "");
  ASSERT_TRUE(first);

  folder->Remove(drop->_GetRef());
  auto added = f.inventory->Vm(folder.get(), 3);
  f.adapter->NotifyChanged(folder->_GetRef(), {"childEntity"});
  auto next = Wait(pc.get(), first->version);
  ASSERT_TRUE(next);
  auto* ch = (*(*next->watches)[0]->objects)[0];
  EXPECT_EQ(ch->kind, ChangeKind::modify);
  std::vector<std::tuple<std::string, Quill::Query::ChangeOp, std::vector<std::string>>> got;
  for (std::size_t i = 0; i < ch->changes->size(); ++i) {
    auto* c = (*ch->changes)[i];
    std::vector<std::string> ids;
    auto* refs = dynamic_cast<Quill::DataArray<MoRef>*>(c->value.get());
    for (std::size_t k = 0; refs && k < refs->size(); ++k) ids.push_back((*refs)[k]->GetId());
    got.emplace_back(c->path.GetString(), c->op, ids);
  }
  EXPECT_EQ(got, (std::vector<std::tuple<std::string, Quill::Query::ChangeOp, std::vector<std::string>>>{
                     {"childEntity", Quill::Query::ChangeOp::remove, {drop->_GetRef()->GetId()}},
                     {"childEntity", Quill::Query::ChangeOp::add, {added->_GetRef()->GetId()}}}));
}

TEST(QueryWatch, WaitsHoldNoThreadHundredsWaitOnTwoWorkers) {
  std::atomic<int> answered{0}, failed{0};  // outlive the adapter, whose stop may still call back
  Served f({}, /*workers=*/2);
  auto folder = f.inventory->Folder("f", nullptr);
  auto vm = f.inventory->Vm(folder.get(), 1);
  auto spec = TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}, true);

  constexpr int kSessions = 300;
  std::vector<Ref<Quill::RequestContext>> sessions;
  std::vector<Ref<PropertyCollectorStub>> collectors;
  std::vector<Ref<Basalt::System::ScheduledItem>> items(kSessions);
  Ref<Quill::Query::WaitOptions> options(new Quill::Query::WaitOptions());
  options->maxWaitSeconds = 30;
  for (int i = 0; i < kSessions; ++i) {
    sessions.emplace_back(new Quill::RequestContext());
    collectors.push_back(f.Collector(sessions.back().get()));
    Ref<Quill::MoRef> watch;
    collectors.back()->CreateWatch(spec.get(), true, watch);
    std::string version = Wait(collectors.back().get(), "")->version;
    collectors.back()->WaitForUpdates(
        Basalt::Optional<std::string>(version), options.get(),
        [&](Basalt::System::ScheduledItem*, Basalt::Exception* e, Quill::Any* result) {
          auto* batch = dynamic_cast<Quill::Query::UpdateBatch*>(result);
          (!e && batch && batch->watches && batch->watches->size() == 1 ? answered : failed)++;
        },
        items[i]);
  }
  // every wait is held at once, though only two threads serve the adapter
  for (int i = 0; i < 2000 && f.service->GetStats().waiting < kSessions; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(f.service->GetStats().waiting, static_cast<std::size_t>(kSessions));
  vm->SetName("renamed");
  f.adapter->NotifyChanged(vm->_GetRef(), {"name"});
  for (int i = 0; i < 2000 && answered + failed < kSessions; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(answered, kSessions);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(f.service->GetStats().waiting, 0u);
}

TEST(QueryWatch, InvokeThenAnswersADeferredWaitOnTheThreadThatCompletesIt) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  auto vm = f.inventory->Vm(folder.get(), 1);
  auto pc = f.Collector();
  Ref<Quill::MoRef> watch;
  pc->CreateWatch(TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"name"})}, true).get(), true, watch);
  std::string version = Wait(pc.get(), "")->version;

  auto* wait = Quill::GetMoType<Quill::Query::PropertyCollector>()->FindMethod("waitForUpdates");
  ASSERT_NE(wait, nullptr);
  std::mutex mutex;
  std::condition_variable cv;
  Ref<Quill::Any> answer;
  bool done = false;
  std::thread::id answeredOn;
  Ref<Quill::Query::WaitOptions> options(new Quill::Query::WaitOptions());
  options->maxWaitSeconds = 20;
  Quill::ArgVector args{Ref<Quill::Any>(new Quill::Primitive<std::string>(version)), options};
  f.adapter->InvokeThen(f.service->GetRootRef(), wait, args, nullptr,
                        [&](Ref<Quill::Any> result, std::unique_ptr<Basalt::Exception> error) {
                          std::lock_guard lock(mutex);
                          EXPECT_FALSE(error);
                          answer = result;
                          answeredOn = std::this_thread::get_id();
                          done = true;
                          cv.notify_all();
                        });
  {
    std::lock_guard lock(mutex);
    EXPECT_FALSE(done);  // nothing changed yet: the call is held, this thread is free
  }
  vm->SetName("renamed");
  f.adapter->NotifyChanged(vm->_GetRef(), {"name"});
  std::unique_lock lock(mutex);
  ASSERT_TRUE(cv.wait_for(lock, 20s, [&] { return done; }));
  EXPECT_NE(answeredOn, std::this_thread::get_id());
  auto* batch = dynamic_cast<Quill::Query::UpdateBatch*>(answer.get());
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ((*(*batch->watches)[0]->objects)[0]->obj->GetId(), vm->_GetRef()->GetId());
}

// A notification only records what changed; the next look at a watch that holds the object
// reads it once, however many paths of the property the watch reads and however many times it
// was notified, and a watch that does not hold the object reads nothing and is not answered.
// Retrieve likewise reads a property once per object for all the paths into it.
TEST(QueryWatch, NotificationsTouchOnlyTheWatchesThatHoldTheObjectAndReadEachPropertyOnce) {
  Served f;
  auto folder = f.inventory->Folder("f", nullptr);
  auto a = f.inventory->Vm(folder.get(), 1);
  auto b = f.inventory->Vm(folder.get(), 2);
  auto select = [](MoRef* vm) {
    return TreeSpec(vm, {Select("tarn.VirtualMachine", {"runtime.maxMemoryUsage", "runtime.maxCpuUsage"})});
  };
  Ref<Quill::RequestContext> sessionA(new Quill::RequestContext()), sessionB(new Quill::RequestContext());
  auto pcA = f.Collector(sessionA.get());
  auto pcB = f.Collector(sessionB.get());
  Ref<MoRef> watch;
  pcA->CreateWatch(select(a->_GetRef()).get(), true, watch);
  pcB->CreateWatch(select(b->_GetRef()).get(), true, watch);
  auto firstA = Wait(pcA.get(), "");
  auto firstB = Wait(pcB.get(), "");
  ASSERT_TRUE(firstA && firstB);
  EXPECT_EQ(a->runtimeReads.load(), 1) << "two paths into runtime, one read";

  a->runtimeReads = 0;
  b->runtimeReads = 0;
  for (int m = 10; m <= 30; m += 10) {
    a->SetMemory(m);
    f.adapter->NotifyChanged(a->_GetRef(), {"runtime"});
  }
  EXPECT_EQ(a->runtimeReads.load(), 0) << "notifying reads nothing while no wait is held";
  auto next = Wait(pcA.get(), firstA->version);
  ASSERT_TRUE(next && next->watches && next->watches->size() == 1u);
  auto* objects = (*next->watches)[0]->objects.get();
  ASSERT_EQ(objects->size(), 1u);
  ASSERT_EQ((*objects)[0]->changes->size(), 1u) << "only the path whose value changed";
  EXPECT_EQ((*(*objects)[0]->changes)[0]->path.GetString(), "runtime.maxMemoryUsage");
  EXPECT_EQ(Quill::Unbox<int>((*(*objects)[0]->changes)[0]->value.get()), 30) << "the latest value, once";
  EXPECT_EQ(a->runtimeReads.load(), 1);
  EXPECT_FALSE(Wait(pcB.get(), firstB->version, 0, 0));
  EXPECT_EQ(b->runtimeReads.load(), 0) << "the other watch's object is not read";

  a->runtimeReads = 0;
  b->runtimeReads = 0;
  auto got = RetrieveAll(
      pcA.get(),
      TreeSpec(folder->_GetRef(), {Select("tarn.VirtualMachine", {"runtime.maxMemoryUsage", "runtime.maxCpuUsage"})})
          .get(),
      10);
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(a->runtimeReads.load() + b->runtimeReads.load(), 2);
}

TEST(QueryWatch, SessionsShareOneReadPerChangeButEachIsAskedItsOwnPrivileges) {
  std::atomic<bool> hide{true};  // runtime, for the restricted session
  Served f(RefuseRuntime([&](MoRef const*) { return hide.load(); }));
  auto folder = f.inventory->Folder("f", nullptr);
  auto vm = f.inventory->Vm(folder.get(), 1);
  auto spec = TreeSpec(vm->_GetRef(), {Select("tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"})});
  struct Watching {
    Ref<Quill::RequestContext> context{new Quill::RequestContext()};
    Ref<PropertyCollectorStub> pc;
    std::string version;
    Ref<Quill::Query::ObjectChange> Next(int seconds = 10) {
      auto batch = Wait(pc.get(), version, 0, seconds);
      if (!batch) return {};
      version = batch->version;
      if (!batch->watches || batch->watches->size() != 1u || (*batch->watches)[0]->objects->size() != 1u) {
        ADD_FAILURE() << "not one object in the answer";
        return {};
      }
      return (*(*batch->watches)[0]->objects)[0];
    }
  };
  std::vector<Watching> sessions(4);
  sessions[3].context = Restricted();
  for (auto& s : sessions) {
    s.pc = f.Collector(s.context.get());
    Ref<MoRef> watch;
    s.pc->CreateWatch(spec.get(), true, watch);
    ASSERT_TRUE(s.Next());
  }
  auto memoryOf = [](Quill::Query::ObjectChange* ch) -> std::optional<int> {
    for (std::size_t i = 0; ch && ch->changes && i < ch->changes->size(); ++i) {
      auto* pc = (*ch->changes)[i];
      if (pc->path.GetString() == "runtime.maxMemoryUsage") return Quill::Unbox<int>(pc->value.get());
    }
    return std::nullopt;
  };
  auto refusedIn = [](Quill::Query::ObjectChange* ch) {
    return ch && ch->faults && ch->faults->size() == 1u &&
           dynamic_cast<Quill::Fault::SecurityError*>((*ch->faults)[0]->fault.get()) != nullptr;
  };

  for (int value : {10, 20}) {
    SCOPED_TRACE(value);
    vm->runtimeReads = 0;
    vm->SetMemory(value);
    f.adapter->NotifyChanged(vm->_GetRef(), {"runtime"});
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(memoryOf(sessions[i].Next().get()), value);
    EXPECT_EQ(vm->runtimeReads.load(), 1) << "one read for every session that may see it";
    EXPECT_FALSE(sessions[3].Next(0)) << "a refusal is reported once, not with every change";
  }

  // Allowed now: the restricted session gets the value the others read, without a read of its
  // own; refused again: the fault once more, never the value.
  hide = false;
  vm->runtimeReads = 0;
  vm->SetMemory(30);
  f.adapter->NotifyChanged(vm->_GetRef(), {"runtime"});
  EXPECT_EQ(memoryOf(sessions[0].Next().get()), 30);
  EXPECT_EQ(memoryOf(sessions[3].Next().get()), 30);
  EXPECT_EQ(vm->runtimeReads.load(), 1);
  hide = true;
  vm->SetMemory(40);
  f.adapter->NotifyChanged(vm->_GetRef(), {"runtime"});
  EXPECT_EQ(memoryOf(sessions[1].Next().get()), 40);
  auto refused = sessions[3].Next();
  EXPECT_TRUE(refusedIn(refused.get()));
  EXPECT_EQ(memoryOf(refused.get()), std::nullopt);
}
