#include "kernels/quant_calibration.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/file_write.h"
#include "base/files.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the ranges file is little-endian f32, read and written as memory");

namespace vorn {

void cpu_ranges_clear(std::span<float> table) {
  const uint64_t v = table.size() / 3;
  for (uint64_t i = 0; i < v; ++i) {
    table[i] = 0.0f;
    table[v + i] = kRangeUnseenMin;
    table[2 * v + i] = kRangeUnseenMax;
  }
}

void cpu_ranges_record(std::span<float> table, uint64_t id, const float* data, uint64_t count) {
  const uint64_t v = table.size() / 3;
  if (id >= v || data == nullptr) return;
  float amax = table[id], lo = table[v + id], hi = table[2 * v + id];
  for (uint64_t i = 0; i < count; ++i) {
    const float x = data[i];
    if (!std::isfinite(x)) continue;
    const float a = std::fabs(x);
    amax = a > amax ? a : amax;
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
  }
  table[id] = amax;
  table[v + id] = lo;
  table[2 * v + id] = hi;
}

uint64_t cpu_ranges_first_bad(std::span<const float> table, uint64_t held) {
  const uint64_t v = table.size() / 3;
  for (uint64_t i = 0; i < v; ++i) {
    const float amax = table[i], lo = table[v + i], hi = table[2 * v + i];
    if (amax == 0.0f && lo == kRangeUnseenMin && hi == kRangeUnseenMax) continue;
    if (!std::isfinite(amax) || !std::isfinite(lo) || !std::isfinite(hi) || !(amax >= 0.0f)) return i;
    if (2 * v + i >= held) {
      // Only max |x| (and perhaps min) came from the file.
      if (v + i < held && lo != kRangeUnseenMin && std::fabs(lo) > amax) return i;
      continue;
    }
    if (!(lo <= hi)) return i;
    const float expect = std::fabs(lo) > std::fabs(hi) ? std::fabs(lo) : std::fabs(hi);
    if (amax != expect) return i;
  }
  return v;
}

uint32_t cpu_ranges_read(const char* path, std::span<float> table, char* message, size_t capacity) {
  int64_t size = 0;
  const int fd = open_regular_file(path, &size);
  if (fd < 0) {
    if (fd == -1 && errno == ENOENT) return 0;
    std::snprintf(message, capacity, "calibration ranges file %.160s cannot be opened: %s", path,
                  open_failure_text(fd));
    return 3;
  }
  const uint64_t whole = table.size() * 4;
  if (static_cast<uint64_t>(size) > whole) {
    ::close(fd);
    std::snprintf(message, capacity,
                  "calibration ranges file %.120s holds %lld bytes, more than the %llu of 3 ranges for "
                  "each of the model's %llu values: made for another model",
                  path, static_cast<long long>(size), static_cast<unsigned long long>(whole),
                  static_cast<unsigned long long>(table.size() / 3));
    return 3;
  }
  // A shorter file gives the values it holds whole; the rest stay as the
  // table had them. Read into a copy first so that a refused file leaves
  // the table alone.
  const uint64_t held = static_cast<uint64_t>(size) / 4;
  auto* tmp = static_cast<float*>(std::malloc(whole > 0 ? whole : 1));
  if (tmp == nullptr) {
    ::close(fd);
    std::snprintf(message, capacity, "out of memory reading calibration ranges file %.160s", path);
    return 7;
  }
  if (whole > 0) std::memcpy(tmp, table.data(), whole);
  const bool read = pread_all(fd, tmp, held * 4, 0);
  ::close(fd);
  if (!read) {
    std::free(tmp);
    std::snprintf(message, capacity, "calibration ranges file %.160s could not be read", path);
    return 3;
  }
  const uint64_t bad = cpu_ranges_first_bad(std::span<const float>(tmp, table.size()), held);
  if (bad < table.size() / 3) {
    std::free(tmp);
    std::snprintf(message, capacity,
                  "calibration ranges file %.120s is corrupt: the ranges of value %llu are not "
                  "ones a calibration pass records",
                  path, static_cast<unsigned long long>(bad));
    return 3;
  }
  std::memcpy(table.data(), tmp, whole);
  std::free(tmp);
  return 0;
}

bool cpu_ranges_write(const char* path, std::span<const float> table) {
  return write_file_whole(path, table.data(), table.size() * 4) == ReplaceStatus::kOk;
}

}  // namespace vorn
