// The library identity the runtime's parts read, and the default version it names.
#include <gtest/gtest.h>

#include <string>

#include "quill/Identity.h"
#include "quill/Registry.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/sample.h"

namespace {

using namespace Quill;

TEST(Identity, WithoutARegistrationTheDefaultsNameNoLibrary) {
  CatalogueIdentity identity = GetCatalogueIdentity();
  EXPECT_TRUE(identity.name.empty());
  EXPECT_TRUE(identity.loginMethods.empty());
  for (std::string const* text :
       {&identity.sessionCookie, &identity.wsdlName, &identity.product, &identity.clientName}) {
    EXPECT_FALSE(text->empty());
    EXPECT_EQ(text->find("sample"), std::string::npos) << *text;
  }
}

TEST(Identity, ARegistrationReplacesTheWholeIdentityAndIsCounted) {
  std::uint64_t before = GetCatalogueIdentityGeneration();
  CatalogueIdentity first;
  first.name = "sample";
  first.sessionCookie = "sample_sid";
  first.loginMethods = {"sample.rpc.Counter.reset"};
  RegisterCatalogueIdentity(first);
  EXPECT_EQ(GetCatalogueIdentityGeneration(), before + 1);
  EXPECT_EQ(GetCatalogueIdentity().sessionCookie, "sample_sid");

  CatalogueIdentity second;
  second.product = "other";
  RegisterCatalogueIdentity(second);
  CatalogueIdentity now = GetCatalogueIdentity();
  EXPECT_EQ(GetCatalogueIdentityGeneration(), before + 2);
  EXPECT_EQ(now.product, "other");
  EXPECT_EQ(now.sessionCookie, CatalogueIdentity().sessionCookie) << "nothing of the first is left over";
  EXPECT_TRUE(now.loginMethods.empty());
}

// Each registration is seen by the next lookup, though the answer is cached in between.
TEST(Identity, TheDefaultVersionFollowsEachRegistration) {
  Sample::BindSample();
  struct Case {
    char const* what;
    char const* defaultNamespace;
    char const* defaultVersion;
    char const* expected;  // null: any release of a table other than the sample's
  };
  Case const cases[] = {
      {"the namespace's newest release", "sample", "", "sample.version.v2"},
      {"a named version", "sample", "sample.version.v1", "sample.version.v1"},
      {"a named version outside the namespace", "", "sample.version.featA", "sample.version.featA"},
      {"an unknown version: the namespace's newest", "sample", "sample.version.v9", "sample.version.v2"},
      {"again the namespace, after a named version", "sample", "", "sample.version.v2"},
      {"nothing named: the first release registered", "", "", nullptr},
  };
  for (Case const& k : cases) {
    SCOPED_TRACE(k.what);
    CatalogueIdentity identity;
    identity.defaultNamespace = k.defaultNamespace;
    identity.defaultVersion = k.defaultVersion;
    RegisterCatalogueIdentity(identity);
    Version const* v = GetDefaultVersion();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(GetDefaultVersion(), v) << "a second lookup answers the same";
    if (k.expected) {
      EXPECT_STREQ(v->GetName(), k.expected);
    } else {
      EXPECT_EQ(v->GetKind(), VERSION_RELEASE);
      EXPECT_STRNE(v->GetNamespace()->namespaceName, "sample");
    }
  }
}

}  // namespace
