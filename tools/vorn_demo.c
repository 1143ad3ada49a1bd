/* The README's main job: shows what the library can do on this machine. */
#include <stdio.h>

#include "vorn.h"

int main(void) {
  static const char* names[] = {"AUTO", "CPU", "GPU", "NPU"};
  printf("vorn %s\n", vorn_version());
  for (uint32_t b = 0; b < 4; ++b)
    printf("backend %-4s %s\n", names[b], vorn_probe_backend(NULL, b) ? "available" : "unavailable");
  return 0;
}
