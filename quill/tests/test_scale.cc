// Registration at the size of the real library: a few thousand types in a few
// dozen modules, bases spread across modules and bound in any order.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "quill/Accessors.h"
#include "quill/Loader.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace {

using namespace Quill;

constexpr int kModules = 40;
constexpr int kPerModule = 95;  // 3,800 types

std::deque<std::string> gNames;  // stable storage for generated strings
std::vector<TypeInfo> gRecords(kModules* kPerModule);
std::vector<DataTypeInfo> gDescs(kModules* kPerModule);
std::vector<std::vector<Type*>> gSlots(kModules);
PropertyInfo const kNoProperties[] = {{}};
std::deque<TypeInfoLoader> gLoaders;  // like a module's static loader object

char const* Keep(std::string s) { return gNames.emplace_back(std::move(s)).c_str(); }

template <int M>
Type* const* Callback(int& count) {
  auto& slots = gSlots[M];
  for (int i = 0; i < kPerModule; ++i) slots.push_back(CreateDataObjectType(&gDescs[M * kPerModule + i]));
  count = kPerModule;
  return slots.data();
}

template <int... M>
void LoadAll(std::integer_sequence<int, M...>) {
  (gLoaders.emplace_back(nullptr, &Callback<M>), ...);
}

// How long registration takes is measured by the benchmarks (bench/), not here.
TEST(Scale, ThousandsOfTypesRegisterAndResolveAcrossModules) {
  for (int m = 0; m < kModules; ++m) {
    for (int i = 0; i < kPerModule; ++i) {
      int n = m * kPerModule + i;
      gRecords[n] = {KIND_DATA, Keep("scale.m" + std::to_string(m) + ".Type" + std::to_string(i)),
                     Keep("ScaleM" + std::to_string(m) + "Type" + std::to_string(i)), "sedge.version.version1"};
      // Every tenth type derives from a type of the next module, bound later.
      TypeInfo const* base =
          i % 10 == 0 && m + 1 < kModules ? &gRecords[(m + 1) * kPerModule + 1] : &gSedgeDynamicDataTypeInfo;
      gDescs[n] = {&gRecords[n],       base,    kNoProperties, nullptr, nullptr, nullptr, nullptr,
                   &Access::AlwaysSet, nullptr, nullptr,       nullptr, 0};
    }
  }
  LoadAll(std::make_integer_sequence<int, kModules>());

  for (int m = 0; m < kModules; ++m) {
    for (int i = 0; i < kPerModule; ++i) {
      int n = m * kPerModule + i;
      Type* t = FindType(gRecords[n].name);
      ASSERT_EQ(t, gSlots[m][i]);
      ASSERT_EQ(FindTypeByWsdlName(gRecords[n].wsdlName), t);
      auto* d = static_cast<DataObjectType*>(t);
      ASSERT_NE(d->GetBaseType(), nullptr) << gRecords[n].name;
      if (gDescs[n].base != &gSedgeDynamicDataTypeInfo) {
        ASSERT_EQ(d->GetBaseType()->GetTypeInfo(), gDescs[n].base);
      }
    }
  }
  EXPECT_GE(GetTypesOfKind(KIND_DATA).size(), static_cast<std::size_t>(kModules * kPerModule));
}

}  // namespace
