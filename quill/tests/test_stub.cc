// Sync calls through stubs and the in-process adapter, with the sample.rpc types: boxing,
// dispatch, results, faults, bad input, privileges.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "RpcImpl.h"
#include "quill/StubSupport.h"
#include "quill/Type.h"

namespace {

using namespace Quill;
using SampleImpl::CounterImpl;

using SampleImpl::BindAll;

// Runs `call`, expects it to throw E, and returns the fault it carried.
template <class E, class F>
Basalt::Ref<MethodFault> FaultOf(F call) {
  try {
    call();
  } catch (E const& e) {
    return Basalt::Ref<MethodFault>(e.GetFault());
  }
  ADD_FAILURE() << "expected " << Basalt::Demangle(typeid(E));
  return {};
}

std::string InvalidProperty(MethodFault* f) {
  auto* ia = dynamic_cast<Fault::InvalidArgument*>(f);
  return ia && ia->invalidProperty.IsSet() ? ia->invalidProperty->GetString() : "<none>";
}

// A stub whose transport is scripted: it records what the generated code
// hands to _Invoke_Task and answers with `next` (or goes on to the adapter).
class ScriptedStub : public Sample::Rpc::CounterStub {
 public:
  using CounterStub::CounterStub;
  void _Invoke_Task(ManagedMethod* method, ArgVector& args, Basalt::Ref<Any>& result) override {
    lastMethod = method;
    lastArgs = args;
    ++calls;
    if (passThrough) {
      StubImpl::_Invoke_Task(method, args, result);
    } else {
      result = next;
    }
  }
  using StubImpl::_Invoke_Task;

  bool passThrough = true;
  Basalt::Ref<Any> next;
  ManagedMethod* lastMethod = nullptr;
  ArgVector lastArgs;
  int calls = 0;
};

struct Calls : ::testing::Test, SampleImpl::CounterServer {
  void SetUp() override {
    BindAll();
    Start();
  }
};

TEST_F(Calls, TypedValuesRoundTripThroughBoxingDispatchAndBack) {
  // An array property without value: the sync getter yields an empty array.
  Basalt::Ref<Array<long>> history;
  stub->GetHistory(history);
  ASSERT_TRUE(history);
  EXPECT_TRUE(history->empty());

  EXPECT_EQ(stub->Add(5, {}), 5);
  EXPECT_EQ(stub->Add(-2, std::string("why")), 3);
  EXPECT_EQ(stub->GetValue(), 3);

  // Through the interface, as a caller that does not know it holds a stub.
  Sample::Rpc::Counter* counter = stub.get();
  EXPECT_EQ(counter->Add(10, {}), 13);
  EXPECT_EQ(counter->_GetRef(), ref.get());
  EXPECT_EQ(counter->_GetType(), GetMoType<Sample::Rpc::Counter>());

  // An optional bool arrives unset, false or true, never confused.
  EXPECT_EQ(stub->Label("ab", 3, {}), "ab#3");
  EXPECT_EQ(impl->lastUpper.load(), -1);
  EXPECT_EQ(stub->Label("ab", 3, false), "ab#3");
  EXPECT_EQ(impl->lastUpper.load(), 0);
  EXPECT_EQ(stub->Label("ab", 3, true), "AB#3");
  EXPECT_EQ(impl->lastUpper.load(), 1);

  // Objects, enumerations, arrays and times.
  Basalt::Ref<Sample::Shape> shape(new Sample::Shape());
  shape->name = "sq";
  Basalt::Ref<Array<std::string>> tags(new Array<std::string>({"a", "b"}));
  auto when = Basalt::System::DateTime::FromCivil(2024, 3, 5, 10, 20, 30);
  Basalt::Ref<DataArray<Sample::Shape>> painted;
  stub->Paint(shape.get(), Sample::Color::blue, tags.get(), when, painted);
  ASSERT_TRUE(painted);
  ASSERT_EQ(painted->size(), 1u);
  EXPECT_EQ(painted->Get(0)->name, "sq");
  EXPECT_EQ(painted->Get(0)->color, Sample::Color::blue);
  EXPECT_EQ(painted->Get(0)->tags.get(), tags.get());  // passed by reference, not copied
  EXPECT_EQ(*painted->Get(0)->created, when);
  EXPECT_NE(painted->Get(0), shape.get());

  // No result for an array: the sync form yields a new empty array.
  stub->Paint(nullptr, Sample::Color::red, nullptr, {}, painted);
  ASSERT_TRUE(painted);
  EXPECT_TRUE(painted->empty());

  // Adds with a note are recorded.
  stub->Add(1, std::string("n"));
  stub->GetHistory(history);
  EXPECT_EQ(history->GetValues(), (std::vector<long>{3, 14}));

  stub->Reset();
  EXPECT_EQ(stub->GetValue(), 0);
}

TEST_F(Calls, GeneratedCodeBoxesEachParameterFormAsDocumented) {
  Basalt::Ref<ScriptedStub> s(new ScriptedStub(ref.get(), adapter.get(), nullptr));
  s->Add(7, {});
  ASSERT_EQ(s->lastArgs.size(), 2u);
  EXPECT_EQ(Unbox<int>(s->lastArgs[0].get()), 7);
  EXPECT_FALSE(s->lastArgs[1]);  // unset optional: empty slot
  EXPECT_EQ(s->lastMethod, gSampleRpcCounterMethodObjects[0]);

  s->Label("", 2, false);
  ASSERT_EQ(s->lastArgs.size(), 3u);
  EXPECT_EQ(Unbox<std::string>(s->lastArgs[0].get()), "");            // an empty string is a value
  EXPECT_EQ(s->lastArgs[2].get(), Primitive<bool>::Factory::sFalse);  // the shared box
  s->Label("x", 2, true);
  EXPECT_EQ(s->lastArgs[2].get(), Primitive<bool>::Factory::sTrue);

  Basalt::Ref<Array<std::string>> tags(new Array<std::string>());
  Basalt::Ref<DataArray<Sample::Shape>> out;
  s->Paint(nullptr, Sample::Color::green, tags.get(), {}, out);
  ASSERT_EQ(s->lastArgs.size(), 4u);
  EXPECT_FALSE(s->lastArgs[0]);  // a null object: empty slot, not checked by the stub
  EXPECT_EQ(Unbox<Sample::Color>(s->lastArgs[1].get()), Sample::Color::green);
  EXPECT_EQ(s->lastArgs[2].get(), tags.get());
  EXPECT_FALSE(s->lastArgs[3]);

  // Operations without parameters pass an empty vector; those without a
  // result still go through the virtual three-argument form.
  s->Reset();
  EXPECT_TRUE(s->lastArgs.empty());
  EXPECT_EQ(s->lastMethod, gSampleRpcCounterMethodObjects[1]);
  s->GetValue();
  EXPECT_EQ(s->lastMethod, gSampleRpcCounterMethodObjects[6]);  // properties follow the methods
  EXPECT_EQ(s->calls, 6);
}

TEST_F(Calls, ResultsAreCheckedAndConvertedToTheDeclaredForm) {
  Basalt::Ref<ScriptedStub> s(new ScriptedStub(ref.get(), adapter.get(), nullptr));
  s->passThrough = false;

  // A required value that never came: a fault naming the method, not a null read.
  auto fault = FaultOf<Fault::SystemError::Exception>([&] { s->GetValue(); });
  ASSERT_TRUE(fault);
  EXPECT_NE(static_cast<Fault::SystemError*>(fault.get())->reason.find("sample.rpc.Counter.value"), std::string::npos);

  // A box of another class names the expected class first.
  s->next = new Primitive<int>(4);
  try {
    s->GetValue();
    ADD_FAILURE() << "no type mismatch";
  } catch (Basalt::TypeMismatchException const& e) {
    EXPECT_EQ(e.GetExpected(), typeid(Primitive<long>));
    EXPECT_EQ(e.GetActual(), typeid(Primitive<int>));
    EXPECT_STREQ(e.what(), "Type mismatch: expected Quill::Primitive<long>, got Quill::Primitive<int>");
  }

  // Out-parameters keep their value when the result has the wrong class.
  Basalt::Ref<Array<long>> history(new Array<long>({9}));
  Array<long>* before = history.get();
  s->next = new Array<int>({1});
  EXPECT_THROW(s->GetHistory(history), Basalt::TypeMismatchException);
  EXPECT_EQ(history.get(), before);

  // A task method returns whatever reference came back, unconverted.
  Basalt::Ref<MoRef> task(new MoRef("sample.rpc.Task", "t-9"));
  s->next = task;
  Basalt::Ref<MoRef> got;
  s->Resize(1, got);
  EXPECT_EQ(got.get(), task.get());
  s->next = nullptr;
  s->Resize(1, got);
  EXPECT_FALSE(got);  // an empty object result empties the out-parameter

  // An optional value result is unset when empty.
  EXPECT_FALSE(ResultOptional<long>(nullptr).IsSet());
  EXPECT_EQ(*ResultOptional<long>(Basalt::Ref<Any>(new Primitive<long>(3)).get()), 3);
  EXPECT_EQ(s->calls, 5);
}

TEST_F(Calls, FaultsArriveAsTheirOwnClassAndAreCaughtByEveryBase) {
  auto thrower = [&] { stub->Add(1, std::string("fault")); };
  try {
    thrower();
    ADD_FAILURE() << "no fault";
  } catch (Sample::BadShapeFault::Exception const& e) {
    EXPECT_EQ(static_cast<Sample::BadShapeFault*>(e.GetFault())->shapeName, "counter");
  }
  EXPECT_THROW(thrower(), Fault::InvalidArgument::Exception);
  EXPECT_THROW(thrower(), RuntimeFault::Exception);
  EXPECT_THROW(thrower(), MethodFault::Exception);
  EXPECT_THROW(thrower(), Basalt::Exception);
  EXPECT_EQ(stub->GetValue(), 0);  // nothing was added

  // A plain C++ exception of the implementation arrives as a SystemError.
  auto fault = FaultOf<Fault::SystemError::Exception>([&] { stub->Add(1, std::string("std")); });
  ASSERT_TRUE(fault);
  EXPECT_NE(static_cast<Fault::SystemError*>(fault.get())->reason.find("plain failure"), std::string::npos);
}

TEST_F(Calls, InheritedOperationsGoThroughTheDeclaringTypesDispatch) {
  Basalt::Ref<MoRef> bigRef(new MoRef("sample.rpc.BigCounter", "b-1"));
  Basalt::Ref<SampleImpl::BigCounterImpl> big(new SampleImpl::BigCounterImpl(bigRef.get()));
  adapter->Register(nullptr, big.get());
  auto bigStub = CreateStub<Sample::Rpc::BigCounterStub>(bigRef.get(), adapter.get());

  EXPECT_EQ(bigStub->Add(6, {}), 6);  // sample.rpc.Counter's dispatch, index 0
  bigStub->Boost(7);                  // sample.rpc.BigCounter's dispatch, index 0
  EXPECT_EQ(bigStub->GetValue(), 42);
  EXPECT_EQ(bigStub->GetLimit(), 100);
  Sample::Rpc::Counter* asCounter = bigStub.get();
  EXPECT_EQ(asCounter->_GetType(), GetMoType<Sample::Rpc::BigCounter>());
  EXPECT_EQ(asCounter->Label("b", 1, {}), "b#1");
  EXPECT_EQ(impl->GetValue(), 0);  // the other object saw nothing

  // The factory picks the stub class from the reference's type.
  Basalt::Ref<StubImpl> generic = CreateStub(bigRef.get(), adapter.get());
  EXPECT_NE(dynamic_cast<Sample::Rpc::BigCounterStub*>(generic.get()), nullptr);
}

TEST_F(Calls, TaskMethodReturnsTheTaskReferenceAndTheTaskRunsOnTheExecutor) {
  Basalt::Ref<MoRef> taskRef;
  stub->Resize(4, taskRef);
  ASSERT_TRUE(taskRef);
  EXPECT_EQ(taskRef->GetTypeName(), "sample.rpc.Task");
  EXPECT_EQ(taskRef->GetId().rfind("task-", 0), 0u);

  auto task = CreateStub<Sample::Rpc::Task>(taskRef.get(), adapter.get());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (task->GetState() != "success" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(task->GetState(), "success");
  Basalt::Ref<Any> outcome;
  task->GetResult(outcome);
  auto* shape = dynamic_cast<Sample::Shape*>(outcome.get());
  ASSERT_NE(shape, nullptr);
  EXPECT_EQ(shape->name, "size-4");

  // Each task has its own reference.
  Basalt::Ref<MoRef> second;
  stub->Resize(-1, second);
  EXPECT_NE(second->GetId(), taskRef->GetId());
  EXPECT_EQ(adapter->GetObjectCount(), 3u);
}

TEST_F(Calls, BadInputGivesAClearFaultAndReachesNoImplementation) {
  ArgVector none, one = Args(3), missing(2);
  Basalt::Ref<Any> result;
  auto invoke = [&](ManagedMethod* method, ArgVector& args) { stub->_Invoke_Task(method, args, result); };
  // Each refusal names what was wrong in invalidProperty.
  struct Case {
    char const* what;
    std::function<void()> call;
    char const* property;
  } const cases[] = {
      {"a stub without a reference", [&] { Sample::Rpc::CounterStub s(nullptr, adapter.get(), nullptr); }, "moref"},
      {"the factory without an adapter", [&] { CreateStub(ref.get(), nullptr); }, "adapter"},
      {"the factory without a reference", [&] { CreateStub(nullptr, adapter.get()); }, "moref"},
      {"a method of another type", [&] { invoke(gSampleRpcTaskMethodObjects[0], none); }, "method"},
      {"a method of a derived type", [&] { invoke(gSampleRpcBigCounterMethodObjects[0], none); }, "method"},
      {"no method", [&] { invoke(nullptr, none); }, "method"},
      {"too few arguments", [&] { invoke(gSampleRpcCounterMethodObjects[0], one); }, "args"},
      {"an empty slot for a required value", [&] { invoke(gSampleRpcCounterMethodObjects[0], missing); }, "amount"},
      {"registering without a reference", [&] { adapter->Register(nullptr, new CounterImpl(nullptr)); }, "ref"},
      {"registering a reference twice", [&] { adapter->Register(ref.get(), new CounterImpl(nullptr)); }, "ref"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(InvalidProperty(FaultOf<Fault::InvalidArgument::Exception>(c.call).get()), c.property);
  }
  Basalt::Ref<MoRef> unknownType(new MoRef("sample.rpc.Nothing", "x"));
  EXPECT_THROW(CreateStub(unknownType.get(), adapter.get()), Fault::InvalidType::Exception);
  EXPECT_THROW(CreateStub<Sample::Rpc::Task>(ref.get(), adapter.get()), Basalt::TypeMismatchException);
  ArgVector three = Args(3, std::string("n"), 4);
  EXPECT_THROW(invoke(gSampleRpcCounterMethodObjects[0], three), Fault::InvalidArgument::Exception);
  // A box of the wrong class is refused by dispatch before the implementation.
  ArgVector wrong = Args(std::string("3"), nullptr);
  EXPECT_THROW(stub->_Invoke_Task(gSampleRpcCounterMethodObjects[0], wrong, result), Basalt::TypeMismatchException);
  EXPECT_EQ(impl->GetValue(), 0);
  EXPECT_FALSE(result);

  // An unknown reference.
  Basalt::Ref<MoRef> gone(new MoRef("sample.rpc.Counter", "c-404"));
  auto ghost = CreateStub<Sample::Rpc::CounterStub>(gone.get(), adapter.get());
  auto notFound = FaultOf<Fault::ManagedObjectNotFound::Exception>([&] { ghost->GetValue(); });
  ASSERT_TRUE(notFound);
  EXPECT_TRUE(static_cast<Fault::ManagedObjectNotFound*>(notFound.get())->obj->_IsEqual(gone.get(), false));
}

TEST_F(Calls, DisabledOperationsAreNotSupported) {
  EXPECT_THROW(stub->Legacy(), Fault::NotSupported::Exception);  // the stub has no invocation code
  // The asynchronous form reports it as any call's failure: to the callback, before it returns.
  Basalt::Ref<Basalt::System::ScheduledItem> item;
  bool refused = false;
  stub->Legacy([&](Basalt::System::ScheduledItem*, Basalt::Exception* e,
                   Any*) { refused = dynamic_cast<Fault::NotSupported::Exception*>(e) != nullptr; },
               item);
  EXPECT_TRUE(refused);
  ASSERT_TRUE(item);
  EXPECT_TRUE(item->IsDone());
  // Called through its method object, the adapter refuses it: dispatch has no entry.
  ArgVector none;
  Basalt::Ref<Any> result;
  EXPECT_TRUE(gSampleRpcCounterMethodObjects[5]->IsDisabled());
  EXPECT_FALSE(gSampleRpcCounterMethodObjects[0]->IsDisabled());
  EXPECT_THROW(stub->_Invoke_Task(gSampleRpcCounterMethodObjects[5], none, result), Fault::NotSupported::Exception);
}

TEST_F(Calls, DispatchHelpersRefuseWrongObjectsSlotsAndIndexes) {
  DispatchFn dispatch = GetMoType<Sample::Rpc::Counter>()->GetDescriptor()->dispatch;
  Basalt::Ref<Any> result(new Primitive<int>(1));  // dispatch clears it first

  ArgVector empty(2);
  auto missing = FaultOf<Fault::InvalidArgument::Exception>([&] { dispatch(impl.get(), 0, empty.data(), &result); });
  EXPECT_EQ(InvalidProperty(missing.get()), "args[0]");
  EXPECT_FALSE(result);

  ArgVector wrong = Args(1, 2);  // the optional note holds an int
  try {
    dispatch(impl.get(), 0, wrong.data(), &result);
    ADD_FAILURE() << "no type mismatch";
  } catch (Basalt::TypeMismatchException const& e) {
    EXPECT_EQ(e.GetExpected(), typeid(Primitive<std::string>));
    EXPECT_EQ(e.GetActual(), typeid(Primitive<int>));
  }

  Basalt::Ref<SampleImpl::TaskImpl> task(new SampleImpl::TaskImpl(nullptr));
  ArgVector ok = Args(1, nullptr);
  try {
    dispatch(task.get(), 0, ok.data(), &result);
    ADD_FAILURE() << "no type mismatch";
  } catch (Basalt::TypeMismatchException const& e) {
    EXPECT_EQ(e.GetExpected(), typeid(Sample::Rpc::Counter));
    EXPECT_EQ(e.GetActual(), typeid(SampleImpl::TaskImpl));
  }
  EXPECT_THROW(dispatch(nullptr, 0, ok.data(), &result), Fault::InvalidArgument::Exception);
  EXPECT_THROW(dispatch(impl.get(), 5, nullptr, &result), Fault::NotSupported::Exception);
  EXPECT_THROW(dispatch(impl.get(), 99, nullptr, &result), Fault::NotSupported::Exception);

  dispatch(impl.get(), 0, ok.data(), &result);
  EXPECT_EQ(Unbox<long>(result.get()), 1);
  // An empty array result leaves the holder empty on this side.
  dispatch(impl.get(), 7, nullptr, &result);
  EXPECT_FALSE(result);
}

TEST_F(Calls, RegistrationRefusesBadObjectsAndDeactivatesOnRemoval) {
  // The refusals that name the reference are in BadInputGivesAClearFaultAndReachesNoImplementation.
  EXPECT_THROW(adapter->Register(ref.get(), nullptr), Fault::InvalidArgument::Exception);
  Basalt::Ref<MoRef> asTask(new MoRef("sample.rpc.Task", "c-2"));
  EXPECT_THROW(adapter->Register(asTask.get(), new CounterImpl(nullptr)), Fault::InvalidArgument::Exception);
  Basalt::Ref<MoRef> asBig(new MoRef("sample.rpc.BigCounter", "c-3"));  // a Counter is no BigCounter
  EXPECT_THROW(adapter->Register(asBig.get(), new CounterImpl(nullptr)), Fault::InvalidArgument::Exception);
  EXPECT_EQ(adapter->GetObjectCount(), 1u);

  EXPECT_EQ(adapter->Find(ref.get()).get(), static_cast<ManagedObject*>(impl.get()));
  EXPECT_TRUE(adapter->Unregister(ref.get()));
  EXPECT_FALSE(adapter->Unregister(ref.get()));
  EXPECT_EQ(impl->deactivations.load(), 1);
  EXPECT_THROW(stub->GetValue(), Fault::ManagedObjectNotFound::Exception);

  adapter->Register(ref.get(), impl.get());
  adapter->Shutdown();
  EXPECT_EQ(impl->deactivations.load(), 2);
  EXPECT_EQ(adapter->GetObjectCount(), 0u);
  EXPECT_THROW(stub->GetValue(), Fault::RequestCanceled::Exception);
  EXPECT_THROW(adapter->Register(ref.get(), impl.get()), Fault::RequestCanceled::Exception);
}

TEST(Privileges, CheckerSeesTheMethodOrPerTypePrivilegeAndCanDeny) {
  BindAll();
  std::vector<std::string> seen;
  LocalAdapter::Options options;
  options.checkPrivilege = [&](CallInfo const& call) {
    seen.push_back(call.privilege ? call.privilege : "(none)");
    Basalt::Ref<Any> user = call.context ? call.context->Get("user") : nullptr;
    if (call.privilege && std::string(call.privilege) == "Counter.Reset" &&
        !(user && Unbox<std::string>(user.get()) == "admin")) {
      Basalt::Ref<Fault::SecurityError>(new Fault::SecurityError())->Throw();
    }
    EXPECT_EQ(LocalAdapter::CurrentCall(), &call);
  };
  Basalt::Ref<LocalAdapter> adapter(new LocalAdapter(options));
  Basalt::Ref<MoRef> cref(new MoRef("sample.rpc.Counter", "c-1"));
  Basalt::Ref<MoRef> bref(new MoRef("sample.rpc.BigCounter", "b-1"));
  Basalt::Ref<CounterImpl> counter(new CounterImpl(cref.get()));
  adapter->Register(nullptr, counter.get());
  adapter->Register(nullptr, new SampleImpl::BigCounterImpl(bref.get()));
  Basalt::Ref<RequestContext> guest(new RequestContext());
  guest->Set("user", Box(std::string("guest")).get());
  auto c = CreateStub<Sample::Rpc::CounterStub>(cref.get(), adapter.get(), guest.get());
  auto b = CreateStub<Sample::Rpc::BigCounterStub>(bref.get(), adapter.get(), guest.get());

  c->Add(2, {});
  c->GetValue();
  EXPECT_THROW(c->Reset(), Fault::SecurityError::Exception);
  EXPECT_EQ(counter->GetValue(), 2);  // denied before dispatch
  b->Reset();                         // "BigCounter.Reset" is not the denied one
  EXPECT_EQ(seen, (std::vector<std::string>{"Counter.Modify", "System.Read", "Counter.Reset", "BigCounter.Reset"}));

  Basalt::Ref<RequestContext> admin(new RequestContext());
  admin->Set("user", Box(std::string("admin")).get());
  c->_SetRequestContext(admin.get());
  c->Reset();
  EXPECT_EQ(counter->GetValue(), 0);
  EXPECT_EQ(LocalAdapter::CurrentCall(), nullptr);
}

TEST(RequestContext, KeysValuesAndReplacement) {
  Basalt::Ref<RequestContext> ctx(new RequestContext());
  EXPECT_FALSE(ctx->Get("a"));
  ctx->Set("b", Box(2).get());
  ctx->Set("a", Box(1).get());
  ctx->Set("a", Box(3).get());
  ctx->Set("n", nullptr);
  EXPECT_EQ(Unbox<int>(ctx->Get("a").get()), 3);
  EXPECT_TRUE(ctx->Contains("n"));
  EXPECT_EQ(ctx->GetKeys(), (std::vector<std::string>{"a", "b", "n"}));
  EXPECT_TRUE(ctx->Remove("a"));
  EXPECT_FALSE(ctx->Remove("a"));
  EXPECT_FALSE(ctx->Contains("a"));
}

TEST(Boxing, OverloadsPickTheRightBoxForEachForm) {
  BindAll();
  // The class of a box, through a plain reference (typeid evaluates nothing then).
  auto classOf = [](Basalt::Ref<Any> const& box) -> std::type_info const& {
    Any const& value = *box;
    return typeid(value);
  };
  EXPECT_EQ(classOf(Box(std::string("s"))), typeid(Primitive<std::string>));
  EXPECT_EQ(classOf(Box("literal")), typeid(Primitive<std::string>));  // not a bool
  EXPECT_EQ(classOf(Box(4L)), typeid(Primitive<long>));
  EXPECT_EQ(classOf(Box(Sample::Color::red)), typeid(Primitive<Sample::Color>));
  EXPECT_EQ(classOf(Box(Basalt::Optional<TypeName>(TypeName("t")))), typeid(Primitive<TypeName>));
  EXPECT_FALSE(Box(Basalt::Optional<TypeName>()));
  EXPECT_EQ(Box(Basalt::Optional<bool>(true)).get(), Primitive<bool>::Factory::sTrue);
  EXPECT_FALSE(Box(Basalt::Optional<bool>()));
  EXPECT_FALSE(Box(static_cast<Sample::Shape*>(nullptr)));
  std::vector<unsigned char> bytes{1, 2, 3};
  Basalt::Ref<Any> boxed = Box(bytes);
  bytes[0] = 9;  // the box holds a copy
  EXPECT_EQ(Unbox<std::vector<unsigned char>>(boxed.get())[0], 1);
  EXPECT_TRUE(Args().empty());
  EXPECT_EQ(Args().capacity(), 0u);  // no allocation without arguments
}

}  // namespace
