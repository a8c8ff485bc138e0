// The pieces every adapter's asynchronous calls share: the handle, the
// executor their completions run on, and the faults of calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/FaultMessage.h"
#include "quill/Faults.h"
#include "quill/PendingCall.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/rpc.h"
#include "sample/sample.h"

namespace {

using namespace Quill;
using Basalt::System::ScheduledItem;
using namespace std::chrono_literals;

std::unique_ptr<Basalt::Exception> NotSupported() {
  return std::unique_ptr<Basalt::Exception>(MakeFault<Fault::NotSupported>("test.key", "not here")->CreateException());
}

// --- the handle ------------------------------------------------------------------------------

TEST(PendingCall, TheCallbackRunsOnceAndTheHandleIsDoneOnlyAfterIt) {
  std::atomic<int> calls{0};
  std::atomic<int> doneTooEarly{0};
  Basalt::Ref<PendingCall> call(new PendingCall(nullptr, [&](ScheduledItem* item, Basalt::Exception* e, Any*) {
    calls.fetch_add(1);
    if (item->IsDone()) doneTooEarly.fetch_add(1);
    EXPECT_TRUE(dynamic_cast<Fault::NotSupported::Exception*>(e));
  }));
  ASSERT_TRUE(call->Start());
  // Several threads race to end it: exactly one does.
  std::vector<std::thread> threads;
  std::atomic<int> delivered{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      if (call->Deliver(nullptr, NotSupported(), false) == PendingCall::Delivery::Delivered) delivered.fetch_add(1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(delivered.load(), 1);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(doneTooEarly.load(), 0);
  EXPECT_EQ(call->GetState(), ScheduledItem::State::Completed);
  EXPECT_TRUE(dynamic_cast<Fault::NotSupported::Exception*>(call->GetException()));
  EXPECT_FALSE(call->Cancel()) << "done";
}

TEST(PendingCall, CancelWinsOnlyBeforeStartAndAbortsOnce) {
  struct Case {
    char const* what;
    bool startFirst;
    bool cancelWins;
  };
  for (Case k : {Case{"cancel before start", false, true}, Case{"cancel after start", true, false}}) {
    SCOPED_TRACE(k.what);
    int aborts = 0;
    Basalt::Ref<Any> seenResult;
    std::unique_ptr<Basalt::Exception> seen;
    Basalt::Ref<PendingCall> call(new PendingCall(nullptr, [&](ScheduledItem*, Basalt::Exception* e, Any* r) {
      if (e) seen.reset(e->Clone());
      seenResult = r;
    }));
    call->SetAbort([&] { ++aborts; });
    if (k.startFirst) {
      ASSERT_TRUE(call->Start());
    }
    EXPECT_EQ(call->Cancel(), k.cancelWins);
    EXPECT_FALSE(call->Cancel()) << "a second cancel never wins";
    EXPECT_EQ(aborts, k.cancelWins ? 1 : 0);
    bool started = k.startFirst || call->Start();
    EXPECT_EQ(started, !k.cancelWins);
    call->Deliver(new Primitive<long>(7), nullptr, !started);
    if (k.cancelWins) {
      EXPECT_EQ(call->GetState(), ScheduledItem::State::Canceled);
      EXPECT_TRUE(dynamic_cast<Fault::RequestCanceled::Exception*>(seen.get()));
    } else {
      EXPECT_EQ(call->GetState(), ScheduledItem::State::Completed);
      EXPECT_EQ(seen, nullptr);
      ASSERT_TRUE(seenResult);
      EXPECT_EQ(static_cast<Primitive<long>*>(seenResult.get())->GetValue(), 7);
    }
  }
}

TEST(PendingCall, ACallbackThatThrowsIsKeptOnTheHandle) {
  Basalt::Ref<PendingCall> call(
      new PendingCall(nullptr, [](ScheduledItem*, Basalt::Exception*, Any*) { throw std::runtime_error("oops"); }));
  EXPECT_EQ(call->Deliver(nullptr, nullptr, false), PendingCall::Delivery::CallbackThrew);
  ASSERT_TRUE(call->GetCallbackError());
  EXPECT_THROW(std::rethrow_exception(call->GetCallbackError()), std::runtime_error);
  EXPECT_TRUE(call->IsDone());
}

// --- the executor ----------------------------------------------------------------------------

TEST(CallExecutor, JobsRunInOrderOnItsWorkersAndCountWhatThrows) {
  auto executor = CallExecutor::Make(1, 4);
  EXPECT_FALSE(executor->OnWorker());
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> onWorker{0};
  std::promise<void> last;
  for (int i = 0; i < 20; ++i) {  // more than the capacity: the poster waits for room
    ASSERT_TRUE(executor->Post([&, i](bool canceled) {
      EXPECT_FALSE(canceled);
      if (executor->OnWorker()) onWorker.fetch_add(1);
      std::lock_guard lock(mutex);
      order.push_back(i);
      if (i == 7) throw std::runtime_error("counted");
      if (i == 19) last.set_value();
    }));
  }
  ASSERT_EQ(last.get_future().wait_for(10s), std::future_status::ready);
  executor->Close();
  executor->Join();
  ASSERT_EQ(order.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(onWorker.load(), 20);
  EXPECT_EQ(executor->GetFailureCount(), 1u);
}

TEST(CallExecutor, AWorkerIsNeverMadeToWaitAndClosingCancelsWhatIsQueued) {
  auto executor = CallExecutor::Make(1, 1);
  std::atomic<int> ran{0}, canceled{0};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> posted;
  // The only worker fills the queue far beyond its capacity from inside a job.
  ASSERT_TRUE(executor->Post([&](bool) {
    for (int i = 0; i < 10; ++i) {
      EXPECT_TRUE(executor->Post([&](bool c) { (c ? canceled : ran).fetch_add(1); }));
    }
    posted.set_value();
    released.wait();
  }));
  ASSERT_EQ(posted.get_future().wait_for(10s), std::future_status::ready) << "the worker waited for room";
  EXPECT_TRUE(executor->Close());
  EXPECT_FALSE(executor->Close());
  EXPECT_FALSE(executor->Post([](bool) {})) << "closed";
  release.set_value();
  executor->Join();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(canceled.load(), 10) << "queued jobs run, told they are cancelled";
}

// --- faults of calls -------------------------------------------------------------------------

TEST(CallFaults, ForeignExceptionsBecomeSystemErrorsAndFaultsStayThemselves) {
  auto capture = [](auto thrown) {
    try {
      thrown();
    } catch (...) {
      return CallFaults::Capture(std::current_exception(), "sample.Op");
    }
    return std::unique_ptr<Basalt::Exception>();
  };
  auto fault = capture([] { NotSupported()->Throw(); });
  EXPECT_TRUE(dynamic_cast<Fault::NotSupported::Exception*>(fault.get())) << "the most-derived class is kept";

  struct Case {
    char const* what;
    std::function<void()> thrown;
    std::string reason;
  };
  Case const cases[] = {
      {"std::exception", [] { throw std::runtime_error("disk full"); }, "sample.Op: disk full"},
      {"anything else", [] { throw 42; }, "sample.Op: an exception of unknown type"},
  };
  for (Case const& k : cases) {
    SCOPED_TRACE(k.what);
    auto e = capture(k.thrown);
    auto* system = dynamic_cast<Fault::SystemError::Exception*>(e.get());
    ASSERT_TRUE(system);
    EXPECT_EQ(static_cast<Fault::SystemError*>(system->GetFault())->reason, k.reason);
  }
}

TEST(CallFaults, EveryAdapterRefusesTheSameCallsTheSameWay) {
  Sample::BindSample();
  Sample::BindSampleRpc();
  auto* counter = static_cast<ManagedObjectType*>(FindType("sample.rpc.Counter"));
  ASSERT_TRUE(counter);
  ManagedMethod* add = counter->FindMethod("add");
  ASSERT_TRUE(add);
  EXPECT_EQ(CallFaults::OperationName(add), "sample.rpc.Counter.add");
  Basalt::Ref<MoRef> ref(new MoRef("sample.rpc.Counter", "c-1"));
  EXPECT_NO_THROW(CallFaults::CheckCall(false, ref.get(), add));
  EXPECT_THROW(CallFaults::CheckCall(true, ref.get(), add), Fault::RequestCanceled::Exception);
  for (auto [target, method, property] :
       {std::tuple<MoRef*, ManagedMethod*, char const*>{ref.get(), nullptr, "method"}, {nullptr, add, "target"}}) {
    try {
      CallFaults::CheckCall(false, target, method);
      ADD_FAILURE() << property << " accepted";
    } catch (Fault::InvalidArgument::Exception const& e) {
      auto* f = static_cast<Fault::InvalidArgument*>(e.GetFault());
      ASSERT_TRUE(f->invalidProperty);
      EXPECT_EQ((*f->invalidProperty).GetString(), property);
    }
  }
}

}  // namespace
