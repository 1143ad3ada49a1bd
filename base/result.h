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

// The plain-word records of C-style callers (vectors, handles).
struct WordPair {
  uint64_t first;
  uint64_t second;
};
struct HandleWords {
  uint64_t words[11];
};
// An error code with two detail words (an index, a size, ...).
struct ErrorDetail {
  uint32_t code;
  uint64_t detail[2];
};

using CodeResult = Result<uint64_t, uint32_t>;
using HandleResult = Result<HandleWords, uint32_t>;
using WordResult = Result<uint64_t, ErrorDetail>;
using PairResult = Result<WordPair, ErrorDetail>;

inline HandleResult result_err_code(uint32_t code) { return HandleResult::failure(code); }
inline HandleResult result_ok_handle(const HandleWords& words) { return HandleResult::success(words); }
inline WordResult result_ok_word(uint64_t value) { return WordResult::success(value); }
inline PairResult result_ok_pair(uint64_t first, uint64_t second) {
  return PairResult::success(WordPair{first, second});
}
inline WordResult result_err_detail(uint32_t code, uint64_t detail0, uint64_t detail1) {
  return WordResult::failure(ErrorDetail{code, {detail0, detail1}});
}

}  // namespace vorn
