// The C++ binding over the C interface: owning handles, functions taking
// handles by reference, and text results as single records.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "vorn.hpp"

namespace {

namespace vb = vorn::bind;

static_assert(!std::is_copy_constructible_v<vb::Frame>);
static_assert(std::is_nothrow_move_constructible_v<vb::Session>);

TEST(BindingTest, VersionAndBackendNames) {
  EXPECT_EQ(vb::version().view(), "0.1.0-ea.1");
  EXPECT_EQ(vb::version().ptr[vb::version().len], 0);
  const struct {
    uint32_t backend;
    const char* name;
  } names[] = {{0, "AUTO"}, {1, "CPU"}, {2, "GPU"}, {3, "NPU"}, {4, "NONE"}, {9, "NONE"}, {UINT32_MAX, "NONE"}};
  for (auto n : names) EXPECT_EQ(vb::backend_name(n.backend).view(), n.name) << n.backend;
}

TEST(BindingTest, MissingHandlesAnswerLikeTheCFunctions) {
  vb::Session none;
  vb::Error err = vb::session_error(none);
  EXPECT_EQ(err.code, 1u);
  EXPECT_EQ(err.message.view(), "Null Session handle");
  EXPECT_EQ(err.message.len, 19u);
  vb::Frame no_frame;
  EXPECT_EQ(vb::frame_error(no_frame).message.view(), "Null Frame handle");
  EXPECT_FALSE(vb::session_open(none, "m.vorn"));
  EXPECT_EQ(vb::session_subgraph_name(none, 0).len, 0u);
  vb::Output no_output;
  vb::Box box = vb::output_box(no_output, 0);
  EXPECT_EQ(box.class_id, UINT32_MAX);
  EXPECT_EQ(box.label.view(), "");
  EXPECT_EQ(vb::output_top(no_output, -1).class_id, UINT32_MAX);
  EXPECT_EQ(vb::output_scale_x(no_output), 1.0f);
  vb::TensorInfo t = vb::session_input(none, 0);
  EXPECT_EQ(t.rank, 0u);
  EXPECT_EQ(t.dims[0], -1);
}

TEST(BindingTest, ConstructorsStoreThroughTheReference) {
  vb::Config config;
  ASSERT_TRUE(vb::config_new(config));
  VornConfig* first = config.get();
  vb::config_set_threads(config, 3);
  ASSERT_TRUE(vb::config_new(config));  // the old one is freed, a new one stored
  EXPECT_NE(config.get(), nullptr);
  (void)first;
  vb::config_set_backend(config, VORN_BACKEND_CPU);

  vb::Session session;
  ASSERT_TRUE(vb::session_new(session, config));
  EXPECT_EQ(vb::session_requested_backend(session), VORN_BACKEND_CPU);
  vb::config_free(config);
  EXPECT_FALSE(config);
  EXPECT_EQ(vb::session_requested_backend(session), VORN_BACKEND_CPU);  // a copy
  EXPECT_FALSE(vb::session_open(session, ""));
  vb::Error err = vb::session_error(session);
  EXPECT_EQ(err.code, VORN_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(err.message.view(), "Empty model path");

  vb::Session moved = std::move(session);
  EXPECT_FALSE(session);
  EXPECT_TRUE(moved);
}

TEST(BindingTest, FramesInputsAndOutputs) {
  std::vector<uint8_t> px(6 * 4 * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i);
  vb::Frame frame, view;
  ASSERT_TRUE(vb::frame_new(frame));
  ASSERT_TRUE(vb::frame_new(view));
  ASSERT_TRUE(vb::frame_set_pixels(frame, px.data(), px.size(), 6, 4, 0, VORN_PIXEL_BGR, 1, true));
  ASSERT_TRUE(vb::frame_crop_into(frame, view, 2, 1, 3, 3));
  vb::frame_free(frame);
  EXPECT_EQ(vb::frame_width(view), 3u);
  EXPECT_EQ(vb::frame_data(view)[0], px[1 * 18 + 2 * 3]);
  EXPECT_TRUE(vb::frame_error(view).ok());
  EXPECT_FALSE(vb::frame_load_encoded(view, px.data(), 7));
  EXPECT_EQ(vb::frame_error(view).message.view(), "Invalid encoded image buffer or length");

  vb::Input input;
  ASSERT_TRUE(vb::input_new(input));
  float v[2] = {1, 2};
  EXPECT_TRUE(vb::input_set_named_f32(input, "x", v, 2, true));
  EXPECT_FALSE(vb::input_set_f32(input, 8, v, 2, false));
  vb::input_set_frame(input, view);
  EXPECT_TRUE(vb::input_add_stop(input, "END"));
  EXPECT_TRUE(vb::input_add_message(input, "user", "hi"));

  vb::Output output;
  ASSERT_TRUE(vb::output_new(output));
  vb::Session session;
  ASSERT_TRUE(vb::session_new(session));
  EXPECT_FALSE(vb::session_run(session, input, output));
  EXPECT_EQ(vb::session_error(session).message.view(), "Session is not opened (or was unloaded)");
  EXPECT_EQ(vb::output_text(output).view(), "");
  EXPECT_EQ(vb::output_index_of(output, "logits"), -1);
  // Outputs and inputs can be released explicitly and again by scope.
  vb::input_free(input);
  vb::output_free(output);
  EXPECT_FALSE(input);
}

}  // namespace
