// The runtime's own data classes. They are written exactly as a generated
// data class is: public fields in property order, default/copy constructors,
// the object-protocol overrides and one accessor per array field.
#pragma once

#include <string>

#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "quill/Any.h"

namespace Quill {

// "sedge.KeyAnyValue": a named value of any type.
class KeyAnyValue : public DynamicData {
 public:
  std::string key;
  Basalt::Ref<Any> value;

  KeyAnyValue();
  KeyAnyValue(KeyAnyValue const& other);
  ~KeyAnyValue() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;
  DataObjectType* _GetDataType() const override;
};

// "sedge.LocalizableMessage": a message key with arguments and an optional
// rendered text.
class LocalizableMessage : public DynamicData {
 public:
  std::string key;
  Basalt::Ref<DataArray<KeyAnyValue>> arg;
  Basalt::Optional<std::string> message;

  LocalizableMessage();
  LocalizableMessage(LocalizableMessage const& other);
  ~LocalizableMessage() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;
  DataObjectType* _GetDataType() const override;

  DataArray<KeyAnyValue>* GetArg();
};

// "sedge.DynamicProperty": a property not known to the static schema.
class DynamicProperty : public DynamicData {
 public:
  std::string name;
  Basalt::Ref<Any> val;

  DynamicProperty();
  DynamicProperty(DynamicProperty const& other);
  ~DynamicProperty() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;
  DataObjectType* _GetDataType() const override;
};

}  // namespace Quill
