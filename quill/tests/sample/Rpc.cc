#include "Rpc.h"

#include <cstring>

#include "quill/Loader.h"
#include "quill/StubSupport.h"
#include "quill/Type.h"

// --- records ---------------------------------------------------------------------------
Quill::TypeInfo const gSampleRpcCounterTypeInfo = {Quill::KIND_MANAGED, "sample.rpc.Counter", "Counter",
                                                   "sample.version.v1"};
Quill::TypeInfo const gSampleRpcBigCounterTypeInfo = {Quill::KIND_MANAGED, "sample.rpc.BigCounter", "BigCounter",
                                                      "sample.version.v2"};
Quill::TypeInfo const gSampleRpcTaskTypeInfo = {Quill::KIND_MANAGED, "sample.rpc.Task", "SampleTask",
                                                "sample.version.v1"};

namespace {
Quill::Type* gSampleRpcSlots[3];
}  // namespace

template <>
Quill::ManagedObjectType* Quill::GetMoType<Sample::Rpc::Counter>() {
  return static_cast<ManagedObjectType*>(gSampleRpcSlots[0]);
}
template <>
Quill::ManagedObjectType* Quill::GetMoType<Sample::Rpc::BigCounter>() {
  return static_cast<ManagedObjectType*>(gSampleRpcSlots[1]);
}
template <>
Quill::ManagedObjectType* Quill::GetMoType<Sample::Rpc::Task>() {
  return static_cast<ManagedObjectType*>(gSampleRpcSlots[2]);
}

namespace Sample::Rpc {

// Own methods + own properties + 1.
Quill::ManagedMethod* gSampleRpcCounterMethodObjects[6 + 2 + 1];
Quill::ManagedMethod* gSampleRpcBigCounterMethodObjects[1 + 1 + 1];
Quill::ManagedMethod* gSampleRpcTaskMethodObjects[1 + 2 + 1];

namespace {
auto* const M = gSampleRpcCounterMethodObjects;
auto* const B = gSampleRpcBigCounterMethodObjects;
auto* const T = gSampleRpcTaskMethodObjects;
}  // namespace

// --- interfaces ------------------------------------------------------------------------
char const Counter::METHOD_ADD[] = "sample.rpc.Counter.add";
char const Counter::METHOD_RESET[] = "sample.rpc.Counter.reset";
char const Counter::METHOD_RESIZE[] = "sample.rpc.Counter.resize";
char const Counter::METHOD_LABEL[] = "sample.rpc.Counter.label";
char const Counter::METHOD_PAINT[] = "sample.rpc.Counter.paint";
char const Counter::METHOD_LEGACY[] = "sample.rpc.Counter.legacy";
char const BigCounter::METHOD_BOOST[] = "sample.rpc.BigCounter.boost";
char const Task::METHOD_CANCEL[] = "sample.rpc.Task.cancel";

Quill::ManagedObjectType* Counter::_GetType() const { return Quill::GetMoType<Counter>(); }
Quill::ManagedObjectType* BigCounter::_GetType() const { return Quill::GetMoType<BigCounter>(); }
Quill::ManagedObjectType* Task::_GetType() const { return Quill::GetMoType<Task>(); }

// --- stubs -------------------------------------------------------------------------------
using Quill::Args;
using Quill::InvokeCallback;

CounterStub::CounterStub(Quill::MoRef* moref, Quill::StubAdapter* adapter, Quill::RequestContext* context)
    : Quill::StubImpl(moref, adapter, context) {}
CounterStub::~CounterStub() = default;

long CounterStub::GetValue() { return Quill::InvokeValue<long>(this, M[6], Args()); }
void CounterStub::GetHistory(Basalt::Ref<Quill::Array<long>>& result) { Quill::InvokeInto(this, M[7], Args(), result); }
long CounterStub::Add(int amount, Basalt::Optional<std::string> const& note) {
  return Quill::InvokeValue<long>(this, M[0], Args(amount, note));
}
void CounterStub::Reset() { Quill::Invoke(this, M[1], Args()); }
void CounterStub::Resize(int size, Basalt::Ref<Quill::MoRef>& result) {
  Quill::InvokeInto(this, M[2], Args(size), result);
}
std::string CounterStub::Label(std::string const& prefix, int width, Basalt::Optional<bool> const& upper) {
  return Quill::InvokeValue<std::string>(this, M[3], Args(prefix, width, upper));
}
void CounterStub::Paint(Sample::Shape* shape, Sample::Color color, Quill::Array<std::string>* tags,
                        Basalt::Optional<Basalt::System::DateTime> const& when,
                        Basalt::Ref<Quill::DataArray<Sample::Shape>>& result) {
  Quill::InvokeInto(this, M[4], Args(shape, color, tags, when), result);
}
void CounterStub::Legacy() { Quill::ThrowDisabledOperation(METHOD_LEGACY); }

void CounterStub::GetValue(InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, M[6], Args(), callback, item);
}
void CounterStub::GetHistory(InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, M[7], Args(), callback, item);
}
void CounterStub::Add(int amount, Basalt::Optional<std::string> const& note, InvokeCallback const& callback,
                      Item& item) {
  Quill::StartInvoke(this, M[0], Args(amount, note), callback, item);
}
void CounterStub::Reset(InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, M[1], Args(), callback, item);
}
void CounterStub::Resize(int size, InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, M[2], Args(size), callback, item);
}
void CounterStub::Label(std::string const& prefix, int width, Basalt::Optional<bool> const& upper,
                        InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, M[3], Args(prefix, width, upper), callback, item);
}
void CounterStub::Paint(Sample::Shape* shape, Sample::Color color, Quill::Array<std::string>* tags,
                        Basalt::Optional<Basalt::System::DateTime> const& when, InvokeCallback const& callback,
                        Item& item) {
  Quill::StartInvoke(this, M[4], Args(shape, color, tags, when), callback, item);
}
void CounterStub::Legacy(InvokeCallback const&, Item&) { Quill::ThrowDisabledOperation(METHOD_LEGACY); }

BigCounterStub::BigCounterStub(Quill::MoRef* moref, Quill::StubAdapter* adapter, Quill::RequestContext* context)
    : CounterStub(moref, adapter, context) {}
BigCounterStub::~BigCounterStub() = default;

int BigCounterStub::GetLimit() { return Quill::InvokeValue<int>(this, B[1], Args()); }
void BigCounterStub::Boost(long factor) { Quill::Invoke(this, B[0], Args(factor)); }
void BigCounterStub::GetLimit(InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, B[1], Args(), callback, item);
}
void BigCounterStub::Boost(long factor, InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, B[0], Args(factor), callback, item);
}

TaskStub::TaskStub(Quill::MoRef* moref, Quill::StubAdapter* adapter, Quill::RequestContext* context)
    : Quill::StubImpl(moref, adapter, context) {}
TaskStub::~TaskStub() = default;

std::string TaskStub::GetState() { return Quill::InvokeValue<std::string>(this, T[1], Args()); }
void TaskStub::GetResult(Basalt::Ref<Quill::Any>& result) { Quill::InvokeInto(this, T[2], Args(), result); }
void TaskStub::Cancel() { Quill::Invoke(this, T[0], Args()); }
void TaskStub::GetState(InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, T[1], Args(), callback, item);
}
void TaskStub::GetResult(InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, T[2], Args(), callback, item);
}
void TaskStub::Cancel(InvokeCallback const& callback, Item& item) {
  Quill::StartInvoke(this, T[0], Args(), callback, item);
}

}  // namespace Sample::Rpc

// --- dispatch, stub factories, name lookup ---------------------------------------------------
namespace {
using namespace Quill;
using Sample::Rpc::BigCounter;
using Sample::Rpc::Counter;
using Sample::Rpc::Task;
using ArgArray = Basalt::Ref<Any> const*;

void CounterDispatch(ManagedObject* object, std::uint32_t index, ArgArray args, Basalt::Ref<Any>* result) {
  result->reset();
  auto* self = DispatchTarget<Counter>(object);
  switch (index) {
    case 0:
      *result = Box(self->Add(ArgValue<int>(args, 0), ArgOptional<std::string>(args, 1)));
      break;
    case 1:
      self->Reset();
      break;
    case 2: {
      Basalt::Ref<MoRef> r;
      self->Resize(ArgValue<int>(args, 0), r);
      *result = r;
    } break;
    case 3:
      *result = Box(self->Label(ArgValue<std::string>(args, 0), ArgValue<int>(args, 1), ArgOptional<bool>(args, 2)));
      break;
    case 4: {
      Basalt::Ref<DataArray<Sample::Shape>> r;
      self->Paint(ArgObject<Sample::Shape>(args, 0), ArgValue<Sample::Color>(args, 1),
                  ArgObject<Array<std::string>>(args, 2), ArgOptional<Basalt::System::DateTime>(args, 3), r);
      *result = r;
    } break;
    // 5: legacy, of the disabled version, has no entry.
    case 6:
      *result = Box(self->GetValue());
      break;
    case 7: {
      Basalt::Ref<Array<long>> r;
      self->GetHistory(r);
      *result = r;
    } break;
    default:
      ThrowNoDispatchEntry(self->_GetType(), index);
  }
}

void BigCounterDispatch(ManagedObject* object, std::uint32_t index, ArgArray args, Basalt::Ref<Any>* result) {
  result->reset();
  auto* self = DispatchTarget<BigCounter>(object);
  switch (index) {
    case 0:
      self->Boost(ArgValue<long>(args, 0));
      break;
    case 1:
      *result = Box(self->GetLimit());
      break;
    default:
      ThrowNoDispatchEntry(self->_GetType(), index);
  }
}

void TaskDispatch(ManagedObject* object, std::uint32_t index, ArgArray, Basalt::Ref<Any>* result) {
  result->reset();
  auto* self = DispatchTarget<Task>(object);
  switch (index) {
    case 0:
      self->Cancel();
      break;
    case 1:
      *result = Box(self->GetState());
      break;
    case 2: {
      Basalt::Ref<Any> r;
      self->GetResult(r);
      *result = r;
    } break;
    default:
      ThrowNoDispatchEntry(self->_GetType(), index);
  }
}

StubImpl* CreateCounterStub(MoRef* moref, StubAdapter* adapter, RequestContext* context) {
  return new Sample::Rpc::CounterStub(moref, adapter, context);
}
StubImpl* CreateBigCounterStub(MoRef* moref, StubAdapter* adapter, RequestContext* context) {
  return new Sample::Rpc::BigCounterStub(moref, adapter, context);
}
StubImpl* CreateTaskStub(MoRef* moref, StubAdapter* adapter, RequestContext* context) {
  return new Sample::Rpc::TaskStub(moref, adapter, context);
}

// strncmp, as generated code does: it stops at a NUL in `name`, so a length
// longer than a terminated name never reads past it.
bool Is(char const* name, std::uint32_t length, char const* candidate) {
  return std::strncmp(name, candidate, length) == 0;
}
std::int32_t CounterPropertyIndex(char const* name, std::uint32_t length) {
  switch (length) {
    case 5:
      return Is(name, length, "value") ? 0 : -1;
    case 7:
      return Is(name, length, "history") ? 1 : -1;
    default:
      return -1;
  }
}
std::int32_t BigCounterPropertyIndex(char const* name, std::uint32_t length) {
  if (length == 5 && Is(name, length, "limit")) return 2;
  return CounterPropertyIndex(name, length);
}
std::int32_t TaskPropertyIndex(char const* name, std::uint32_t length) {
  switch (length) {
    case 5:
      return Is(name, length, "state") ? 0 : -1;
    case 6:
      return Is(name, length, "result") ? 1 : -1;
    default:
      return -1;
  }
}

// --- tables ----------------------------------------------------------------------------------
char const kV1[] = "sample.version.v1";
char const kV2[] = "sample.version.v2";
char const kDisabled[] = "sample.version.disabled";
char const kV0[] = "sedge.version.version0";

PropertyInfo gCounterProps[3];
PropertyInfo gBigCounterProps[2];
PropertyInfo gTaskProps[3];
PropertyInfo gAddParams[3];
PropertyInfo gResizeParams[2];
PropertyInfo gLabelParams[4];
PropertyInfo gPaintParams[5];
PropertyInfo gBoostParams[2];
MethodInfo gCounterMethods[7];
MethodInfo gBigCounterMethods[2];
MethodInfo gTaskMethods[2];
PropertyInfo const kNoParams[] = {{}};
TypeInfo const* const kAddFaults[] = {&gSampleBadShapeFaultTypeInfo, nullptr};
TypeInfo const* const kNoFaults[] = {nullptr};
TypePrivilege const kResetPrivileges[] = {
    {"sample.rpc.Counter", "Counter.Reset"}, {"sample.rpc.BigCounter", "BigCounter.Reset"}, {nullptr, nullptr}};

ManagedTypeInfo const kCounter = {&gSampleRpcCounterTypeInfo,
                                  &Quill::gSedgeManagedObjectTypeInfo,
                                  gCounterProps,
                                  gCounterMethods,
                                  &CounterPropertyIndex,
                                  &CounterDispatch,
                                  &CreateCounterStub,
                                  Sample::Rpc::gSampleRpcCounterMethodObjects};
ManagedTypeInfo const kBigCounter = {&gSampleRpcBigCounterTypeInfo,
                                     &gSampleRpcCounterTypeInfo,
                                     gBigCounterProps,
                                     gBigCounterMethods,
                                     &BigCounterPropertyIndex,
                                     &BigCounterDispatch,
                                     &CreateBigCounterStub,
                                     Sample::Rpc::gSampleRpcBigCounterMethodObjects};
ManagedTypeInfo const kTask = {&gSampleRpcTaskTypeInfo,
                               &Quill::gSedgeManagedObjectTypeInfo,
                               gTaskProps,
                               gTaskMethods,
                               &TaskPropertyIndex,
                               &TaskDispatch,
                               &CreateTaskStub,
                               Sample::Rpc::gSampleRpcTaskMethodObjects};

Type* const* SampleRpcCallback(int& count) {
  gSampleRpcSlots[0] = CreateManagedObjectType(&kCounter);
  gSampleRpcSlots[1] = CreateManagedObjectType(&kBigCounter);
  gSampleRpcSlots[2] = CreateManagedObjectType(&kTask);
  count = 3;
  return gSampleRpcSlots;
}

}  // namespace

namespace SampleModules {

void InitSampleRpc() {
  PropertyInfo const none = {nullptr, 0, "result", nullptr, kV0};
  gCounterProps[0] = {&gLongTypeInfo, F_MANAGED, "value", "System.Read", kV1};
  gCounterProps[1] = {&gLongTypeInfo, F_MANAGED | F_ARRAY | F_OPTIONAL, "history", "System.Read", kV1};
  gBigCounterProps[0] = {&gIntTypeInfo, F_MANAGED, "limit", "System.Read", kV2};
  gTaskProps[0] = {&gStringTypeInfo, F_MANAGED, "state", "System.View", kV1};
  gTaskProps[1] = {&gAnyTypeInfo, F_MANAGED | F_OPTIONAL, "result", "System.View", kV1};
  gAddParams[0] = {&gIntTypeInfo, 0, "amount", nullptr, kV1};
  gAddParams[1] = {&gStringTypeInfo, F_OPTIONAL, "note", nullptr, kV1};
  gResizeParams[0] = {&gIntTypeInfo, 0, "size", nullptr, kV1};
  gLabelParams[0] = {&gStringTypeInfo, 0, "prefix", nullptr, kV1};
  gLabelParams[1] = {&gIntTypeInfo, 0, "width", nullptr, kV1};
  gLabelParams[2] = {&gBoolTypeInfo, F_OPTIONAL, "upper", nullptr, kV1};
  gPaintParams[0] = {&gSampleShapeTypeInfo, 0, "shape", nullptr, kV2};
  gPaintParams[1] = {&gSampleColorTypeInfo, 0, "color", nullptr, kV2};
  gPaintParams[2] = {&gStringTypeInfo, F_ARRAY | F_OPTIONAL, "tags", nullptr, kV2};
  gPaintParams[3] = {&gDateTimeTypeInfo, F_OPTIONAL, "when", nullptr, kV2};
  gBoostParams[0] = {&gLongTypeInfo, 0, "factor", nullptr, kV2};
  gCounterMethods[0] = {"add",
                        "AddToCounter",
                        "Counter.Modify",
                        nullptr,
                        {&gLongTypeInfo, 0, "result", nullptr, kV1},
                        gAddParams,
                        kAddFaults,
                        0,
                        0,
                        kV1};
  gCounterMethods[1] = {"reset", "ResetCounter", nullptr, kResetPrivileges, none, kNoParams, kNoFaults, 0, 0, kV1};
  gCounterMethods[2] = {"resize",
                        "Resize_Task",
                        "Counter.Modify",
                        nullptr,
                        {&gSampleShapeTypeInfo, 0, "result", nullptr, kV1},
                        gResizeParams,
                        kNoFaults,
                        1,
                        0,
                        kV1};
  gCounterMethods[3] = {"label",
                        "LabelCounter",
                        "System.Read",
                        nullptr,
                        {&gStringTypeInfo, 0, "result", nullptr, kV1},
                        gLabelParams,
                        kNoFaults,
                        0,
                        0,
                        kV1};
  gCounterMethods[4] = {"paint",
                        "PaintShapes",
                        "Counter.Modify",
                        nullptr,
                        {&gSampleShapeTypeInfo, F_ARRAY | F_OPTIONAL, "result", nullptr, kV2},
                        gPaintParams,
                        kNoFaults,
                        0,
                        0,
                        kV2};
  gCounterMethods[5] = {"legacy", "LegacyCounter", "System.Read", nullptr, none, kNoParams, kNoFaults, 0, 0, kDisabled};
  gBigCounterMethods[0] = {"boost", "BoostCounter", "Counter.Modify", nullptr, none, gBoostParams, kNoFaults, 0, 0,
                           kV2};
  gTaskMethods[0] = {"cancel", "CancelTask", "Task.Cancel", nullptr, none, kNoParams, kNoFaults, 0, 0, kV1};
  static TypeInfoLoader loader(&kSampleVersions, &SampleRpcCallback);
}

}  // namespace SampleModules
