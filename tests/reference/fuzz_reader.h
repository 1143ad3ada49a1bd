// Reads a fuzzer's input as a stream of values; past the end every read
// gives zeros, so a short input is still a complete (if dull) case.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorn::test {

struct FuzzReader {
  const uint8_t* p;
  size_t n;

  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  // Eight bytes, little-endian.
  uint64_t word() {
    uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w |= static_cast<uint64_t>(byte()) << (8 * i);
    return w;
  }
  // The next sizeof(T) bytes as a T (zero-filled past the end).
  template <class T>
  T take() {
    T v{};
    size_t k = n < sizeof(T) ? n : sizeof(T);
    std::memcpy(&v, p, k);
    p += k;
    n -= k;
    return v;
  }
};

}  // namespace vorn::test
