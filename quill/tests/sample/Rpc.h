// Managed types of the hand-written sample library, module "sample.rpc", in
// the shape the generator emits: an interface per type, a stub with a sync
// and an async form of every operation, a dispatch function, a stub factory
// and a name lookup in the type descriptor.
//
//   sample.rpc.Counter      properties value (long), history (long[], optional);
//                           methods add (int, optional string -> long),
//                           reset (), resize (int -> task), label (string, int,
//                           optional bool -> string), paint (Shape, Color,
//                           optional string[], optional dateTime -> optional
//                           Shape[]), legacy () of the disabled version
//   sample.rpc.BigCounter   derives from Counter: property limit (int),
//                           method boost (long)
//   sample.rpc.Task         a stand-in for the task interface: properties
//                           state (string), result (optional any); method cancel ()
#pragma once

#include <string>

#include "Sample.h"
#include "basalt/DateTime.h"
#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "basalt/ScheduledItem.h"
#include "quill/Array.h"
#include "quill/ManagedObject.h"
#include "quill/Stub.h"

extern Quill::TypeInfo const gSampleRpcCounterTypeInfo;
extern Quill::TypeInfo const gSampleRpcBigCounterTypeInfo;
extern Quill::TypeInfo const gSampleRpcTaskTypeInfo;

namespace Sample::Rpc {

extern Quill::ManagedMethod* gSampleRpcCounterMethodObjects[];
extern Quill::ManagedMethod* gSampleRpcBigCounterMethodObjects[];
extern Quill::ManagedMethod* gSampleRpcTaskMethodObjects[];

using Item = Basalt::Ref<Basalt::System::ScheduledItem>;

class Counter : public virtual Quill::ManagedObject {
 public:
  static char const METHOD_ADD[];
  static char const METHOD_RESET[];
  static char const METHOD_RESIZE[];
  static char const METHOD_LABEL[];
  static char const METHOD_PAINT[];
  static char const METHOD_LEGACY[];

  Quill::ManagedObjectType* _GetType() const override;
  virtual long GetValue() = 0;
  virtual void GetHistory(Basalt::Ref<Quill::Array<long>>& result) = 0;
  virtual long Add(int amount, Basalt::Optional<std::string> const& note) = 0;
  virtual void Reset() = 0;
  virtual void Resize(int size, Basalt::Ref<Quill::MoRef>& result) = 0;
  virtual std::string Label(std::string const& prefix, int width, Basalt::Optional<bool> const& upper) = 0;
  virtual void Paint(Sample::Shape* shape, Sample::Color color, Quill::Array<std::string>* tags,
                     Basalt::Optional<Basalt::System::DateTime> const& when,
                     Basalt::Ref<Quill::DataArray<Sample::Shape>>& result) = 0;
  virtual void Legacy() = 0;
};

class BigCounter : public virtual Counter {
 public:
  static char const METHOD_BOOST[];

  Quill::ManagedObjectType* _GetType() const override;
  // Only this level's operations: the base level comes through the
  // virtual base (a redeclaration would leave the stub without a unique
  // final overrider).
  virtual int GetLimit() = 0;
  virtual void Boost(long factor) = 0;
};

class Task : public virtual Quill::ManagedObject {
 public:
  static char const METHOD_CANCEL[];

  Quill::ManagedObjectType* _GetType() const override;
  virtual std::string GetState() = 0;
  virtual void GetResult(Basalt::Ref<Quill::Any>& result) = 0;
  virtual void Cancel() = 0;
};

class CounterStub : public virtual Counter, public Quill::StubImpl {
 public:
  CounterStub(Quill::MoRef* moref, Quill::StubAdapter* adapter, Quill::RequestContext* context);
  ~CounterStub() override;

  long GetValue() override;
  void GetHistory(Basalt::Ref<Quill::Array<long>>& result) override;
  long Add(int amount, Basalt::Optional<std::string> const& note) override;
  void Reset() override;
  void Resize(int size, Basalt::Ref<Quill::MoRef>& result) override;
  std::string Label(std::string const& prefix, int width, Basalt::Optional<bool> const& upper) override;
  void Paint(Sample::Shape* shape, Sample::Color color, Quill::Array<std::string>* tags,
             Basalt::Optional<Basalt::System::DateTime> const& when,
             Basalt::Ref<Quill::DataArray<Sample::Shape>>& result) override;
  void Legacy() override;

  void GetValue(Quill::InvokeCallback const& callback, Item& item);
  void GetHistory(Quill::InvokeCallback const& callback, Item& item);
  void Add(int amount, Basalt::Optional<std::string> const& note, Quill::InvokeCallback const& callback, Item& item);
  void Reset(Quill::InvokeCallback const& callback, Item& item);
  void Resize(int size, Quill::InvokeCallback const& callback, Item& item);
  void Label(std::string const& prefix, int width, Basalt::Optional<bool> const& upper,
             Quill::InvokeCallback const& callback, Item& item);
  void Paint(Sample::Shape* shape, Sample::Color color, Quill::Array<std::string>* tags,
             Basalt::Optional<Basalt::System::DateTime> const& when, Quill::InvokeCallback const& callback, Item& item);
  void Legacy(Quill::InvokeCallback const& callback, Item& item);
};

class BigCounterStub : public virtual BigCounter, public CounterStub {
 public:
  BigCounterStub(Quill::MoRef* moref, Quill::StubAdapter* adapter, Quill::RequestContext* context);
  ~BigCounterStub() override;

  int GetLimit() override;
  void Boost(long factor) override;

  void GetLimit(Quill::InvokeCallback const& callback, Item& item);
  void Boost(long factor, Quill::InvokeCallback const& callback, Item& item);
};

class TaskStub : public virtual Task, public Quill::StubImpl {
 public:
  TaskStub(Quill::MoRef* moref, Quill::StubAdapter* adapter, Quill::RequestContext* context);
  ~TaskStub() override;

  std::string GetState() override;
  void GetResult(Basalt::Ref<Quill::Any>& result) override;
  void Cancel() override;

  void GetState(Quill::InvokeCallback const& callback, Item& item);
  void GetResult(Quill::InvokeCallback const& callback, Item& item);
  void Cancel(Quill::InvokeCallback const& callback, Item& item);
};

}  // namespace Sample::Rpc

namespace SampleModules {
// Module "sample.rpc"; needs InitSample() first (its types use sample.Shape).
void InitSampleRpc();
}  // namespace SampleModules
