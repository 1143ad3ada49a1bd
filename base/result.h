// Tagged result records of fallible internal operations: tag 0 success with
// the value, tag 1 failure with the error (a code, a message, or both).
#pragma once
#include <cstdint>
#include <utility>

#include "base/bytes.h"

namespace vorn {

template <class T, class E>
struct Result {
  uint32_t tag = 0;
  T value{};
  E error{};

  bool ok() const { return tag == 0; }
  static Result success(T v) {
    Result r;
    r.value = std::move(v);
    return r;
  }
  static Result failure(E e) {
    Result r;
    r.tag = 1;
    r.error = std::move(e);
    return r;
  }
};

// An error that carries a code and an owned message.
struct ErrorPayload {
  uint32_t code;
  ByteString message;
};

}  // namespace vorn
