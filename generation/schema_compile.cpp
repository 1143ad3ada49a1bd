#include "generation/schema_compile.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "generation/errors.h"
#include "generation/constraint_messages.h"

namespace vorn {

namespace msg = constraint_message;
using nlohmann::json;

namespace {

// The keywords of the subset.
namespace keyword {
constexpr const char* kTitle = "title";
constexpr const char* kDescription = "description";
constexpr const char* kSchema = "$schema";
constexpr const char* kEnum = "enum";
constexpr const char* kConst = "const";
constexpr const char* kAnyOf = "anyOf";
constexpr const char* kType = "type";
constexpr const char* kProperties = "properties";
constexpr const char* kRequired = "required";
constexpr const char* kAdditionalProperties = "additionalProperties";
constexpr const char* kItems = "items";
constexpr const char* kMinItems = "minItems";
constexpr const char* kMaxItems = "maxItems";
constexpr const char* kMinLength = "minLength";
constexpr const char* kMaxLength = "maxLength";
}  // namespace keyword

enum class SchemaType { kNull, kBoolean, kInteger, kNumber, kString, kObject, kArray, kUnsupported };

struct TypeName {
  const char* name;
  SchemaType type;
};
constexpr TypeName kTypeNames[] = {
    {"null", SchemaType::kNull},       {"boolean", SchemaType::kBoolean}, {"integer", SchemaType::kInteger},
    {"number", SchemaType::kNumber},   {"string", SchemaType::kString},   {"object", SchemaType::kObject},
    {"array", SchemaType::kArray},
};

SchemaType type_of(const std::string& text) {
  for (const TypeName& t : kTypeNames)
    if (text == t.name) return t.type;
  return SchemaType::kUnsupported;
}

// Limits of the subset.
constexpr size_t kMaxEnumValues = 256;
constexpr size_t kMaxAnyOf = 32;
constexpr size_t kMaxProperties = 128;
constexpr uint32_t kMaxStringLength = 1024;
constexpr uint32_t kMaxArrayItems = 64;

// The library's compact dump with every non-ASCII character as a \u
// escape, with arrays and objects walked here on an explicit stack: the
// library's own dump recurses once per level, and a value nested tens of
// thousands deep (it fits in a 64 KiB schema) would overflow the stack of
// the calling thread. Scalars and names are still written by the library.
std::string compact_ascii(const json& value) {
  std::string out;
  std::vector<std::pair<const json*, json::const_iterator>> open;
  auto write = [&](const json& v) {
    if (v.is_array() || v.is_object()) {
      out += v.is_array() ? '[' : '{';
      open.emplace_back(&v, v.cbegin());
    } else {
      out += v.dump(-1, ' ', true);
    }
  };
  write(value);
  while (!open.empty()) {
    auto& [container, it] = open.back();
    if (it == container->cend()) {
      out += container->is_array() ? ']' : '}';
      open.pop_back();
      continue;
    }
    if (it != container->cbegin()) out += ',';
    if (container->is_object()) out += json(it.key()).dump(-1, ' ', true) + ':';
    const json& member = *it++;
    write(member);  // may grow `open`: nothing of the frame above is used after this
  }
  return out;
}

void check_keywords(const json& schema, SchemaType type) {
  std::vector<const char*> allowed{keyword::kTitle, keyword::kDescription, keyword::kSchema};
  if (schema.contains(keyword::kEnum)) {
    allowed.push_back(keyword::kEnum);
  } else if (schema.contains(keyword::kConst)) {
    allowed.push_back(keyword::kConst);
  } else if (schema.contains(keyword::kAnyOf)) {
    allowed.push_back(keyword::kAnyOf);
  } else {
    allowed.push_back(keyword::kType);
    if (type == SchemaType::kObject)
      allowed.insert(allowed.end(), {keyword::kProperties, keyword::kRequired, keyword::kAdditionalProperties});
    else if (type == SchemaType::kArray)
      allowed.insert(allowed.end(), {keyword::kItems, keyword::kMinItems, keyword::kMaxItems});
    else if (type == SchemaType::kString)
      allowed.insert(allowed.end(), {keyword::kMinLength, keyword::kMaxLength});
  }
  for (const auto& member : schema.items()) {
    bool known = std::any_of(allowed.begin(), allowed.end(), [&](const char* k) { return member.key() == k; });
    constraint_require(known, msg::kUnsupportedKeyword);
  }
}

void compile_string(Constraint& c, const json& schema, uint32_t from, uint32_t to) {
  uint32_t min = schema_size_bound(schema, keyword::kMinLength, 0, kMaxStringLength);
  uint32_t max = schema_size_bound(schema, keyword::kMaxLength, kMaxStringLength, kMaxStringLength);
  constraint_require(min <= max, msg::kStringBounds);
  bool bounded = schema.contains(keyword::kMaxLength);
  uint32_t cur = constraint_add_state(c);
  append_literal_states(c, from, cur, "\"");
  for (uint32_t i = 0;; ++i) {
    if (i >= min) append_literal_states(c, cur, to, "\"");
    if (!bounded && i >= min) {
      append_json_string_states(c, cur, cur);
      break;
    }
    if (i == max) break;
    uint32_t next = constraint_add_state(c);
    append_json_string_states(c, cur, next);
    cur = next;
  }
}

void compile_object(Constraint& c, const json& schema, uint32_t from, uint32_t to, int depth) {
  auto properties = schema.find(keyword::kProperties);
  auto required = schema.find(keyword::kRequired);
  auto additional = schema.find(keyword::kAdditionalProperties);
  constraint_require(properties != schema.end() && properties->is_object() && required != schema.end() &&
                         required->is_array() && additional != schema.end() && additional->is_boolean() &&
                         !additional->get<bool>(),
                     msg::kObjectShape);
  constraint_require(properties->size() <= kMaxProperties && required->size() == properties->size(),
                     msg::kEveryRequired);
  std::vector<std::string> names = required->get<std::vector<std::string>>();
  std::sort(names.begin(), names.end());
  constraint_require(std::adjacent_find(names.begin(), names.end()) == names.end(), msg::kDuplicateRequired);
  uint32_t cur = constraint_add_state(c);
  append_literal_states(c, from, cur, "{");
  bool first = true;
  // The parsed object holds its members in ascending byte order of the names.
  for (const auto& member : properties->items()) {
    constraint_require(std::binary_search(names.begin(), names.end(), member.key()), msg::kEveryRequired);
    uint32_t a = constraint_add_state(c);
    uint32_t b = constraint_add_state(c);
    std::string literal = first ? "" : ",";
    literal += compact_ascii(json(member.key()));
    literal += ':';
    append_literal_states(c, cur, a, literal);
    schema_compile(c, member.value(), a, b, depth + 1);
    cur = b;
    first = false;
  }
  append_literal_states(c, cur, to, "}");
}

// The items schema is compiled once for every position the array may have.
void compile_array(Constraint& c, const json& schema, uint32_t from, uint32_t to, int depth) {
  constraint_require(schema.contains(keyword::kItems) && schema.contains(keyword::kMaxItems), msg::kArrayShape);
  uint32_t min = schema_size_bound(schema, keyword::kMinItems, 0, kMaxArrayItems);
  uint32_t max = schema_size_bound(schema, keyword::kMaxItems, 0, kMaxArrayItems);
  constraint_require(min <= max, msg::kArrayBounds);
  const json& items = schema[keyword::kItems];
  uint32_t open = constraint_add_state(c);
  append_literal_states(c, from, open, "[");
  if (min == 0) append_literal_states(c, open, to, "]");
  if (max == 0) return;
  uint32_t a = constraint_add_state(c);
  uint32_t b = constraint_add_state(c);
  constraint_add_epsilon(c, open, a);
  schema_compile(c, items, a, b, depth + 1);
  uint32_t cur = b;
  for (uint32_t k = 1;; ++k) {
    if (k >= min) append_literal_states(c, cur, to, "]");
    if (k == max) break;
    a = constraint_add_state(c);
    b = constraint_add_state(c);
    append_literal_states(c, cur, a, ",");
    schema_compile(c, items, a, b, depth + 1);
    cur = b;
  }
}

}  // namespace

uint32_t schema_size_bound(const json& schema, const char* key, uint32_t fallback, uint32_t limit) {
  if (!schema.is_object()) return fallback;
  auto it = schema.find(key);
  if (it == schema.end()) return fallback;
  bool in_range = (it->is_number_unsigned() && it->get<uint64_t>() <= limit) ||
                  (it->is_number_integer() && it->get<int64_t>() >= 0 && it->get<int64_t>() <= limit);
  constraint_require(in_range, msg::kSizeBound);
  return static_cast<uint32_t>(it->get<uint64_t>());
}

void schema_compile(Constraint& c, const json& schema, uint32_t from, uint32_t to, int depth) {
  constraint_require(depth <= kSchemaMaxDepth && schema.is_object(), msg::kSchemaDepth);
  std::string type_text = schema.value(keyword::kType, std::string());
  SchemaType type = type_of(type_text);
  check_keywords(schema, type);
  // The keyword check has left at most one of const, enum and anyOf.
  if (auto it = schema.find(keyword::kConst); it != schema.end()) {
    append_literal_states(c, from, to, compact_ascii(*it));
    return;
  }
  if (auto it = schema.find(keyword::kEnum); it != schema.end()) {
    constraint_require(it->is_array() && !it->empty() && it->size() <= kMaxEnumValues, msg::kEnumSize);
    for (const json& value : *it) append_literal_states(c, from, to, compact_ascii(value));
    return;
  }
  if (auto it = schema.find(keyword::kAnyOf); it != schema.end()) {
    constraint_require(it->is_array() && !it->empty() && it->size() <= kMaxAnyOf, msg::kAnyOfSize);
    for (const json& member : *it) schema_compile(c, member, from, to, depth + 1);
    return;
  }
  switch (type) {
    case SchemaType::kNull:
      append_literal_states(c, from, to, "null");
      return;
    case SchemaType::kBoolean:
      append_literal_states(c, from, to, "true");
      append_literal_states(c, from, to, "false");
      return;
    case SchemaType::kInteger:
      amount_automaton(c, from, to, true, 0);
      return;
    case SchemaType::kNumber:
      amount_automaton(c, from, to, false, 0);
      return;
    case SchemaType::kString:
      compile_string(c, schema, from, to);
      return;
    case SchemaType::kObject:
      compile_object(c, schema, from, to, depth);
      return;
    case SchemaType::kArray:
      compile_array(c, schema, from, to, depth);
      return;
    case SchemaType::kUnsupported:
      break;
  }
  throw ConstraintError(msg::kUnsupportedType);
}

void append_json_string_states(Constraint& c, uint32_t from, uint32_t to) {
  uint32_t escape = constraint_add_state(c);
  uint32_t c1 = constraint_add_state(c);  // one continuation byte still to come
  uint32_t c2 = constraint_add_state(c);  // two
  uint32_t after_e0 = constraint_add_state(c);
  uint32_t after_ed = constraint_add_state(c);
  uint32_t after_f0 = constraint_add_state(c);
  uint32_t c3 = constraint_add_state(c);  // three
  uint32_t after_f4 = constraint_add_state(c);
  const ByteSet continuation = ByteSet::range(0x80, 0xBF);
  // Printable ASCII but the quotation mark and the backslash.
  constraint_add_bytes(c, from, to, ByteSet::range(0x20, 0x21));
  constraint_add_bytes(c, from, to, ByteSet::range(0x23, 0x5B));
  constraint_add_bytes(c, from, to, ByteSet::range(0x5D, 0x7E));
  // The two-character escapes; there is no \u escape.
  constraint_add_bytes(c, from, escape, ByteSet::of('\\'));
  for (uint8_t e : {'"', '\\', '/', 'b', 'f', 'n', 'r', 't'}) constraint_add_bytes(c, escape, to, ByteSet::of(e));
  // UTF-8 without overlong forms, surrogates or code points past U+10FFFF.
  constraint_add_bytes(c, c1, to, continuation);
  constraint_add_bytes(c, from, c1, ByteSet::range(0xC2, 0xDF));
  constraint_add_bytes(c, c2, c1, continuation);
  constraint_add_bytes(c, from, after_e0, ByteSet::of(0xE0));
  constraint_add_bytes(c, after_e0, c1, ByteSet::range(0xA0, 0xBF));
  constraint_add_bytes(c, from, c2, ByteSet::range(0xE1, 0xEC));
  constraint_add_bytes(c, from, c2, ByteSet::range(0xEE, 0xEF));
  constraint_add_bytes(c, from, after_ed, ByteSet::of(0xED));
  constraint_add_bytes(c, after_ed, c1, ByteSet::range(0x80, 0x9F));
  constraint_add_bytes(c, from, after_f0, ByteSet::of(0xF0));
  constraint_add_bytes(c, after_f0, c2, ByteSet::range(0x90, 0xBF));
  constraint_add_bytes(c, c3, c2, continuation);
  constraint_add_bytes(c, from, c3, ByteSet::range(0xF1, 0xF3));
  constraint_add_bytes(c, from, after_f4, ByteSet::of(0xF4));
  constraint_add_bytes(c, after_f4, c2, ByteSet::range(0x80, 0x8F));
}

}  // namespace vorn
