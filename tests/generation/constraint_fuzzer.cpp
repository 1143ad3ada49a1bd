// Output-constraint compilation from untrusted schema texts, then a short
// generation in miniature. The input up to its first 0 byte is the schema
// (seeds: the schemas of tests/data/constraint/schemas.json); the bytes after
// it choose the tokens. Compilation must succeed or refuse with one of the
// constraint's own messages, never a library's text, a crash or unbounded
// memory (the state and transition limits). A compiled constraint is walked
// over a small vocabulary with the least budget that can finish plus a
// little: each mask must equal the token-by-token reference and hold a
// token until the output is accepted, and the walk must end accepted.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "generation/constraint_mask.h"
#include "generation/constraint_messages.h"
#include "generation/errors.h"
#include "tests/generation/constraint_fixture.h"

namespace {

using namespace vorn;
namespace msg = constraint_message;

void check(bool ok) {
  if (!ok) std::abort();
}

bool known_refusal(const char* text) {
  for (const char* m : {msg::kSchemaTooLong, msg::kMalformedSchema, msg::kTooManyStates, msg::kTooManyTransitions,
                        msg::kOutputCap, msg::kSchemaDepth, msg::kUnsupportedKeyword, msg::kEnumSize, msg::kAnyOfSize,
                        msg::kUnsupportedType, msg::kSizeBound, msg::kStringBounds, msg::kObjectShape,
                        msg::kEveryRequired, msg::kDuplicateRequired, msg::kArrayShape, msg::kArrayBounds})
    if (std::strcmp(text, m) == 0) return true;
  return false;
}

const test::Vocabulary& vocabulary() {
  static const test::Vocabulary v = test::byte_vocabulary(
      {"{\"", "\":", "\",\"", "\"}", "},{\"", "[]", "[{\"", "true", "false", "null", "12", "-0", ".5", "e+", "\\n",
       "\\u00", "\xC3\xA9", "\xF0\x9F\x98\x80", "abc", " \"", "\"\"", ",\"", "\n{"});
  return v;
}

void walk(Constraint& c, const uint8_t* choices, size_t count) {
  int32_t least = kConstraintUnreachable;
  for (int32_t s : c.state_set) least = std::min(least, c.distance[s]);
  if (least > 512) return;  // a long walk teaches little and slows the run
  const int budget = least + (count ? choices[0] % 8 : 0);
  const uint64_t vocab = vocabulary().tokens.size();
  std::vector<uint8_t> mask(vocab);
  for (int step = 0; step < budget; ++step) {
    std::fill(mask.begin(), mask.end(), 1);
    constraint_token_mask(c, mask.data(), vocab, budget - step);
    if (step < 8) check(mask == test::reference_mask(c, vocab, budget - step));
    std::vector<int64_t> allowed;
    for (uint64_t id = 0; id < vocab; ++id)
      if (mask[id]) allowed.push_back(static_cast<int64_t>(id));
    check(!allowed.empty());
    uint8_t choice = 1 + static_cast<size_t>(step) < count ? choices[1 + step] : static_cast<uint8_t>(step * 37);
    if (constraint_accept_token(c, allowed[choice % allowed.size()])) return;
  }
  check(test::holds(c.state_set, c.accept));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  size_t schema_size = end ? static_cast<size_t>(end - data) : size;
  if (schema_size > kConstraintMaxSchemaBytes + 1) return 0;
  std::string schema(reinterpret_cast<const char*>(data), schema_size);
  Constraint c;
  try {
    constraint_compile(c, schema.c_str(), 0, vocabulary().tokens, vocabulary().eos, 4096);
  } catch (const ConstraintError& e) {
    check(known_refusal(e.what()));
    return 0;
  }
  check(c.states.size() <= kConstraintMaxStates && c.transition_count <= kConstraintMaxTransitions);
  size_t rest = end ? size - schema_size - 1 : 0;
  walk(c, end ? end + 1 : data, rest);
  return 0;
}
