// Checked access to the properties of data objects by their runtime
// description: every value travels as a box (Basalt::Ref<Quill::Any>), and
// every argument is checked before anything is written.
//
// The descriptor functions of quill/TypeInfo.h (getProperty, setProperty, ...)
// write through untyped pointers and trust their caller completely; they stay
// for generated code, which knows each field's type at compile time. Code that
// learns a property at run time (a wire codec, tarn-inspect, a generic tool)
// goes through these functions instead.
//
// Boxes, by property type:
//   string (and link keys)    Primitive<std::string>
//   boolean                   Primitive<bool>
//   byte/short/int/long       Primitive<signed char/short/int/long>
//   float/double              Primitive<float/double>
//   dateTime                  Primitive<Basalt::System::DateTime>
//   binary                    Primitive<std::vector<unsigned char>>
//   typeName/methodName/propertyPath/uri  Primitive<TypeName/...>
//   enumeration               Primitive<E> of that enumeration (made and read
//                             through the enumeration's EnumFuncs)
//   data object, array, managed reference, any: the object itself, shared
// The class must match exactly: no numeric widening, no string to number.
//
// Errors (all thrown, nothing is written when one is raised):
//   - a null `obj`: Quill::Fault::InvalidArgument::Exception ("obj");
//   - a property that is not one of obj's class (a DataProperty of another
//     type, or an unknown name): InvalidArgument naming the property and the
//     object's type;
//   - a box of the wrong class: Basalt::TypeMismatchException naming the
//     expected class and the box's class;
//   - an enumeration value without a tag: InvalidArgument naming the
//     enumeration and the value;
//   - a null value, or Unset, for a required value property: InvalidArgument.
// These functions take no lock: like every write to a data object, concurrent
// writers (or a writer and readers) of one object need the caller's exclusion.
#pragma once

#include <string_view>

#include "basalt/Object.h"
#include "quill/Any.h"
#include "quill/Type.h"

namespace Quill::Reflection {

// The property `name` of obj's class (its complete sequence, inherited ones
// included). Throws InvalidArgument when obj is null or the class has no such
// property.
DataProperty const& PropertyOf(DynamicData const* obj, std::string_view name);

// The value of the property, boxed; null when it is unset (an unset optional,
// a null object, an empty or absent array). Never creates a missing array.
Basalt::Ref<Any> Get(DynamicData const* obj, DataProperty const& p);
Basalt::Ref<Any> Get(DynamicData const* obj, std::string_view name);

// Stores `value` (see the box table above). A null value unsets the property
// when it is optional or object-valued, and raises InvalidArgument for a
// required value property. Object values are shared, not copied.
void Set(DynamicData* obj, DataProperty const& p, Basalt::Ref<Any> const& value);
void Set(DynamicData* obj, std::string_view name, Basalt::Ref<Any> const& value);

// Makes the property unset (null for object-valued ones). A required value
// property raises InvalidArgument.
void Unset(DynamicData* obj, DataProperty const& p);
void Unset(DynamicData* obj, std::string_view name);

// Whether Get would answer non-null.
bool IsSet(DynamicData const* obj, DataProperty const& p);
bool IsSet(DynamicData const* obj, std::string_view name);

}  // namespace Quill::Reflection
