// A typed, waitable result of an asynchronous call.
//
// An operation's async overload hands its callback the raw boxed result. Pass
// it the callback of an AsyncResult<R> instead and read the outcome on your
// own thread, converted to R:
//
//   Quill::AsyncResult<long> bytes;
//   Basalt::Ref<Basalt::System::ScheduledItem> item;
//   overhead->LookupVmOverheadMemory(vm.get(), host.get(), bytes.Callback(), item);
//   long n = bytes.Get(std::chrono::seconds(30));  // the value, or the fault thrown here
//
// R is what the sync form returns or fills: void, a value type (long,
// std::string, an enumeration), Basalt::Optional<V>, or Basalt::Ref<T> for a
// data object, fault, reference, array or Quill::Any. The conversion happens
// in Get, on the caller's thread, so that a result of another class reaches the
// caller as Basalt::TypeMismatchException instead of failing inside a callback
// where nobody hears of it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "quill/Any.h"
#include "quill/Stub.h"
#include "quill/StubSupport.h"

namespace Quill {

namespace Detail {
template <class R>
struct AsyncConvert {
  static R From(Any* raw) { return ResultValue<R>(raw); }
};
template <>
struct AsyncConvert<void> {
  static void From(Any*) {}
};
template <class V>
struct AsyncConvert<Basalt::Optional<V>> {
  static Basalt::Optional<V> From(Any* raw) { return ResultOptional<V>(raw); }
};
template <class T>
struct AsyncConvert<Basalt::Ref<T>> {
  static Basalt::Ref<T> From(Any* raw) {
    Basalt::Ref<T> out;
    ResultInto(raw, out);
    return out;
  }
};
}  // namespace Detail

// One per call. Copies share the same outcome, so a copy may be captured or
// handed to another thread. The callback may outlive both the AsyncResult and
// the caller's frame: it owns what it writes to.
template <class R>
class AsyncResult {
 public:
  AsyncResult() : _state(std::make_shared<State>()) {}

  // What to pass as the async overload's callback. It keeps the result and a
  // copy of the exception; it never throws. Only the first completion counts.
  InvokeCallback Callback() const {
    std::shared_ptr<State> state = _state;
    return [state](Basalt::System::ScheduledItem*, Basalt::Exception* error, Any* raw) noexcept {
      std::unique_ptr<Basalt::Throwable> copy;
      try {
        if (error) copy.reset(error->Clone());
      } catch (...) {
        // Without memory for the copy, the failure is still a failure.
        copy.reset();
      }
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->done) return;
      state->result = raw;
      state->error = std::move(copy);
      state->failed = error != nullptr;
      state->done = true;
      state->cv.notify_all();
    };
  }

  bool IsDone() const {
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->done;
  }

  // Blocks until the call has completed or `timeout` has passed; true when it
  // has completed. A zero timeout only looks.
  bool WaitFor(std::chrono::nanoseconds timeout) const {
    std::unique_lock<std::mutex> lock(_state->mutex);
    return _state->cv.wait_for(lock, timeout, [&] { return _state->done; });
  }

  // Blocks until the call has completed, then returns its result converted to
  // R. A failed call rethrows its exception as its own class (a fault as its
  // nested Exception); a result of another class than R throws
  // Basalt::TypeMismatchException; an empty result where a required value is
  // declared throws Quill::Fault::SystemError::Exception. May be called again:
  // each call converts (or throws) anew.
  //
  // Get() waits for ever: if the call could not be started (the async
  // overload threw), nothing will complete it. Prefer the bounded form.
  R Get() const {
    {
      std::unique_lock<std::mutex> lock(_state->mutex);
      _state->cv.wait(lock, [&] { return _state->done; });
    }
    return Outcome();
  }

  // As Get(), but a call not completed within `timeout` throws
  // Basalt::Exception ("async call not completed within N ms").
  R Get(std::chrono::nanoseconds timeout) const {
    if (!WaitFor(timeout)) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
      throw Basalt::Exception("async call not completed within " + std::to_string(ms) + " ms");
    }
    return Outcome();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool failed = false;
    Basalt::Ref<Any> result;
    std::unique_ptr<Basalt::Throwable> error;
  };

  R Outcome() const {
    // Written once under the lock before `done`; read-only from here on.
    if (_state->failed) {
      if (_state->error) _state->error->Throw();
      throw Basalt::Exception("async call failed (its exception could not be kept)");
    }
    return Detail::AsyncConvert<R>::From(_state->result.get());
  }

  std::shared_ptr<State> _state;
};

}  // namespace Quill
