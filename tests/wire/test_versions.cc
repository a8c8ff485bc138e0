// Versions (what an older peer is sent) and forward compatibility (what a
// newer peer sends).
#include <gtest/gtest.h>

#include <cstring>

#include "Fill.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Registry.h"
#include "quill/StubSupport.h"
#include "quill/wire/Wire.h"
#include "tarn/AboutInfo.h"

namespace {

using Basalt::Ref;
using Quill::Any;

// Releases of the default version's namespace that it succeeds, oldest last.
std::vector<Quill::Version const*> OlderReleases() {
  Quill::Version const* newest = Quill::Wire::DefaultVersion();
  std::vector<Quill::Version const*> out;
  for (Quill::Version const* v : Quill::GetVersions()) {
    if (v->GetNamespace() == newest->GetNamespace() && v->GetKind() == Quill::VERSION_RELEASE && newest->Succeeds(v)) {
      out.push_back(v);
    }
  }
  return out;
}

struct NewProperty {
  Quill::DataObjectType* type = nullptr;
  Quill::DataProperty const* prop = nullptr;
  Quill::Version const* old = nullptr;
};

// An optional property of a concrete type that an older release has without it.
NewProperty FindNewProperty() {
  Quill::Version const* newest = Quill::Wire::DefaultVersion();
  for (Quill::Version const* old : OlderReleases()) {
    for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_DATA)) {
      auto* dt = static_cast<Quill::DataObjectType*>(t);
      if (!Quill::ExistsInVersion(dt, old) || !Ref<Quill::DynamicData>(dt->Create())) continue;
      for (std::uint32_t i = 0; i < dt->GetPropertyCount(); ++i) {
        Quill::DataProperty const& dp = dt->GetProperty(i);
        if ((dp.info->flags & Quill::F_OPTIONAL) && Quill::ExistsInVersion(*dp.info, newest) &&
            !Quill::ExistsInVersion(*dp.info, old)) {
          return {dt, &dp, old};
        }
      }
    }
  }
  return {};
}

bool HasElement(std::string const& xml, char const* name) {
  return xml.find(std::string("<") + name + ">") != std::string::npos ||
         xml.find(std::string("<") + name + " ") != std::string::npos;
}
bool HasKey(std::string const& json, char const* name) {
  return json.find(std::string("\"") + name + "\":") != std::string::npos;
}

#define EXPECT_MENTIONS_NAME(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

TEST(WireVersions, PropertiesTypesAndMethodsNewerThanTheVersion) {
  NewProperty c = FindNewProperty();
  ASSERT_TRUE(c.type) << "the catalogue has no property newer than an older release";
  SCOPED_TRACE(std::string(c.type->GetName()) + "." + c.prop->info->name + " vs " + c.old->GetName());
  Ref<Quill::DynamicData> obj = wire_test::Filled(c.type, 0);
  ASSERT_TRUE(c.prop->owner->isPropertySet(obj.get(), c.prop->ownIndex));

  std::string oldXml, newXml, oldJson, newJson;
  Quill::Wire::EncodeXml(oldXml, obj.get(), c.type, "value", c.old);
  Quill::Wire::EncodeXml(newXml, obj.get(), c.type, "value");
  Quill::Wire::EncodeJson(oldJson, obj.get(), c.type, c.old);
  Quill::Wire::EncodeJson(newJson, obj.get(), c.type);
  EXPECT_FALSE(HasElement(oldXml, c.prop->info->name)) << oldXml;
  EXPECT_TRUE(HasElement(newXml, c.prop->info->name)) << newXml;
  EXPECT_FALSE(HasKey(oldJson, c.prop->info->name)) << oldJson;
  EXPECT_TRUE(HasKey(newJson, c.prop->info->name)) << newJson;
  EXPECT_NE(oldXml.find(std::string("urn:") + c.old->GetWireNamespace()), std::string::npos);

  // What the older peer reads is the object without the properties newer
  // than its version: optional ones unset, required ones at their defaults.
  Ref<Quill::DynamicData> expected(static_cast<Quill::DynamicData*>(obj->_Clone()));
  Ref<Quill::DynamicData> fresh(c.type->Create());
  for (std::uint32_t i = 0; i < c.type->GetPropertyCount(); ++i) {
    Quill::DataProperty const& dp = c.type->GetProperty(i);
    if (Quill::ExistsInVersion(*dp.info, c.old)) continue;
    if (dp.info->flags & Quill::F_OPTIONAL) {
      dp.owner->unsetProperty(expected.get(), dp.ownIndex);
    } else if (dp.info->flags & (Quill::F_ARRAY | Quill::F_LINK) || dp.info->type->kind >= Quill::KIND_DATA ||
               dp.info->type->kind == Quill::KIND_ANY) {
      Ref<Any> none;
      dp.owner->setProperty(expected.get(), dp.ownIndex, &none);
    } else {
      dp.owner->setProperty(expected.get(), dp.ownIndex, dp.owner->getPropertyPtr(fresh.get(), dp.ownIndex));
    }
  }
  EXPECT_FALSE(c.prop->owner->isPropertySet(expected.get(), c.prop->ownIndex));
  EXPECT_TRUE(expected->_IsEqual(Quill::Wire::DecodeXml(oldXml, c.type).get(), false));
  EXPECT_TRUE(expected->_IsEqual(Quill::Wire::DecodeJson(oldJson, c.type).get(), false));
  EXPECT_TRUE(obj->_IsEqual(Quill::Wire::DecodeXml(newXml, c.type).get(), false));

  // A method newer than the version is refused before anything is written;
  // the newest release sends it.
  Quill::ManagedMethod* newer = nullptr;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_MANAGED)) {
    auto* mt = static_cast<Quill::ManagedObjectType*>(t);
    for (std::uint32_t i = 0; !newer && i < mt->GetOwnMethodCount(); ++i) {
      Quill::ManagedMethod* m = mt->GetMethodObject(i);
      if (m->GetParameterCount() == 0 && Quill::ExistsInVersion(m, Quill::Wire::DefaultVersion()) &&
          !Quill::ExistsInVersion(m, c.old) && Quill::ExistsInVersion(mt, c.old)) {
        newer = m;
      }
    }
  }
  ASSERT_NE(newer, nullptr);
  Ref<Quill::MoRef> target(new Quill::MoRef(newer->GetDeclaringType()->GetName(), "x-1"));
  EXPECT_THROW(Quill::Wire::EncodeRequest(target.get(), newer, {}, c.old), Quill::Fault::NotSupported::Exception);
  EXPECT_THROW(Quill::Wire::EncodeResponse(newer, nullptr, c.old), Quill::Fault::NotSupported::Exception);
  Quill::Wire::Request req = Quill::Wire::DecodeRequest(Quill::Wire::EncodeRequest(target.get(), newer, {}));
  EXPECT_EQ(req.method, newer);

  // A request names its version, and the reader answers it.
  Quill::ManagedMethod* old = nullptr;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_MANAGED)) {
    auto* mt = static_cast<Quill::ManagedObjectType*>(t);
    for (std::uint32_t i = 0; !old && i < mt->GetOwnMethodCount(); ++i) {
      Quill::ManagedMethod* m = mt->GetMethodObject(i);
      if (m->GetParameterCount() == 0 && Quill::ExistsInVersion(m, c.old)) old = m;
    }
  }
  ASSERT_NE(old, nullptr);
  Ref<Quill::MoRef> oldTarget(new Quill::MoRef(old->GetDeclaringType()->GetName(), "x-2"));
  req = Quill::Wire::DecodeRequest(Quill::Wire::EncodeRequest(oldTarget.get(), old, {}, c.old));
  EXPECT_EQ(req.version, c.old);

  // A class newer than the version goes out as its nearest base the version has.
  for (Quill::Version const* older : OlderReleases()) {
    for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_DATA)) {
      auto* d = static_cast<Quill::DataObjectType*>(t);
      Quill::DataObjectType* base = d->GetBaseType();
      if (Quill::ExistsInVersion(d, older) || !Quill::ExistsInVersion(d, Quill::Wire::DefaultVersion()) || !base ||
          !Quill::ExistsInVersion(base, older) || !Ref<Quill::DynamicData>(base->Create()) ||
          !Ref<Quill::DynamicData>(d->Create())) {
        continue;
      }
      Ref<Quill::DynamicData> derived = wire_test::Filled(d, 0);
      std::string xml, json;
      Quill::Wire::EncodeXml(xml, derived.get(), base, "value", older);
      EXPECT_EQ(Quill::Wire::DecodeXml(xml, base)->_GetType(), base) << d->GetName() << "\n" << xml;
      Quill::Wire::EncodeJson(json, derived.get(), base, older);
      EXPECT_EQ(Quill::Wire::DecodeJson(json, base)->_GetType(), base) << d->GetName() << "\n" << json;
      xml.clear();
      Quill::Wire::EncodeXml(xml, derived.get(), base, "value");
      EXPECT_EQ(Quill::Wire::DecodeXml(xml, base)->_GetType(), d) << xml;
      return;
    }
  }
  ADD_FAILURE() << "no class newer than an older release with a concrete base that release has";
}

// Wire versions repeat across namespaces ("2.0" is a release of several): a
// request names its version by the pair, and must come back as the same one.
TEST(WireVersions, RequestsKeepTheirVersionAcrossNamespaces) {
  Quill::ManagedObjectType* folder = static_cast<Quill::ManagedObjectType*>(Quill::FindType("tarn.Folder"));
  ASSERT_NE(folder, nullptr);
  Quill::ManagedMethod* method = folder->FindMethod("createFolder");
  ASSERT_NE(method, nullptr);
  Ref<Quill::MoRef> target(new Quill::MoRef("tarn.Folder", "group-d1"));
  Quill::ArgVector args{Quill::Box(std::string("Production"))};
  int checked = 0;
  for (Quill::Version const* v : OlderReleases()) {
    if (!Quill::ExistsInVersion(method->GetVersionName(), v)) continue;
    std::string xml = Quill::Wire::EncodeRequest(target.get(), method, args, v);
    EXPECT_EQ(Quill::Wire::DecodeRequest(xml).version, v) << v->GetName() << "\n" << xml;
    ++checked;
  }
  EXPECT_GT(checked, 1);
  // The oldest release shares its wire version with the query namespace's.
  Quill::Version const* oldest = Quill::FindVersion("tarn.version.version1");
  ASSERT_NE(oldest, nullptr);
  ASSERT_NE(Quill::FindVersionByWireVersion(oldest->GetWireVersion()), oldest);
  std::string xml = Quill::Wire::EncodeRequest(target.get(), method, args, oldest);
  EXPECT_EQ(Quill::Wire::DecodeRequest(xml).version, oldest) << xml;
}

// Inserts `what` after the first occurrence of `after` in `text`.
std::string InsertAfter(std::string text, std::string const& after, std::string const& what) {
  std::size_t at = text.find(after);
  EXPECT_NE(at, std::string::npos) << after << " not in " << text;
  if (at != std::string::npos) text.insert(at + after.size(), what);
  return text;
}

TEST(WireForwardCompatibility, UnknownPropertiesAndTypesAreSkippedAndReported) {
  // A holder whose any-typed value is an AboutInfo, so that an unknown
  // property can be put at two levels.
  Ref<Quill::KeyAnyValue> holder(new Quill::KeyAnyValue());
  holder->key = "about";
  holder->value = wire_test::Filled(Quill::GetDoType<Tarn::AboutInfo>(), 0).get();
  auto* kav = Quill::GetDoType<Quill::KeyAnyValue>();

  std::vector<std::string> paths;
  Quill::Wire::DecodeReport report;
  report.onSkip = [&](std::string_view path, std::string_view what) {
    paths.push_back(std::string(path) + ": " + std::string(what));
  };
  Quill::Wire::DecodeOptions options;
  options.report = &report;

  std::string xml;
  Quill::Wire::EncodeXml(xml, holder.get(), kav, "value");
  xml = InsertAfter(xml, "<key>about</key>", "<addedLater><deep a=\"1\">x</deep><deep/></addedLater>");
  xml = InsertAfter(xml, "xsi:type=\"AboutInfo\">", "<alsoNew>7</alsoNew>");
  Ref<Any> back = Quill::Wire::DecodeXml(xml, kav, options);
  EXPECT_TRUE(holder->_IsEqual(back.get(), false)) << xml;
  EXPECT_EQ(report.skippedElements, 2u);
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_NE(paths[0].find("addedLater"), std::string::npos) << paths[0];
  EXPECT_NE(paths[1].find("/value/value"), std::string::npos) << paths[1];

  std::string json;
  Quill::Wire::EncodeJson(json, holder.get(), kav);
  json = InsertAfter(json, "\"key\":\"about\"", ",\"addedLater\":{\"deep\":[1,{\"x\":null}]}");
  json = InsertAfter(json, "{\"_type\":\"AboutInfo\"", ",\"alsoNew\":7");
  report.skippedElements = 0;
  paths.clear();
  back = Quill::Wire::DecodeJson(json, kav, options);
  EXPECT_TRUE(holder->_IsEqual(back.get(), false)) << json;
  EXPECT_EQ(report.skippedElements, 2u);
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[1], "$.value.alsoNew: unknown property alsoNew");

  // An unknown class derived from the declared one reads as the declared
  // class with the properties it knows; in an any-typed position nothing
  // can hold it, and the position stays empty.
  auto* about = Quill::GetDoType<Tarn::AboutInfo>();
  Ref<Quill::DynamicData> info = wire_test::Filled(about, 0);
  xml.clear();
  Quill::Wire::EncodeXml(xml, info.get(), about, "value");
  std::string renamed = InsertAfter(xml, "<value", " xsi:type=\"AboutInfoOfTomorrow\"");
  renamed = InsertAfter(renamed, "\">", "<tomorrow>1</tomorrow>");
  report = {};
  back = Quill::Wire::DecodeXml(renamed, about, options);
  EXPECT_TRUE(info->_IsEqual(back.get(), false)) << renamed;
  EXPECT_EQ(report.unknownTypes, 1u);
  EXPECT_EQ(report.skippedElements, 1u);

  json.clear();
  Quill::Wire::EncodeJson(json, info.get(), about);
  std::size_t at = json.find("\"AboutInfo\"");
  ASSERT_NE(at, std::string::npos);
  json.replace(at, 11, "\"AboutInfoOfTomorrow\"");
  report = {};
  back = Quill::Wire::DecodeJson(json, about, options);
  EXPECT_TRUE(info->_IsEqual(back.get(), false)) << json;
  EXPECT_EQ(report.unknownTypes, 1u);

  std::string anyXml;
  Quill::Wire::EncodeXml(anyXml, holder.get(), kav, "value");
  anyXml.replace(anyXml.find("xsi:type=\"AboutInfo\""), 20, "xsi:type=\"SomethingElse\"");
  report = {};
  back = Quill::Wire::DecodeXml(anyXml, kav, options);
  EXPECT_FALSE(static_cast<Quill::KeyAnyValue*>(back.get())->value);
  EXPECT_EQ(report.unknownTypes, 1u);

  // Without a report the same messages decode all the same.
  EXPECT_NO_THROW(Quill::Wire::DecodeXml(renamed, about));
  EXPECT_NO_THROW(Quill::Wire::DecodeJson(json, about));
}

}  // namespace

namespace {

bool Concrete(Quill::DataObjectType const* t) { return Ref<Quill::DynamicData>(t->Create()) != nullptr; }

// The nearest class of `t`'s line (itself included) that `v` has.
Quill::DataObjectType* NearestIn(Quill::DataObjectType* t, Quill::Version const* v) {
  while (t && !Quill::ExistsInVersion(t, v)) t = t->GetBaseType();
  return t;
}

// What a writer threw: its exception's text, "" when nothing was thrown.
template <class Exception, class F>
std::string Thrown(F write) {
  try {
    write();
  } catch (Exception const& e) {
    return wire_test::FaultText(e);
  }
  return {};
}

}  // namespace

// A class newer than the version, where anything may stand: written as the
// nearest class the version has and a reader can make, else refused. Never
// what the reader refuses.
TEST(WireVersions, ANewerClassInAnAnyPositionIsWrittenAsABaseOrRefused) {
  auto* kav = Quill::GetDoType<Quill::KeyAnyValue>();
  int asBase = 0, refused = 0;
  for (Quill::Version const* v : OlderReleases()) {
    for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_DATA)) {
      auto* d = static_cast<Quill::DataObjectType*>(t);
      if (Quill::ExistsInVersion(d, v) || !Concrete(d)) continue;
      Quill::DataObjectType* base = NearestIn(d, v);
      bool root = !Concrete(base);
      if (root ? refused >= 3 : asBase >= 3) continue;
      SCOPED_TRACE(std::string(d->GetName()) + " for " + v->GetName());
      Ref<Quill::KeyAnyValue> holder(new Quill::KeyAnyValue());
      holder->key = "k";
      holder->value = wire_test::Filled(d, 0).get();
      std::string xml, json;
      auto writeXml = [&] { Quill::Wire::EncodeXml(xml, holder.get(), kav, "value", v); };
      auto writeJson = [&] { Quill::Wire::EncodeJson(json, holder.get(), kav, v); };
      if (root) {
        EXPECT_MENTIONS_NAME(Thrown<Quill::Fault::NotSupported::Exception>(writeXml), d->GetName());
        EXPECT_MENTIONS_NAME(Thrown<Quill::Fault::NotSupported::Exception>(writeJson), d->GetName());
        ++refused;
        continue;
      }
      writeXml();
      writeJson();
      Ref<Any> back = Quill::Wire::DecodeXml(xml, kav);
      EXPECT_EQ(static_cast<Quill::KeyAnyValue*>(back.get())->value->_GetType(), base) << xml;
      back = Quill::Wire::DecodeJson(json, kav);
      EXPECT_EQ(static_cast<Quill::KeyAnyValue*>(back.get())->value->_GetType(), base) << json;
      ++asBase;
    }
  }
  EXPECT_GT(asBase, 0);
  EXPECT_GT(refused, 0);
}

// A few properties are older than their type: a release between the two has
// neither, and its messages leave the property out (and do not require it).
TEST(WireVersions, APropertyOlderThanItsTypeIsLeftOutWhereTheTypeIsNot) {
  int checked = 0;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_FAULT)) {
    auto* owner = static_cast<Quill::DataObjectType*>(t);
    for (std::uint32_t i = 0; i < owner->GetOwnPropertyCount(); ++i) {
      Quill::PropertyInfo const& p = owner->GetOwnProperty(i);
      Quill::Type* type = Quill::FindTypeByInfo(p.type);
      if (!type || type->GetKind() == Quill::KIND_PRIMITIVE) continue;
      for (Quill::Version const* v : OlderReleases()) {
        if (!Quill::ExistsInVersion(owner, v) || !Quill::ExistsInVersion(p, v) || Quill::ExistsInVersion(type, v) ||
            !Concrete(owner)) {
          continue;
        }
        SCOPED_TRACE(std::string(owner->GetName()) + "." + p.name + " (" + type->GetName() + ") for " + v->GetName());
        Ref<Quill::DynamicData> obj = wire_test::Filled(owner, 1);
        std::string xml, json, newest;
        ASSERT_NO_THROW(Quill::Wire::EncodeXml(xml, obj.get(), owner, "value", v));
        ASSERT_NO_THROW(Quill::Wire::EncodeJson(json, obj.get(), owner, v));
        Quill::Wire::EncodeXml(newest, obj.get(), owner, "value");
        EXPECT_FALSE(HasElement(xml, p.name)) << xml;
        EXPECT_FALSE(HasKey(json, p.name)) << json;
        EXPECT_TRUE(HasElement(newest, p.name)) << newest;
        Quill::Wire::DecodeOptions as;
        as.version = v;
        EXPECT_NO_THROW(Quill::Wire::DecodeXml(xml, owner, as)) << xml;
        EXPECT_NO_THROW(Quill::Wire::DecodeJson(json, owner, as)) << json;
        ++checked;
        break;  // one release in between is enough
      }
    }
  }
  EXPECT_GE(checked, 10);
}

// A value written for an older release lacks the required properties that
// release lacks: read as that release, it is whole.
TEST(WireVersions, AValueIsReadAsTheVersionItWasWrittenFor) {
  Quill::Version const* oldest = Quill::FindVersion("tarn.version.version1");
  ASSERT_NE(oldest, nullptr);
  auto* session = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.UserSession"));
  ASSERT_NE(session, nullptr);
  Ref<Quill::DynamicData> obj = wire_test::Filled(session, 0);
  std::string xml, json;
  Quill::Wire::EncodeXml(xml, obj.get(), session, "value", oldest);
  Quill::Wire::EncodeJson(json, obj.get(), session, oldest);
  Quill::Wire::DecodeOptions as;
  as.version = oldest;
  EXPECT_NO_THROW(Quill::Wire::DecodeXml(xml, session, as));
  EXPECT_NO_THROW(Quill::Wire::DecodeJson(json, session, as));
  // Read as the newest, the required properties it lacks are missing.
  EXPECT_THROW(Quill::Wire::DecodeXml(xml, session), Quill::Fault::InvalidRequest::Exception);
  EXPECT_THROW(Quill::Wire::DecodeJson(json, session), Quill::Fault::InvalidRequest::Exception);
}

// A request that does not name its version speaks the newest release of its
// body's namespace, and is answered (or refused) in it.
TEST(WireVersions, ARequestWithoutItsVersionIsAnsweredInItsNamespace) {
  auto* folder = static_cast<Quill::ManagedObjectType*>(Quill::FindType("tarn.Folder"));
  Quill::ManagedMethod* create = folder->FindMethod("createFolder");
  Ref<Quill::MoRef> target(new Quill::MoRef("tarn.Folder", "group-d1"));
  Quill::ArgVector args{Quill::Box(std::string("Production"))};
  auto headless = [](std::string xml) {
    std::size_t from = xml.find("<soapenv:Header>");
    std::size_t to = xml.find("</soapenv:Header>");
    EXPECT_NE(to, std::string::npos);
    return xml.erase(from, to + 17 - from);
  };
  Quill::Version const* oldest = Quill::FindVersion("tarn.version.version1");
  ASSERT_NE(oldest, nullptr);
  std::string old = headless(Quill::Wire::EncodeRequest(target.get(), create, args, oldest));
  ASSERT_EQ(old.find("apiVersion"), std::string::npos);
  Quill::Wire::Request req = Quill::Wire::DecodeRequest(old);
  ASSERT_NE(req.version, nullptr);
  EXPECT_STREQ(req.version->GetWireNamespace(), oldest->GetWireNamespace());
  EXPECT_MENTIONS_NAME(Quill::Wire::EncodeResponse(create, nullptr, req.version),
                       std::string("xmlns=\"urn:") + oldest->GetWireNamespace() + "\"");
  // The newest namespace, or none this end knows: the default version.
  std::string fresh = headless(Quill::Wire::EncodeRequest(target.get(), create, args));
  EXPECT_EQ(Quill::Wire::DecodeRequest(fresh).version, Quill::Wire::DefaultVersion());
  std::string foreign = fresh;
  foreign.replace(foreign.find("urn:tarn"), 8, "urn:elsewhere");
  EXPECT_EQ(Quill::Wire::DecodeRequest(foreign).version, Quill::Wire::DefaultVersion());
  // A refusal says the version it was read as, for its answer.
  std::string bad = old;
  bad.insert(bad.find("</name>") + 7, "<colour>red</colour>");
  try {
    Quill::Wire::DecodeRequest(bad);
    ADD_FAILURE() << "accepted";
  } catch (Quill::Wire::DecodeError const& e) {
    ASSERT_NE(e.GetVersion(), nullptr);
    EXPECT_STREQ(e.GetVersion()->GetWireNamespace(), oldest->GetWireNamespace());
  }
}
