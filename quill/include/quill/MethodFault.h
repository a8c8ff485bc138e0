// Root of all faults and its nested exception class. A fault is a data object
// that can throw itself as its own nested exception class; the exception
// hierarchy mirrors the fault hierarchy, so a handler for a base fault's
// exception catches every derived fault.
#pragma once

#include <string>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "quill/Any.h"

namespace Quill {

// "sedge.MethodFault".
class MethodFault : public DynamicData {
 public:
  class Exception;

  Basalt::Ref<MethodFault> faultCause;
  Basalt::Ref<DataArray<LocalizableMessage>> faultMessage;

  MethodFault();
  MethodFault(MethodFault const& other);
  ~MethodFault() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;

  // Throws this fault's own nested exception. Every fault class overrides it.
  virtual void ThrowInternal();  // slot 9
  // Shared by all faults: ThrowInternal(), and a process stop should that
  // ever return.
  [[noreturn]] virtual void Throw();  // slot 10
  // A new heap exception of this fault's own nested class, not thrown.
  virtual Exception* CreateException();  // slot 11

  DataArray<LocalizableMessage>* GetFaultMessage();
};

class MethodFault::Exception : public Basalt::Exception {
 public:
  // Message "Fault cause: <sedge name of the fault's type>\n"; shares `fault`.
  explicit Exception(MethodFault* fault);
  // Shares the same fault.
  Exception(Exception const& other);
  ~Exception() override;

  MethodFault* GetFault() const noexcept { return _fault.get(); }

  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;

 private:
  Basalt::Ref<MethodFault> _fault;
};

// "sedge.RuntimeFault": faults any method may raise without declaring them.
class RuntimeFault : public MethodFault {
 public:
  class Exception;

  RuntimeFault();
  RuntimeFault(RuntimeFault const& other);
  ~RuntimeFault() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class RuntimeFault::Exception : public MethodFault::Exception {
 public:
  explicit Exception(RuntimeFault* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

}  // namespace Quill
