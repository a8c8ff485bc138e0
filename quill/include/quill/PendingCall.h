// What every adapter's asynchronous calls share: the handle the caller holds
// (PendingCall), the pool of threads their completions run on (CallExecutor),
// and the faults a call raises on its own account (namespace CallFaults).
//
// A handle goes through one of two paths:
//   Pending --Start()--> started --Deliver()--> Completed (or Canceled)
//   Pending --Cancel()--> cancel requested --Deliver(canceled)--> Canceled
// Start() is the adapter's point of no return (the implementation is about to
// run, the answer is about to be decoded); Cancel() wins only before it. A
// won Cancel also runs the abort the adapter set (to stop a network transfer
// early); the adapter then still delivers, with RequestCanceled. Deliver ends
// the call exactly once: the callback runs with the handle, the exception or
// null and the result or null, and only after it has returned does the
// handle become done, so that a waiter sees everything the callback did.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "basalt/ScheduledItem.h"
#include "quill/Stub.h"

namespace Quill {

class PendingCall final : public Basalt::System::ScheduledItem {
 public:
  PendingCall(ManagedMethod* method, InvokeCallback callback);
  ~PendingCall() override;

  // Asks for the call to be abandoned: true when it had not started (it then
  // completes with RequestCanceled), false once it has or is done.
  bool Cancel() override;

  ManagedMethod* GetMethod() const noexcept { return _method; }
  // Valid once the handle is done; null while pending.
  Any* GetResult() const noexcept { return IsDone() ? _result.get() : nullptr; }
  Basalt::Exception* GetException() const noexcept { return IsDone() ? _exception.get() : nullptr; }
  std::exception_ptr GetCallbackError() const noexcept { return IsDone() ? _callbackError : nullptr; }

  // --- for adapters -------------------------------------------------------------
  // False when a Cancel came first: deliver the call canceled instead.
  bool Start() noexcept;
  // Run by a Cancel that wins; set before the call is handed on.
  void SetAbort(std::function<void()> abort);
  enum class Delivery { Delivered, CallbackThrew, AlreadyDelivered };
  // Ends the call once; later calls do nothing. `canceled` without an error
  // delivers RequestCanceled.
  Delivery Deliver(Basalt::Ref<Any> result, std::unique_ptr<Basalt::Exception> error, bool canceled);

 private:
  enum Phase : std::uint32_t { kPending, kCancelRequested, kStarted };
  ManagedMethod* const _method;
  InvokeCallback _callback;
  std::function<void()> _abort;
  std::atomic<std::uint32_t> _phase{kPending};
  std::atomic<bool> _delivered{false};
  Basalt::Ref<Any> _result;
  std::unique_ptr<Basalt::Exception> _exception;
  std::exception_ptr _callbackError;
};

// Worker threads for the jobs of asynchronous calls, started at the first
// job. Jobs run in order of posting; a job posted after Close, or still queued
// when it comes, runs with `canceled` true (the executor never drops one).
// Made shared (Make): a worker keeps it alive, so that a job that drops the
// adapter's last reference lets its worker finish the loop after the adapter
// is gone.
class CallExecutor final : public std::enable_shared_from_this<CallExecutor> {
 public:
  using Job = std::function<void(bool canceled)>;

  // `capacity` 0: the queue is unbounded.
  static std::shared_ptr<CallExecutor> Make(unsigned workers, std::size_t capacity);
  ~CallExecutor();

  // Queues `job`; waits for room when the queue is full, except on one of its
  // own workers (a callback that starts another call), which is never made to
  // wait. False once closed: nothing is queued, the caller decides.
  bool Post(Job job);
  // Stops taking jobs; the workers run what is queued with `canceled` true.
  // False when it was closed already.
  bool Close();
  // Joins the workers once they have drained the queue; a worker that calls
  // this detaches itself and drains on its own after its current job.
  void Join();
  bool IsClosed() const;
  bool OnWorker() const noexcept;
  // Jobs that threw, and failures the jobs counted themselves (a callback
  // that threw).
  std::uint64_t GetFailureCount() const noexcept { return _failures.load(std::memory_order_relaxed); }
  void CountFailure() noexcept { _failures.fetch_add(1, std::memory_order_relaxed); }

 private:
  CallExecutor(unsigned workers, std::size_t capacity);
  void StartWorkers();  // with _mutex held
  void Grow();          // with _mutex held
  void Work();

  unsigned const _workerCount;
  std::size_t const _capacity;
  mutable std::mutex _mutex;
  std::condition_variable _notEmpty;
  std::condition_variable _notFull;
  std::vector<Job> _ring;  // circular, `_count` jobs from `_head`
  std::size_t _head = 0;
  std::size_t _count = 0;
  bool _closed = false;
  std::vector<std::thread> _threads;
  std::atomic<std::uint64_t> _failures{0};
};

// The faults a call raises on its own account, with the message key and text
// that every adapter gives them.
namespace CallFaults {
[[noreturn]] void ThrowBadArgument(std::string const& property, std::string const& key, std::string const& text);
[[noreturn]] void ThrowNotSupported(std::string const& key, std::string const& text);
[[noreturn]] void ThrowRequestCanceled(std::string const& text);
[[noreturn]] void ThrowSystemError(std::string const& reason);
[[noreturn]] void ThrowNotFound(MoRef const* ref);
std::unique_ptr<Basalt::Exception> RequestCanceled(std::string const& text);
std::unique_ptr<Basalt::Exception> SystemError(std::string const& reason);
// What every adapter checks before a call: not shut down (RequestCanceled), a
// method (InvalidArgument "method") and a target (InvalidArgument "target").
void CheckCall(bool shutDown, MoRef const* target, ManagedMethod const* method);
// "<declaring type>.<method>".
std::string OperationName(ManagedMethod const* method);
// The exception `error` as a heap copy of its most-derived class: a Basalt
// exception as itself, anything else as SystemError "<operation>: <what>"
// (the text a server gives a failure it has no fault for).
std::unique_ptr<Basalt::Exception> Capture(std::exception_ptr error, std::string_view operation);
}  // namespace CallFaults

}  // namespace Quill
