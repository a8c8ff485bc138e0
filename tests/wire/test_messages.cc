// SOAP messages: requests and responses of every operation of the catalogue,
// faults that come back as their own exception class.
#include <gtest/gtest.h>

#include <stdexcept>
#include <typeinfo>

#include "Fill.h"
#include "quill/Compare.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Registry.h"
#include "quill/StubSupport.h"
#include "quill/wire/Wire.h"
#include "tarn/Folder.h"
#include "tarn/fault/DuplicateName.h"

namespace {

using Basalt::Ref;
using Quill::Any;

std::vector<Quill::ManagedMethod*> AllMethods() {
  std::vector<Quill::ManagedMethod*> out;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_MANAGED)) {
    auto* mt = static_cast<Quill::ManagedObjectType*>(t);
    for (std::uint32_t i = 0; i < mt->GetOwnMethodCount() + mt->GetOwnPropertyCount(); ++i) {
      if (Quill::ManagedMethod* m = mt->GetMethodObject(i)) out.push_back(m);
    }
  }
  return out;
}

// Methods the newest release has: the default version of a message.
bool InDefaultVersion(Quill::ManagedMethod const* m) {
  return Quill::ExistsInVersion(m, Quill::Wire::DefaultVersion());
}

TEST(WireMessages, EveryOperationsRequestAndResponse) {
  int requests = 0, responses = 0;
  for (Quill::ManagedMethod* m : AllMethods()) {
    if (!InDefaultVersion(m)) continue;
    SCOPED_TRACE(std::string(m->GetDeclaringType()->GetName()) + "." + m->GetName());
    Ref<Quill::MoRef> target(new Quill::MoRef(m->GetDeclaringType()->GetName(), "obj-1"));
    Quill::ArgVector args;
    for (std::uint32_t i = 0; i < m->GetParameterCount(); ++i) {
      // Every other optional argument stays empty: empty slots are left out.
      // An argument newer than the version cannot be sent (it is refused).
      bool leave = ((m->GetParameter(i).flags & Quill::F_OPTIONAL) && i % 2) ||
                   !Quill::ExistsInVersion(m->GetParameter(i), Quill::Wire::DefaultVersion());
      args.push_back(leave ? Ref<Any>() : wire_test::ValueFor(m->GetParameter(i)));
    }
    std::string xml = Quill::Wire::EncodeRequest(target.get(), m, args);
    Quill::Wire::Request req;
    try {
      req = Quill::Wire::DecodeRequest(xml);
    } catch (std::exception const& e) {
      ADD_FAILURE() << e.what() << "\n" << xml.substr(0, 3000);
      continue;
    }
    EXPECT_EQ(req.method, m);
    ASSERT_TRUE(req.target);
    EXPECT_TRUE(*req.target == *target);
    EXPECT_EQ(req.version, Quill::Wire::DefaultVersion());
    ASSERT_EQ(req.args.size(), args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
      EXPECT_TRUE(Quill::AreEqualAnysInt(req.args[i].get(), args[i].get(), m->GetParameter(i).flags, false))
          << "argument " << m->GetParameter(i).name << "\n"
          << xml.substr(0, 3000);
    }
    ++requests;

    Ref<Any> result;
    Quill::PropertyInfo const* info = m->IsProperty()                   ? m->GetPropertyInfo()
                                      : m->GetMethodInfo()->result.type ? &m->GetMethodInfo()->result
                                                                        : nullptr;
    if (m->IsTask())
      result = new Quill::MoRef("tarn.Task", "task-1");
    else if (info)
      result = wire_test::ValueFor(*info);
    std::string rxml = Quill::Wire::EncodeResponse(m, result.get());
    Ref<Any> got;
    try {
      Quill::Wire::DecodeResponse(rxml, m, got);
    } catch (std::exception const& e) {
      ADD_FAILURE() << e.what() << "\n" << rxml.substr(0, 3000);
      continue;
    }
    EXPECT_TRUE(Quill::AreEqualAnysInt(got.get(), result.get(), info ? info->flags : 0, false)) << rxml.substr(0, 3000);
    ++responses;
  }
  EXPECT_GT(requests, 1000);
  EXPECT_EQ(requests, responses);
}

TEST(WireMessages, RequestShape) {
  auto* folder = Quill::GetMoType<Tarn::Folder>();
  Quill::ManagedMethod* create = folder->FindMethod("createFolder");
  ASSERT_NE(create, nullptr);
  Ref<Quill::MoRef> target(new Quill::MoRef("tarn.Folder", "group-d1"));
  std::string xml = Quill::Wire::EncodeRequest(target.get(), create, Quill::Args(std::string("Production")));
  Quill::Version const* v = Quill::Wire::DefaultVersion();
  EXPECT_NE(xml.find(std::string("<apiVersion xmlns=\"urn:") + v->GetWireNamespace() + "\">" + v->GetWireVersion() +
                     "</apiVersion>"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find(std::string("<") + create->GetWsdlName() + " xmlns=\"urn:" + v->GetWireNamespace() +
                     "\" target=\"group-d1\" targetType=\"" + folder->GetWsdlName() + "\"><name>Production</name></" +
                     create->GetWsdlName() + ">"),
            std::string::npos)
      << xml;
  // Wrong argument count or class: refused while encoding.
  EXPECT_THROW(Quill::Wire::EncodeRequest(target.get(), create, {}), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(Quill::Wire::EncodeRequest(target.get(), create, Quill::Args(5)),
               Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(Quill::Wire::EncodeRequest(target.get(), create, Quill::ArgVector{Ref<Any>()}),
               Quill::Fault::InvalidArgument::Exception);
  // A property read is a request named by the property.
  Quill::ManagedProperty const* prop = folder->FindProperty("childEntity");
  ASSERT_NE(prop, nullptr);
  Quill::Wire::Request req = Quill::Wire::DecodeRequest(Quill::Wire::EncodeRequest(target.get(), prop->reader, {}));
  EXPECT_EQ(req.method, prop->reader);
}

TEST(WireMessages, FaultsComeBackAsTheirOwnException) {
  auto* folder = Quill::GetMoType<Tarn::Folder>();
  Quill::ManagedMethod* create = folder->FindMethod("createFolder");
  // The typed handler works across the wire.
  Ref<Tarn::Fault::DuplicateName> dup(new Tarn::Fault::DuplicateName());
  dup->name = "Production";
  dup->object = new Quill::MoRef("tarn.Folder", "group-d3");
  std::string xml = Quill::Wire::EncodeFault(dup.get());
  EXPECT_NE(xml.find("<faultcode>soapenv:Server</faultcode>"), std::string::npos);
  Ref<Any> result;
  try {
    Quill::Wire::DecodeResponse(xml, create, result);
    ADD_FAILURE() << "no exception";
  } catch (Tarn::Fault::DuplicateName::Exception& e) {
    EXPECT_TRUE(dup->_IsEqual(e.GetFault(), false));
  }
  EXPECT_FALSE(result);

  // Every fault class of the catalogue, filled.
  int faults = 0;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_FAULT)) {
    auto* ft = static_cast<Quill::DataObjectType*>(t);
    if (!Quill::ExistsInVersion(ft, Quill::Wire::DefaultVersion())) continue;
    Ref<Quill::DynamicData> obj = wire_test::Filled(ft, 1);
    if (!obj) continue;
    auto* fault = static_cast<Quill::MethodFault*>(obj.get());
    std::unique_ptr<Quill::MethodFault::Exception> own(fault->CreateException());
    std::string text = Quill::Wire::EncodeFault(fault, nullptr, faults % 2 == 0);
    try {
      Quill::Wire::DecodeResponse(text, create, result);
      ADD_FAILURE() << t->GetName() << ": no exception";
    } catch (Quill::MethodFault::Exception& e) {
      auto const& expected = *own;
      EXPECT_EQ(typeid(e), typeid(expected)) << t->GetName();
      EXPECT_TRUE(fault->_IsEqual(e.GetFault(), false)) << t->GetName() << "\n" << text.substr(0, 3000);
    } catch (std::exception& e) {
      ADD_FAILURE() << t->GetName() << ": " << e.what();
    }
    ++faults;
  }
  EXPECT_GT(faults, 600);

  // Whatever a call threw goes out as a fault: a fault's exception as its
  // fault, a request that could not be read as the client's fault, anything
  // else as a system error with the exception's text.
  std::string clientXml;
  try {
    Quill::Wire::DecodeXml("<broken", Quill::GetDoType<Quill::KeyAnyValue>());
  } catch (std::exception const& e) {
    clientXml = Quill::Wire::EncodeError(e);
  }
  EXPECT_NE(clientXml.find("<faultcode>soapenv:Client</faultcode>"), std::string::npos) << clientXml;
  EXPECT_THROW(Quill::Wire::DecodeResponse(clientXml, create, result), Quill::Fault::InvalidRequest::Exception);
  try {
    Quill::Wire::DecodeResponse(Quill::Wire::EncodeError(std::runtime_error("no\x01 disk \xff")), create, result);
    ADD_FAILURE() << "no exception";
  } catch (Quill::Fault::SystemError::Exception& e) {
    // What XML cannot carry is shown, escaped, rather than dropped.
    EXPECT_EQ(static_cast<Quill::Fault::SystemError*>(e.GetFault())->reason, "no\\x01 disk \\xFF");
  }
  try {
    dup->Throw();
  } catch (std::exception const& e) {
    EXPECT_THROW(Quill::Wire::DecodeResponse(Quill::Wire::EncodeError(e), create, result),
                 Tarn::Fault::DuplicateName::Exception);
  }

  // A fault without a detail this end can read arrives as a system error.
  std::string bare =
      "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>"
      "<soapenv:Fault><faultcode>soapenv:Server</faultcode><faultstring>disk on fire</faultstring></soapenv:Fault>"
      "</soapenv:Body></soapenv:Envelope>";
  try {
    Quill::Wire::DecodeResponse(bare, create, result);
    ADD_FAILURE() << "no exception";
  } catch (Quill::Fault::SystemError::Exception& e) {
    EXPECT_EQ(static_cast<Quill::Fault::SystemError*>(e.GetFault())->reason, "disk on fire");
  }
}

}  // namespace
