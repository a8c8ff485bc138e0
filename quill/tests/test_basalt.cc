#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "basalt/DateTime.h"
#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "basalt/ScheduledItem.h"
#include "quill/Primitive.h"

namespace {

// Counts destructions so tests can see exactly when an object dies.
struct Probe : Basalt::ObjectImpl {
  explicit Probe(std::atomic<int>* deaths) : deaths(deaths) {}
  ~Probe() override { deaths->fetch_add(1); }
  std::atomic<int>* deaths;
};
struct DerivedProbe : Probe {
  using Probe::Probe;
};

TEST(Ref, ANewObjectBelongsToItsFirstHolderAndDiesWithTheLastThroughCopiesMovesAndUpcasts) {
  std::atomic<int> deaths{0};
  auto* raw = new Probe(&deaths);
  EXPECT_EQ(raw->GetRefCount(), 0u);
  Basalt::Ref<DerivedProbe> d(new DerivedProbe(&deaths));
  {
    Basalt::Ref<Probe> a(raw);
    Basalt::Ref<Probe> b = a;
    Basalt::Ref<Probe> c = std::move(b);
    EXPECT_FALSE(b);
    EXPECT_EQ(raw->GetRefCount(), 2u);
    EXPECT_TRUE(a == c);
    Basalt::Ref<Probe>& same = a;
    a = same;  // self-assignment must not free
    a.reset();
    EXPECT_EQ(deaths.load(), 0);
    Basalt::Ref<Probe> base = d;  // upcast shares
    EXPECT_EQ(d->GetRefCount(), 2u);
    c = base;  // the first probe dies
    EXPECT_EQ(deaths.load(), 1);
  }
  EXPECT_EQ(deaths.load(), 1);
  d = nullptr;
  EXPECT_EQ(deaths.load(), 2);
}

TEST(Ref, CountingAcrossThreadsDestroysExactlyOnce) {
  std::atomic<int> deaths{0};
  for (int round = 0; round < 20; ++round) {
    Basalt::Ref<Probe> shared(new Probe(&deaths));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([copy = shared]() mutable {
        for (int i = 0; i < 2000; ++i) {
          Basalt::Ref<Probe> local = copy;
          Basalt::Ref<Probe> other = std::move(local);
        }
        copy.reset();  // the last of these may be the one that destroys
      });
    }
    shared.reset();
    for (auto& t : threads) t.join();
    EXPECT_EQ(deaths.load(), round + 1);
  }
}

TEST(Ref, GetOrCreateAgreesOnOneObjectUnderRace) {
  std::atomic<int> deaths{0};
  for (int round = 0; round < 50; ++round) {
    Basalt::Ref<Probe> field;
    std::atomic<Probe*> seen[4] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] { seen[t] = Basalt::GetOrCreate(field, [&] { return new Probe(&deaths); }); });
    }
    for (auto& t : threads) t.join();
    for (auto& s : seen) EXPECT_EQ(s.load(), field.get());
    EXPECT_EQ(field->GetRefCount(), 1u);
  }
}

// An object whose every byte is its own: a block handed to two live objects,
// or one too small for its object, shows as a byte another object wrote.
template <std::size_t N>
struct Blob : Basalt::ObjectImpl {
  explicit Blob(unsigned char mark) { std::memset(bytes, mark, N); }
  bool Intact(unsigned char mark) const {
    return std::all_of(bytes, bytes + N, [mark](unsigned char b) { return b == mark; });
  }
  unsigned char bytes[N];
};

struct AnyBlob {
  Basalt::Ref<Basalt::ObjectImpl> ref;
  std::function<bool()> intact;
};

template <std::size_t N>
AnyBlob MakeBlob(unsigned char mark) {
  Basalt::Ref<Blob<N>> b(new Blob<N>(mark));
  EXPECT_TRUE(b->IsOwnedByCount());
  return {b, [p = b.get(), mark] { return p->Intact(mark); }};
}

// Object blocks are reused across sizes and threads: objects of sizes on
// either side of each reuse step are made, some dropped, others made in
// their place, on this thread and on one that drops what another made.
TEST(Ref, BlocksOfDroppedObjectsServeNewOnesOfTheirSizeWithoutOverlap) {
  using Maker = AnyBlob (*)(unsigned char);
  Maker const makers[] = {&MakeBlob<1>,   &MakeBlob<8>,   &MakeBlob<9>,   &MakeBlob<24>,  &MakeBlob<25>,
                          &MakeBlob<40>,  &MakeBlob<41>,  &MakeBlob<100>, &MakeBlob<232>, &MakeBlob<233>,
                          &MakeBlob<496>, &MakeBlob<497>, &MakeBlob<504>, &MakeBlob<505>, &MakeBlob<2000>};
  std::vector<AnyBlob> live;
  auto fill = [&](unsigned round) {
    for (unsigned i = 0; i < 600; ++i) {
      live.push_back(makers[(i * 7 + round) % std::size(makers)](static_cast<unsigned char>(i + round)));
    }
  };
  for (unsigned round = 0; round < 4; ++round) {
    fill(round);
    for (std::size_t i = 0; i < live.size(); i += 2) live[i].ref.reset();
    std::erase_if(live, [](AnyBlob const& b) { return !b.ref; });
    for (AnyBlob const& b : live) ASSERT_TRUE(b.intact());
  }
  // Another thread drops them (its cache takes the blocks) and makes its own.
  std::thread([&] {
    live.clear();
    fill(9);
    for (AnyBlob const& b : live) EXPECT_TRUE(b.intact());
  }).join();
  fill(11);
  for (AnyBlob const& b : live) EXPECT_TRUE(b.intact());
  // An object outlives the cache of the thread that drops it: its block goes to the heap.
  std::atomic<int> deaths{0};
  std::thread([&] {
    static thread_local Basalt::Ref<Probe> lastToGo;
    lastToGo = nullptr;  // made before any object of this thread, so destroyed after its cache
    for (int i = 0; i < 100; ++i) Basalt::Ref<Probe> p(new Probe(&deaths));
    lastToGo = new Probe(&deaths);
  }).join();
  EXPECT_EQ(deaths.load(), 101);
}

TEST(Optional, UnsetByDefaultWithZeroedValueAndBoolIsOneByteOfThreeStates) {
  Basalt::Optional<int> i;
  Basalt::Optional<std::string> s;
  EXPECT_FALSE(i.IsSet());
  EXPECT_EQ(*i, 0);
  EXPECT_TRUE(s->empty());
  s = std::string();
  EXPECT_TRUE(s.IsSet());  // an empty string that is set is still set
  s.Unset();
  EXPECT_FALSE(s.IsSet());

  static_assert(sizeof(Basalt::Optional<bool>) == 1);
  Basalt::Optional<bool> b;
  EXPECT_EQ(b.GetState(), -1);
  b = false;
  EXPECT_TRUE(b.IsSet());
  EXPECT_EQ(b.GetState(), 0);
  b = true;
  EXPECT_EQ(b.GetState(), 1);
  b.Unset();
  EXPECT_EQ(b.GetState(), -1);
}

TEST(DateTime, Iso8601RoundTripsAndOneInstantIsEqualWhateverTheOffset) {
  using Basalt::System::DateTime;
  for (char const* text : {"2024-03-05T10:20:30+02:00", "2000-02-29T23:59:59.5Z", "1969-12-31T23:59:59.999999-05:30",
                           "0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z"}) {
    EXPECT_EQ(DateTime::FromIso8601(text).ToIso8601(), text);
  }
  EXPECT_EQ(DateTime::FromIso8601("2024-03-05T08:20:30Z"), DateTime::FromIso8601("2024-03-05T10:20:30+02:00"));
  EXPECT_EQ(DateTime().ToIso8601(), "1970-01-01T00:00:00Z");
  EXPECT_EQ(DateTime::FromIso8601("1970-01-01T00:00:01").GetUtcTime(), 1000000);
  EXPECT_EQ(DateTime::FromIso8601("1969-12-31T23:59:59Z").GetUtcTime(), -1000000);
}

TEST(DateTime, RejectsMalformedAndOutOfRangeText) {
  using Basalt::System::DateTime;
  DateTime out;
  for (char const* bad : {"", "2024-02-30T00:00:00Z", "2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z",
                          "2100-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01 00:00:00", "2024-01-01T24:00:00Z",
                          "2024-01-01T00:00:00+2", "2024-01-01T00:00:00Zjunk", "2024-01-01T00:00:00."}) {
    EXPECT_FALSE(DateTime::TryFromIso8601(bad, out)) << bad;
  }
  EXPECT_THROW(DateTime::FromIso8601("yesterday"), Basalt::Exception);
}

TEST(ASPrint, ReplacesNumberedPlaceholdersAndKeepsBadOnes) {
  EXPECT_EQ(Basalt::ASPrint("Fault cause: %1\n", "sedge.fault.NotSupported"),
            "Fault cause: sedge.fault.NotSupported\n");
  EXPECT_EQ(Basalt::ASPrint("%2-%1-%2", "a", "b"), "b-a-b");
  EXPECT_EQ(Basalt::ASPrint("100%% of %1 and %3 and %", "x"), "100% of x and %3 and %");
  std::string many = Basalt::Detail::ASPrintInternal("%10|%1", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"});
  EXPECT_EQ(many, "ten|1");
}

TEST(Throwable, CloneAndThrowKeepTheMostDerivedClass) {
  Basalt::TypeMismatchException e(typeid(int), typeid(std::string));
  e.SetWhere("file.cc", 12);
  std::unique_ptr<Basalt::Throwable> copy(static_cast<Basalt::Throwable const&>(e).Clone());
  EXPECT_NE(dynamic_cast<Basalt::TypeMismatchException*>(copy.get()), nullptr);
  EXPECT_EQ(copy->Where(), "file.cc:12");
  EXPECT_NE(copy->Dump().find("Basalt::TypeMismatchException"), std::string::npos);
  Basalt::Exception* base = static_cast<Basalt::Exception*>(copy.get());
  EXPECT_THROW(base->Throw(), Basalt::TypeMismatchException);
}

TEST(TypeMismatch, NamesBothClassesReadablyExpectedFirst) {
  try {
    Basalt::ThrowTypeMismatchException(typeid(Quill::Primitive<std::string>), typeid(Quill::Primitive<int>));
    FAIL() << "did not throw";
  } catch (Basalt::TypeMismatchException const& e) {
    std::string msg = e.what();
    auto expected = msg.find("Quill::Primitive<std::__cxx11::basic_string");
    auto actual = msg.find("Quill::Primitive<int>");
    ASSERT_NE(expected, std::string::npos) << msg;
    ASSERT_NE(actual, std::string::npos) << msg;
    EXPECT_LT(expected, actual);
    EXPECT_EQ(e.GetExpected(), typeid(Quill::Primitive<std::string>));
    EXPECT_EQ(e.GetActual(), typeid(Quill::Primitive<int>));
  }
}

TEST(PanicDeathTest, PrintsFormattedMessageAndAborts) {
  EXPECT_DEATH(Basalt::Panic("NOT_REACHED %s:%d\n", "quill/MethodFault", 165), "NOT_REACHED quill/MethodFault:165");
}

TEST(ScheduledItem, CompletionWakesWaitersAndCancelLosesAfterIt) {
  Basalt::Ref<Basalt::System::ScheduledItem> item(new Basalt::System::ScheduledItem());
  EXPECT_TRUE(item->IsPending());
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    item->Wait();
    woke = true;
  });
  EXPECT_TRUE(item->Complete());
  waiter.join();
  EXPECT_TRUE(woke.load());
  EXPECT_FALSE(item->Cancel());
  EXPECT_EQ(item->GetState(), Basalt::System::ScheduledItem::State::Completed);

  Basalt::Ref<Basalt::System::ScheduledItem> other(new Basalt::System::ScheduledItem());
  EXPECT_TRUE(other->Cancel());
  EXPECT_FALSE(other->Complete());
  other->Wait();  // returns at once
}

TEST(ScheduledItem, TimedWaitsOfEveryLengthGiveUpWhilePendingAndSeeCompletionFromAnotherThread) {
  using namespace std::chrono_literals;
  using Clock = std::chrono::steady_clock;
  Basalt::Ref<Basalt::System::ScheduledItem> item(new Basalt::System::ScheduledItem());
  EXPECT_FALSE(item->WaitFor(std::chrono::nanoseconds::min()));
  EXPECT_FALSE(item->WaitFor(0ms));
  EXPECT_FALSE(item->WaitFor(2ms));
  EXPECT_FALSE(item->WaitUntil(Clock::time_point::min()));
  EXPECT_FALSE(item->WaitUntil(Clock::now() - 1s));
  EXPECT_FALSE(item->IsDone());

  // Several waiters, one of them without a deadline, all woken by one completion.
  std::atomic<int> woke{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&, i] {
      if (i == 0) {
        item->Wait();
        ++woke;
      } else if (item->WaitFor(60s)) {
        ++woke;
      }
    });
  }
  std::thread completer([&] { item->Complete(); });
  completer.join();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(woke.load(), 3);
  EXPECT_TRUE(item->WaitFor(0ms));
  // The largest timeouts would overflow the deadline (UBSan checks it).
  EXPECT_TRUE(item->WaitFor(std::chrono::nanoseconds::max()));
  EXPECT_TRUE(item->WaitUntil(Clock::time_point::max()));
}

}  // namespace
