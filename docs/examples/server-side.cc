// Implementing a managed object: the implementation class, registration, privileges,
// dispatch, and faults on their way back to the caller, as docs/server-side.md describes them.
#include <atomic>
#include <stdexcept>
#include <string>

#include "check.h"
#include "quill/Quill.h"
#include "quill/StubSupport.h"  // Quill::Args and Quill::Box, for dispatching by hand
#include "tarn/SimpleCommandStub.h"
#include "tarn/fault/NoPermission.h"

namespace {

// [impl]
// Echoes its arguments joined by commas. Calls may arrive on several threads at once (sync
// calls on their callers' threads, async ones on the adapter's workers): keep state atomic.
class EchoCommand : public Quill::ServerObject<Tarn::SimpleCommand> {
 public:
  using ServerObject::ServerObject;

  Tarn::SimpleCommand::Encoding GetEncodingType() override { return Tarn::SimpleCommand::Encoding::CSV; }
  void GetEntity(Basalt::Ref<Tarn::ServiceManager::ServiceInfo>& result) override {
    result = new Tarn::ServiceManager::ServiceInfo();
  }
  std::string Execute(Quill::Array<std::string>* arguments) override {
    ++executions;
    if (!arguments || arguments->empty()) {
      Basalt::Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
      fault->invalidProperty = Quill::PropertyPath("arguments");
      fault->Throw();                                   // reaches the caller as this class
    }
    std::string out;
    for (std::string const& a : arguments->GetValues()) {
      if (a == "crash") throw std::runtime_error("echo: cannot print 'crash'");  // not a fault
      out += (out.empty() ? "" : ",") + a;
    }
    return out;
  }
  void _Deactivate() override { ++deactivations; }

  std::atomic<int> executions{0};
  std::atomic<int> deactivations{0};
};
// [impl]

// [checker]
// Lets "admin" call everything; anybody else only what needs no privilege.
void CheckPrivilege(Quill::CallInfo const& call) {
  if (!call.privilege) return;
  Basalt::Ref<Quill::Any> user = call.context ? call.context->Get("user") : nullptr;
  if (user && Quill::Unbox<std::string>(user.get()) == "admin") return;
  Basalt::Ref<Tarn::Fault::NoPermission> fault(new Tarn::Fault::NoPermission());
  fault->object = call.target;
  fault->privilegeId = std::string(call.privilege);
  fault->Throw();
}
// [checker]

Basalt::Ref<Tarn::SimpleCommandStub> StubFor(char const* user, Quill::LocalAdapter* adapter) {
  // [context]
  Basalt::Ref<Quill::RequestContext> session(new Quill::RequestContext());
  session->Set("user", new Quill::Primitive<std::string>(user));
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef("tarn.SimpleCommand", "echo"));
  return Quill::CreateStub<Tarn::SimpleCommandStub>(ref.get(), adapter, session.get());
  // [context]
}

Basalt::Ref<Quill::Array<std::string>> Words(std::initializer_list<std::string> words) {
  return Basalt::Ref<Quill::Array<std::string>>(new Quill::Array<std::string>(words));
}

void ThroughTheAdapter() {
  // [register]
  Quill::LocalAdapter::Options options;
  options.checkPrivilege = CheckPrivilege;
  Basalt::Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter(options));
  Basalt::Ref<EchoCommand> echo(new EchoCommand(new Quill::MoRef("tarn.SimpleCommand", "echo")));
  adapter->Register(nullptr, echo.get());  // under echo->_GetRef()
  // [register]

  // [calls]
  auto admin = StubFor("admin", adapter.get());
  CHECK(admin->Execute(Words({"a", "b"}).get()) == "a,b");
  auto guest = StubFor("guest", adapter.get());
  CHECK(guest->GetEncodingType() == Tarn::SimpleCommand::Encoding::CSV);  // no privilege needed
  try {
    guest->Execute(Words({"a"}).get());
    CHECK(false);
  } catch (Quill::Fault::SecurityError::Exception& e) {
    auto* denied = dynamic_cast<Tarn::Fault::NoPermission*>(e.GetFault());
    CHECK(denied && *denied->privilegeId == "Global.ServiceManagers");
  }
  // [calls]
  CHECK(echo->executions == 1);  // the denied call never reached the implementation

  // [server-faults]
  try {
    admin->Execute(nullptr);
    CHECK(false);
  } catch (Quill::Fault::InvalidArgument::Exception& e) {
    auto* fault = static_cast<Quill::Fault::InvalidArgument*>(e.GetFault());
    CHECK(fault->invalidProperty->GetString() == "arguments");
  }
  try {
    admin->Execute(Words({"crash"}).get());
    CHECK(false);
  } catch (Quill::Fault::SystemError::Exception& e) {
    std::string reason = static_cast<Quill::Fault::SystemError*>(e.GetFault())->reason;
    CHECK(reason == "tarn.SimpleCommand.Execute: echo: cannot print 'crash'");
  }
  // [server-faults]

  // [lifetime]
  CHECK(adapter->Find(echo->_GetRef()).get() == echo.get());
  CHECK(adapter->Unregister(echo->_GetRef()));
  CHECK(echo->deactivations == 1);
  CHECK_THROWS(Quill::Fault::ManagedObjectNotFound::Exception, admin->GetEncodingType());
  // [lifetime]

  // A reference must name the object's type (or one of its bases).
  Basalt::Ref<Quill::MoRef> wrongType(new Quill::MoRef("tarn.Task", "echo"));
  CHECK_THROWS(Quill::Fault::InvalidArgument::Exception, adapter->Register(wrongType.get(), echo.get()));
  adapter->Shutdown();
}

void DispatchByHand() {
  Basalt::Ref<EchoCommand> echo(new EchoCommand(new Quill::MoRef("tarn.SimpleCommand", "echo")));
  // [dispatch]
  Quill::ManagedObjectType* type = Quill::GetMoType<Tarn::SimpleCommand>();
  Quill::ManagedMethod* execute = type->FindMethod("Execute");
  Quill::ArgVector args = Quill::Args(Words({"x", "y"}).get());  // one boxed value per parameter
  Basalt::Ref<Quill::Any> result;
  type->GetDescriptor()->dispatch(echo.get(), execute->GetIndex(), args.data(), &result);
  // [dispatch]
  CHECK(execute->GetDeclaringType() == type && execute->GetParameterCount() == 1);
  CHECK(std::string(execute->GetPrivilege()) == "Global.ServiceManagers");
  CHECK(Quill::Unbox<std::string>(result.get()) == "x,y");

  // A box of the wrong class never reaches the implementation.
  int before = echo->executions;
  Quill::ArgVector wrong{Quill::Box(7)};
  CHECK_THROWS(Basalt::TypeMismatchException,
               type->GetDescriptor()->dispatch(echo.get(), execute->GetIndex(), wrong.data(), &result));
  CHECK(echo->executions == before);

  // Property reads are entries too: the method-object slots after the methods.
  Quill::ManagedProperty const* encoding = type->FindProperty("encodingType");
  CHECK(encoding && encoding->reader->IsProperty());
  type->GetDescriptor()->dispatch(echo.get(), encoding->reader->GetIndex(), nullptr, &result);
  CHECK(Quill::Unbox<Tarn::SimpleCommand::Encoding>(result.get()) == Tarn::SimpleCommand::Encoding::CSV);
}

}  // namespace

int main() {
  ThroughTheAdapter();
  DispatchByHand();
  return guide::Finish("server-side");
}
