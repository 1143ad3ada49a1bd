// The output record and its accessors: neutral answers, slots and their
// reuse, typed copies with defined conversions, labels that outlive the
// session, and generated texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/half.h"
#include "tests/api/output/output_fixture.h"
#include "vorn.h"

namespace vorn::test {
namespace {

TEST(OutputRecord, NullAndOutOfRangeReadNeutralValues) {
  const VornOutput* n = nullptr;
  EXPECT_EQ(vorn_output_latency_ms(n), 0.0);
  EXPECT_EQ(vorn_output_backend_used(n), 0u);
  EXPECT_EQ(vorn_output_scale_x(n), 1.0f);
  EXPECT_EQ(vorn_output_scale_y(n), 1.0f);
  EXPECT_EQ(vorn_output_pad_x(n), 0.0f);
  EXPECT_EQ(vorn_output_tensor_count(n), 0u);
  EXPECT_EQ(vorn_output_index_of(n, "a", 1), -1);
  EXPECT_EQ(vorn_output_dim(n, 0, 0), -1);
  EXPECT_EQ(vorn_output_f32_ptr(n, 0), nullptr);
  EXPECT_STREQ(vorn_output_text_ptr(n), "");
  EXPECT_STREQ(vorn_output_full_text_ptr(n), "");
  EXPECT_STREQ(vorn_output_box_label_ptr(n, 0), "");
  EXPECT_EQ(vorn_output_box_landmark_x(n, 0, 0), 0.0f);
  vorn_output_free(nullptr);

  OutputPtr o(output_new());
  EXPECT_EQ(vorn_output_scale_x(o.get()), 1.0f);
  EXPECT_EQ(vorn_output_tensor_count(o.get()), 0u);
  EXPECT_STREQ(vorn_output_text_ptr(o.get()), "");
  EXPECT_EQ(vorn_output_text_len(o.get()), 0u);
  put_tensor(o.get(), 0, {2, 3}, {1, 2, 3, 4, 5, 6}, VORN_DTYPE_F32, "logits");
  EXPECT_EQ(vorn_output_rank(o.get(), 1), 0u);
  EXPECT_EQ(vorn_output_elem_count(o.get(), -1), 0u);
  EXPECT_EQ(vorn_output_dtype(o.get(), 1), 0u);
  EXPECT_EQ(vorn_output_f32_len(o.get(), 1), 0u);
  EXPECT_EQ(vorn_output_dim(o.get(), 0, 1), 3);
  EXPECT_EQ(vorn_output_dim(o.get(), 0, 2), -1);  // axis equal to the rank
  EXPECT_EQ(vorn_output_dim(o.get(), 0, -1), -1);
  EXPECT_EQ(vorn_output_i64_ptr(o.get(), 0), nullptr);  // F32 tensors have no copies
  EXPECT_EQ(vorn_output_u8_ptr(o.get(), 0), nullptr);
}

TEST(OutputRecord, SlotsByNameAndCopies) {
  OutputPtr o(output_new());
  put_tensor(o.get(), 0, {2, 3}, {1, 2, 3, 4, 5, 6}, VORN_DTYPE_F32, "logits");
  put_tensor(o.get(), 1, {4}, {7, 8, 9, 10}, VORN_DTYPE_F32, "log");
  put_tensor(o.get(), 2, {1}, {0}, VORN_DTYPE_F32, "logits");
  EXPECT_EQ(vorn_output_tensor_count(o.get()), 3u);
  EXPECT_EQ(vorn_output_index_of(o.get(), "logits", 6), 0);
  EXPECT_EQ(vorn_output_index_of(o.get(), "logits", 3), 1);
  EXPECT_EQ(vorn_output_index_of(o.get(), "logit", 5), -1);
  EXPECT_EQ(vorn_output_index_of(o.get(), nullptr, 4), -1);
  EXPECT_EQ(vorn_output_f32_len(o.get(), 0), 6u);

  float dst[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  EXPECT_EQ(vorn_output_copy_f32(o.get(), 0, dst, 0), 0u);
  EXPECT_EQ(dst[0], -1.0f);
  EXPECT_EQ(vorn_output_copy_f32(o.get(), 0, dst, 4), 4u);
  EXPECT_EQ(dst[3], 4.0f);
  EXPECT_EQ(dst[4], -1.0f);
  EXPECT_EQ(vorn_output_copy_f32(o.get(), 0, dst, 8), 6u);
  EXPECT_EQ(dst[5], 6.0f);
  EXPECT_EQ(vorn_output_copy_f32(o.get(), 0, nullptr, 8), 0u);
  EXPECT_EQ(vorn_output_copy_f32(o.get(), 3, dst, 8), 0u);
  int64_t idst[4] = {};
  EXPECT_EQ(vorn_output_copy_i64(o.get(), 0, idst, 4), 0u);  // no I64 copy
}

TEST(OutputRecord, TypedCopiesConvertEveryValue) {
  const std::vector<float> v = {300.7f, -3.0f, 17.9f, -2.7f, NAN, 1e30f, -1e30f, 255.0f, 0.99f,
                                -INFINITY, INFINITY, 65520.0f};
  OutputPtr o(output_new());
  put_tensor(o.get(), 0, {v.size()}, v, VORN_DTYPE_U8);
  put_tensor(o.get(), 1, {v.size()}, v, VORN_DTYPE_I64);
  put_tensor(o.get(), 2, {v.size()}, v, VORN_DTYPE_F16);
  put_tensor(o.get(), 3, {v.size()}, v, VORN_DTYPE_F32);
  output_make_typed_copies(o.get());

  const uint8_t want_u8[] = {255, 0, 17, 0, 0, 255, 0, 255, 0, 0, 255, 255};
  const int64_t want_i64[] = {300, -3, 17, -2, 0, INT64_MAX, INT64_MIN, 255, 0,
                              INT64_MIN, INT64_MAX, 65520};
  const uint8_t* u8 = vorn_output_u8_ptr(o.get(), 0);
  const int64_t* i64 = vorn_output_i64_ptr(o.get(), 1);
  const uint16_t* f16 = vorn_output_f16_ptr(o.get(), 2);
  ASSERT_NE(u8, nullptr);
  ASSERT_NE(i64, nullptr);
  ASSERT_NE(f16, nullptr);
  EXPECT_EQ(vorn_output_u8_ptr(o.get(), 1), nullptr);
  EXPECT_EQ(vorn_output_i64_ptr(o.get(), 3), nullptr);
  for (size_t i = 0; i < v.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(u8[i], want_u8[i]);
    EXPECT_EQ(i64[i], want_i64[i]);
    float back = half_to_float(f16[i]);
    if (std::isnan(v[i]))
      EXPECT_TRUE(std::isnan(back));
    else if (std::fabs(v[i]) >= 65520.0f)
      EXPECT_TRUE(std::isinf(back) && std::signbit(back) == std::signbit(v[i]));
    else
      EXPECT_NEAR(back, v[i], std::fabs(v[i]) / 1024.0f);
  }
  int64_t idst[20] = {};
  EXPECT_EQ(vorn_output_copy_i64(o.get(), 1, idst, 20), v.size());
  EXPECT_EQ(idst[3], -2);
  EXPECT_EQ(vorn_output_copy_i64(o.get(), 1, idst, 2), 2u);
}

TEST(OutputRecord, ClearKeepsF32BuffersForReuse) {
  OutputPtr o(output_new());
  put_tensor(o.get(), 0, {8}, std::vector<float>(8, 1.0f), VORN_DTYPE_I64);
  output_make_typed_copies(o.get());
  const float* first = vorn_output_f32_ptr(o.get(), 0);
  output_set_text(o.get(), "hi", 2);
  o->top_k_count = 3;
  o->box_count = 2;
  output_clear(o.get());
  EXPECT_EQ(vorn_output_i64_ptr(o.get(), 0), nullptr);
  EXPECT_EQ(vorn_output_f32_ptr(o.get(), 0), first);
  EXPECT_EQ(vorn_output_text_len(o.get()), 0u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 0), UINT32_MAX);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 0), UINT32_MAX);
  // A smaller or equal tensor reuses the buffer, a larger one replaces it.
  uint64_t dims[1] = {4};
  EXPECT_EQ(output_prepare_tensor(o.get(), 0, "a", 1, VORN_DTYPE_F32, 1, dims, 4), first);
  EXPECT_EQ(vorn_output_elem_count(o.get(), 0), 4u);
  dims[0] = 100;
  float* bigger = output_prepare_tensor(o.get(), 0, "a", 1, VORN_DTYPE_F32, 1, dims, 100);
  ASSERT_NE(bigger, nullptr);
  EXPECT_EQ(bigger[99], 0.0f);
  EXPECT_EQ(output_prepare_tensor(o.get(), 64, "a", 1, VORN_DTYPE_F32, 1, dims, 1), nullptr);
  uint64_t seven[7] = {1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(output_prepare_tensor(o.get(), 1, "a", 1, VORN_DTYPE_F32, 7, seven, 1), nullptr);
  output_reset(o.get());
  EXPECT_EQ(vorn_output_tensor_count(o.get()), 0u);
  EXPECT_EQ(o->tensors[0].f32, nullptr);
}

TEST(OutputRecord, LabelsOutliveTheSession) {
  const std::string bytes("person\0bicycle\0car", 18);
  LabelBlob* session_labels = label_blob_new(bytes.data(), bytes.size(), 3);
  ASSERT_NE(session_labels, nullptr);
  OutputPtr o(output_new());
  put_tensor(o.get(), 0, {3}, {0.1f, 0.2f, 0.7f});
  output_set_labels(o.get(), session_labels);
  label_blob_release(session_labels);  // the session is unloaded or freed
  ASSERT_EQ(vorn_output_compute_top_k(o.get(), 0, 3, 0), 3u);
  EXPECT_STREQ(vorn_output_top_label_ptr(o.get(), 0), "car");  // last item, NUL-terminated
  EXPECT_EQ(vorn_output_top_label_len(o.get(), 0), 3u);
  EXPECT_STREQ(vorn_output_top_label_ptr(o.get(), 1), "bicycle");
  output_clear(o.get());  // drops the last reference
  EXPECT_EQ(o->label_blob, nullptr);
}

TEST(OutputRecord, LabelLookup) {
  const char text[] = "a\0bb\0\0ddd";  // 9 bytes: "a", "bb", "", "ddd"
  const uint64_t len = 9;
  EXPECT_EQ(label_lookup(text, len, 4, 0), "a");
  EXPECT_EQ(label_lookup(text, len, 4, 1), "bb");
  EXPECT_EQ(label_lookup(text, len, 4, 2), "");
  EXPECT_EQ(label_lookup(text, len, 4, 3), "ddd");
  EXPECT_EQ(label_lookup(text, len, 4, 4), "");
  EXPECT_EQ(label_lookup(text, len, 9, 5), "");  // declared but absent
  EXPECT_EQ(label_lookup(text, len, 4, -1), "");
  EXPECT_EQ(label_lookup(nullptr, len, 4, 0), "");
  EXPECT_EQ(label_lookup(text, 0, 4, 0), "");
  EXPECT_EQ(label_lookup("x\0", 2, 3, 1), "");  // a trailing NUL ends the items
  EXPECT_EQ(label_blob_new(text, 0, 1), nullptr);
}

TEST(OutputRecord, GeneratedTexts) {
  OutputPtr o(output_new());
  ASSERT_TRUE(output_set_text(o.get(), "piece", 5));
  ASSERT_TRUE(output_set_full_text(o.get(), "whole answer", 12));
  EXPECT_STREQ(vorn_output_text_ptr(o.get()), "piece");
  EXPECT_EQ(vorn_output_full_text_len(o.get()), 12u);
  ASSERT_TRUE(output_set_text(o.get(), nullptr, 3));
  EXPECT_STREQ(vorn_output_text_ptr(o.get()), "");
  o->finish_reason = VORN_FINISH_STOP;
  o->generated_tokens = 4;
  EXPECT_EQ(vorn_output_finish_reason(o.get()), VORN_FINISH_STOP);
  EXPECT_EQ(vorn_output_generated_tokens(o.get()), 4u);
}

}  // namespace
}  // namespace vorn::test
