// A program that loads libtarn-types and has all 41 modules bound, then exits: run it under
// a timer (and the same without the library) to see what loading costs.
#include "quill/Registry.h"
#include "tarn/AboutInfo.h"

int main() {
  // Binding happens while the library loads; touching a type keeps the link honest.
  return Quill::GetDoType<Tarn::AboutInfo>() != nullptr && Quill::GetTypeCount() > 3800 ? 0 : 1;
}
