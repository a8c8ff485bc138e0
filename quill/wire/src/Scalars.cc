// Plain values in and out of boxes, arrays and data objects.
#include "Common.h"
#include "basalt/Optional.h"
#include "quill/DataTypes.h"
#include "quill/ManagedObject.h"

namespace Quill::Wire::Detail {

void* Scalar::Ptr(VK k) noexcept {
  switch (k) {
    case VK::Bool:
      return &b;
    case VK::Byte:
      return &c;
    case VK::Short:
      return &s;
    case VK::Int:
    case VK::Enum:
      return &i;
    case VK::Long:
      return &l;
    case VK::Float:
      return &f;
    case VK::Double:
      return &d;
    case VK::String:
      return &str;
    case VK::DateTime:
      return &dt;
    case VK::Binary:
      return &bin;
    case VK::TypeName:
      return &tn;
    case VK::MethodName:
      return &mn;
    case VK::PropertyPath:
      return &pp;
    case VK::Uri:
      return &uri;
    default:
      return nullptr;
  }
}

void StoreScalar(Slot const& s, DynamicData* obj, VK k, Scalar& v) {
  if (k == VK::String && s.owner->swapProperty) {
    if (s.optional) {
      Basalt::Optional<std::string> o;
      o.Emplace().swap(v.str);
      s.owner->swapProperty(obj, s.ownIndex, &o);
    } else {
      s.owner->swapProperty(obj, s.ownIndex, &v.str);
    }
    return;
  }
  s.owner->setProperty(obj, s.ownIndex, v.Ptr(k));
}

Basalt::Ref<Any> BoxScalar(VK k, Type const* type, Scalar& v) {
  switch (k) {
    case VK::Bool:
      return Basalt::Ref<Any>(Primitive<bool>::Get(v.b));
    case VK::Byte:
      return Basalt::Ref<Any>(new Primitive<signed char>(v.c));
    case VK::Short:
      return Basalt::Ref<Any>(new Primitive<short>(v.s));
    case VK::Int:
      return Basalt::Ref<Any>(new Primitive<int>(v.i));
    case VK::Long:
      return Basalt::Ref<Any>(new Primitive<long>(v.l));
    case VK::Float:
      return Basalt::Ref<Any>(new Primitive<float>(v.f));
    case VK::Double:
      return Basalt::Ref<Any>(new Primitive<double>(v.d));
    case VK::String:
      return Basalt::Ref<Any>(new Primitive<std::string>(std::move(v.str)));
    case VK::DateTime:
      return Basalt::Ref<Any>(new Primitive<Basalt::System::DateTime>(v.dt));
    case VK::Binary:
      return Basalt::Ref<Any>(new Primitive<std::vector<unsigned char>>(std::move(v.bin)));
    case VK::TypeName:
      return Basalt::Ref<Any>(new Primitive<TypeName>(std::move(v.tn)));
    case VK::MethodName:
      return Basalt::Ref<Any>(new Primitive<MethodName>(std::move(v.mn)));
    case VK::PropertyPath:
      return Basalt::Ref<Any>(new Primitive<PropertyPath>(std::move(v.pp)));
    case VK::Uri:
      return Basalt::Ref<Any>(new Primitive<Uri>(std::move(v.uri)));
    case VK::Enum:
      return Basalt::Ref<Any>(static_cast<EnumType const*>(type)->GetFuncs().box(v.i));
    default:
      return {};
  }
}

Basalt::Ref<Any> NewArray(VK k, Type const* elementType) {
  switch (k) {
    case VK::Bool:
      return Basalt::Ref<Any>(new Array<bool>());
    case VK::Byte:
      return Basalt::Ref<Any>(new Array<signed char>());
    case VK::Short:
      return Basalt::Ref<Any>(new Array<short>());
    case VK::Int:
      return Basalt::Ref<Any>(new Array<int>());
    case VK::Long:
      return Basalt::Ref<Any>(new Array<long>());
    case VK::Float:
      return Basalt::Ref<Any>(new Array<float>());
    case VK::Double:
      return Basalt::Ref<Any>(new Array<double>());
    case VK::String:
      return Basalt::Ref<Any>(new Array<std::string>());
    case VK::DateTime:
      return {};  // the runtime has no array of date-times
    case VK::Binary:
      return Basalt::Ref<Any>(new Array<std::vector<unsigned char>>());
    case VK::TypeName:
      return Basalt::Ref<Any>(new Array<TypeName>());
    case VK::MethodName:
      return Basalt::Ref<Any>(new Array<MethodName>());
    case VK::PropertyPath:
      return Basalt::Ref<Any>(new Array<PropertyPath>());
    case VK::Uri:
      return Basalt::Ref<Any>(new Array<Uri>());
    case VK::Enum:
      return Basalt::Ref<Any>(static_cast<EnumType const*>(elementType)->GetFuncs().createArray());
    case VK::Ref:
      return Basalt::Ref<Any>(new DataArray<MoRef>());
    case VK::Any:
      return Basalt::Ref<Any>(new DataArray<Any>());
    case VK::Data:
      return Basalt::Ref<Any>(static_cast<DataObjectType const*>(elementType)->CreateArray());
  }
  return {};
}

void AppendScalar(Any* array, VK k, Scalar& v) {
  switch (k) {
    case VK::Bool:
      static_cast<Array<bool>*>(array)->GetValues().push_back(v.b);
      break;
    case VK::Byte:
      static_cast<Array<signed char>*>(array)->GetValues().push_back(v.c);
      break;
    case VK::Short:
      static_cast<Array<short>*>(array)->GetValues().push_back(v.s);
      break;
    case VK::Int:
    case VK::Enum:
      static_cast<Array<int>*>(array)->GetValues().push_back(v.i);
      break;
    case VK::Long:
      static_cast<Array<long>*>(array)->GetValues().push_back(v.l);
      break;
    case VK::Float:
      static_cast<Array<float>*>(array)->GetValues().push_back(v.f);
      break;
    case VK::Double:
      static_cast<Array<double>*>(array)->GetValues().push_back(v.d);
      break;
    case VK::String:
      static_cast<Array<std::string>*>(array)->GetValues().push_back(std::move(v.str));
      break;
    case VK::Binary:
      static_cast<Array<std::vector<unsigned char>>*>(array)->GetValues().push_back(std::move(v.bin));
      break;
    case VK::TypeName:
      static_cast<Array<TypeName>*>(array)->GetValues().push_back(std::move(v.tn));
      break;
    case VK::MethodName:
      static_cast<Array<MethodName>*>(array)->GetValues().push_back(std::move(v.mn));
      break;
    case VK::PropertyPath:
      static_cast<Array<PropertyPath>*>(array)->GetValues().push_back(std::move(v.pp));
      break;
    case VK::Uri:
      static_cast<Array<Uri>*>(array)->GetValues().push_back(std::move(v.uri));
      break;
    default:
      break;
  }
}

void ReserveItems(Any* a, VK k, std::size_t n) {
  auto values = [&]<class T>(T*) { static_cast<Array<T>*>(a)->GetValues().reserve(n); };
  switch (k) {
    case VK::Int:
    case VK::Enum:
      return values(static_cast<int*>(nullptr));
    case VK::Long:
      return values(static_cast<long*>(nullptr));
    case VK::String:
      return values(static_cast<std::string*>(nullptr));
    case VK::Ref:
    case VK::Any:
    case VK::Data:
      static_cast<DataArrayBase*>(a)->GetItems().reserve(n);
      return;
    default:
      return;  // the rarer kinds grow as they go
  }
}

std::size_t ArrayLength(Any const* a, VK k) noexcept {
  if (!a) return 0;
  if (k == VK::Ref || k == VK::Any || k == VK::Data) return static_cast<DataArrayBase const*>(a)->size();
  return static_cast<Collection const*>(a)->GetCollectionLength();
}

void const* ArrayItem(Any const* a, VK k, std::size_t i) noexcept {
  switch (k) {
    case VK::Bool:
      return &static_cast<Array<bool> const*>(a)->GetValues()[i];
    case VK::Byte:
      return &static_cast<Array<signed char> const*>(a)->GetValues()[i];
    case VK::Short:
      return &static_cast<Array<short> const*>(a)->GetValues()[i];
    case VK::Int:
    case VK::Enum:
      return &static_cast<Array<int> const*>(a)->GetValues()[i];
    case VK::Long:
      return &static_cast<Array<long> const*>(a)->GetValues()[i];
    case VK::Float:
      return &static_cast<Array<float> const*>(a)->GetValues()[i];
    case VK::Double:
      return &static_cast<Array<double> const*>(a)->GetValues()[i];
    case VK::String:
      return &static_cast<Array<std::string> const*>(a)->GetValues()[i];
    case VK::Binary:
      return &static_cast<Array<std::vector<unsigned char>> const*>(a)->GetValues()[i];
    case VK::TypeName:
      return &static_cast<Array<TypeName> const*>(a)->GetValues()[i];
    case VK::MethodName:
      return &static_cast<Array<MethodName> const*>(a)->GetValues()[i];
    case VK::PropertyPath:
      return &static_cast<Array<PropertyPath> const*>(a)->GetValues()[i];
    case VK::Uri:
      return &static_cast<Array<Uri> const*>(a)->GetValues()[i];
    default:
      return static_cast<DataArrayBase const*>(a)->GetAny(i);
  }
}

void const* BoxValue(Any const* box, VK k, Type const* type, int& tmp) {
  switch (k) {
    case VK::Bool:
      tmp = static_cast<Primitive<bool> const*>(box)->GetValue();
      return &tmp;
    case VK::Byte:
      return &static_cast<Primitive<signed char> const*>(box)->GetValue();
    case VK::Short:
      return &static_cast<Primitive<short> const*>(box)->GetValue();
    case VK::Int:
      return &static_cast<Primitive<int> const*>(box)->GetValue();
    case VK::Long:
      return &static_cast<Primitive<long> const*>(box)->GetValue();
    case VK::Float:
      return &static_cast<Primitive<float> const*>(box)->GetValue();
    case VK::Double:
      return &static_cast<Primitive<double> const*>(box)->GetValue();
    case VK::String:
      return &static_cast<Primitive<std::string> const*>(box)->GetValue();
    case VK::DateTime:
      return &static_cast<Primitive<Basalt::System::DateTime> const*>(box)->GetValue();
    case VK::Binary:
      return &static_cast<Primitive<std::vector<unsigned char>> const*>(box)->GetValue();
    case VK::TypeName:
      return &static_cast<Primitive<TypeName> const*>(box)->GetValue();
    case VK::MethodName:
      return &static_cast<Primitive<MethodName> const*>(box)->GetValue();
    case VK::PropertyPath:
      return &static_cast<Primitive<PropertyPath> const*>(box)->GetValue();
    case VK::Uri:
      return &static_cast<Primitive<Uri> const*>(box)->GetValue();
    case VK::Enum:
      tmp = static_cast<EnumType const*>(type)->GetFuncs().unbox(box);
      return &tmp;
    default:
      return box;
  }
}

std::string const& StringOf(VK k, void const* p) noexcept {
  switch (k) {
    case VK::TypeName:
      return static_cast<TypeName const*>(p)->GetString();
    case VK::MethodName:
      return static_cast<MethodName const*>(p)->GetString();
    case VK::PropertyPath:
      return static_cast<PropertyPath const*>(p)->GetString();
    case VK::Uri:
      return static_cast<Uri const*>(p)->GetString();
    default:
      return *static_cast<std::string const*>(p);
  }
}

void SetStringScalar(VK k, std::string&& text, Scalar& v) {
  switch (k) {
    case VK::TypeName:
      v.tn.GetString() = std::move(text);
      break;
    case VK::MethodName:
      v.mn.GetString() = std::move(text);
      break;
    case VK::PropertyPath:
      v.pp = PropertyPath(std::move(text));
      break;
    case VK::Uri:
      v.uri.GetString() = std::move(text);
      break;
    default:
      v.str = std::move(text);
      break;
  }
}

}  // namespace Quill::Wire::Detail
