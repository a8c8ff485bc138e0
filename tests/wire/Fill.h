// Values for the codec tests: every property of an object set, arrays of two,
// nested objects to a depth, and values that differ from property to property
// (so that two swapped fields never compare equal by accident).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <string>

#include "basalt/Object.h"
#include "quill/Any.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Type.h"
#include "quill/wire/Wire.h"

namespace wire_test {

// A concrete class of `t`: `t` itself when it can be made, else the first
// registered subtype of the default wire version that can; null when none can.
Quill::DataObjectType* Concrete(Quill::DataObjectType const* t);

// Sets every property of `obj` that the default wire version has. Nested objects are filled to `depth` levels;
// below that, optional ones are left unset and required ones are default objects.
void FillObject(Quill::DynamicData* obj, int depth);
Basalt::Ref<Quill::DynamicData> Filled(Quill::DataObjectType const* t, int depth = 2);

// Form `i` of the values an any-typed position can hold: every primitive, an
// enumeration, a reference, arrays of each kind, a data object. Forms wrap.
Basalt::Ref<Quill::Any> AnyForm(int i);
int AnyFormCount();

// The text of a fault's messages (its exception's what() names only its
// class), or what() of any other exception.
std::string FaultText(std::exception const& e);

// A value of a parameter's or result's declared type (arrays of two).
Basalt::Ref<Quill::Any> ValueFor(Quill::PropertyInfo const& p, int depth = 1);

// The namespaces a hand-written message's root element declares.
constexpr char kNs[] =
    " xmlns=\"urn:tarn25\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"";

// The decoder's message, or a failure when it accepted the input or threw anything but a
// decode error with its one message.
template <class F>
std::string Refusal(F decode) {
  try {
    decode();
  } catch (Quill::Wire::DecodeError const& e) {
    EXPECT_TRUE(e.GetFault() != nullptr);
    auto* fault = e.GetFault();
    EXPECT_TRUE(fault->faultMessage && fault->faultMessage->size() == 1);
    return e.what();
  } catch (std::exception const& e) {
    ADD_FAILURE() << "not a decode error: " << typeid(e).name() << ": " << e.what();
    return {};
  }
  ADD_FAILURE() << "accepted";
  return {};
}

}  // namespace wire_test
