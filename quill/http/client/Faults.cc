// The transport fault classes and the call hook's helpers.
#include <chrono>
#include <cstdio>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Identity.h"
#include "quill/Values.h"
#include "quill/http/HttpAdapter.h"

namespace Quill::Http {

namespace {
Fault::SystemError* NewSystemError(std::string const& url, std::string const& reason) {
  auto* fault = new Fault::SystemError();
  fault->reason = url + ": " + reason;
  auto* msg = new LocalizableMessage();
  msg->key = "quill.http.transport";
  msg->message = fault->reason;
  fault->GetFaultMessage()->Append(msg);
  return fault;
}
}  // namespace

TransportError::TransportError(std::string const& url, std::string const& reason)
    : Fault::SystemError::Exception(NewSystemError(url, reason)),
      _url(url),
      _reason(reason),
      _message(url + ": " + reason) {}
TransportError::TransportError(TransportError const& other) = default;
TransportError::~TransportError() = default;
TransportError* TransportError::Clone() const { return new TransportError(*this); }
void TransportError::Throw() const { throw TransportError(*this); }
char const* TransportError::what() const noexcept { return _message.c_str(); }
std::string const& TransportError::GetMessage() const noexcept { return _message; }

#define QUILL_HTTP_TRANSPORT_ERROR_IMPL(Name)           \
  Name::~Name() = default;                              \
  Name* Name::Clone() const { return new Name(*this); } \
  void Name::Throw() const { throw Name(*this); }

QUILL_HTTP_TRANSPORT_ERROR_IMPL(ConnectFailed)
QUILL_HTTP_TRANSPORT_ERROR_IMPL(TimedOut)
QUILL_HTTP_TRANSPORT_ERROR_IMPL(TlsFailure)
QUILL_HTTP_TRANSPORT_ERROR_IMPL(BadResponse)
#undef QUILL_HTTP_TRANSPORT_ERROR_IMPL

HttpStatusError::HttpStatusError(std::string const& url, long status, std::string const& reason)
    : TransportError(url, "HTTP " + std::to_string(status) + ": " + reason), _status(status) {}
HttpStatusError::~HttpStatusError() = default;
HttpStatusError* HttpStatusError::Clone() const { return new HttpStatusError(*this); }
void HttpStatusError::Throw() const { throw HttpStatusError(*this); }

char const* ToString(CallOutcome outcome) noexcept {
  switch (outcome) {
    case CallOutcome::Result:
      return "result";
    case CallOutcome::Fault:
      return "fault";
    case CallOutcome::TransportError:
      return "transport-error";
    case CallOutcome::Canceled:
      return "canceled";
    case CallOutcome::Refused:
      return "refused";
  }
  return "?";
}

CallHook StderrCallLogger() {
  return [name = GetCatalogueIdentity().clientName](CallRecord const& r) {
    double ms = std::chrono::duration<double, std::milli>(r.duration).count();
    // One fprintf per line: lines of concurrent calls do not interleave.
    std::fprintf(stderr, "%s %.3fms %s %.*s %.*s -> %s (%ld, %zu/%zu bytes)%s%.*s\n", name.c_str(), ms,
                 r.async ? "async" : "sync", static_cast<int>(r.method.size()), r.method.data(),
                 static_cast<int>(r.target.size()), r.target.data(), ToString(r.outcome), r.httpStatus, r.bytesSent,
                 r.bytesReceived, r.error.empty() ? "" : ": ", static_cast<int>(r.error.size()), r.error.data());
  };
}

}  // namespace Quill::Http
