#include "base/self_check.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/atomics.h"
#include "base/byte_utils.h"
#include "base/bytes.h"
#include "base/intern.h"
#include "base/os.h"
#include "base/parse.h"
#include "base/slice_utils.h"
#include "base/utf8.h"
#include "base/vectors.h"

namespace vorn {

namespace {

void expect(bool ok) {
  if (!ok) __builtin_trap();
}

Slice s(std::string_view text) { return slice_of(text); }
bool is(Slice got, std::string_view want) { return got.view() == want; }
// Compares an owned result with the known answer and frees it.
bool is(ByteString got, std::string_view want) {
  const bool same = bytes_as_slice(got).view() == want;
  bytes_free(&got);
  return same;
}

// A vector holding the given items.
U32Vec u32s(std::initializer_list<uint32_t> items) {
  U32Vec v = u32vec_new();
  for (uint32_t x : items) expect(u32vec_push(&v, x) == kStatusOk);
  return v;
}
bool holds(const U32Vec& v, std::initializer_list<uint32_t> items) {
  return v.len == items.size() && std::equal(items.begin(), items.end(), v.ptr);
}

// --- vectors ---

void check_vec_sizes() {
  expect(checked_add(size_max, 1).failed && checked_add(2, 3).value == 5);
  expect(!vec_size_u32(0).failed && vec_size_u32(0).value == 0 && vec_size_u32(uint64_t(1) << 62).failed);
  expect(vec_size_24(3).value == 72 && vec_size_24(0x0AAAAAAAAAAAAAABull).failed);
  expect(grow_capacity(0, 1) == 1 && grow_capacity(4, 5) == 8 && grow_capacity(4, 20) == 32);
}

void check_u32vec_capacity() {
  U32Vec v = u32vec_with_capacity(5);
  expect(v.cap == 5 && v.len == 0);
  expect(u32vec_reserve_exact(&v, 9) == kStatusOk && v.cap == 9);
  expect(u32vec_reserve(&v, 20) == kStatusOk && v.cap >= 20);
  expect(u32vec_with_capacity(0).cap == 0 && u32vec_with_capacity(uint64_t(1) << 62).ptr == nullptr);
  expect(u32vec_push(&v, 7) == kStatusOk && u32vec_shrink_to_fit(&v) == kStatusOk && v.cap == 1);
  u32vec_free(&v);
}

void check_u32vec_push_pop() {
  U32Vec v = u32s({1, 2, 3});
  uint32_t out = 0;
  expect(u32vec_pop(&v, &out) == kStatusOk && out == 3 && holds(v, {1, 2}));
  expect(u32vec_append(&v, nullptr, 0) == kStatusOk);
  const uint32_t more[2] = {8, 9};
  expect(u32vec_append(&v, more, 2) == kStatusOk && holds(v, {1, 2, 8, 9}));
  u32vec_clear(&v);
  expect(u32vec_is_empty(&v) && u32vec_pop(&v, &out) == 1);
  u32vec_free(&v);
}

void check_u32vec_insert_remove() {
  U32Vec v = u32s({1, 2, 3});
  expect(u32vec_insert(&v, 4, 3) == kStatusOk && holds(v, {1, 2, 3, 4}));  // at len: appends
  expect(u32vec_insert(&v, 5, 5) == kStatusOutOfRange && holds(v, {1, 2, 3, 4}));
  expect(u32vec_insert(&v, 0, 0) == kStatusOk && holds(v, {0, 1, 2, 3, 4}));
  uint32_t out = 0;
  expect(u32vec_remove(&v, 1, &out) == kStatusOk && out == 1 && holds(v, {0, 2, 3, 4}));
  expect(u32vec_swap_remove(&v, 0, &out) == kStatusOk && out == 0 && holds(v, {4, 2, 3}));
  expect(u32vec_remove(&v, 3, &out) == 1 && u32vec_swap_remove(&v, 3, &out) == 1);
  expect(u32vec_set(&v, 9, 1) == kStatusOk && u32vec_set(&v, 9, 3) == kStatusOutOfRange && holds(v, {4, 9, 3}));
  u32vec_free(&v);
}

void check_u32vec_access() {
  U32Vec v = u32s({10, 20, 30});
  expect(!u32vec_get(&v, 2).failed && u32vec_get(&v, 2).value == 30 && u32vec_get(&v, 3).failed);
  expect(*u32vec_at(&v, 1).ptr == 20 && u32vec_at(&v, 3).failed);
  expect(u32vec_as_slice(&v).size() == 3);
  u32vec_truncate(&v, 5);
  expect(v.len == 3);
  u32vec_truncate(&v, 1);
  expect(holds(v, {10}));
  u32vec_free(&v);
}

void check_u32vec_visit() {
  U32Vec v = u32s({1, 2, 3, 4});
  expect(u32vec_fold(&v, 100, [](uint64_t acc, uint32_t x) { return acc * 2 + x; }) == 1626);
  uint64_t sum = 0;
  u32vec_for_each(&v, [](void* ctx, uint32_t x) { *static_cast<uint64_t*>(ctx) += x; }, &sum);
  expect(sum == 10);
  U32VecIter* it = u32vec_iter(&v);
  expect(it != nullptr);
  uint32_t seen = 0;
  while (it->next(it)) seen = seen * 10 + it->current;
  expect(seen == 1234 && !it->next(it));
  it->release(it);
  u32vec_free(&v);
}

void check_item24vec() {
  Item24Vec v = item24vec_new();
  for (uint64_t i = 0; i < 3; ++i) expect(item24vec_push(&v, Item24{std::malloc(4), i, i * i}) == kStatusOk);
  expect(item24vec_at(&v, 2).ptr->word2 == 4 && item24vec_at(&v, 3).failed);
  expect(item24vec_fold(&v, 0, [](uint64_t acc, const Item24& x) { return acc + x.word1 + x.word2; }) == 8);
  Result<Item24, uint32_t> r = item24vec_remove(&v, 0);
  expect(r.ok() && r.value.word1 == 0 && v.len == 2 && !item24vec_remove(&v, 2).ok());
  std::free(r.value.owned);
  Item24VecIter* it = item24vec_iter(&v);
  expect(it != nullptr && it->next(it) && it->current.word1 == 1 && it->next(it) && !it->next(it));
  it->release(it);
  expect(item24vec_reserve_exact(&v, 10) == kStatusOk && v.cap == 10);
  expect(item24vec_reserve_exact(&v, 0x0AAAAAAAAAAAAAABull) == kStatusOverflow);
  item24vec_free(&v);
  expect(v.ptr == nullptr && v.len == 0);
}

void check_item16vec() {
  Item16Vec v = item16vec_new();
  expect(item16vec_reserve(&v, 4) == kStatusOk && v.cap >= 4);
  expect(item16vec_push(&v, 5, 6) == kStatusOk && item16vec_push_slice(&v, s("bar")) == kStatusOk);
  expect(item16vec_get(&v, 0).value == 5 && item16vec_get(&v, 2).failed);
  expect(item16vec_at(&v, 0).ptr->second == 6 && item16vec_at(&v, 2).failed);
  expect(is(item16_slice(v.ptr[1]), "bar"));
  item16vec_free(&v);
}

// --- atomics ---

void check_atomics_u64() {
  uint64_t w = 0;
  for (int order = 0; order < 4; ++order) {
    atomic_store_u64(&w, 0xF0, order);
    expect(atomic_load_u64(&w, order) == 0xF0);
    expect(atomic_exchange_u64(&w, 0x0F, order) == 0xF0);
    expect(atomic_fetch_add_u64(&w, 1, order) == 0x0F && w == 0x10);
    expect(atomic_fetch_sub_u64(&w, 2, order) == 0x10 && w == 0x0E);
    expect(atomic_fetch_and_u64(&w, 0x0C, order) == 0x0E && w == 0x0C);
    expect(atomic_fetch_or_u64(&w, 0x03, order) == 0x0C && w == 0x0F);
    expect(atomic_fetch_xor_u64(&w, 0xFF, order) == 0x0F && w == 0xF0);
    expect(atomic_cas_u64(&w, 1, 2, order) == 0xF0 && w == 0xF0);
    expect(atomic_cas_u64(&w, 0xF0, 2, order) == 0xF0 && w == 2);
    atomic_fence(order);
  }
}

// --- platform constants ---

void check_paths() {
  expect(path_separator() == '/' && is(path_separator_slice(), "/") && is_path_separator('/'));
  expect(!is_path_separator('\\') && path_is_absolute(s("/a")) && !path_is_absolute(s("a/b")));
  expect(!path_is_absolute(empty_slice()));
}

// --- slices ---

void check_ascii() {
  for (uint8_t c : {'\t', '\n', '\r', ' '}) expect(is_ascii_space(c));
  expect(!is_ascii_space('\v') && !is_ascii_space('x'));
  expect(ascii_lower('Q') == 'q' && ascii_lower('q') == 'q' && ascii_lower('[') == '[');
  expect(slice_is_ascii(s("hello world")) && !slice_is_ascii(s("caf\xC3\xA9")));
}

void check_slice_range() {
  const Slice h = s("hello world");
  expect(is(slice_range(h, 6, 11), "world") && slice_range(h, 5, 5).len == 0 && slice_range(h, 6, 2).len == 0);
  expect(slice_range(h, 3, 3).ptr == empty_slice().ptr);
  expect(slice_range_checked(h, 0, 5).ok() && is(slice_range_checked(h, 0, 5).value, "hello"));
  expect(!slice_range_checked(h, 5, 4).ok() && !slice_range_checked(h, 0, 12).ok());
  expect(slice_range_checked(h, 4, 4).value.ptr == empty_slice().ptr);
  expect(slice_len(h) == 11 && !slice_is_empty(h) && slice_is_empty(empty_slice()));
  expect(slice_at(h, 4).value == 'o' && slice_at(h, 11).failed);
}

void check_slice_search() {
  const Slice h = s("hello world");
  expect(slice_starts_with(h, s("hello")) && slice_ends_with(h, s("world")) && slice_contains(h, s("o w")));
  expect(slice_starts_with(h, empty_slice()) && !slice_ends_with(h, s("hello")));
  expect(slice_find(h, s("o w")).value == 4 && slice_find(h, s("xyz")).failed && slice_find(h, empty_slice()).value == 0);
  expect(slice_rfind(h, s("o")).value == 7 && slice_rfind(h, s("xyz")).failed && !slice_rfind(h, empty_slice()).failed);
  expect(slice_count(s("aaaa"), s("aa")) == 2 && slice_count(h, s("l")) == 3 && slice_count(h, empty_slice()) == 0);
}

void check_slice_compare() {
  expect(slice_equals(s("foo"), s("foo")) && !slice_equals(s("foo"), s("fo")));
  expect(slice_equals_ignore_case(s("FoO"), s("fOo")) && !slice_equals_ignore_case(s("foo"), s("bar")));
  expect(slice_compare(s("bar"), s("baz")) == -1 && slice_compare(s("baz"), s("bar")) == 1);
  expect(slice_compare(s("ba"), s("bar")) == -1 && slice_compare(s("bar"), s("bar")) == 0);
}

void check_slice_cut() {
  const Slice f = s("foobar");
  expect(is(slice_take(f, 3), "foo") && is(slice_take(f, 9), "foobar") && is(slice_take_last(f, 3), "bar"));
  expect(is(slice_drop(f, 3), "bar") && slice_drop(f, 6).len == 0 && is(slice_drop_last(f, 3), "foo"));
  expect(is(slice_strip_prefix(f, s("foo")), "bar") && is(slice_strip_prefix(f, s("bar")), "foobar"));
  expect(is(slice_strip_suffix(f, s("bar")), "foo") && slice_strip_prefix(f, f).ptr == empty_slice().ptr);
  expect(is(slice_trim(s(" \tx \n")), "x") && slice_trim(s("   ")).ptr == empty_slice().ptr);
  expect(is(slice_trim_start(s(" a ")), "a ") && is(slice_trim_end(s(" a ")), " a"));
}

void check_utf8() {
  expect(utf8_count(s("caf\xC3\xA9")) == 4 && utf8_count(empty_slice()) == 0);
  expect(utf8_valid(s("hello world")) && utf8_valid(s("\xF0\x9F\x98\x80")));
  expect(!utf8_valid(s("\xC0\x80")) && !utf8_valid(s("\xED\xA0\x80")) && !utf8_valid(s("\xF4\x90\x80\x80")));
  expect(!utf8_valid(s("\xE2\x82")));
}

void check_hash_intern() {
  expect(fnv1a64(empty_slice()) == 0xcbf29ce484222325ull && fnv1a64(s("a")) == 0xaf63dc4c8601ec8cull);
  const Slice a = intern(s("baz")), b = intern(s("baz"));
  expect(is(a, "baz") && a.ptr == b.ptr && intern(empty_slice()).len == 0);
}

void check_parse_i64() {
  expect(!parse_i64(s("-9223372036854775808")).failed && parse_i64(s("-9223372036854775808")).value == INT64_MIN);
  expect(parse_i64(s("9223372036854775808")).failed && parse_i64(s("+")).failed && parse_i64(empty_slice()).failed);
  expect(parse_i64(s("+42")).value == 42 && parse_i64(s("4 2")).failed);
}

void check_parse_f64() {
  struct Known {
    std::string_view text;
    double value;
  };
  for (const Known& k : {Known{"3.5", 3.5}, Known{"42", 42}, Known{"+0.5", 0.5}, Known{"-12.5e-3", -0.0125},
                         Known{"1E3", 1000}}) {
    expect(!parse_f64(s(k.text)).failed && parse_f64(s(k.text)).value == k.value);
  }
  for (std::string_view bad : {".5", "5.", "1e", "1e+", "1.2.3", " 1", "inf"}) expect(parse_f64(s(bad)).failed);
}

// --- byte strings ---

void check_bytes_edit() {
  ByteString b = bytes_from_slice(s("foo"));
  expect(bytes_push(&b, 'd') == kStatusOk && bytes_insert(&b, "bar", 3, 3) == kStatusOk);
  expect(bytes_as_slice(b).view() == "foobard" && bytes_insert(&b, "x", 1, 8) == kStatusOutOfRange);
  expect(bytes_remove_range(&b, 3, 6) == kStatusOk && bytes_as_slice(b).view() == "food");
  expect(bytes_remove_range(&b, 3, 2) == kStatusOutOfRange && bytes_remove_range(&b, 0, 5) == kStatusOutOfRange);
  bytes_truncate(&b, 2);
  expect(bytes_len(b) == 2 && bytes_reserve_exact(&b, 40) == kStatusOk && bytes_capacity(b) == 40);
  expect(is(bytes_clone(b), "fo"));
  bytes_clear(&b);
  expect(bytes_len(b) == 0);
  bytes_free(&b);
}

void check_bytes_make() {
  expect(is(bytes_concat(s("foo"), s("bar")), "foobar") && is(bytes_repeat(s("ab"), 3), "ababab"));
  expect(bytes_repeat(s("ab"), 0).len == 0 && bytes_repeat(s("ab"), size_max).len == 0);
  Result<ByteString, uint32_t> u = bytes_from_utf8(s("caf\xC3\xA9"));
  expect(u.ok() && is(u.value, "caf\xC3\xA9") && !bytes_from_utf8(s("\xC0\x80")).ok());
}

void check_bytes_case() {
  expect(is(bytes_to_lower(s("Hello World")), "hello world") && is(bytes_to_upper(s("foo1")), "FOO1"));
  expect(is(bytes_capitalize(s("baz")), "Baz") && is(bytes_uncapitalize(s("Baz")), "baz"));
  expect(is(bytes_capitalize(s("1a")), "1a"));
}

void check_bytes_split_join() {
  struct Known {
    std::string_view text;
    uint64_t parts;
  };
  for (const Known& k : {Known{"a,b,c", 3}, Known{",x,", 3}, Known{"abc", 1}}) {
    Item16Vec parts = bytes_split(s(k.text), s(","));
    expect(parts.len == k.parts);
    expect(is(bytes_join(parts, s(",")), k.text));
    if (k.text == ",x,") expect(item16_slice(parts.ptr[0]).len == 0 && is(item16_slice(parts.ptr[1]), "x"));
    item16vec_free(&parts);
  }
  Item16Vec whole = bytes_split(s("a,b"), empty_slice());
  expect(whole.len == 1 && is(item16_slice(whole.ptr[0]), "a,b"));
  item16vec_free(&whole);
}

void check_bytes_replace_pad() {
  expect(is(bytes_replace(s("foo bar foo"), s("foo"), s("baz")), "baz bar baz"));
  expect(is(bytes_replace(s("aaa"), s("aa"), s("b")), "ba") && is(bytes_replace(s("abc"), empty_slice(), s("x")), "abc"));
  expect(is(bytes_pad_left(s("7"), 3, s("0")), "007") && is(bytes_pad_right(s("ab"), 5, s("-")), "ab---"));
  expect(is(bytes_pad_left(s("long"), 2, s(" ")), "long"));
}

constexpr SelfCheck kChecks[] = {
    {"vec_sizes", check_vec_sizes},
    {"u32vec_capacity", check_u32vec_capacity},
    {"u32vec_push_pop", check_u32vec_push_pop},
    {"u32vec_insert_remove", check_u32vec_insert_remove},
    {"u32vec_access", check_u32vec_access},
    {"u32vec_visit", check_u32vec_visit},
    {"item24vec", check_item24vec},
    {"item16vec", check_item16vec},
    {"atomics_u64", check_atomics_u64},
    {"paths", check_paths},
    {"ascii", check_ascii},
    {"slice_range", check_slice_range},
    {"slice_search", check_slice_search},
    {"slice_compare", check_slice_compare},
    {"slice_cut", check_slice_cut},
    {"utf8", check_utf8},
    {"hash_intern", check_hash_intern},
    {"parse_i64", check_parse_i64},
    {"parse_f64", check_parse_f64},
    {"bytes_edit", check_bytes_edit},
    {"bytes_make", check_bytes_make},
    {"bytes_case", check_bytes_case},
    {"bytes_split_join", check_bytes_split_join},
    {"bytes_replace_pad", check_bytes_replace_pad},
};

}  // namespace

std::span<const SelfCheck> self_checks() { return kChecks; }

void self_check_all() {
  for (const SelfCheck& c : kChecks) c.run();
}

}  // namespace vorn
