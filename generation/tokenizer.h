// Byte-level BPE over the processor's tables: special added tokens are found
// in the raw text first; the text between them is split into pre-tokens
// (every digit alone; words with one optional leading space, numbers,
// punctuation runs, white space, the English contractions) and each
// pre-token's bytes are merged by the merges list's ranks. Decoding maps
// tokens back to bytes. Tables are only read: any number of threads may
// encode and decode at once. Failures are std::runtime_error with the texts
// below.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "generation/processor.h"

namespace vorn {

// The ids of a whole text. "Invalid UTF-8 input" when the text between
// added tokens is not UTF-8; "Missing BPE symbol" when a merged symbol is
// not in the vocabulary.
std::vector<int64_t> bpe_encode(const Processor& processor, std::string_view text);

// Appends the ids of one segment holding no added token.
void pretokenize(const Processor& processor, std::string_view segment, std::vector<int64_t>& out);

// Appends the ids of one pre-token.
void bpe_merge(const Processor& processor, std::string_view piece, std::vector<int64_t>& out);

// The bytes a token stands for; empty for a special token. "Decode token out
// of bounds" for an id outside the vocabulary, "Byte decoding" when the
// token's text holds a code point that stands for no byte.
std::string token_bytes(const Processor& processor, int64_t id);

// The text of a list of ids: special ids give nothing, the bytes of the rest
// are joined and every ill-formed UTF-8 part becomes U+FFFD. "Decode ID" for
// an id outside the vocabulary.
std::string bpe_decode(const Processor& processor, const std::vector<int64_t>& ids);

}  // namespace vorn
