// Linked into release builds only (ZOL_STATIC_CXX_RUNTIME). The static libstdc++ of this
// compiler carries std::random_device, whose object the string code pulls in; it calls
// arc4random, which glibc has only since 2.36. Nothing here uses random_device: this
// definition keeps the extensions loadable on glibc 2.34 and 2.35 all the same.
#include <sys/random.h>

#include <cstdint>

extern "C" __attribute__((visibility("hidden"))) std::uint32_t arc4random() {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) != 0) {
    value = 0;
  }
  return value;
}
