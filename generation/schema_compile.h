// The JSON-schema subset of output constraints. An accepted schema always
// gives a finite, exact automaton: every keyword outside the subset, and
// every combination the subset does not define, is refused. The documents
// are compact (no white space), write every property of an object, in
// ascending byte order of the names, and write enum and const values with
// non-ASCII characters as \u escapes.
#pragma once
#include <cstdint>

#include <nlohmann/json.hpp>

#include "generation/constraint.h"

namespace vorn {

// Deepest nesting of schemas (members of "anyOf", values of "properties",
// "items").
inline constexpr int kSchemaMaxDepth = 31;

// Adds paths from `from` to `to` that read exactly the documents `schema`
// allows. Throws ConstraintError; a JSON library error (a "type" or a
// "required" entry that is not a string) is left to the caller.
void schema_compile(Constraint& c, const nlohmann::json& schema, uint32_t from, uint32_t to, int depth);

// `fallback` when `schema` is not an object or lacks `key`; otherwise the
// key's value, which must be a JSON integer from 0 to limit.
uint32_t schema_size_bound(const nlohmann::json& schema, const char* key, uint32_t fallback, uint32_t limit);

// One string character from `from` to `to`: printable ASCII other than the
// quotation mark and the backslash, one of the eight two-character escapes,
// or a well-formed UTF-8 sequence of 2 to 4 bytes.
void append_json_string_states(Constraint& c, uint32_t from, uint32_t to);

}  // namespace vorn
