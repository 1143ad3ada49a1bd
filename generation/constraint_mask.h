// The compiled constraint at run time: the mask of tokens that keep the
// output inside the language and still leave room to finish it, and the
// advance by the token that was sampled.
#pragma once
#include <cstdint>

#include "generation/constraint.h"

namespace vorn {

// Clears mask[id] (id < vocab) for every token that cannot be read from the
// current state set, or after which acceptance takes more than remaining - 1
// further single-byte tokens; allowed entries become exactly 1, entries the
// caller cleared stay 0. End-of-sequence ids are allowed when the output is
// accepted as it stands. `remaining` counts the token about to be sampled;
// 0 throws.
void constraint_token_mask(Constraint& c, uint8_t* mask, uint64_t vocab, uint64_t remaining);

// Advances the state set by the token's bytes. Returns true when the output
// is complete: accepted, with nothing that could follow (or, for an
// end-of-sequence id, accepted as it stands). Throws on an end-of-sequence id
// before acceptance, an id outside the vocabulary, and a token the language
// does not allow here (which leaves the set empty).
bool constraint_accept_token(Constraint& c, int64_t token);

}  // namespace vorn
