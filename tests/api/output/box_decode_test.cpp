// Box decoding against the reference decoder on generated fixtures of every
// layout, plus hand-worked cases: letterbox mapping, suppression exactly at
// the IoU threshold, ties in score, class awareness, limits and refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "reference/box_decode_reference.h"
#include "session/error_record.h"
#include "tests/api/output/output_fixture.h"
#include "vorn.h"

namespace vorn::test {
namespace {

using ref::RefMeta;
using ref::RefTensor;

// Scores on a coarse grid so that equal scores are common; coordinates on a
// small canvas so that boxes overlap.
struct Gen {
  std::mt19937 rng;
  explicit Gen(uint32_t seed) : rng(seed) {}
  float score() { return float(std::uniform_int_distribution<int>(0, 16)(rng)) / 16.0f; }
  float logit() { return float(std::uniform_int_distribution<int>(-12, 12)(rng)) / 4.0f; }
  float coord(float hi) { return std::uniform_real_distribution<float>(0.0f, hi)(rng); }
  float size(float hi) { return std::uniform_real_distribution<float>(1.0f, hi)(rng); }
  float frac() { return float(std::uniform_int_distribution<int>(0, 64)(rng)) / 64.0f; }
};

RefTensor tensor(std::vector<uint64_t> dims) {
  uint64_t n = 1;
  for (uint64_t d : dims) n *= d;
  return {std::move(dims), std::vector<float>(n, 0.0f)};
}

std::vector<RefTensor> face_tensors(Gen& g, uint32_t w, uint32_t h) {
  std::vector<RefTensor> t(9);
  const uint32_t strides[3] = {8, 16, 32};
  for (int i = 0; i < 3; ++i) {
    uint64_t cand = uint64_t(w / strides[i]) * (h / strides[i]) * 2;
    t[i] = tensor({1, cand, 1});
    t[i + 3] = tensor({1, cand, 4});
    t[i + 6] = tensor({1, cand, 10});
    for (float& v : t[i].data) v = g.score();
    for (float& v : t[i + 3].data) v = g.size(3.0f);
    for (float& v : t[i + 6].data) v = g.coord(4.0f) - 2.0f;
  }
  return t;
}

std::vector<RefTensor> boxes_scores_tensors(Gen& g, uint64_t n, uint64_t c, bool corner) {
  RefTensor b = tensor({1, 4, n}), s = tensor({1, c, n});
  for (uint64_t i = 0; i < n; ++i) {
    float x = g.coord(100), y = g.coord(80), w = g.size(40), h = g.size(40);
    float v[4] = {x, y, corner ? x + w : w, corner ? y + h : h};
    for (int j = 0; j < 4; ++j) b.data[j * n + i] = v[j];
  }
  for (float& v : s.data) v = g.score();
  return {b, s};
}

std::vector<RefTensor> query_tensors(Gen& g, uint64_t n, uint64_t c, bool logits) {
  RefTensor l = tensor({1, n, c}), b = tensor({1, n, 4});
  for (float& v : l.data) v = logits ? g.logit() : g.score();
  for (uint64_t i = 0; i < n; ++i) {
    b.data[4 * i] = g.frac();
    b.data[4 * i + 1] = g.frac();
    b.data[4 * i + 2] = g.frac() * 0.5f;
    b.data[4 * i + 3] = g.frac() * 0.5f;
  }
  return {l, b};
}

std::vector<RefTensor> attribute_tensors(Gen& g, uint64_t a, uint64_t n) {
  RefTensor t = tensor({1, a, n});
  for (uint64_t i = 0; i < n; ++i) {
    t.data[i] = g.coord(300);
    t.data[n + i] = g.coord(300);
    t.data[2 * n + i] = g.size(60);
    t.data[3 * n + i] = g.size(60);
    for (uint64_t k = 4; k < a; ++k) t.data[k * n + i] = k == 4 || a != 56 ? g.score() : g.coord(300);
  }
  return {t};
}

std::vector<RefTensor> finished_tensors(Gen& g, uint64_t rows) {
  RefTensor t = tensor({1, rows, 6});
  for (uint64_t i = 0; i < rows; ++i) {
    float x = g.coord(200), y = g.coord(200);
    float* r = &t.data[6 * i];
    r[0] = x;
    r[1] = y;
    r[2] = x + g.size(50);
    r[3] = y + g.size(50);
    r[4] = g.score();
    r[5] = float(std::uniform_int_distribution<int>(0, 3)(g.rng)) + 0.7f;
  }
  return {t};
}

struct Case {
  const char* name;
  std::vector<RefTensor> (*make)(Gen&);
  RefMeta meta;
};

RefMeta letterbox(RefMeta m) {
  m.scale_x = m.scale_y = 0.5f;
  m.pad_x = 0;
  m.pad_y = 16;
  return m;
}

void expect_same(const Output* o, int32_t got, const std::vector<ref::RefBox>& want, int32_t count) {
  ASSERT_EQ(got, count);
  ASSERT_EQ(vorn_output_box_landmark_count(o, got), 0u);  // past the end reads neutral
  for (int32_t i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    const ref::RefBox& w = want[size_t(i)];
    EXPECT_EQ(vorn_output_box_score(o, i), w.score);
    EXPECT_EQ(vorn_output_box_class_id(o, i), uint32_t(w.cls));
    EXPECT_FLOAT_EQ(vorn_output_box_x1(o, i), w.x1);
    EXPECT_FLOAT_EQ(vorn_output_box_y1(o, i), w.y1);
    EXPECT_FLOAT_EQ(vorn_output_box_x2(o, i), w.x2);
    EXPECT_FLOAT_EQ(vorn_output_box_y2(o, i), w.y2);
    ASSERT_EQ(vorn_output_box_landmark_count(o, i), w.lx.size());
    for (int32_t j = 0; j < int32_t(w.lx.size()); ++j) {
      EXPECT_FLOAT_EQ(vorn_output_box_landmark_x(o, i, j), w.lx[size_t(j)]);
      EXPECT_FLOAT_EQ(vorn_output_box_landmark_y(o, i, j), w.ly[size_t(j)]);
    }
  }
}

TEST(BoxDecode, EveryLayoutMatchesReference) {
  RefMeta face;
  face.input_w = 64;
  face.input_h = 48;
  face.source_w = 128;
  face.source_h = 64;
  RefMeta plain;
  RefMeta clamped;
  clamped.source_w = 120;
  clamped.source_h = 90;
  RefMeta corner = plain;
  corner.corner = true;
  RefMeta xyxy = plain;
  xyxy.decode = "yolov8_xyxy";
  RefMeta detr;
  detr.input_w = 320;
  detr.input_h = 240;
  RefMeta detr_source;
  detr_source.source_w = 500;
  detr_source.source_h = 400;
  RefMeta many_labels;
  many_labels.labels = 80;
  RefMeta pose_task;
  pose_task.task = "pose";

  const std::vector<Case> cases = {
      {"face", [](Gen& g) { return face_tensors(g, 64, 48); }, face},
      {"face letterboxed", [](Gen& g) { return face_tensors(g, 64, 48); }, letterbox(face)},
      {"face default size", [](Gen& g) { return face_tensors(g, 640, 640); }, RefMeta{}},
      {"boxes+scores centre", [](Gen& g) { return boxes_scores_tensors(g, 40, 3, false); }, plain},
      {"boxes+scores one class", [](Gen& g) { return boxes_scores_tensors(g, 40, 1, false); }, clamped},
      {"boxes+scores corner flag", [](Gen& g) { return boxes_scores_tensors(g, 40, 4, true); }, corner},
      {"boxes+scores xyxy text", [](Gen& g) { return boxes_scores_tensors(g, 40, 4, true); },
       letterbox(xyxy)},
      {"queries", [](Gen& g) { return query_tensors(g, 30, 5, false); }, detr},
      {"queries logits", [](Gen& g) { return query_tensors(g, 30, 7, true); }, detr_source},
      {"queries 92", [](Gen& g) { return query_tensors(g, 25, 92, true); }, RefMeta{}},
      {"queries 81", [](Gen& g) { return query_tensors(g, 25, 81, false); }, clamped},
      {"attributes 80 classes", [](Gen& g) { return attribute_tensors(g, 84, 100); }, clamped},
      {"attributes one class", [](Gen& g) { return attribute_tensors(g, 5, 20); }, plain},
      {"attributes 56 with labels", [](Gen& g) { return attribute_tensors(g, 56, 40); }, many_labels},
      {"pose 56 without labels", [](Gen& g) { return attribute_tensors(g, 56, 40); }, letterbox(clamped)},
      {"pose by task", [](Gen& g) { return attribute_tensors(g, 57, 30); }, pose_task},
      {"pool overflow", [](Gen& g) { return attribute_tensors(g, 6, 3000); }, plain},
      {"finished", [](Gen& g) { return finished_tensors(g, 50); }, letterbox(clamped)},
      {"finished overflow", [](Gen& g) { return finished_tensors(g, 1500); }, plain},
  };
  const struct {
    int max_boxes;
    float score, iou;
  } settings[] = {{300, 0.0f, 0.5f}, {5, 0.25f, 0.3f}, {1, 0.5f, 0.5f}, {1000, 0.75f, 0.0f},
                  {100, 0.4f, 1.0f}};
  for (const Case& c : cases) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      Gen g(seed * 7919u);
      std::vector<RefTensor> t = c.make(g);
      OutputPtr o = make_output(t, c.meta);
      for (const auto& s : settings) {
        SCOPED_TRACE(std::string(c.name) + " seed " + std::to_string(seed) + " max " +
                     std::to_string(s.max_boxes) + " score " + std::to_string(s.score) + " iou " +
                     std::to_string(s.iou));
        std::vector<ref::RefBox> want;
        int count = ref::BoxDecodeReference(t, c.meta).decode(s.max_boxes, s.score, s.iou, &want);
        ASSERT_GE(count, 0);
        int32_t got = vorn_output_decode_boxes(o.get(), s.max_boxes, s.score, s.iou);
        expect_same(o.get(), got, want, count);
      }
    }
  }
}

// One finished-detections row per box: (x1, y1, x2, y2, score, class).
OutputPtr finished_output(const std::vector<std::vector<float>>& rows, RefMeta m = {}) {
  RefTensor t = tensor({1, rows.size(), 6});
  for (size_t i = 0; i < rows.size(); ++i)
    for (size_t j = 0; j < 6; ++j) t.data[6 * i + j] = rows[i][j];
  return make_output({t}, m);
}

TEST(BoxDecode, LetterboxMapsBackAndClampsToSource) {
  RefMeta m;  // 640 x 480 letterboxed into 640 x 640 at scale 1
  m.input_w = m.input_h = 640;
  m.source_w = 640;
  m.source_h = 480;
  m.pad_y = 80;
  OutputPtr o = finished_output({{100, 60, 200, 300, 0.9f, 2}, {600, 500, 700, 600, 0.8f, 1}}, m);
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.5f, 0.5f), 2);
  EXPECT_EQ(vorn_output_box_x1(o.get(), 0), 100.0f);
  EXPECT_EQ(vorn_output_box_y1(o.get(), 0), 0.0f);  // 60 - 80 clamped
  EXPECT_EQ(vorn_output_box_y2(o.get(), 0), 220.0f);
  EXPECT_EQ(vorn_output_box_x2(o.get(), 1), 640.0f);  // past the source width
  EXPECT_EQ(vorn_output_box_y2(o.get(), 1), 480.0f);  // 520 clamped

  // 1280 x 960 letterboxed into 640 x 640: scale 0.5, pad_y 80.
  m.source_w = 1280;
  m.source_h = 960;
  m.scale_x = m.scale_y = 0.5f;
  o = finished_output({{100, 180, 300, 380, 0.9f, 0}}, m);
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), 1);
  EXPECT_EQ(vorn_output_box_x1(o.get(), 0), 200.0f);
  EXPECT_EQ(vorn_output_box_y1(o.get(), 0), 200.0f);
  EXPECT_EQ(vorn_output_box_x2(o.get(), 0), 600.0f);
  EXPECT_EQ(vorn_output_box_y2(o.get(), 0), 600.0f);

  // A scale at or below zero, or NaN, counts as 1.
  m.scale_x = 0.0f;
  m.scale_y = NAN;
  m.pad_y = 0;
  o = finished_output({{10, 20, 30, 40, 0.9f, 0}}, m);
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), 1);
  EXPECT_EQ(vorn_output_box_x2(o.get(), 0), 30.0f);
  EXPECT_EQ(vorn_output_box_y2(o.get(), 0), 40.0f);
}

TEST(BoxDecode, SuppressesOnlyAboveTheIouThreshold) {
  // Same class; the second box covers half of the first: IoU exactly 0.5.
  const std::vector<std::vector<float>> rows = {{0, 0, 10, 10, 0.9f, 1}, {0, 0, 10, 5, 0.8f, 1}};
  OutputPtr o = finished_output(rows);
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), 2);
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, std::nextafter(0.5f, 0.0f)), 1);
  EXPECT_EQ(vorn_output_box_score(o.get(), 0), 0.9f);
  // The score threshold is inclusive.
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.8f, 0.5f), 2);
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 10, std::nextafter(0.8f, 1.0f), 0.5f), 1);
}

TEST(BoxDecode, EqualScoresRankInExchangeOrder) {
  // Scores 0.5, 0.9, 0.5, 0.9 (classes 0..3, no overlap): exchanging an
  // earlier entry with a strictly greater later one ranks 1, 3, 2, 0.
  OutputPtr o = finished_output({{0, 0, 1, 1, 0.5f, 0},
                                 {10, 0, 11, 1, 0.9f, 1},
                                 {20, 0, 21, 1, 0.5f, 2},
                                 {30, 0, 31, 1, 0.9f, 3}});
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), 4);
  const uint32_t order[] = {1, 3, 2, 0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(vorn_output_box_class_id(o.get(), i), order[i]);

  // Equal scores of one class: the first ranked suppresses its overlapping
  // twin.
  o = finished_output({{0, 0, 10, 10, 0.7f, 5}, {1, 1, 10, 10, 0.7f, 5}});
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), 1);
  EXPECT_EQ(vorn_output_box_x1(o.get(), 0), 0.0f);
}

TEST(BoxDecode, ClassesNeverSuppressEachOther) {
  OutputPtr o = finished_output({{0, 0, 10, 10, 0.9f, 3}, {0, 0, 10, 10, 0.8f, 4}});
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.1f), 2);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 0), 3u);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 1), 4u);
}

TEST(BoxDecode, LimitsOnBoxCounts) {
  std::vector<std::vector<float>> rows;
  for (int i = 0; i < 400; ++i) rows.push_back({float(20 * i), 0, float(20 * i + 10), 10, 0.5f, 0});
  OutputPtr o = finished_output(rows);
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 1000, 0.0f, 0.5f), 256);
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 0, 0.0f, 0.5f), 0);
  EXPECT_EQ(vorn_output_box_score(o.get(), 255), 0.5f);  // the previous boxes stay
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), -3, 0.0f, 0.5f), 0);
  EXPECT_EQ(vorn_output_decode_boxes(nullptr, 10, 0.0f, 0.5f), 0);
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 7, 0.0f, 0.5f), 7);
  EXPECT_EQ(vorn_output_box_score(o.get(), 7), 0.0f);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 7), UINT32_MAX);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), -1), UINT32_MAX);
  OutputPtr empty(output_new());
  EXPECT_EQ(vorn_output_decode_boxes(empty.get(), 10, 0.0f, 0.5f), 0);
}

TEST(BoxDecode, DetectorShapesPickTheirLayout) {
  // [1, 84, 8400]: 80 classes and centre-size boxes.
  RefTensor t = tensor({1, 84, 8400});
  const uint64_t n = 8400, i = 1234;
  t.data[i] = 100;
  t.data[n + i] = 50;
  t.data[2 * n + i] = 20;
  t.data[3 * n + i] = 10;
  t.data[(4 + 79) * n + i] = 0.8f;
  t.data[(4 + 7) * n + i] = 0.6f;
  OutputPtr o = make_output({t}, RefMeta{});
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.5f, 0.5f), 1);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 0), 79u);
  EXPECT_EQ(vorn_output_box_x1(o.get(), 0), 90.0f);
  EXPECT_EQ(vorn_output_box_y2(o.get(), 0), 55.0f);
  EXPECT_EQ(vorn_output_box_landmark_count(o.get(), 0), 0u);

  // [1, 56, 8400] without labels: one class with 17 keypoints.
  RefTensor p = tensor({1, 56, 8400});
  p.data[4 * n + i] = 0.9f;
  for (uint64_t k = 0; k < 17; ++k) {
    p.data[(5 + 3 * k) * n + i] = float(k);
    p.data[(6 + 3 * k) * n + i] = float(100 + k);
  }
  o = make_output({p}, RefMeta{});
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.5f, 0.5f), 1);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 0), 0u);
  ASSERT_EQ(vorn_output_box_landmark_count(o.get(), 0), 17u);
  EXPECT_EQ(vorn_output_box_landmark_x(o.get(), 0, 16), 16.0f);
  EXPECT_EQ(vorn_output_box_landmark_y(o.get(), 0, 16), 116.0f);
  EXPECT_EQ(vorn_output_box_landmark_x(o.get(), 0, 17), 0.0f);
  // With labels it is a 52-class detector: keypoint 16's y (116, attribute
  // 6 + 3 x 16) is the best score, of class 50.
  RefMeta labelled;
  labelled.labels = 52;
  o = make_output({p}, labelled);
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.5f, 0.5f), 1);
  EXPECT_EQ(vorn_output_box_landmark_count(o.get(), 0), 0u);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 0), 50u);
  EXPECT_EQ(std::string(vorn_output_box_label_ptr(o.get(), 0)), "class50");
}

TEST(BoxDecode, ClassIdsOfFinishedRowsAreDefined) {
  OutputPtr o = finished_output({{0, 0, 1, 1, 0.9f, NAN},
                                 {10, 0, 11, 1, 0.8f, 1e10f},
                                 {20, 0, 21, 1, 0.7f, -1e10f},
                                 {30, 0, 31, 1, 0.6f, -2.9f}});
  ASSERT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), 4);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 0), 0u);
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 1), uint32_t(INT32_MAX));
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 2), uint32_t(INT32_MIN));
  EXPECT_EQ(vorn_output_box_class_id(o.get(), 3), uint32_t(-2));
  EXPECT_EQ(vorn_output_box_label_len(o.get(), 3), 0u);
}

// Outputs that report into a session's error record through an origin.
struct Reported {
  ErrorRecord record{};
  OutputOrigin* origin = output_origin_new(&record);
  ~Reported() { output_origin_detach(origin); }
};

void expect_refused(Output* o, const char* text) {
  Reported session;
  output_set_origin(o, session.origin);
  EXPECT_EQ(vorn_output_decode_boxes(o, 10, 0.0f, 0.5f), -1);
  EXPECT_EQ(session.record.code, VORN_STATUS_UNSUPPORTED);
  EXPECT_EQ(std::string(session.record.message), text);
  EXPECT_EQ(vorn_output_box_landmark_count(o, 0), 0u);
}

TEST(BoxDecode, ShortTensorsAreRefused) {
  const std::string small = "Output tensors are too small for their decode_boxes layout";
  Gen g(5);
  // Each case shortens one tensor of a well-formed set, by one value unless
  // the layout never reads the last one (the visibility of the last keypoint).
  struct Short {
    const char* name;
    std::vector<RefTensor> tensors;
    RefMeta meta;
    size_t tensor;
    size_t drop = 1;
  };
  RefMeta face;
  face.input_w = 64;
  face.input_h = 48;
  std::vector<Short> cases;
  for (size_t k : {3u, 4u, 5u, 6u, 7u, 8u, 1u, 2u})
    cases.push_back({"face", face_tensors(g, 64, 48), face, k});
  cases.push_back({"boxes", boxes_scores_tensors(g, 40, 3, false), RefMeta{}, 0});
  cases.push_back({"scores", boxes_scores_tensors(g, 40, 3, false), RefMeta{}, 1});
  cases.push_back({"one-class scores", boxes_scores_tensors(g, 40, 1, false), RefMeta{}, 1});
  cases.push_back({"query logits", query_tensors(g, 30, 5, false), RefMeta{}, 0});
  cases.push_back({"query boxes", query_tensors(g, 30, 5, false), RefMeta{}, 1});
  cases.push_back({"attributes", attribute_tensors(g, 84, 100), RefMeta{}, 0});
  cases.push_back({"pose", attribute_tensors(g, 56, 40), RefMeta{}, 0, 41});
  cases.push_back({"finished", finished_tensors(g, 50), RefMeta{}, 0});
  for (Short& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " tensor " + std::to_string(c.tensor));
    c.tensors[c.tensor].data.resize(c.tensors[c.tensor].data.size() - c.drop);
    std::vector<ref::RefBox> want;
    EXPECT_EQ(ref::BoxDecodeReference(c.tensors, c.meta).decode(10, 0.0f, 0.5f, &want), -1);
    OutputPtr o = make_output(c.tensors, c.meta);
    expect_refused(o.get(), small.c_str());
  }
  // Scores of a class count of 0 have nothing to read.
  std::vector<RefTensor> no_classes = {tensor({1, 4, 20}), tensor({1, 0, 20})};
  OutputPtr o = make_output(no_classes, RefMeta{});
  expect_refused(o.get(), small.c_str());
}

TEST(BoxDecode, PoseNeedsAllKeypointAttributes) {
  Gen g(9);
  RefMeta pose;
  pose.decode = "yolov8_pose";
  for (uint64_t a : {20u, 54u}) {
    std::vector<RefTensor> t = attribute_tensors(g, a, 30);
    std::vector<ref::RefBox> want;
    EXPECT_EQ(ref::BoxDecodeReference(t, pose).decode(10, 0.0f, 0.5f, &want), -1);
    OutputPtr o = make_output(t, pose);
    expect_refused(o.get(), "Output tensors are too small for their decode_boxes layout");
  }
  std::vector<RefTensor> t = attribute_tensors(g, 55, 30);
  OutputPtr o = make_output(t, pose);
  EXPECT_GT(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), 0);
}

TEST(BoxDecode, UnknownLayoutsAreRefused) {
  const char* text = "Output tensor layout is not supported by decode_boxes";
  OutputPtr o = make_output({tensor({1, 1000})}, RefMeta{});
  expect_refused(o.get(), text);
  o = make_output({tensor({1, 84, 15})}, RefMeta{});  // too few anchors
  expect_refused(o.get(), text);
  o = make_output({tensor({1, 4, 20})}, RefMeta{});  // four attributes
  expect_refused(o.get(), text);
  // Without an origin the refusal is only the result.
  o = make_output({tensor({2, 2})}, RefMeta{});
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), -1);
}

TEST(BoxDecode, OutputOutlivingItsSessionRefusesCleanly) {
  OutputPtr o = make_output({tensor({1, 1000})}, RefMeta{});
  {
    Reported session;
    output_set_origin(o.get(), session.origin);
  }  // the session detaches its origin and goes away
  EXPECT_EQ(vorn_output_decode_boxes(o.get(), 10, 0.0f, 0.5f), -1);
  EXPECT_FALSE(output_origin_report(o->origin, 12, "x"));
}

}  // namespace
}  // namespace vorn::test
