// Server-side implementations of the sample.rpc interfaces, for the tests and
// the benchmarks.
//
// Task model. A task method's implementation starts a server task and returns
// the task's reference at once:
//
//   1. take the adapter that carries out the call:
//        Quill::LocalAdapter* adapter = Quill::LocalAdapter::CurrentCall()->adapter;
//   2. make a fresh reference of the task type and an object that implements
//      the task interface (here the stand-in sample.rpc.Task) under it:
//        Basalt::Ref<Quill::MoRef> ref = adapter->MakeRef("sample.rpc.Task");
//        Basalt::Ref<TaskImpl> task(new TaskImpl(ref.get()));
//   3. register it, so that clients can make a stub for the reference:
//        adapter->Register(nullptr, task.get());
//   4. post the task's body to the adapter's executor; it runs on a worker,
//      or is told `canceled` if the adapter shuts down first:
//        adapter->Post([task](bool canceled) { task->Run(canceled); });
//   5. hand the reference back: result = ref;
//
// The client follows the task through a stub of the reference
// (Quill::CreateStub<Sample::Rpc::Task>(ref, adapter)), reading its state and
// result.
#pragma once

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quill/Faults.h"
#include "quill/LocalAdapter.h"
#include "quill/Primitive.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/rpc.h"
#include "sample/sample.h"

namespace SampleImpl {

// The sample library's modules, each bound once whatever the number of calls.
inline void BindAll() {
  Sample::BindSample();
  Sample::BindSampleExt();
  Sample::BindSampleRpc();
}

// Lets a test hold calls inside an implementation until it opens the gate.
class Gate {
 public:
  void Close() {
    std::lock_guard lock(_mutex);
    _closed = true;
  }
  void Open() {
    {
      std::lock_guard lock(_mutex);
      _closed = false;
    }
    _cv.notify_all();
  }
  // Counts the caller in, then waits while the gate is closed.
  void Pass() {
    std::unique_lock lock(_mutex);
    ++_entered;
    _cv.notify_all();
    _cv.wait(lock, [&] { return !_closed; });
  }
  // Waits until `n` callers have passed or are waiting.
  void AwaitEntered(int n) {
    std::unique_lock lock(_mutex);
    _cv.wait(lock, [&] { return _entered >= n; });
  }

 private:
  std::mutex _mutex;
  std::condition_variable _cv;
  bool _closed = false;
  int _entered = 0;
};

class TaskImpl : public Quill::ServerObject<Sample::Rpc::Task> {
 public:
  using ServerObject::ServerObject;

  std::string GetState() override {
    std::lock_guard lock(_mutex);
    return _state;
  }
  void GetResult(Basalt::Ref<Quill::Any>& result) override {
    std::lock_guard lock(_mutex);
    result = _result;
  }
  void Cancel() override { _cancelRequested = true; }

  // The task's body: a shape named after the size, or a fault for a negative
  // size; cancelled tasks end in "error" with a RequestCanceled fault.
  void Run(int size, bool canceled) {
    {
      std::lock_guard lock(_mutex);
      _state = "running";
    }
    Basalt::Ref<Quill::Any> outcome;
    std::string state = "success";
    if (canceled || _cancelRequested) {
      outcome = new Quill::Fault::RequestCanceled();
      state = "error";
    } else if (size < 0) {
      auto* fault = new Sample::BadShapeFault();
      fault->shapeName = "size " + std::to_string(size);
      outcome = fault;
      state = "error";
    } else {
      auto* shape = new Sample::Shape();
      shape->name = "size-" + std::to_string(size);
      outcome = shape;
    }
    std::lock_guard lock(_mutex);
    _result = outcome;
    _state = state;
  }

 private:
  std::mutex _mutex;
  std::string _state = "queued";
  Basalt::Ref<Quill::Any> _result;
  std::atomic<bool> _cancelRequested{false};
};

// Over the interface it implements, so that BigCounterImpl can take the whole Counter level:
// a derived interface re-declares every inherited operation, and only a class that derives
// from it can be their final overrider.
template <class Interface>
class CounterImplOf : public Quill::ServerObject<Interface> {
 public:
  using Quill::ServerObject<Interface>::ServerObject;

  long GetValue() override { return _value.load(); }

  // No history yet: the result stays empty (the sync stub makes it an empty array).
  void GetHistory(Basalt::Ref<Quill::Array<long>>& result) override {
    std::lock_guard lock(_mutex);
    if (!_history.empty()) result = new Quill::Array<long>(_history);
  }

  // Notes steer the test paths: "fault" raises BadShapeFault, "std" a plain
  // std::runtime_error, "gate" waits at the gate; any set note is recorded.
  long Add(int amount, Basalt::Optional<std::string> const& note) override {
    if (note.IsSet()) {
      if (*note == "fault") {
        Basalt::Ref<Sample::BadShapeFault> fault(new Sample::BadShapeFault());
        fault->shapeName = "counter";
        fault->Throw();
      }
      if (*note == "std") throw std::runtime_error("plain failure");
      if (*note == "gate") gate.Pass();
    }
    long v = _value.fetch_add(amount) + amount;
    if (note.IsSet()) {
      std::lock_guard lock(_mutex);
      _history.push_back(v);
    }
    return v;
  }

  void Reset() override { _value = 0; }

  void Resize(int size, Basalt::Ref<Quill::MoRef>& result) override {
    Quill::LocalAdapter* adapter = Quill::LocalAdapter::CurrentCall()->adapter;
    Basalt::Ref<Quill::MoRef> ref = adapter->MakeRef("sample.rpc.Task");
    Basalt::Ref<TaskImpl> task(new TaskImpl(ref.get()));
    adapter->Register(nullptr, task.get());
    adapter->Post([task, size](bool canceled) { task->Run(size, canceled); });
    result = ref;
  }

  // "<prefix>#<width>", upper-cased when `upper` is true. Remembers how
  // `upper` arrived: -1 unset, 0 false, 1 true.
  std::string Label(std::string const& prefix, int width, Basalt::Optional<bool> const& upper) override {
    lastUpper = upper.GetState();
    std::string s = prefix + "#" + std::to_string(width);
    if (upper.IsSet() && *upper) {
      for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
  }

  // A copy of `shape` with the color, tags and time applied; no shape, no result.
  void Paint(Sample::Shape* shape, Sample::Color color, Quill::Array<std::string>* tags,
             Basalt::Optional<Basalt::System::DateTime> const& when,
             Basalt::Ref<Quill::DataArray<Sample::Shape>>& result) override {
    if (!shape) return;
    Basalt::Ref<Sample::Shape> painted(static_cast<Sample::Shape*>(shape->_Clone()));
    painted->color = color;
    painted->tags = tags;
    painted->created = when;
    result = new Quill::DataArray<Sample::Shape>({painted.get()});
  }

  void Legacy() override { throw std::logic_error("an operation of the disabled version was dispatched"); }

  void _Deactivate() override { deactivations.fetch_add(1); }

  Gate gate;
  std::atomic<int> lastUpper{-2};
  std::atomic<int> deactivations{0};

 protected:
  std::atomic<long> _value{0};

 private:
  std::mutex _mutex;
  std::vector<long> _history;
};

using CounterImpl = CounterImplOf<Sample::Rpc::Counter>;

class BigCounterImpl : public CounterImplOf<Sample::Rpc::BigCounter> {
 public:
  using CounterImplOf::CounterImplOf;
  int GetLimit() override { return 100; }
  void Boost(long factor) override { _value = _value.load() * factor; }
};

// A counter implementation served by a local adapter, and a stub that calls it.
struct CounterServer {
  void Start(Quill::LocalAdapter::Options options = {}) {
    adapter = new Quill::LocalAdapter(std::move(options));
    ref = new Quill::MoRef("sample.rpc.Counter", "c-1");
    impl = new CounterImpl(ref.get());
    adapter->Register(nullptr, impl.get());
    stub = Quill::CreateStub<Sample::Rpc::CounterStub>(ref.get(), adapter.get());
  }

  Basalt::Ref<Quill::LocalAdapter> adapter;
  Basalt::Ref<Quill::MoRef> ref;
  Basalt::Ref<CounterImpl> impl;
  Basalt::Ref<Sample::Rpc::CounterStub> stub;
};

}  // namespace SampleImpl
