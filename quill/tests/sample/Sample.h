// A small hand-written type library in the shape the generator emits: two
// modules ("sample" and "sample.ext"), data types with every field kind, an
// enumeration, a fault, and two managed types. The tests bind it explicitly
// so that they control the module order.
#pragma once

#include <string>
#include <vector>

#include "basalt/DateTime.h"
#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "quill/Any.h"
#include "quill/Faults.h"
#include "quill/Forward.h"
#include "quill/MethodFault.h"
#include "quill/TypeInfo.h"

extern Quill::TypeInfo const gSampleColorTypeInfo;
extern Quill::TypeInfo const gSamplePointTypeInfo;
extern Quill::TypeInfo const gSampleShapeTypeInfo;
extern Quill::TypeInfo const gSampleDerivedTypeInfo;
extern Quill::TypeInfo const gSampleBadShapeFaultTypeInfo;
extern Quill::TypeInfo const gSampleWidgetTypeInfo;
extern Quill::TypeInfo const gSampleGadgetTypeInfo;
extern Quill::TypeInfo const gSampleExtBaseSpecTypeInfo;

namespace Sample {

enum class Color : int { Red, Green, Blue };
extern char const COLOR_RED[];
extern char const COLOR_GREEN[];
extern char const COLOR_BLUE[];

class Point : public Quill::DynamicData {
 public:
  long x;
  long y;
  Basalt::Optional<std::string> label;
  Basalt::Optional<bool> visible;

  Point();
  Point(Point const& other);
  ~Point() override;
  Quill::Type* _GetType() const override;
  Quill::Any* _Clone() const override;
  bool _IsEqual(Quill::Any const* other, bool lenient) const override;
  void _DiffProperties(Quill::Any const* other, std::string const& prefix,
                       Quill::PropertyDiffSet& diffs) const override;
  Quill::DataObjectType* _GetDataType() const override;
};

class Shape : public Quill::DynamicData {
 public:
  std::string name;
  Basalt::Ref<Point> origin;                    // optional
  Basalt::Ref<Quill::DataArray<Point>> points;  // optional array
  Color color;
  Basalt::Ref<Quill::Array<Color>> palette;  // optional array
  Basalt::Optional<Basalt::System::DateTime> created;
  std::string password;             // secret
  Basalt::Ref<Quill::Any> extra;    // optional any
  Basalt::Ref<Quill::MoRef> owner;  // optional reference
  double weight;
  Basalt::Ref<Quill::Array<std::string>> tags;  // optional array

  Shape();
  Shape(Shape const& other);
  ~Shape() override;
  Quill::Type* _GetType() const override;
  Quill::Any* _Clone() const override;
  bool _IsEqual(Quill::Any const* other, bool lenient) const override;
  void _DiffProperties(Quill::Any const* other, std::string const& prefix,
                       Quill::PropertyDiffSet& diffs) const override;
  Quill::DataObjectType* _GetDataType() const override;

  Quill::DataArray<Point>* GetPoints();
  Quill::Array<Color>* GetPalette();
  Quill::Array<std::string>* GetTags();
};

namespace Ext {
class BaseSpec : public Quill::DynamicData {
 public:
  std::string operation;
  Basalt::Optional<int> count;

  BaseSpec();
  BaseSpec(BaseSpec const& other);
  ~BaseSpec() override;
  Quill::Type* _GetType() const override;
  Quill::Any* _Clone() const override;
  bool _IsEqual(Quill::Any const* other, bool lenient) const override;
  void _DiffProperties(Quill::Any const* other, std::string const& prefix,
                       Quill::PropertyDiffSet& diffs) const override;
  Quill::DataObjectType* _GetDataType() const override;
};
}  // namespace Ext

// Derived from a type of a module that is bound after this one.
class Derived : public Ext::BaseSpec {
 public:
  std::string note;

  Derived();
  Derived(Derived const& other);
  ~Derived() override;
  Quill::Type* _GetType() const override;
  Quill::Any* _Clone() const override;
  bool _IsEqual(Quill::Any const* other, bool lenient) const override;
  void _DiffProperties(Quill::Any const* other, std::string const& prefix,
                       Quill::PropertyDiffSet& diffs) const override;
  Quill::DataObjectType* _GetDataType() const override;
};

// A fault of the library, derived from a runtime fault.
class BadShapeFault : public Quill::Fault::InvalidArgument {
 public:
  class Exception;
  std::string shapeName;

  BadShapeFault();
  BadShapeFault(BadShapeFault const& other);
  ~BadShapeFault() override;
  Quill::Type* _GetType() const override;
  Quill::Any* _Clone() const override;
  bool _IsEqual(Quill::Any const* other, bool lenient) const override;
  Quill::DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  Quill::MethodFault::Exception* CreateException() override;
};

class BadShapeFault::Exception : public Quill::Fault::InvalidArgument::Exception {
 public:
  explicit Exception(BadShapeFault* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// Method-object arrays of the managed types.
extern Quill::ManagedMethod* gSampleWidgetMethodObjects[];
extern Quill::ManagedMethod* gSampleGadgetMethodObjects[];

}  // namespace Sample

namespace SampleModules {
// Module initialisers, as the dynamic loader would run them.
void InitSample();
void InitSampleExt();
// The version table of the "sample" namespace, shared by its modules.
extern Quill::SedgeVersions const kSampleVersions;
extern int sampleNamespaceId;
extern void* officialSlots[4];
extern void* internalSlots[4];
}  // namespace SampleModules
