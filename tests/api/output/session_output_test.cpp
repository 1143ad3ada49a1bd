// Outputs filled by real runs of small models: labels and box decoding keep
// working once the session that filled the output is gone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/session/test_models.h"
#include "vorn.h"

namespace vorn::test {
namespace {

// out = x + 0 over a [1, rows, cols] raw input: the run hands the input
// back as the output tensor.
ModelBuilder passthrough_model(std::vector<uint64_t> dims, std::vector<std::string> labels) {
  ModelBuilder b;
  uint64_t count = 1;
  for (uint64_t d : dims) count *= d;
  uint64_t x = b.input(dims, "x");
  uint64_t zero = b.weight(dims, std::vector<float>(count, 0.0f));
  uint64_t y = b.output(dims, "y");
  b.node(op::Add, {x, zero}, {y});
  if (!labels.empty()) b.meta(WriterMeta::list("labels", labels));
  return b;
}

struct Opened {
  VornSession* s = vorn_session_new(nullptr);
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  ~Opened() {
    vorn_output_free(out);
    vorn_input_free(in);
    vorn_session_free(s);
  }
  bool go(const std::string& path, const std::vector<float>& x) {
    vorn_session_set_backend(s, VORN_BACKEND_CPU);
    return vorn_session_open(s, path.data(), path.size()) &&
           vorn_input_set_f32(in, 0, x.data(), x.size(), 0) && vorn_session_run(s, in, out);
  }
  std::string error() const { return vorn_session_error_message_ptr(s); }
};

TEST(SessionOutput, BoxesAndLabelsOutliveTheSession) {
  ModelBuilder b = passthrough_model({1, 3, 6}, {"person", "bicycle", "car"});
  ModelFile m(b);
  ASSERT_TRUE(m.ok()) << m.error;
  const std::vector<float> rows = {0, 0, 10, 10, 0.9f, 2,   // car
                                   1, 1, 10, 10, 0.8f, 2,   // suppressed by the car
                                   50, 50, 60, 60, 0.7f, 0};  // person
  VornOutput* out = nullptr;
  {
    Opened r;
    ASSERT_TRUE(r.go(m.path, rows)) << r.error();
    ASSERT_EQ(vorn_output_decode_boxes(r.out, 10, 0.5f, 0.5f), 2);
    EXPECT_STREQ(vorn_output_box_label_ptr(r.out, 0), "car");
    out = r.out;
    r.out = nullptr;  // keep the output, free the session
  }
  EXPECT_STREQ(vorn_output_box_label_ptr(out, 0), "car");
  EXPECT_STREQ(vorn_output_box_label_ptr(out, 1), "person");
  ASSERT_EQ(vorn_output_decode_boxes(out, 1, 0.5f, 0.5f), 1);
  EXPECT_STREQ(vorn_output_box_label_ptr(out, 0), "car");
  EXPECT_EQ(vorn_output_compute_top_k(out, 0, 3, 0), 3u);
  EXPECT_STREQ(vorn_output_top_label_ptr(out, 0), "");  // class 14 (a 60) has no label
  vorn_output_free(out);
}

TEST(SessionOutput, RefusedLayoutReportsOnlyToALiveSession) {
  ModelBuilder b = passthrough_model({1, 40}, {});
  ModelFile m(b);
  ASSERT_TRUE(m.ok()) << m.error;
  VornOutput* out = nullptr;
  {
    Opened r;
    ASSERT_TRUE(r.go(m.path, std::vector<float>(40, 0.5f))) << r.error();
    EXPECT_EQ(vorn_output_decode_boxes(r.out, 10, 0.5f, 0.5f), -1);
    EXPECT_EQ(vorn_session_error_code(r.s), VORN_STATUS_UNSUPPORTED);
    EXPECT_STREQ(vorn_session_error_message_ptr(r.s),
                 "Output tensor layout is not supported by decode_boxes");
    out = r.out;
    r.out = nullptr;
  }
  EXPECT_EQ(vorn_output_decode_boxes(out, 10, 0.5f, 0.5f), -1);  // nowhere to report
  vorn_output_free(out);
}

}  // namespace
}  // namespace vorn::test
