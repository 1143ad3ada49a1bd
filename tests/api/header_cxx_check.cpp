// Compiled with -Wall -Wextra -Wpedantic -Werror as C++: the public headers
// must build cleanly for C++ callers too.
#include "vorn.h"
#include "vorn.hpp"

int main() {
  vorn::bind::Config config;
  if (!vorn::bind::config_new(config)) return 1;
  return vorn::bind::version().len == 10 && vorn_probe_backend(config.get(), VORN_BACKEND_CPU) ? 0 : 2;
}
