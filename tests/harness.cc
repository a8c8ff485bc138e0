#include "harness.h"

#include "quill/Registry.h"

namespace tarn_test {

namespace {
template <class V>
Basalt::Ref<Quill::Any> Values(V v) {
  auto* a = new Quill::Array<V>();
  a->Append(v);
  return Basalt::Ref<Quill::Any>(a);
}

}  // namespace

Basalt::Ref<Quill::Any> ValueOf(Quill::PropertyInfo const& p) {
  // A link holds the key of the object it names, not the object.
  std::string t = p.flags & Quill::F_LINK ? "string" : p.type->name;
  auto kind = p.flags & Quill::F_LINK ? Quill::KIND_PRIMITIVE : static_cast<Quill::TypeKind>(p.type->kind);
  if (p.flags & Quill::F_ARRAY) {
    if (t == "string") return Values(std::string("r"));
    if (t == "boolean") return Values(true);
    if (t == "int") return Values(3);
    if (t == "long") return Values(3L);
    if (t == "short") return Values(short{3});
    if (t == "byte") return Values(static_cast<signed char>(3));
    if (t == "double") return Values(3.5);
    if (t == "typeName") return Values(Quill::TypeName("tarn.Folder"));
    if (t == "methodName") return Values(Quill::MethodName("tarn.Folder.destroy"));
    if (t == "uri") return Values(Quill::Uri("https://x.invalid/"));
    if (kind == Quill::KIND_ENUM) {
      auto* e = static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.type));
      Basalt::Ref<Quill::Any> a(e->GetFuncs().createArray());
      static_cast<Quill::Array<int>*>(a.get())->GetValues().push_back(0);
      return a;
    }
    if (kind == Quill::KIND_MANAGED) {
      auto* a = new Quill::DataArray<Quill::MoRef>();
      a->Append(new Quill::MoRef(t, "r-1"));
      return Basalt::Ref<Quill::Any>(a);
    }
    if (kind == Quill::KIND_ANY) {
      auto* a = new Quill::DataArray<Quill::Any>();
      a->AppendAny(new Quill::Primitive<int>(3));
      return Basalt::Ref<Quill::Any>(a);
    }
    auto* dt = static_cast<Quill::DataObjectType*>(Quill::FindTypeByInfo(p.type));
    Basalt::Ref<Quill::Any> a(dt->CreateArray());
    static_cast<Quill::DataArrayBase*>(a.get())->AppendAny(dt->Create());
    return a;
  }
  if (kind == Quill::KIND_ENUM) {
    return Basalt::Ref<Quill::Any>(static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.type))->GetFuncs().box(0));
  }
  if (kind == Quill::KIND_MANAGED) return Basalt::Ref<Quill::Any>(new Quill::MoRef(t, "r-1"));
  if (kind == Quill::KIND_ANY) return Basalt::Ref<Quill::Any>(new Quill::Primitive<int>(3));
  if (kind == Quill::KIND_DATA || kind == Quill::KIND_FAULT) {
    return Basalt::Ref<Quill::Any>(static_cast<Quill::DataObjectType*>(Quill::FindTypeByInfo(p.type))->Create());
  }
  if (t == "string") return Quill::Box(std::string("r"));
  if (t == "boolean") return Quill::Box(true);
  if (t == "byte") return Quill::Box(static_cast<signed char>(3));
  if (t == "short") return Quill::Box(short{3});
  if (t == "int") return Quill::Box(3);
  if (t == "long") return Quill::Box(3L);
  if (t == "float") return Quill::Box(3.5f);
  if (t == "double") return Quill::Box(3.5);
  if (t == "dateTime") return Quill::Box(Basalt::System::DateTime(5000));
  if (t == "binary") return Quill::Box(std::vector<unsigned char>{9});
  if (t == "typeName") return Quill::Box(Quill::TypeName("tarn.Folder"));
  if (t == "methodName") return Quill::Box(Quill::MethodName("tarn.Folder.destroy"));
  if (t == "propertyPath") return Quill::Box(Quill::PropertyPath("a.b"));
  if (t == "uri") return Quill::Box(Quill::Uri("https://x.invalid/"));
  ADD_FAILURE() << "no canned value for type " << t;
  return {};
}

Basalt::Ref<Quill::Any> Canned(Quill::ManagedMethod* method) {
  if (method->IsProperty()) return ValueOf(*method->GetPropertyInfo());
  Quill::MethodInfo const* m = method->GetMethodInfo();
  if (m->isTask) return Basalt::Ref<Quill::Any>(new Quill::MoRef("tarn.Task", "task-1"));
  if (!m->result.type) return {};
  return ValueOf(m->result);
}

void Recorder::Invoke(Quill::MoRef*, Quill::ManagedMethod* m, Quill::ArgVector& a, Basalt::Ref<Quill::Any>& r,
                      Quill::RequestContext*) {
  std::lock_guard<std::mutex> lock(mutex);
  method = m;
  args = a;
  result = Canned(m);
  r = result;
  ++calls;
}

void Recorder::StartInvoke(Quill::MoRef*, Quill::ManagedMethod*, Quill::ArgVector&, Quill::InvokeCallback const&,
                           Basalt::Ref<Basalt::System::ScheduledItem>&, Quill::RequestContext*) {
  ADD_FAILURE() << "the server end calls synchronously";
}

namespace {
std::function<ClientEnd(Quill::LocalAdapter*)>& ClientEndFactory() {
  static std::function<ClientEnd(Quill::LocalAdapter*)> factory;
  return factory;
}
}  // namespace

void SetClientEndFactory(std::function<ClientEnd(Quill::LocalAdapter*)> factory) {
  ClientEndFactory() = std::move(factory);
}

Harness::Harness(char const* typeName) : _recorder(new Recorder()), _adapter(new Quill::LocalAdapter()) {
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef(typeName, "obj-1"));
  _server = Quill::CreateStub(ref.get(), _recorder.get());
  _adapter->Register(ref.get(), _server.get());
  if (ClientEndFactory()) _clientEnd = ClientEndFactory()(_adapter.get());
  _client = Quill::CreateStub(ref.get(), _clientEnd.adapter ? _clientEnd.adapter.get() : _adapter.get());
}

Harness::~Harness() {
  // The client end goes first: it may still be carrying calls to the local adapter.
  _client = nullptr;
  _clientEnd = ClientEnd();
  _adapter->Shutdown();
}

void Harness::Expect(Quill::ManagedMethod* method) {
  ASSERT_NE(method, nullptr) << "method object not filled";
  std::lock_guard<std::mutex> lock(_recorder->mutex);
  _expected = method;
  _callsBefore = _recorder->calls;
  _recorder->method = nullptr;
  _recorder->args.clear();
  _recorder->result = nullptr;
}

void Harness::CheckArgs(Quill::ArgVector const& expected) {
  std::lock_guard<std::mutex> lock(_recorder->mutex);
  EXPECT_EQ(_recorder->calls, _callsBefore + 1);
  EXPECT_EQ(_recorder->method, _expected) << (_recorder->method ? _recorder->method->GetName() : "no call")
                                          << " reached the server instead of " << _expected->GetName();
  ASSERT_EQ(_recorder->args.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(Quill::AreEqualAnysInt(_recorder->args[i].get(), expected[i].get(), 0, false)) << "argument " << i;
  }
}

Basalt::Ref<Quill::Any> Harness::LastResult() {
  std::lock_guard<std::mutex> lock(_recorder->mutex);
  return _recorder->result;
}

void Harness::CheckResult(Basalt::Ref<Quill::Any> const& got) {
  Basalt::Ref<Quill::Any> want = LastResult();
  ASSERT_TRUE(want) << "the server answered nothing";
  EXPECT_TRUE(Quill::AreEqualAnysInt(got.get(), want.get(), 0, false))
      << "got " << (got ? got->ToString() : "nothing") << ", want " << want->ToString();
}

void Harness::CheckNoResult() { EXPECT_FALSE(LastResult()); }

Quill::InvokeCallback Async::Callback() {
  auto calls = _calls;
  auto raw = _raw;
  auto error = _errorHolder;
  return [calls, raw, error](Basalt::System::ScheduledItem*, Basalt::Exception* e, Quill::Any* result) {
    ++*calls;
    *raw = result;
    if (e) error->reset(e->Clone());
  };
}

void Async::Wait() {
  ASSERT_TRUE(item) << "the call handed out no handle";
  ASSERT_TRUE(item->WaitFor(std::chrono::seconds(30)));
  EXPECT_EQ(_calls->load(), 1);
  _error = _errorHolder->get();
}

void Async::CheckRawResult(Harness& h) {
  Wait();
  if (_error) {
    ADD_FAILURE() << "async call failed: " << _error->what();
    return;
  }
  Basalt::Ref<Quill::Any> want = h.LastResult();
  if (!want) {
    EXPECT_FALSE(*_raw);
    return;
  }
  EXPECT_TRUE(Quill::AreEqualAnysInt(_raw->get(), want.get(), 0, false));
}

}  // namespace tarn_test
