// The values the comparison figures were taken with: every property set
// recursively, arrays of 8 elements, strings "<property>-<i>", ints 1000+i,
// longs 2^40+i, booleans true, enumerations their last tag; any-typed values
// unset; a type already on the path is left unset. Two calls give two equal
// objects that share nothing.
#pragma once
#include <set>

#include "quill/Any.h"
#include "quill/DataTypes.h"
#include "quill/Type.h"

namespace Bench {

void Fill(Quill::DynamicData* obj, std::set<Quill::Type const*>& path);

template <class T>
Basalt::Ref<T> Filled() {
  Basalt::Ref<T> obj = new T();
  std::set<Quill::Type const*> path{obj->_GetType()};
  Fill(obj.get(), path);
  return obj;
}

}  // namespace Bench
