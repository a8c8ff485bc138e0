// Making a fault that says why: runtimes, transports and implementations raise
// faults with one readable message each, so that FaultText and a fault's
// faultMessage tell a caller what went wrong.
#pragma once
#include <string>
#include <utility>

#include "basalt/Object.h"
#include "quill/MethodFault.h"

namespace Quill {

// Appends a message (`key` for translation, `text` as read) to the fault's
// faultMessage array. A null fault throws Quill::Fault::InvalidArgument::Exception.
void AppendFaultMessage(MethodFault* fault, std::string key, std::string text);

// A new fault of class F (default-constructed) carrying that one message.
template <class F>
Basalt::Ref<F> MakeFault(std::string key, std::string text) {
  Basalt::Ref<F> fault(new F());
  AppendFaultMessage(fault.get(), std::move(key), std::move(text));
  return fault;
}

}  // namespace Quill
