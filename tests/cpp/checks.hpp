// The checks of the plain C++ unit tests: a failed check is reported with its place and
// counted, and the test goes on, so one run shows every failure.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace checks {

inline int failures = 0;

// The program's exit status after its checks.
inline int finish(const char* program) {
  if (failures != 0) {
    std::fprintf(stderr, "%d check(s) failed\n", failures);
    return EXIT_FAILURE;
  }
  std::printf("%s: all checks passed\n", program);
  return EXIT_SUCCESS;
}

}  // namespace checks

#define CHECK(cond)                                                          \
  do {                                                                       \
    if (!(cond)) {                                                           \
      std::fprintf(stderr, "%s:%d: CHECK(%s)\n", __FILE__, __LINE__, #cond); \
      ++checks::failures;                                                    \
    }                                                                        \
  } while (0)
