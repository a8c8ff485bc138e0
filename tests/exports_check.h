// What the generated export-check units hand to the check's main program.
#pragma once

namespace tarn_exports {
struct Variable {
  void const* address;  // null when the library does not export the variable
  char const* name;
};

// Reports each variable with a null address; returns count, so that a unit can call it from
// the initialiser of a constant.
int CheckVariables(Variable const* variables, int count);
}  // namespace tarn_exports
