// The library's own handler for a call through an empty (pure virtual) vtable slot.
//
// Every managed-object interface is abstract, and its vtables and those built for its
// stubs' construction hold tens of thousands of pure virtual slots. Bound to the C++
// runtime's handler, each slot is a symbol the loader must look up at every start; bound to
// this hidden copy, it is a relative address that needs no lookup. Reaching one is a bug in
// the program (a call during construction or destruction), handled as the runtime's own
// handler does: a message, then termination.
#include <cstdio>
#include <exception>

extern "C" __attribute__((visibility("hidden"), noreturn, cold)) void __cxa_pure_virtual() {
  std::fputs("libtarn-types: pure virtual method called\n", stderr);
  std::terminate();
}
