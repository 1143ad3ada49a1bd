// Inputs through the C interface: tensor slots, frames and batches, chat
// messages, stops and what clear keeps.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/input.h"
#include "vorn.h"

namespace {

struct InputDeleter {
  void operator()(VornInput* i) const { vorn_input_free(i); }
};
using InputPtr = std::unique_ptr<VornInput, InputDeleter>;
InputPtr new_input() { return InputPtr(vorn_input_new()); }

TEST(InputTest, NewInputHasTheDefaults) {
  InputPtr in = new_input();
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->max_tokens, 64u);
  EXPECT_EQ(in->temperature, 0.0f);
  EXPECT_EQ(in->top_p, 1.0f);
  EXPECT_EQ(in->top_k, 0u);
  EXPECT_EQ(in->min_p, 0.0f);
  EXPECT_EQ(in->repeat_penalty, 1.0f);
  EXPECT_EQ(in->seed, 0u);
  EXPECT_EQ(in->tiled, 0);
  EXPECT_EQ(in->tile_size, 512u);
  EXPECT_EQ(in->amount_decimals, -1);
  EXPECT_EQ(in->tensor_count, 0u);
  EXPECT_EQ(in->frame_bound, 0);
}

TEST(InputTest, TensorIndexesAndSlots) {
  InputPtr in = new_input();
  float v[3] = {1, 2, 3};
  EXPECT_FALSE(vorn_input_set_f32(in.get(), 8, v, 3, 0));
  EXPECT_TRUE(vorn_input_set_f32(in.get(), 7, v, 3, 0));
  EXPECT_FALSE(vorn_input_set_f32(in.get(), 0, nullptr, 3, 0));
  EXPECT_FALSE(vorn_input_set_f32(in.get(), 0, v, 0, 0));
  EXPECT_EQ(in->tensor_count, 1u);
  const auto& slot = in->tensors[0];
  EXPECT_EQ(slot.index, 7u);
  EXPECT_EQ(slot.dtype, VORN_DTYPE_F32);
  EXPECT_EQ(slot.count, 3u);
  EXPECT_EQ(slot.bytes, 12u);
  EXPECT_EQ(slot.data, v);
  EXPECT_EQ(slot.owned, 0);
}

TEST(InputTest, RebindingAnIndexReplacesItsSlotAndFreesTheCopy) {
  InputPtr in = new_input();
  std::vector<int64_t> a = {1, 2, 3}, b = {4, 5};
  ASSERT_TRUE(vorn_input_set_i64(in.get(), 2, a.data(), a.size(), 1));
  const void* first_copy = in->tensors[0].data;
  EXPECT_NE(first_copy, a.data());
  EXPECT_EQ(in->tensors[0].owned, 1);
  a[0] = 99;
  EXPECT_EQ(static_cast<const int64_t*>(in->tensors[0].data)[0], 1);  // a private copy
  ASSERT_TRUE(vorn_input_set_i64(in.get(), 2, b.data(), b.size(), 0));  // ASan: copy freed
  EXPECT_EQ(in->tensor_count, 1u);
  EXPECT_EQ(in->tensors[0].data, b.data());
  EXPECT_EQ(in->tensors[0].bytes, 16u);
  EXPECT_EQ(in->tensors[0].owned, 0);
}

TEST(InputTest, ByIndexAndByNameAreSeparateSlotsAndNineAreTooMany) {
  InputPtr in = new_input();
  uint8_t u[4] = {};
  uint16_t h[4] = {};
  ASSERT_TRUE(vorn_input_set_u8(in.get(), 0, u, 4, 0));
  ASSERT_TRUE(vorn_input_set_named_u8(in.get(), "input", 5, u, 4, 0));
  EXPECT_EQ(in->tensor_count, 2u);
  ASSERT_TRUE(vorn_input_set_named_f16(in.get(), "input", 5, h, 4, 1));  // same name: replaced
  EXPECT_EQ(in->tensor_count, 2u);
  EXPECT_EQ(in->tensors[1].dtype, VORN_DTYPE_F16);
  EXPECT_EQ(in->tensors[1].bytes, 8u);
  for (uint32_t i = 1; i < 7; ++i) ASSERT_TRUE(vorn_input_set_u8(in.get(), i, u, 4, 0));
  EXPECT_EQ(in->tensor_count, 8u);
  EXPECT_FALSE(vorn_input_set_named_u8(in.get(), "ninth", 5, u, 4, 0));
  EXPECT_TRUE(vorn_input_set_u8(in.get(), 3, u, 2, 0));  // an existing binding still rebinds
}

TEST(InputTest, ElementCountsThatOverflowTheByteSizeAreRefused) {
  InputPtr in = new_input();
  float v = 0;
  EXPECT_FALSE(vorn_input_set_f32(in.get(), 0, &v, UINT64_MAX / 2, 0));
  EXPECT_FALSE(vorn_input_set_named_i64(in.get(), "x", 1, reinterpret_cast<const int64_t*>(&v),
                                        (UINT64_MAX / 8) + 1, 0));
  // Byte sizes past the largest possible object, copied or not.
  EXPECT_FALSE(vorn_input_set_u8(in.get(), 0, reinterpret_cast<const uint8_t*>(&v), UINT64_MAX, 1));
  EXPECT_FALSE(vorn_input_set_u8(in.get(), 0, reinterpret_cast<const uint8_t*>(&v), uint64_t(PTRDIFF_MAX) + 1, 0));
  EXPECT_EQ(in->tensor_count, 0u);
  // A count that fits is taken as given without the copy flag.
  EXPECT_TRUE(vorn_input_set_u8(in.get(), 0, reinterpret_cast<const uint8_t*>(&v), uint64_t(PTRDIFF_MAX), 0));
  EXPECT_EQ(in->tensors[0].bytes, uint64_t(PTRDIFF_MAX));
}

TEST(InputTest, FramesAndBatches) {
  InputPtr in = new_input();
  VornFrame* frames[66];
  for (auto& f : frames) f = vorn_frame_new();
  vorn_input_set_frame(in.get(), frames[0]);
  EXPECT_EQ(in->frame_bound, 1);
  EXPECT_EQ(in->batch_count, 1u);
  vorn_input_set_frame(in.get(), nullptr);
  EXPECT_EQ(in->frame_bound, 0);
  EXPECT_EQ(in->batch_count, 0u);

  vorn_input_set_named_frame(in.get(), "pixel_values", 12, nullptr);
  EXPECT_EQ(in->frame_by_name, 1);  // set even for a null frame
  EXPECT_EQ(std::string(in->frame_name, in->frame_name_len), "pixel_values");
  EXPECT_EQ(in->frame_bound, 0);

  EXPECT_FALSE(vorn_input_add_batch_frame(in.get(), nullptr));
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(vorn_input_add_batch_frame(in.get(), frames[i + 1]));
  EXPECT_FALSE(vorn_input_add_batch_frame(in.get(), frames[65]));
  EXPECT_EQ(in->batch_count, 64u);
  EXPECT_EQ(in->frame, frames[1]);  // the first appended becomes the image
  EXPECT_EQ(in->frame_bound, 1);
  EXPECT_EQ(std::string(in->frame_name, in->frame_name_len), "pixel_values");  // left as it was
  for (auto& f : frames) vorn_frame_free(f);
}

TEST(InputTest, MessagesKeepContentWholeAndFeedThePrompt) {
  InputPtr in = new_input();
  std::string big(5000, 'q');
  big[4094] = 'E';
  big[4095] = 'X';
  ASSERT_TRUE(vorn_input_add_message(in.get(), "user", 4, big.data(), big.size()));
  EXPECT_EQ(in->messages[0].content_len, 5000u);
  EXPECT_EQ(std::string(in->messages[0].content), big);
  EXPECT_EQ(in->prompt_len, 4095u);
  EXPECT_EQ(in->prompt[4094], 'E');
  EXPECT_EQ(in->prompt[4095], 0);
  for (int i = 1; i < 16; ++i) ASSERT_TRUE(vorn_input_add_message(in.get(), "assistant", 9, "ok", 2));
  EXPECT_FALSE(vorn_input_add_message(in.get(), "user", 4, "17th", 4));
  EXPECT_EQ(in->message_count, 16u);
  EXPECT_EQ(std::string(in->prompt, in->prompt_len), "ok");
  // A null content pointer is the empty text.
  vorn_input_clear(in.get());
  ASSERT_TRUE(vorn_input_add_message(in.get(), nullptr, 5, nullptr, 9));
  EXPECT_EQ(in->messages[0].content_len, 0u);
  EXPECT_STREQ(in->messages[0].content, "");
  EXPECT_EQ(in->messages[0].role_len, 0u);
}

TEST(InputTest, ImageMessageBindsItsFrameOnlyWhenNoneIsBound) {
  InputPtr in = new_input();
  VornFrame* a = vorn_frame_new();
  VornFrame* b = vorn_frame_new();
  ASSERT_TRUE(vorn_input_add_image_message(in.get(), "user", 4, a, "look", 4));
  EXPECT_EQ(in->frame, a);
  ASSERT_TRUE(vorn_input_add_image_message(in.get(), "user", 4, b, "and this", 8));
  EXPECT_EQ(in->frame, a);
  EXPECT_EQ(in->messages[1].frame, b);
  vorn_input_set_frame(in.get(), nullptr);
  ASSERT_TRUE(vorn_input_add_image_message(in.get(), "user", 4, nullptr, "none", 4));
  EXPECT_EQ(in->frame_bound, 0);
  vorn_frame_free(a);
  vorn_frame_free(b);
}

TEST(InputTest, Stops) {
  InputPtr in = new_input();
  EXPECT_FALSE(vorn_input_add_stop(in.get(), "", 0));
  EXPECT_FALSE(vorn_input_add_stop(in.get(), nullptr, 3));
  std::string long_stop(200, 's');
  ASSERT_TRUE(vorn_input_add_stop(in.get(), long_stop.data(), long_stop.size()));
  EXPECT_EQ(in->stop_lens[0], 127u);
  EXPECT_EQ(in->stops[0][127], 0);
  for (int i = 1; i < 8; ++i) ASSERT_TRUE(vorn_input_add_stop(in.get(), "x", 1));
  EXPECT_FALSE(vorn_input_add_stop(in.get(), "y", 1));
}

TEST(InputTest, ClearKeepsSamplingTilingAndAmount) {
  InputPtr in = new_input();
  float v[2] = {};
  VornFrame* f = vorn_frame_new();
  vorn_input_set_temperature(in.get(), 0.8f);
  vorn_input_set_seed(in.get(), 42);
  vorn_input_set_top_p(in.get(), 0.9f);
  vorn_input_set_top_k(in.get(), 40);
  vorn_input_set_min_p(in.get(), 0.05f);
  vorn_input_set_repeat_penalty(in.get(), 1.1f);
  vorn_input_set_max_tokens(in.get(), 0);
  vorn_input_set_image_tiled(in.get(), 5, 0);
  vorn_input_set_amount_decimals(in.get(), 2);
  vorn_input_set_json_schema(in.get(), "{}", 2);
  vorn_input_set_prompt(in.get(), "hi", 2);
  ASSERT_TRUE(vorn_input_set_f32(in.get(), 0, v, 2, 1));
  ASSERT_TRUE(vorn_input_add_message(in.get(), "user", 4, "x", 1));
  ASSERT_TRUE(vorn_input_add_stop(in.get(), "z", 1));
  vorn_input_set_frame(in.get(), f);
  vorn_input_clear(in.get());
  EXPECT_EQ(in->temperature, 0.8f);
  EXPECT_EQ(in->seed, 42u);
  EXPECT_EQ(in->top_p, 0.9f);
  EXPECT_EQ(in->top_k, 40u);
  EXPECT_EQ(in->min_p, 0.05f);
  EXPECT_EQ(in->repeat_penalty, 1.1f);
  EXPECT_EQ(in->max_tokens, 0u);  // stored as given; generation reads 0 as 64
  EXPECT_EQ(in->tiled, 1);
  EXPECT_EQ(in->tile_size, 0u);
  EXPECT_EQ(in->amount_decimals, 2);
  EXPECT_EQ(in->json_schema_len, 0u);
  EXPECT_EQ(in->prompt_len, 0u);
  EXPECT_EQ(in->tensor_count, 0u);
  EXPECT_EQ(in->message_count, 0u);
  EXPECT_EQ(in->stop_count, 0u);
  EXPECT_EQ(in->frame_bound, 0);
  EXPECT_EQ(in->frame, nullptr);
  EXPECT_EQ(in->batch_count, 0u);
  vorn_frame_free(f);
}

}  // namespace
