// Asynchronous calls on the in-process adapter: delivery, waiting,
// cancellation, shutdown, callback failures; and many concurrent calls.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>

#include "RpcImpl.h"
#include "quill/StubSupport.h"

namespace {

using namespace Quill;
using Basalt::System::ScheduledItem;
using namespace std::chrono_literals;

using SampleImpl::BindAll;

// What one callback saw.
struct Delivery {
  std::thread::id thread;
  ScheduledItem* item = nullptr;
  std::unique_ptr<Basalt::Exception> exception;
  Basalt::Ref<Any> result;
  int calls = 0;
};

InvokeCallback Record(Delivery& d) {
  return [&d](ScheduledItem* item, Basalt::Exception* e, Any* result) {
    d.thread = std::this_thread::get_id();
    d.item = item;
    if (e) d.exception.reset(e->Clone());
    d.result = result;
    ++d.calls;
  };
}

struct Async : ::testing::Test, SampleImpl::CounterServer {
  void SetUp() override { BindAll(); }
};

TEST_F(Async, ResultsAndFaultsReachTheCallbackOnAWorkerThread) {
  Start();
  Delivery ok;
  Basalt::Ref<ScheduledItem> item;
  stub->Add(4, {}, Record(ok), item);
  ASSERT_TRUE(item);  // set before StartInvoke returns
  item->Wait();
  EXPECT_TRUE(item->IsDone());
  EXPECT_EQ(item->GetState(), ScheduledItem::State::Completed);
  EXPECT_EQ(ok.calls, 1);
  EXPECT_NE(ok.thread, std::this_thread::get_id());
  EXPECT_EQ(ok.item, item.get());
  EXPECT_FALSE(ok.exception);
  EXPECT_EQ(Unbox<long>(ok.result.get()), 4);  // raw, not converted
  auto* pending = dynamic_cast<PendingCall*>(item.get());
  ASSERT_NE(pending, nullptr);
  EXPECT_EQ(pending->GetResult(), ok.result.get());  // kept on the handle too

  Delivery bad;
  stub->Add(1, std::string("fault"), Record(bad), item);
  item->Wait();
  ASSERT_TRUE(bad.exception);
  EXPECT_FALSE(bad.result);
  EXPECT_NE(dynamic_cast<Sample::BadShapeFault::Exception*>(bad.exception.get()), nullptr);
  // Rethrown through the base pointer, it keeps its own class.
  EXPECT_THROW(bad.exception->Throw(), Sample::BadShapeFault::Exception);
  EXPECT_NE(static_cast<PendingCall*>(item.get())->GetException(), nullptr);

  // Raw results: an array property without value is null here (the sync
  // form makes it an empty array); a task method delivers the task reference.
  Delivery history, task;
  stub->GetHistory(Record(history), item);
  item->Wait();
  EXPECT_FALSE(history.result);
  EXPECT_FALSE(history.exception);
  stub->Resize(2, Record(task), item);
  item->Wait();
  auto* taskRef = dynamic_cast<MoRef*>(task.result.get());
  ASSERT_NE(taskRef, nullptr);
  EXPECT_EQ(taskRef->GetTypeName(), "sample.rpc.Task");

  // Failures found by the server end travel the same way.
  Basalt::Ref<MoRef> gone(new MoRef("sample.rpc.Counter", "nope"));
  auto ghost = CreateStub<Sample::Rpc::CounterStub>(gone.get(), adapter.get());
  Delivery lost;
  ghost->Reset(Record(lost), item);
  item->Wait();
  EXPECT_NE(dynamic_cast<Fault::ManagedObjectNotFound::Exception*>(lost.exception.get()), nullptr);

  // No callback at all: the handle alone carries the outcome.
  stub->Label("q", 1, true, nullptr, item);
  ASSERT_TRUE(item->WaitFor(10s));
  EXPECT_EQ(Unbox<std::string>(static_cast<PendingCall*>(item.get())->GetResult()), "Q#1");
}

TEST_F(Async, HandleWaitsWithAndWithoutTimeoutAndCancelsQueuedCalls) {
  LocalAdapter::Options one;
  one.workers = 1;
  Start(one);
  impl->gate.Close();
  Delivery first, second;
  Basalt::Ref<ScheduledItem> running, queued;
  stub->Add(1, std::string("gate"), Record(first), running);
  impl->gate.AwaitEntered(1);  // the only worker is now held in the implementation
  stub->Add(10, {}, Record(second), queued);

  EXPECT_FALSE(running->WaitFor(20ms));
  EXPECT_FALSE(running->IsDone());
  EXPECT_FALSE(queued->WaitFor(0ms));
  EXPECT_FALSE(running->Cancel());  // already running
  EXPECT_TRUE(queued->Cancel());
  EXPECT_FALSE(queued->Cancel());

  impl->gate.Open();
  EXPECT_TRUE(running->WaitUntil(std::chrono::steady_clock::now() + 10s));
  queued->Wait();
  EXPECT_EQ(running->GetState(), ScheduledItem::State::Completed);
  EXPECT_EQ(Unbox<long>(first.result.get()), 1);
  EXPECT_EQ(queued->GetState(), ScheduledItem::State::Canceled);
  EXPECT_EQ(second.calls, 1);
  EXPECT_NE(dynamic_cast<Fault::RequestCanceled::Exception*>(second.exception.get()), nullptr);
  EXPECT_EQ(impl->GetValue(), 1);  // the cancelled call never ran
}

TEST_F(Async, ShutdownCompletesRunningCallsAndCancelsQueuedOnesLosingNone) {
  LocalAdapter::Options one;
  one.workers = 1;
  Start(one);
  impl->gate.Close();
  constexpr int kQueued = 20;
  std::atomic<int> completed{0}, canceled{0}, other{0};
  InvokeCallback count = [&](ScheduledItem*, Basalt::Exception* e, Any* result) {
    if (!e && result) {
      ++completed;
    } else if (dynamic_cast<Fault::RequestCanceled::Exception*>(e)) {
      ++canceled;
    } else {
      ++other;
    }
  };
  std::vector<Basalt::Ref<ScheduledItem>> items(kQueued + 1);
  stub->Add(1, std::string("gate"), count, items[0]);
  impl->gate.AwaitEntered(1);
  for (int i = 1; i <= kQueued; ++i) stub->Add(1, {}, count, items[i]);
  bool posted = false;
  adapter->Post([&](bool wasCanceled) { posted = wasCanceled; });

  // Shutdown waits for the running call, which waits for the gate.
  std::thread stopper([&] { adapter->Shutdown(); });
  while (!adapter->IsShutDown()) std::this_thread::yield();
  impl->gate.Open();
  stopper.join();

  for (auto& item : items) EXPECT_TRUE(item->IsDone());
  EXPECT_EQ(completed.load(), 1);
  EXPECT_EQ(canceled.load(), kQueued);
  EXPECT_EQ(other.load(), 0);
  EXPECT_TRUE(posted);
  EXPECT_EQ(impl->deactivations.load(), 1);

  // Nothing new is accepted; the caller's handle is left as it was.
  Basalt::Ref<ScheduledItem> keep = items[3];
  EXPECT_THROW(stub->Reset(count, keep), Fault::RequestCanceled::Exception);
  EXPECT_EQ(keep.get(), items[3].get());
  EXPECT_THROW(adapter->Post([](bool) {}), Fault::RequestCanceled::Exception);
}

TEST_F(Async, ACallbackThatThrowsIsContainedKeptOnTheHandleAndCounted) {
  Start();
  Basalt::Ref<ScheduledItem> item;
  stub->Reset([](ScheduledItem*, Basalt::Exception*, Any*) { throw std::runtime_error("callback broke"); }, item);
  ASSERT_TRUE(item->WaitFor(10s));
  EXPECT_EQ(item->GetState(), ScheduledItem::State::Completed);
  std::exception_ptr error = static_cast<PendingCall*>(item.get())->GetCallbackError();
  ASSERT_TRUE(error);
  EXPECT_THROW(std::rethrow_exception(error), std::runtime_error);
  adapter->Post([](bool) { throw 42; });

  // The workers carry on.
  Delivery after;
  stub->Add(3, {}, Record(after), item);
  item->Wait();
  EXPECT_EQ(Unbox<long>(after.result.get()), 3);
  adapter->Shutdown();  // runs or cancels the posted job before returning
  EXPECT_EQ(adapter->GetCallbackFailureCount(), 2u);
}

TEST_F(Async, CallbacksMayStartCallsEvenWhenTheQueueIsFull) {
  LocalAdapter::Options tight;
  tight.workers = 1;
  tight.queueCapacity = 1;
  Start(tight);
  std::atomic<int> done{0};
  std::vector<Basalt::Ref<ScheduledItem>> inner(8);
  Basalt::Ref<ScheduledItem> outer;
  stub->Reset(
      [&](ScheduledItem*, Basalt::Exception*, Any*) {
        // Eight calls from the only worker into a queue of one: it must not
        // wait for room that only it could make.
        for (auto& i : inner)
          stub->Add(
              1, {}, [&](ScheduledItem*, Basalt::Exception*, Any*) { ++done; }, i);
      },
      outer);
  outer->Wait();
  for (auto& i : inner) ASSERT_TRUE(i->WaitFor(10s));
  EXPECT_EQ(done.load(), 8);
  EXPECT_EQ(impl->GetValue(), 8);
}

TEST_F(Async, AdapterWhoseLastReferenceGoesInsideACallbackShutsDownCleanly) {
  Start();
  Basalt::Ref<ScheduledItem> item;
  Delivery d;
  auto callback = Record(d);
  // The callback holds the only stub, which holds the only adapter reference.
  Basalt::Ref<Sample::Rpc::CounterStub> only = stub;
  stub = nullptr;
  adapter = nullptr;
  only->Add(
      5, {}, [callback, only](ScheduledItem* i, Basalt::Exception* e, Any* r) { callback(i, e, r); }, item);
  only = nullptr;
  ASSERT_TRUE(item->WaitFor(10s));
  EXPECT_EQ(Unbox<long>(d.result.get()), 5);
  // The adapter was destroyed on its worker, after the callback and before
  // the handle became done: the implementation is already deactivated.
  EXPECT_EQ(impl->deactivations.load(), 1);
}

using Concurrency = Async;

TEST_F(Concurrency, EightThreadsTimesTenThousandSyncCallsAreEachAccountedFor) {
  Start();
  auto shared = stub;

  constexpr int kThreads = 8;
  constexpr int kCalls = 10000;
  std::vector<std::vector<long>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Half the threads share one stub, the others make their own.
      auto own = t % 2 ? CreateStub<Sample::Rpc::CounterStub>(ref.get(), adapter.get()) : shared;
      seen[t].reserve(kCalls);
      for (int i = 0; i < kCalls; ++i) seen[t].push_back(own->Add(1, {}));
    });
  }
  for (auto& th : threads) th.join();

  // Every call returned a distinct running total: together exactly 1..80000.
  std::vector<long> all;
  for (auto const& s : seen) {
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end()));
    all.insert(all.end(), s.begin(), s.end());
  }
  std::sort(all.begin(), all.end());
  std::vector<long> expected(kThreads * kCalls);
  std::iota(expected.begin(), expected.end(), 1L);
  EXPECT_EQ(all, expected);
  EXPECT_EQ(shared->GetValue(), kThreads * kCalls);
}

TEST_F(Concurrency, ConcurrentAsyncCallsThroughASmallQueueAllComplete) {
  LocalAdapter::Options options;
  options.queueCapacity = 16;  // callers wait for room
  Start(std::move(options));

  constexpr int kThreads = 8;
  constexpr int kCalls = 1000;
  std::mutex mutex;
  std::vector<long> results;
  std::atomic<int> failures{0};
  std::vector<std::vector<Basalt::Ref<ScheduledItem>>> items(kThreads, std::vector<Basalt::Ref<ScheduledItem>>(kCalls));
  InvokeCallback collect = [&](ScheduledItem*, Basalt::Exception* e, Any* r) {
    if (e || !r) {
      ++failures;
      return;
    }
    std::lock_guard lock(mutex);
    results.push_back(Unbox<long>(r));
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) stub->Add(1, {}, collect, items[t][i]);
    });
  }
  for (auto& th : threads) th.join();
  for (auto& per : items) {
    for (auto& item : per) ASSERT_TRUE(item->WaitFor(30s));
  }
  EXPECT_EQ(failures.load(), 0);
  std::sort(results.begin(), results.end());
  std::vector<long> expected(kThreads * kCalls);
  std::iota(expected.begin(), expected.end(), 1L);
  EXPECT_EQ(results, expected);
}

}  // namespace

// What an adapter observer was told, in order.
struct EventLog : AdapterObserver {
  void OnRegistered(MoRef const& ref) override { Add("+" + ref.GetId()); }
  void OnUnregistered(MoRef const& ref) override { Add("-" + ref.GetId()); }
  void OnChanged(MoRef const& ref, std::vector<std::string> const& paths) override {
    std::string e = "~" + ref.GetId();
    for (auto const& p : paths) e += " " + p;
    Add(e);
  }
  void OnShutdown() override { Add("stop"); }
  void Add(std::string e) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(e));
  }
  std::mutex mutex;
  std::vector<std::string> events;
};

TEST(AdapterObservers, SeeRegistrationChangesAndShutdownUntilRemoved) {
  BindAll();
  Basalt::Ref<LocalAdapter> adapter(new LocalAdapter());
  auto log = std::make_shared<EventLog>();
  auto second = std::make_shared<EventLog>();
  Basalt::Ref<MoRef> a(new MoRef("sample.rpc.Counter", "a"));
  adapter->Register(a.get(), new SampleImpl::CounterImpl(a.get()));  // before: not seen
  adapter->AddObserver(log);
  adapter->AddObserver(second);
  Basalt::Ref<MoRef> b(new MoRef("sample.rpc.Counter", "b"));
  adapter->Register(b.get(), new SampleImpl::CounterImpl(b.get()));
  EXPECT_THROW(adapter->Register(b.get(), new SampleImpl::CounterImpl(b.get())), Fault::InvalidArgument::Exception);
  adapter->NotifyChanged(a.get(), {"value", "history"});
  adapter->NotifyChanged(nullptr, {"value"});
  EXPECT_TRUE(adapter->Unregister(a.get()));
  EXPECT_FALSE(adapter->Unregister(a.get()));
  adapter->RemoveObserver(second.get());
  adapter->NotifyChanged(b.get());
  adapter->Shutdown();
  EXPECT_EQ(log->events, (std::vector<std::string>{"+b", "~a value history", "-a", "~b", "stop"}));
  EXPECT_EQ(second->events, (std::vector<std::string>{"+b", "~a value history", "-a"}));
  EXPECT_THROW(adapter->AddObserver(nullptr), Fault::InvalidArgument::Exception);
}
