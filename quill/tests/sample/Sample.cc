#include "Sample.h"

#include <typeinfo>

#include "quill/Accessors.h"
#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/Loader.h"
#include "quill/Primitive.h"
#include "quill/Type.h"
#include "quill/ValueImpl.h"

// --- records ---------------------------------------------------------------------
Quill::TypeInfo const gSampleColorTypeInfo = {Quill::KIND_ENUM, "sample.Color", "SampleColor", "sample.version.v1"};
Quill::TypeInfo const gSamplePointTypeInfo = {Quill::KIND_DATA, "sample.Point", "SamplePoint", "sample.version.v1"};
Quill::TypeInfo const gSampleShapeTypeInfo = {Quill::KIND_DATA, "sample.Shape", "Shape", "sample.version.v2"};
Quill::TypeInfo const gSampleDerivedTypeInfo = {Quill::KIND_DATA, "sample.Derived", "DerivedSpec", "sample.version.v2"};
Quill::TypeInfo const gSampleBadShapeFaultTypeInfo = {Quill::KIND_FAULT, "sample.BadShapeFault", "BadShapeFault",
                                                      "sample.version.v1"};
Quill::TypeInfo const gSampleWidgetTypeInfo = {Quill::KIND_MANAGED, "sample.Widget", "Widget", "sample.version.v1"};
Quill::TypeInfo const gSampleGadgetTypeInfo = {Quill::KIND_MANAGED, "sample.Gadget", "Gadget", "sample.version.featA"};
Quill::TypeInfo const gSampleExtBaseSpecTypeInfo = {Quill::KIND_DATA, "sample.ext.BaseSpec", "BaseSpec",
                                                    "sample.version.v1"};

namespace {
Quill::Type* gSampleSlots[7];
Quill::Type* gSampleExtSlots[1];
template <class T>
T* Slot(Quill::Type** slots, int i) {
  return static_cast<T*>(slots[i]);
}
}  // namespace

template <>
Quill::DataObjectType* Quill::GetDoType<Sample::Point>() {
  return Slot<DataObjectType>(gSampleSlots, 0);
}
template <>
Quill::DataObjectType* Quill::GetDoType<Sample::Shape>() {
  return Slot<DataObjectType>(gSampleSlots, 1);
}
template <>
Quill::DataObjectType* Quill::GetDoType<Sample::Derived>() {
  return Slot<DataObjectType>(gSampleSlots, 2);
}
template <>
Quill::DataObjectType* Quill::GetDoType<Sample::BadShapeFault>() {
  return Slot<DataObjectType>(gSampleSlots, 3);
}
template <>
Quill::EnumType* Quill::GetEnumType<Sample::Color>() {
  return Slot<EnumType>(gSampleSlots, 4);
}
template <>
Quill::DataObjectType* Quill::GetDoType<Sample::Ext::BaseSpec>() {
  return Slot<DataObjectType>(gSampleExtSlots, 0);
}

template class Quill::Array<Sample::Color>;
template class Quill::Primitive<Sample::Color>;

namespace Sample {

char const COLOR_RED[] = "red";
char const COLOR_GREEN[] = "green";
char const COLOR_BLUE[] = "blue";

namespace {
char const kX[] = ".x";
char const kY[] = ".y";
char const kLabel[] = ".label";
char const kVisible[] = ".visible";
char const kName[] = ".name";
char const kOrigin[] = ".origin";
char const kPoints[] = ".points";
char const kColor[] = ".color";
char const kPalette[] = ".palette";
char const kCreated[] = ".created";
char const kPassword[] = ".password";
char const kExtra[] = ".extra";
char const kOwner[] = ".owner";
char const kWeight[] = ".weight";
char const kTags[] = ".tags";
char const kOperation[] = ".operation";
char const kCount[] = ".count";
char const kNote[] = ".note";
}  // namespace

using Quill::AreEqualAnysInt;
using Quill::CloneField;
using Quill::DiffAnyPropertiesInt;
namespace Cmp = Quill::Cmp;
namespace {
// As generated classes do: a null or foreign `other` is unequal, never cast.
bool SameClass(Quill::Any const* self, Quill::Any const* other) { return other && typeid(*self) == typeid(*other); }
}  // namespace

// --- Point -------------------------------------------------------------------------
Point::Point() : x(), y() {}
Point::Point(Point const& o) : DynamicData(o), x(o.x), y(o.y), label(o.label), visible(o.visible) {}
Point::~Point() = default;
Quill::Type* Point::_GetType() const { return Quill::GetDoType<Point>(); }
Quill::DataObjectType* Point::_GetDataType() const { return Quill::GetDoType<Point>(); }
Quill::Any* Point::_Clone() const { return new Point(*this); }
bool Point::_IsEqual(Quill::Any const* other, bool lenient) const {
  if (!SameClass(this, other)) return false;
  auto const* o = static_cast<Point const*>(other);
  return Cmp::Eq(x, o->x) && Cmp::Eq(y, o->y) && Cmp::EqOpt(label, o->label, lenient) &&
         Cmp::EqOpt(visible, o->visible, lenient);
}
void Point::_DiffProperties(Quill::Any const* other, std::string const& prefix, Quill::PropertyDiffSet& diffs) const {
  if (!SameClass(this, other)) {
    diffs.Append(prefix);
    return;
  }
  auto const* o = static_cast<Point const*>(other);
  Cmp::Diff(x, o->x, prefix, kX, diffs);
  Cmp::Diff(y, o->y, prefix, kY, diffs);
  Cmp::Diff(label, o->label, prefix, kLabel, diffs);
  Cmp::Diff(visible, o->visible, prefix, kVisible, diffs);
}

// --- Shape -------------------------------------------------------------------------
Shape::Shape() : color(), weight() {}
Shape::Shape(Shape const& o)
    : DynamicData(o),
      name(o.name),
      origin(CloneField(o.origin)),
      points(CloneField(o.points)),
      color(o.color),
      palette(CloneField(o.palette)),
      created(o.created),
      password(o.password),
      extra(CloneField(o.extra)),
      owner(CloneField(o.owner)),
      weight(o.weight),
      tags(CloneField(o.tags)) {}
Shape::~Shape() = default;
Quill::Type* Shape::_GetType() const { return Quill::GetDoType<Shape>(); }
Quill::DataObjectType* Shape::_GetDataType() const { return Quill::GetDoType<Shape>(); }
Quill::Any* Shape::_Clone() const { return new Shape(*this); }
bool Shape::_IsEqual(Quill::Any const* other, bool lenient) const {
  if (!SameClass(this, other)) return false;
  auto const* o = static_cast<Shape const*>(other);
  return Cmp::Eq(name, o->name) && AreEqualAnysInt(origin.get(), o->origin.get(), 2, lenient) &&
         AreEqualAnysInt(points.get(), o->points.get(), 3, lenient) && Cmp::Eq(color, o->color) &&
         AreEqualAnysInt(palette.get(), o->palette.get(), 3, lenient) && Cmp::EqOpt(created, o->created, lenient) &&
         Cmp::Eq(password, o->password) && AreEqualAnysInt(extra.get(), o->extra.get(), 2, lenient) &&
         AreEqualAnysInt(owner.get(), o->owner.get(), 2, lenient) && Cmp::Eq(weight, o->weight) &&
         AreEqualAnysInt(tags.get(), o->tags.get(), 3, lenient);
}
void Shape::_DiffProperties(Quill::Any const* other, std::string const& prefix, Quill::PropertyDiffSet& diffs) const {
  if (!SameClass(this, other)) {
    diffs.Append(prefix);
    return;
  }
  auto const* o = static_cast<Shape const*>(other);
  Cmp::Diff(name, o->name, prefix, kName, diffs);
  DiffAnyPropertiesInt(origin.get(), o->origin.get(), prefix, kOrigin, 2, diffs);
  DiffAnyPropertiesInt(points.get(), o->points.get(), prefix, kPoints, 3, diffs);
  Cmp::Diff(color, o->color, prefix, kColor, diffs);
  DiffAnyPropertiesInt(palette.get(), o->palette.get(), prefix, kPalette, 3, diffs);
  Cmp::Diff(created, o->created, prefix, kCreated, diffs);
  Cmp::Diff(password, o->password, prefix, kPassword, diffs);
  DiffAnyPropertiesInt(extra.get(), o->extra.get(), prefix, kExtra, 2, diffs);
  DiffAnyPropertiesInt(owner.get(), o->owner.get(), prefix, kOwner, 2, diffs);
  Cmp::Diff(weight, o->weight, prefix, kWeight, diffs);
  DiffAnyPropertiesInt(tags.get(), o->tags.get(), prefix, kTags, 3, diffs);
}
Quill::DataArray<Point>* Shape::GetPoints() {
  return Basalt::GetOrCreate(points, [] { return new Quill::DataArray<Point>(); });
}
Quill::Array<Color>* Shape::GetPalette() {
  return Basalt::GetOrCreate(palette, [] { return new Quill::Array<Color>(); });
}
Quill::Array<std::string>* Shape::GetTags() {
  return Basalt::GetOrCreate(tags, [] { return new Quill::Array<std::string>(); });
}

// --- Ext::BaseSpec and Derived ---------------------------------------------------------
namespace Ext {
BaseSpec::BaseSpec() = default;
BaseSpec::BaseSpec(BaseSpec const& o) : DynamicData(o), operation(o.operation), count(o.count) {}
BaseSpec::~BaseSpec() = default;
Quill::Type* BaseSpec::_GetType() const { return Quill::GetDoType<BaseSpec>(); }
Quill::DataObjectType* BaseSpec::_GetDataType() const { return Quill::GetDoType<BaseSpec>(); }
Quill::Any* BaseSpec::_Clone() const { return new BaseSpec(*this); }
bool BaseSpec::_IsEqual(Quill::Any const* other, bool lenient) const {
  if (!SameClass(this, other)) return false;
  auto const* o = static_cast<BaseSpec const*>(other);
  return Cmp::Eq(operation, o->operation) && Cmp::EqOpt(count, o->count, lenient);
}
void BaseSpec::_DiffProperties(Quill::Any const* other, std::string const& prefix,
                               Quill::PropertyDiffSet& diffs) const {
  if (!SameClass(this, other)) {
    diffs.Append(prefix);
    return;
  }
  auto const* o = static_cast<BaseSpec const*>(other);
  Cmp::Diff(operation, o->operation, prefix, kOperation, diffs);
  Cmp::Diff(count, o->count, prefix, kCount, diffs);
}
}  // namespace Ext

Derived::Derived() = default;
Derived::Derived(Derived const& o) : BaseSpec(o), note(o.note) {}
Derived::~Derived() = default;
Quill::Type* Derived::_GetType() const { return Quill::GetDoType<Derived>(); }
Quill::DataObjectType* Derived::_GetDataType() const { return Quill::GetDoType<Derived>(); }
Quill::Any* Derived::_Clone() const { return new Derived(*this); }
bool Derived::_IsEqual(Quill::Any const* other, bool lenient) const {
  if (!SameClass(this, other)) return false;
  auto const* o = static_cast<Derived const*>(other);
  return BaseSpec::_IsEqual(other, lenient) && Cmp::Eq(note, o->note);
}
void Derived::_DiffProperties(Quill::Any const* other, std::string const& prefix, Quill::PropertyDiffSet& diffs) const {
  if (!SameClass(this, other)) {
    diffs.Append(prefix);
    return;
  }
  auto const* o = static_cast<Derived const*>(other);
  BaseSpec::_DiffProperties(other, prefix, diffs);
  Cmp::Diff(note, o->note, prefix, kNote, diffs);
}

// --- BadShapeFault ----------------------------------------------------------------------
BadShapeFault::BadShapeFault() = default;
BadShapeFault::BadShapeFault(BadShapeFault const& o) : InvalidArgument(o), shapeName(o.shapeName) {}
BadShapeFault::~BadShapeFault() = default;
Quill::Type* BadShapeFault::_GetType() const { return Quill::GetDoType<BadShapeFault>(); }
Quill::DataObjectType* BadShapeFault::_GetDataType() const { return Quill::GetDoType<BadShapeFault>(); }
Quill::Any* BadShapeFault::_Clone() const { return new BadShapeFault(*this); }
bool BadShapeFault::_IsEqual(Quill::Any const* other, bool lenient) const {
  if (!SameClass(this, other)) return false;
  auto const* o = static_cast<BadShapeFault const*>(other);
  return InvalidArgument::_IsEqual(other, lenient) && Cmp::Eq(shapeName, o->shapeName);
}
void BadShapeFault::ThrowInternal() { throw Exception(this); }
Quill::MethodFault::Exception* BadShapeFault::CreateException() { return new Exception(this); }
BadShapeFault::Exception::Exception(BadShapeFault* fault) : InvalidArgument::Exception(fault) {}
BadShapeFault::Exception::Exception(Exception const& other) = default;
BadShapeFault::Exception::~Exception() = default;
BadShapeFault::Exception* BadShapeFault::Exception::Clone() const { return new Exception(*this); }
void BadShapeFault::Exception::Throw() const { throw Exception(*this); }

Quill::ManagedMethod* gSampleWidgetMethodObjects[3 + 2 + 1];
Quill::ManagedMethod* gSampleGadgetMethodObjects[1 + 2 + 1];

}  // namespace Sample

// --- descriptors ----------------------------------------------------------------------
namespace {
using namespace Quill;
namespace Access = Quill::Access;

char const kV1[] = "sample.version.v1";
char const kV2[] = "sample.version.v2";
char const kFeatA[] = "sample.version.featA";

PropertyInfo gPointProps[5];
PropertyInfo gShapeProps[12];
PropertyInfo gDerivedProps[2];
PropertyInfo gBadShapeProps[2];
PropertyInfo gBaseSpecProps[3];
PropertyInfo gWidgetProps[3];
PropertyInfo gGadgetProps[3];
PropertyInfo gRenameParams[2];
MethodInfo gWidgetMethods[4];
MethodInfo gGadgetMethods[2];
PropertyInfo const kNoParams[] = {{}};
TypeInfo const* const kRenameFaults[] = {&gSampleBadShapeFaultTypeInfo, &gSedgeFaultInvalidArgumentTypeInfo, nullptr};
TypeInfo const* const kNoFaults[] = {nullptr};
TypePrivilege const kDestroyPrivileges[] = {
    {"sample.Widget", "Widget.Delete"}, {"sample.Gadget", "Gadget.Delete"}, {nullptr, nullptr}};
char const* const kColorTags[] = {Sample::COLOR_RED, Sample::COLOR_GREEN, Sample::COLOR_BLUE, nullptr};

// Point
void PointGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* s = static_cast<Sample::Point*>(o);
  switch (i) {
    case 0:
      Access::Get(s->x, out);
      break;
    case 1:
      Access::Get(s->y, out);
      break;
    case 2:
      Access::Get(s->label, out);
      break;
    case 3:
      Access::Get(s->visible, out);
      break;
  }
}
void* PointPtr(DynamicData* o, std::uint32_t i) {
  auto* s = static_cast<Sample::Point*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(s->x);
    case 1:
      return Access::Ptr(s->y);
    case 2:
      return Access::Ptr(s->label);
    default:
      return Access::Ptr(s->visible);
  }
}
void PointSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* s = static_cast<Sample::Point*>(o);
  switch (i) {
    case 0:
      Access::Set(s->x, in);
      break;
    case 1:
      Access::Set(s->y, in);
      break;
    case 2:
      Access::Set(s->label, in);
      break;
    case 3:
      Access::Set(s->visible, in);
      break;
  }
}
void PointSwap(DynamicData* o, std::uint32_t i, void* v) {
  auto* s = static_cast<Sample::Point*>(o);
  switch (i) {
    case 0:
      Access::Swap(s->x, v);
      break;
    case 1:
      Access::Swap(s->y, v);
      break;
    case 2:
      Access::Swap(s->label, v);
      break;
    case 3:
      Access::Swap(s->visible, v);
      break;
  }
}
bool PointIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* s = static_cast<Sample::Point const*>(o);
  switch (i) {
    case 2:
      return Access::IsSet(s->label);
    case 3:
      return Access::IsSet(s->visible);
    default:
      return true;
  }
}
void PointUnset(DynamicData* o, std::uint32_t i) {
  auto* s = static_cast<Sample::Point*>(o);
  switch (i) {
    case 2:
      Access::Unset(s->label);
      break;
    case 3:
      Access::Unset(s->visible);
      break;
  }
}

// Shape
void ShapeGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* s = static_cast<Sample::Shape*>(o);
  switch (i) {
    case 0:
      Access::Get(s->name, out);
      break;
    case 1:
      Access::Get(s->origin, out);
      break;
    case 2:
      Access::Get(s->GetPoints(), out);
      break;
    case 3:
      Access::Get(s->color, out);
      break;
    case 4:
      Access::Get(s->GetPalette(), out);
      break;
    case 5:
      Access::Get(s->created, out);
      break;
    case 6:
      Access::Get(s->password, out);
      break;
    case 7:
      Access::Get(s->extra, out);
      break;
    case 8:
      Access::Get(s->owner, out);
      break;
    case 9:
      Access::Get(s->weight, out);
      break;
    case 10:
      Access::Get(s->GetTags(), out);
      break;
  }
}
void* ShapePtr(DynamicData* o, std::uint32_t i) {
  auto* s = static_cast<Sample::Shape*>(o);
  switch (i) {
    case 0:
      return Access::Ptr(s->name);
    case 1:
      return Access::Ptr(s->origin);
    case 2:
      return Access::Ptr(s->points);
    case 3:
      return Access::Ptr(s->color);
    case 4:
      return Access::Ptr(s->palette);
    case 5:
      return Access::Ptr(s->created);
    case 6:
      return Access::Ptr(s->password);
    case 7:
      return Access::Ptr(s->extra);
    case 8:
      return Access::Ptr(s->owner);
    case 9:
      return Access::Ptr(s->weight);
    default:
      return Access::Ptr(s->tags);
  }
}
void ShapeSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* s = static_cast<Sample::Shape*>(o);
  switch (i) {
    case 0:
      Access::Set(s->name, in);
      break;
    case 1:
      Access::Set(s->origin, in);
      break;
    case 2:
      Access::Set(s->points, in);
      break;
    case 3:
      Access::Set(s->color, in);
      break;
    case 4:
      Access::Set(s->palette, in);
      break;
    case 5:
      Access::Set(s->created, in);
      break;
    case 6:
      Access::Set(s->password, in);
      break;
    case 7:
      Access::Set(s->extra, in);
      break;
    case 8:
      Access::Set(s->owner, in);
      break;
    case 9:
      Access::Set(s->weight, in);
      break;
    case 10:
      Access::Set(s->tags, in);
      break;
  }
}
void ShapeSwap(DynamicData* o, std::uint32_t i, void* v) {
  auto* s = static_cast<Sample::Shape*>(o);
  switch (i) {
    case 0:
      Access::Swap(s->name, v);
      break;
    case 1:
      Access::Swap(s->origin, v);
      break;
    case 2:
      Access::Swap(s->points, v);
      break;
    case 3:
      Access::Swap(s->color, v);
      break;
    case 4:
      Access::Swap(s->palette, v);
      break;
    case 5:
      Access::Swap(s->created, v);
      break;
    case 6:
      Access::Swap(s->password, v);
      break;
    case 7:
      Access::Swap(s->extra, v);
      break;
    case 8:
      Access::Swap(s->owner, v);
      break;
    case 9:
      Access::Swap(s->weight, v);
      break;
    case 10:
      Access::Swap(s->tags, v);
      break;
  }
}
bool ShapeIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* s = static_cast<Sample::Shape const*>(o);
  switch (i) {
    case 1:
      return Access::IsSet(s->origin);
    case 2:
      return Access::IsSet(s->points);
    case 4:
      return Access::IsSet(s->palette);
    case 5:
      return Access::IsSet(s->created);
    case 7:
      return Access::IsSet(s->extra);
    case 8:
      return Access::IsSet(s->owner);
    case 10:
      return Access::IsSet(s->tags);
    default:
      return true;
  }
}
void ShapeUnset(DynamicData* o, std::uint32_t i) {
  auto* s = static_cast<Sample::Shape*>(o);
  switch (i) {
    case 1:
      Access::Unset(s->origin);
      break;
    case 2:
      Access::Unset(s->points);
      break;
    case 4:
      Access::Unset(s->palette);
      break;
    case 5:
      Access::Unset(s->created);
      break;
    case 7:
      Access::Unset(s->extra);
      break;
    case 8:
      Access::Unset(s->owner);
      break;
    case 10:
      Access::Unset(s->tags);
      break;
  }
}

// BaseSpec, Derived, BadShapeFault: one or two fields each.
void BaseSpecGet(DynamicData* o, std::uint32_t i, void* out) {
  auto* s = static_cast<Sample::Ext::BaseSpec*>(o);
  if (i == 0)
    Access::Get(s->operation, out);
  else
    Access::Get(s->count, out);
}
void* BaseSpecPtr(DynamicData* o, std::uint32_t i) {
  auto* s = static_cast<Sample::Ext::BaseSpec*>(o);
  return i == 0 ? Access::Ptr(s->operation) : Access::Ptr(s->count);
}
void BaseSpecSet(DynamicData* o, std::uint32_t i, void const* in) {
  auto* s = static_cast<Sample::Ext::BaseSpec*>(o);
  if (i == 0)
    Access::Set(s->operation, in);
  else
    Access::Set(s->count, in);
}
void BaseSpecSwap(DynamicData* o, std::uint32_t i, void* v) {
  auto* s = static_cast<Sample::Ext::BaseSpec*>(o);
  if (i == 0)
    Access::Swap(s->operation, v);
  else
    Access::Swap(s->count, v);
}
bool BaseSpecIsSet(DynamicData const* o, std::uint32_t i) {
  auto const* s = static_cast<Sample::Ext::BaseSpec const*>(o);
  return i == 0 ? Access::IsSet(s->operation) : Access::IsSet(s->count);
}
void BaseSpecUnset(DynamicData* o, std::uint32_t i) {
  if (i == 1) Access::Unset(static_cast<Sample::Ext::BaseSpec*>(o)->count);
}
void DerivedGet(DynamicData* o, std::uint32_t, void* out) { Access::Get(static_cast<Sample::Derived*>(o)->note, out); }
void* DerivedPtr(DynamicData* o, std::uint32_t) { return Access::Ptr(static_cast<Sample::Derived*>(o)->note); }
void DerivedSet(DynamicData* o, std::uint32_t, void const* in) {
  Access::Set(static_cast<Sample::Derived*>(o)->note, in);
}
void DerivedSwap(DynamicData* o, std::uint32_t, void* v) { Access::Swap(static_cast<Sample::Derived*>(o)->note, v); }
bool DerivedIsSet(DynamicData const*, std::uint32_t) { return true; }
void BadShapeGet(DynamicData* o, std::uint32_t, void* out) {
  Access::Get(static_cast<Sample::BadShapeFault*>(o)->shapeName, out);
}
void* BadShapePtr(DynamicData* o, std::uint32_t) {
  return Access::Ptr(static_cast<Sample::BadShapeFault*>(o)->shapeName);
}
void BadShapeSet(DynamicData* o, std::uint32_t, void const* in) {
  Access::Set(static_cast<Sample::BadShapeFault*>(o)->shapeName, in);
}
void BadShapeSwap(DynamicData* o, std::uint32_t, void* v) {
  Access::Swap(static_cast<Sample::BadShapeFault*>(o)->shapeName, v);
}

template <class T>
DynamicData* Create() {
  return new T();
}
template <class T>
DataArrayBase* CreateArray() {
  return new DataArray<T>();
}

DataTypeInfo const kSampleData[] = {
    {&gSamplePointTypeInfo, &gSedgeDynamicDataTypeInfo, gPointProps, &PointGet, &PointPtr, &PointSet, &PointSwap,
     &PointIsSet, &PointUnset, &Create<Sample::Point>, &CreateArray<Sample::Point>, 0},
    {&gSampleShapeTypeInfo, &gSedgeDynamicDataTypeInfo, gShapeProps, &ShapeGet, &ShapePtr, &ShapeSet, &ShapeSwap,
     &ShapeIsSet, &ShapeUnset, &Create<Sample::Shape>, &CreateArray<Sample::Shape>, 0},
    {&gSampleDerivedTypeInfo, &gSampleExtBaseSpecTypeInfo, gDerivedProps, &DerivedGet, &DerivedPtr, &DerivedSet,
     &DerivedSwap, &DerivedIsSet, nullptr, &Create<Sample::Derived>, &CreateArray<Sample::Derived>, 0},
    {&gSampleBadShapeFaultTypeInfo, &gSedgeFaultInvalidArgumentTypeInfo, gBadShapeProps, &BadShapeGet, &BadShapePtr,
     &BadShapeSet, &BadShapeSwap, &DerivedIsSet, nullptr, &Create<Sample::BadShapeFault>,
     &CreateArray<Sample::BadShapeFault>, 0},
};
DataTypeInfo const kSampleExtData[] = {
    {&gSampleExtBaseSpecTypeInfo, &gSedgeDynamicDataTypeInfo, gBaseSpecProps, &BaseSpecGet, &BaseSpecPtr, &BaseSpecSet,
     &BaseSpecSwap, &BaseSpecIsSet, &BaseSpecUnset, &Create<Sample::Ext::BaseSpec>, &CreateArray<Sample::Ext::BaseSpec>,
     0},
};
EnumTypeInfo const kColorEnum = {&gSampleColorTypeInfo, kColorTags};
ManagedTypeInfo const kWidget = {&gSampleWidgetTypeInfo,
                                 &Quill::gSedgeManagedObjectTypeInfo,
                                 gWidgetProps,
                                 gWidgetMethods,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 Sample::gSampleWidgetMethodObjects};
ManagedTypeInfo const kGadget = {&gSampleGadgetTypeInfo,
                                 &gSampleWidgetTypeInfo,
                                 gGadgetProps,
                                 gGadgetMethods,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 Sample::gSampleGadgetMethodObjects};

// --- version table of "sample" ---------------------------------------------------------
VersionInfo const kVersions[] = {
    {"sample.version.disabled", "sample", "", "sample.Task", "sample", VERSION_DISABLED, 4},
    {"sample.version.featA", "sample", "fDEADBEEF", "sample.Task", "sample", VERSION_FEATURE, 4},
    {"sample.version.v2", "sample", "2.0", "sample.Task", "sample", VERSION_RELEASE, 4},
    {"sample.version.v1", "sample1", "1.0", "sample.Task", "sample", VERSION_RELEASE, 6},
};
VersionParent const kParents[] = {
    {"sample.version.v1", "sedge.query.version.version1"},   {"sample.version.v2", "sample.version.v1"},
    {"sample.version.v2", "sedge.reflect.version.version1"}, {"sample.version.featA", "sample.version.v2"},
    {"sample.version.disabled", "sample.version.featA"},
};
char const* gDependencies[] = {"sedge.reflect", "sedge.query"};

Type* const* SampleCallback(int& count) {
  int n = 0;
  for (DataTypeInfo const& d : kSampleData) gSampleSlots[n++] = CreateDataObjectType(&d);
  gSampleSlots[n++] = CreateEnumType<Sample::Color>(&kColorEnum);
  gSampleSlots[n++] = CreateManagedObjectType(&kWidget);
  gSampleSlots[n++] = CreateManagedObjectType(&kGadget);
  count = n;
  return gSampleSlots;
}
Type* const* SampleExtCallback(int& count) {
  gSampleExtSlots[0] = CreateDataObjectType(&kSampleExtData[0]);
  count = 1;
  return gSampleExtSlots;
}

}  // namespace

namespace SampleModules {
int sampleNamespaceId = 0;
void* officialSlots[4];
void* internalSlots[4];

SedgeVersions const kSampleVersions = {
    "sample", &sampleNamespaceId, gDependencies, kVersions, kParents, officialSlots, internalSlots, 4, 4, 5,
    2,        {1, 1, 24, 26}};

// Module initialisers fill the writable lists with straight stores, then
// construct the loader.
void InitSample() {
  gPointProps[0] = {&gLongTypeInfo, 0, "x", nullptr, kV1};
  gPointProps[1] = {&gLongTypeInfo, 0, "y", nullptr, kV1};
  gPointProps[2] = {&gStringTypeInfo, F_OPTIONAL, "label", nullptr, kV2};
  gPointProps[3] = {&gBoolTypeInfo, F_OPTIONAL, "visible", nullptr, kV2};
  gShapeProps[0] = {&gStringTypeInfo, 0, "name", nullptr, kV2};
  gShapeProps[1] = {&gSamplePointTypeInfo, F_OPTIONAL, "origin", nullptr, kV2};
  gShapeProps[2] = {&gSamplePointTypeInfo, F_ARRAY | F_OPTIONAL, "points", nullptr, kV2};
  gShapeProps[3] = {&gSampleColorTypeInfo, 0, "color", nullptr, kV2};
  gShapeProps[4] = {&gSampleColorTypeInfo, F_ARRAY | F_OPTIONAL, "palette", nullptr, kV2};
  gShapeProps[5] = {&gDateTimeTypeInfo, F_OPTIONAL, "created", nullptr, kV2};
  gShapeProps[6] = {&gStringTypeInfo, F_SECRET, "password", nullptr, kV2};
  gShapeProps[7] = {&gAnyTypeInfo, F_OPTIONAL, "extra", nullptr, kV2};
  gShapeProps[8] = {&gSampleWidgetTypeInfo, F_OPTIONAL, "owner", "Widget.Read", kFeatA};
  gShapeProps[9] = {&gDoubleTypeInfo, 0, "weight", nullptr, kV2};
  gShapeProps[10] = {&gStringTypeInfo, F_ARRAY | F_OPTIONAL, "tags", nullptr, kV2};
  gDerivedProps[0] = {&gStringTypeInfo, 0, "note", nullptr, kV2};
  gBadShapeProps[0] = {&gStringTypeInfo, 0, "shapeName", nullptr, kV1};
  gWidgetProps[0] = {&gStringTypeInfo, F_MANAGED, "name", "System.View", kV1};
  gWidgetProps[1] = {&Quill::gSedgeManagedObjectTypeInfo, F_MANAGED | F_OPTIONAL, "parent", "System.View", kV1};
  gGadgetProps[0] = {&gIntTypeInfo, F_MANAGED, "size", "System.Read", kFeatA};
  gGadgetProps[1] = {&gStringTypeInfo, F_MANAGED, "name", nullptr, kFeatA};  // re-declared
  gRenameParams[0] = {&gStringTypeInfo, 0, "newName", nullptr, kV1};
  gWidgetMethods[0] = {
      "rename",      "Rename_Task", nullptr, nullptr, {&gSampleWidgetTypeInfo, 0, "result", nullptr, kV1},
      gRenameParams, kRenameFaults, 1,       0,       kV1};
  gWidgetMethods[1] = {"destroy",
                       "Destroy_Task",
                       nullptr,
                       kDestroyPrivileges,
                       {nullptr, 0, "result", nullptr, "sedge.version.version0"},
                       kNoParams,
                       kNoFaults,
                       1,
                       0,
                       kV1};
  gWidgetMethods[2] = {"describe",
                       "DescribeWidget",
                       "System.Read",
                       nullptr,
                       {&gSampleShapeTypeInfo, F_OPTIONAL, "result", nullptr, kV2},
                       kNoParams,
                       kNoFaults,
                       0,
                       1,
                       kV2};
  gGadgetMethods[0] = {"spin",
                       "SpinGadget",
                       "Gadget.Spin",
                       nullptr,
                       {nullptr, 0, "result", nullptr, "sedge.version.version0"},
                       kNoParams,
                       kNoFaults,
                       0,
                       0,
                       kFeatA};
  static TypeInfoLoader loader(&kSampleVersions, &SampleCallback);
}

void InitSampleExt() {
  gBaseSpecProps[0] = {&gStringTypeInfo, 0, "operation", nullptr, kV1};
  gBaseSpecProps[1] = {&gIntTypeInfo, F_OPTIONAL, "count", nullptr, kV1};
  static TypeInfoLoader loader(&kSampleVersions, &SampleExtCallback);
}

}  // namespace SampleModules
