// Fuzzes reading a calibration ranges file: any bytes are either refused
// with a message or accepted as (the start of) a table a calibration pass
// could make.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kernels/quant_calibration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the model's value count; the rest is the file.
  const size_t values = data[0] % 8 + 1;
  char path[] = "/tmp/vorn_ranges_fuzz_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return 0;
  if (size > 1 && write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) {
    close(fd);
    unlink(path);
    return 0;
  }
  close(fd);
  std::vector<float> table(3 * values);
  vorn::cpu_ranges_clear(table);
  char message[256] = {0};
  const uint32_t st = vorn::cpu_ranges_read(path, table, message, sizeof message);
  unlink(path);
  if (st == 0 && vorn::cpu_ranges_first_bad(table, (size - 1) / 4) != values) std::abort();
  if (st != 0 && message[0] == '\0') std::abort();
  return 0;
}
