// The runtime's fault classes ("sedge.fault.*"). Each follows the pattern of a
// generated fault class: fields, the object protocol, ThrowInternal and
// CreateException, and a nested Exception deriving from its base's Exception.
#pragma once

#include <string>

#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "quill/MethodFault.h"
#include "quill/Values.h"

namespace Quill::Fault {

// "sedge.fault.InvalidArgument": A parameter was not acceptable.
class InvalidArgument : public RuntimeFault {
 public:
  class Exception;

  Basalt::Optional<PropertyPath> invalidProperty;

  InvalidArgument();
  InvalidArgument(InvalidArgument const& other);
  ~InvalidArgument() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class InvalidArgument::Exception : public RuntimeFault::Exception {
 public:
  explicit Exception(InvalidArgument* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// "sedge.fault.NotSupported": The operation is not implemented by the server.
class NotSupported : public RuntimeFault {
 public:
  class Exception;

  NotSupported();
  NotSupported(NotSupported const& other);
  ~NotSupported() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class NotSupported::Exception : public RuntimeFault::Exception {
 public:
  explicit Exception(NotSupported* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// "sedge.fault.SecurityError": The caller lacks a privilege or a session.
class SecurityError : public RuntimeFault {
 public:
  class Exception;

  SecurityError();
  SecurityError(SecurityError const& other);
  ~SecurityError() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class SecurityError::Exception : public RuntimeFault::Exception {
 public:
  explicit Exception(SecurityError* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// "sedge.fault.RequestCanceled": The request was cancelled by the caller.
class RequestCanceled : public RuntimeFault {
 public:
  class Exception;

  RequestCanceled();
  RequestCanceled(RequestCanceled const& other);
  ~RequestCanceled() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class RequestCanceled::Exception : public RuntimeFault::Exception {
 public:
  explicit Exception(RequestCanceled* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// "sedge.fault.ManagedObjectNotFound": The referenced object does not exist (any more).
class ManagedObjectNotFound : public RuntimeFault {
 public:
  class Exception;

  Basalt::Ref<MoRef> obj;

  ManagedObjectNotFound();
  ManagedObjectNotFound(ManagedObjectNotFound const& other);
  ~ManagedObjectNotFound() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class ManagedObjectNotFound::Exception : public RuntimeFault::Exception {
 public:
  explicit Exception(ManagedObjectNotFound* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// "sedge.fault.SystemError": An internal error on the server.
class SystemError : public RuntimeFault {
 public:
  class Exception;

  std::string reason;

  SystemError();
  SystemError(SystemError const& other);
  ~SystemError() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class SystemError::Exception : public RuntimeFault::Exception {
 public:
  explicit Exception(SystemError* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// "sedge.fault.InvalidRequest": The request was malformed.
class InvalidRequest : public RuntimeFault {
 public:
  class Exception;

  InvalidRequest();
  InvalidRequest(InvalidRequest const& other);
  ~InvalidRequest() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class InvalidRequest::Exception : public RuntimeFault::Exception {
 public:
  explicit Exception(InvalidRequest* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// "sedge.fault.InvalidType": A type name in the request is unknown.
class InvalidType : public InvalidRequest {
 public:
  class Exception;

  Basalt::Optional<PropertyPath> argument;

  InvalidType();
  InvalidType(InvalidType const& other);
  ~InvalidType() override;

  Type* _GetType() const override;
  Any* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  DataObjectType* _GetDataType() const override;
  void ThrowInternal() override;
  MethodFault::Exception* CreateException() override;
};

class InvalidType::Exception : public InvalidRequest::Exception {
 public:
  explicit Exception(InvalidType* fault);
  Exception(Exception const& other);
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

}  // namespace Quill::Fault
