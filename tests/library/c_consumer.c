/* A plain C99 program using the public header. */
#include <stdio.h>
#include <string.h>

#include "vorn.h"

int main(void) {
  const char* v = vorn_version();
  if (v == NULL || strcmp(v, "0.1.0-ea.1") != 0) return 1;
  if (!vorn_probe_backend(NULL, VORN_BACKEND_AUTO)) return 2;
  if (vorn_probe_backend(NULL, 7)) return 3;
  puts(v);
  return 0;
}
