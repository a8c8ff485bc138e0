// The guides' examples check what their page says. A failed CHECK names the line and the
// expression and keeps going, so one run lists every statement of the page that no longer
// holds; Finish() turns any failure into a non-zero exit status for ctest.
#pragma once

#include <cstdio>

namespace guide {

inline int& Failures() {
  static int failures = 0;
  return failures;
}

inline void Fail(char const* file, int line, char const* what) {
  std::fprintf(stderr, "%s:%d: not as the guide says: %s\n", file, line, what);
  ++Failures();
}

inline int Finish(char const* guide) {
  if (Failures() == 0) {
    std::printf("%s: every check passed\n", guide);
    return 0;
  }
  std::fprintf(stderr, "%s: %d check(s) failed\n", guide, Failures());
  return 1;
}

}  // namespace guide

#define CHECK(cond)                                        \
  do {                                                     \
    if (!(cond)) guide::Fail(__FILE__, __LINE__, #cond);   \
  } while (0)

// The statement must throw E (or a class derived from it).
#define CHECK_THROWS(E, stmt)                                                  \
  do {                                                                         \
    bool thrown_ = false;                                                      \
    try {                                                                      \
      stmt;                                                                    \
    } catch (E&) {                                                             \
      thrown_ = true;                                                          \
    } catch (...) {                                                            \
    }                                                                          \
    if (!thrown_) guide::Fail(__FILE__, __LINE__, #stmt " throws " #E);        \
  } while (0)
