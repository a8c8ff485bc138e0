// The server end of the generated call tests: a client stub of a type talks through the
// local adapter to a server object that is itself a stub of the same type, bound to a
// recording adapter. Every typed operation therefore runs twice (client and server), the
// generated dispatch runs in between, and the recorder sees which method object the server
// side invoked, with which boxed arguments, and answers a result built from the method's
// descriptor.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "basalt/ScheduledItem.h"
#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/LocalAdapter.h"
#include "quill/Primitive.h"
#include "quill/Stub.h"
#include "quill/StubSupport.h"
#include "quill/Type.h"
#include "quill/Values.h"

namespace tarn_test {

// A boxed value of a property's, parameter's or result's declared type (an array holds one
// element).
Basalt::Ref<Quill::Any> ValueOf(Quill::PropertyInfo const& p);

// A result of the declared type of a method or property read: what a server would answer.
Basalt::Ref<Quill::Any> Canned(Quill::ManagedMethod* method);

class Recorder : public Quill::StubAdapter {
 public:
  void Invoke(Quill::MoRef* target, Quill::ManagedMethod* method, Quill::ArgVector& args,
              Basalt::Ref<Quill::Any>& result, Quill::RequestContext* context) override;
  void StartInvoke(Quill::MoRef*, Quill::ManagedMethod*, Quill::ArgVector&, Quill::InvokeCallback const&,
                   Basalt::Ref<Basalt::System::ScheduledItem>&, Quill::RequestContext*) override;

  std::mutex mutex;
  Quill::ManagedMethod* method = nullptr;
  Quill::ArgVector args;
  Basalt::Ref<Quill::Any> result;
  int calls = 0;
};

// The adapter the client stubs call through, made for the local adapter that serves the
// objects, together with whatever must live as long as it (a server, say); without one the
// stubs call the local adapter itself. Set before the first Harness is made.
struct ClientEnd {
  Basalt::Ref<Quill::StubAdapter> adapter;
  std::shared_ptr<void> keep;
};
void SetClientEndFactory(std::function<ClientEnd(Quill::LocalAdapter*)> factory);

class Harness {
 public:
  explicit Harness(char const* typeName);
  ~Harness();

  template <class S>
  S* Client() {
    auto* s = dynamic_cast<S*>(_client.get());
    EXPECT_NE(s, nullptr) << "the stub factory made another class";
    return s;
  }
  template <class T>
  T* Keep(T* p) {
    _kept.emplace_back(static_cast<Quill::Any*>(p));
    return p;
  }

  // The next call must reach the server end through `method`.
  void Expect(Quill::ManagedMethod* method);
  void CheckArgs(Quill::ArgVector const& expected);
  void CheckResult(Basalt::Ref<Quill::Any> const& got);
  void CheckNoResult();
  Basalt::Ref<Quill::Any> LastResult();

 private:
  Basalt::Ref<Recorder> _recorder;
  Basalt::Ref<Quill::LocalAdapter> _adapter;
  Basalt::Ref<Quill::StubImpl> _server;
  Basalt::Ref<Quill::StubImpl> _client;
  ClientEnd _clientEnd;
  std::vector<Basalt::Ref<Quill::Any>> _kept;
  Quill::ManagedMethod* _expected = nullptr;
  int _callsBefore = 0;
};

// One asynchronous call: its handle, and what the callback saw.
class Async {
 public:
  Quill::InvokeCallback Callback();
  void Wait();
  void CheckRawResult(Harness& h);
  template <class E>
  void ExpectFault() {
    Wait();
    ASSERT_TRUE(_error) << "no exception reached the callback";
    EXPECT_THROW(_error->Throw(), E);
  }

  Basalt::Ref<Basalt::System::ScheduledItem> item;

 private:
  std::shared_ptr<std::atomic<int>> _calls = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<Basalt::Ref<Quill::Any>> _raw = std::make_shared<Basalt::Ref<Quill::Any>>();
  std::shared_ptr<std::unique_ptr<Basalt::Exception>> _errorHolder =
      std::make_shared<std::unique_ptr<Basalt::Exception>>();
  Basalt::Exception* _error = nullptr;
};

}  // namespace tarn_test
