// Every text a handle keeps in a fixed field is cut to the field's capacity
// minus one byte, and the NUL after it always lands inside the field.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "session/config.h"
#include "session/input.h"
#include "reference/utf8_reference.h"
#include "session/text.h"
#include "vorn.h"

namespace {

struct Field {
  const char* data;
  size_t capacity;  // sizeof the field
  uint64_t len;     // the stored length
};

struct CapCase {
  const char* what;
  size_t max_len;  // the documented cap
  std::function<Field(VornConfig*, VornInput*, const std::string&)> store;
};

const CapCase kCases[] = {
    {"models dir", VORN_MAX_PATH_LEN,
     [](VornConfig* c, VornInput*, const std::string& t) {
       vorn_config_set_models_dir(c, t.data(), t.size());
       return Field{c->models_dir, sizeof c->models_dir, c->models_dir_len};
     }},
    {"cache dir", VORN_MAX_PATH_LEN,
     [](VornConfig* c, VornInput*, const std::string& t) {
       vorn_config_set_cache_dir(c, t.data(), t.size());
       return Field{c->cache_dir, sizeof c->cache_dir, c->cache_dir_len};
     }},
    {"skel dir", VORN_MAX_PATH_LEN,
     [](VornConfig* c, VornInput*, const std::string& t) {
       vorn_config_set_skel_dir(c, t.data(), t.size());
       return Field{c->skel_dir, sizeof c->skel_dir, c->skel_dir_len};
     }},
    {"prompt", VORN_MAX_PROMPT_LEN,
     [](VornConfig*, VornInput* in, const std::string& t) {
       vorn_input_set_prompt(in, t.data(), t.size());
       return Field{in->prompt, sizeof in->prompt, in->prompt_len};
     }},
    {"prompt from a message", VORN_MAX_PROMPT_LEN,
     [](VornConfig*, VornInput* in, const std::string& t) {
       vorn_input_clear(in);
       EXPECT_TRUE(vorn_input_add_message(in, "user", 4, t.data(), t.size()));
       EXPECT_EQ(in->messages[0].content_len, t.size());
       return Field{in->prompt, sizeof in->prompt, in->prompt_len};
     }},
    {"role", VORN_MAX_ROLE_LEN,
     [](VornConfig*, VornInput* in, const std::string& t) {
       vorn_input_clear(in);
       EXPECT_TRUE(vorn_input_add_message(in, t.data(), t.size(), "x", 1));
       return Field{in->messages[0].role, sizeof in->messages[0].role, in->messages[0].role_len};
     }},
    {"stop", VORN_MAX_STOP_LEN,
     [](VornConfig*, VornInput* in, const std::string& t) {
       vorn_input_clear(in);
       EXPECT_TRUE(vorn_input_add_stop(in, t.data(), t.size()));
       return Field{in->stops[0], sizeof in->stops[0], in->stop_lens[0]};
     }},
    {"json schema", VORN_MAX_SCHEMA_LEN,
     [](VornConfig*, VornInput* in, const std::string& t) {
       vorn_input_set_json_schema(in, t.data(), t.size());
       return Field{in->json_schema, sizeof in->json_schema, in->json_schema_len};
     }},
    {"frame name", VORN_MAX_NAME_LEN,
     [](VornConfig*, VornInput* in, const std::string& t) {
       vorn_input_set_named_frame(in, t.data(), t.size(), nullptr);
       return Field{in->frame_name, sizeof in->frame_name, in->frame_name_len};
     }},
    {"tensor name", VORN_MAX_NAME_LEN,
     [](VornConfig*, VornInput* in, const std::string& t) {
       static const float v[1] = {0};
       vorn_input_clear(in);
       EXPECT_TRUE(vorn_input_set_named_f32(in, t.data(), t.size(), v, 1, 0));
       return Field{in->tensors[0].name, sizeof in->tensors[0].name, in->tensors[0].name_len};
     }},
};

// Distinct bytes, so a shifted or partial copy shows.
std::string text_of(size_t n) {
  std::string t(n, 'a');
  for (size_t i = 0; i < n; ++i) t[i] = char('a' + (i * 7) % 26);
  return t;
}

TEST(TextCapsTest, TextsAreCutWithoutLosingTheNul) {
  VornConfig* config = vorn_config_new();
  VornInput* input = vorn_input_new();
  for (const CapCase& c : kCases) {
    SCOPED_TRACE(c.what);
    for (size_t n : {size_t(0), size_t(1), c.max_len - 1, c.max_len, c.max_len + 1, 2 * c.max_len + 7}) {
      SCOPED_TRACE(n);
      std::string text = text_of(n);
      if (n == 0 && (std::strcmp(c.what, "stop") == 0 || std::strcmp(c.what, "tensor name") == 0)) continue;
      Field f = c.store(config, input, text);
      ASSERT_EQ(f.capacity, c.max_len + 1);
      size_t want = n < c.max_len ? n : c.max_len;
      ASSERT_EQ(f.len, want);
      EXPECT_EQ(std::string(f.data, want), text.substr(0, want));
      EXPECT_EQ(f.data[want], 0);
      EXPECT_EQ(std::strlen(f.data), want);
    }
  }
  vorn_input_free(input);
  vorn_config_free(config);
  unsetenv("VORN_QNN_CACHE_DIR");
  unsetenv("ADSP_LIBRARY_PATH");
}

TEST(TextCapsTest, CutsNeverSplitACharacter) {
  // A character of 2, 3 or 4 bytes that ends at the cap is kept; one that
  // would cross it is left out whole.
  VornConfig* config = vorn_config_new();
  VornInput* input = vorn_input_new();
  for (const CapCase& c : kCases) {
    SCOPED_TRACE(c.what);
    for (const std::string ch : {"\u00e9", "\u20ac", "\U0001F600"}) {
      for (size_t at = c.max_len - ch.size(); at <= c.max_len; ++at) {
        SCOPED_TRACE(at);
        const std::string text = text_of(at) + ch + "tail";
        const Field f = c.store(config, input, text);
        const size_t want = at + ch.size() <= c.max_len ? at + ch.size() : at;
        ASSERT_EQ(f.len, want);
        EXPECT_EQ(std::string(f.data, f.len), text.substr(0, want));
        EXPECT_TRUE(vorn::ref::utf8_valid(std::string(f.data, f.len)));
      }
    }
  }
  vorn_input_free(input);
  vorn_config_free(config);
  unsetenv("VORN_QNN_CACHE_DIR");
  unsetenv("ADSP_LIBRARY_PATH");
}

TEST(TextCapsTest, NamesMatchAsTheyAreStored) {
  // Two names that agree in their first 63 bytes bind the same slot.
  VornInput* in = vorn_input_new();
  float v[1] = {0};
  std::string a = std::string(63, 'n') + "A", b = std::string(63, 'n') + "B";
  ASSERT_TRUE(vorn_input_set_named_f32(in, a.data(), a.size(), v, 1, 0));
  ASSERT_TRUE(vorn_input_set_named_f32(in, b.data(), b.size(), v, 1, 0));
  EXPECT_EQ(in->tensor_count, 1u);
  vorn_input_free(in);
}

TEST(TextCapsTest, CopyToFixedEdges) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(vorn::copy_to_fixed("abcdef", 6, buf, 0), 0u);
  EXPECT_EQ(buf[0], 'x');  // capacity 0 writes nothing
  EXPECT_EQ(vorn::copy_to_fixed("abcdef", 6, buf, 1), 0u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(vorn::copy_to_fixed("abcdef", 6, buf, 4), 3u);
  EXPECT_STREQ(buf, "abc");
  vorn::TextView v = vorn::text_view(nullptr, 12);
  EXPECT_NE(v.ptr, nullptr);
  EXPECT_EQ(v.len, 0u);
  v = vorn::text_view("abc", 0);
  EXPECT_EQ(v.len, 0u);
  EXPECT_EQ(v.ptr, vorn::empty_text());
}

}  // namespace
