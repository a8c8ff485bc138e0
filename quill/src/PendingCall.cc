#include "quill/PendingCall.h"

#include <utility>

namespace Quill {

// --- PendingCall ---------------------------------------------------------------------------

PendingCall::PendingCall(ManagedMethod* method, InvokeCallback callback)
    : _method(method), _callback(std::move(callback)) {}

PendingCall::~PendingCall() = default;

bool PendingCall::Cancel() {
  std::uint32_t expected = kPending;
  if (!_phase.compare_exchange_strong(expected, kCancelRequested, std::memory_order_acq_rel)) return false;
  if (_abort) _abort();
  return true;
}

bool PendingCall::Start() noexcept {
  std::uint32_t expected = kPending;
  return _phase.compare_exchange_strong(expected, kStarted, std::memory_order_acq_rel);
}

void PendingCall::SetAbort(std::function<void()> abort) { _abort = std::move(abort); }

PendingCall::Delivery PendingCall::Deliver(Basalt::Ref<Any> result, std::unique_ptr<Basalt::Exception> error,
                                           bool canceled) {
  if (_delivered.exchange(true, std::memory_order_acq_rel)) return Delivery::AlreadyDelivered;
  _result = std::move(result);
  _exception = std::move(error);
  if (canceled && !_exception) _exception = CallFaults::RequestCanceled("the call was cancelled before it started");
  Delivery delivery = Delivery::Delivered;
  if (_callback) {
    try {
      _callback(this, _exception.get(), _result.get());
    } catch (...) {
      _callbackError = std::current_exception();
      delivery = Delivery::CallbackThrew;
    }
  }
  // Whatever the callback and the abort hold goes now, before waiters wake up.
  // (They may hold the adapter's last reference: nothing below touches it.)
  _callback = nullptr;
  _abort = nullptr;
  Finish(canceled ? State::Canceled : State::Completed);
  return delivery;
}

// --- CallExecutor --------------------------------------------------------------------------

namespace {
thread_local CallExecutor const* tWorkerOf = nullptr;
}

std::shared_ptr<CallExecutor> CallExecutor::Make(unsigned workers, std::size_t capacity) {
  return std::shared_ptr<CallExecutor>(new CallExecutor(workers, capacity));
}

CallExecutor::CallExecutor(unsigned workers, std::size_t capacity)
    : _workerCount(workers ? workers : 1), _capacity(capacity) {}

CallExecutor::~CallExecutor() {
  // Only reached once every worker has let go of its reference: none is left
  // to join, except those that detached themselves.
  for (std::thread& t : _threads) {
    if (t.joinable()) t.detach();
  }
}

bool CallExecutor::Post(Job job) {
  std::unique_lock lock(_mutex);
  if (_capacity && tWorkerOf != this) {
    _notFull.wait(lock, [&] { return _closed || _count < _capacity; });
  }
  if (_closed) return false;
  if (_threads.empty()) StartWorkers();
  if (_count == _ring.size()) Grow();
  _ring[(_head + _count) % _ring.size()] = std::move(job);
  ++_count;
  lock.unlock();
  _notEmpty.notify_one();
  return true;
}

bool CallExecutor::Close() {
  {
    std::lock_guard lock(_mutex);
    if (_closed) return false;
    _closed = true;
  }
  _notEmpty.notify_all();
  _notFull.notify_all();
  return true;
}

void CallExecutor::Join() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(_mutex);
    threads.swap(_threads);
  }
  for (std::thread& t : threads) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();
    } else {
      t.join();
    }
  }
}

bool CallExecutor::IsClosed() const {
  std::lock_guard lock(_mutex);
  return _closed;
}

bool CallExecutor::OnWorker() const noexcept { return tWorkerOf == this; }

void CallExecutor::StartWorkers() {
  if (_ring.empty()) _ring.resize(_capacity ? _capacity : 64);
  _threads.reserve(_workerCount);
  for (unsigned i = 0; i < _workerCount; ++i) {
    _threads.emplace_back([self = shared_from_this()] { self->Work(); });
  }
}

void CallExecutor::Grow() {
  // Beyond the capacity only when a worker posts, or when there is none.
  std::vector<Job> bigger(_ring.size() * 2);
  for (std::size_t i = 0; i < _count; ++i) bigger[i] = std::move(_ring[(_head + i) % _ring.size()]);
  _ring.swap(bigger);
  _head = 0;
}

void CallExecutor::Work() {
  tWorkerOf = this;
  for (;;) {
    Job job;
    bool canceled;
    {
      std::unique_lock lock(_mutex);
      _notEmpty.wait(lock, [&] { return _count || _closed; });
      if (!_count) return;  // closed, and nothing left to run
      job = std::move(_ring[_head]);
      _head = (_head + 1) % _ring.size();
      --_count;
      canceled = _closed;
    }
    _notFull.notify_one();
    try {
      job(canceled);
    } catch (...) {
      CountFailure();
    }
  }
}

}  // namespace Quill
