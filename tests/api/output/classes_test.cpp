// Ranked classes: limits, batch rows, ties, non-finite scores, softmax
// against a sorted reference, and labels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "tests/api/output/output_fixture.h"
#include "vorn.h"

namespace vorn::test {
namespace {

// Reference: indices sorted by value, highest first, lower index on ties;
// NaN and values at or below -1e30 are never ranked.
std::vector<int64_t> ranked(const std::vector<float>& v, size_t k) {
  std::vector<int64_t> idx;
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] > -1e30f) idx.push_back(int64_t(i));
  std::stable_sort(idx.begin(), idx.end(), [&](int64_t a, int64_t b) { return v[a] > v[b]; });
  idx.resize(std::min(idx.size(), k), -1);
  while (idx.size() < std::min(k, v.size())) idx.push_back(-1);
  return idx;
}

TEST(TopK, CountsAreCappedByClassesAndTable) {
  std::vector<float> ten(10);
  std::iota(ten.begin(), ten.end(), 0.0f);
  OutputPtr o = one_tensor_output({1, 10}, ten);
  EXPECT_EQ(vorn_output_compute_top_k(o.get(), 0, 1000, 0), 10u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 0), 9u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 9), 0u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 10), UINT32_MAX);

  std::vector<float> many(1000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = float((i * 37) % 1000);
  o = one_tensor_output({1, 1000}, many);
  EXPECT_EQ(vorn_output_compute_top_k(o.get(), 0, 300, 0), 256u);
  EXPECT_EQ(vorn_output_top_score(o.get(), 255), 999.0f - 255.0f);
  EXPECT_EQ(vorn_output_top_score(o.get(), 256), 0.0f);
}

TEST(TopK, BadArgumentsKeepTheRanking) {
  OutputPtr o = one_tensor_output({3}, {1, 3, 2});
  ASSERT_EQ(vorn_output_compute_top_k(o.get(), 0, 2, 0), 2u);
  EXPECT_EQ(vorn_output_compute_top_k(o.get(), 0, 0, 0), 0u);
  EXPECT_EQ(vorn_output_compute_top_k(o.get(), 1, 2, 0), 0u);
  EXPECT_EQ(vorn_output_compute_top_k(o.get(), -1, 2, 0), 0u);
  EXPECT_EQ(vorn_output_compute_top_k(nullptr, 0, 2, 0), 0u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 0), 1u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 1), 2u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), -1), UINT32_MAX);
  EXPECT_EQ(vorn_output_top_class_id(nullptr, 0), UINT32_MAX);
  EXPECT_EQ(vorn_output_top_score(nullptr, 0), 0.0f);
}

TEST(TopK, BatchRanksTheFirstRowOnly) {
  OutputPtr o = one_tensor_output({2, 5}, {1, 5, 2, 4, 3, 100, 99, 98, 97, 96});
  ASSERT_EQ(vorn_output_compute_top_k(o.get(), 0, 10, 0), 5u);
  const uint32_t want[] = {1, 3, 4, 2, 0};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(vorn_output_top_class_id(o.get(), i), want[i]);
  // A first dim that does not divide the count leaves one row.
  o = one_tensor_output({3, 3}, {1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_EQ(vorn_output_compute_top_k(o.get(), 0, 10, 0), 8u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 0), 7u);
}

TEST(TopK, TiesAndNonFiniteValues) {
  const float nan = NAN, inf = INFINITY;
  const std::vector<std::vector<float>> rows = {
      {0.5f, 0.9f, 0.9f, 0.1f, 0.9f},
      {2, 2, 2, 2},
      {nan, 1, nan, 3, -inf, inf},
      {-0.0f, 0.0f, -0.0f},
      {-1e30f, -2e30f, 5},
      {nan, nan},
  };
  for (const auto& row : rows) {
    OutputPtr o = one_tensor_output({row.size()}, row);
    uint32_t n = vorn_output_compute_top_k(o.get(), 0, 256, 0);
    std::vector<int64_t> want = ranked(row, 256);
    ASSERT_EQ(n, want.size());
    for (uint32_t i = 0; i < n; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(vorn_output_top_class_id(o.get(), int32_t(i)), uint32_t(want[i]));
      float score = vorn_output_top_score(o.get(), int32_t(i));
      if (want[i] < 0)
        EXPECT_EQ(score, -1e30f);
      else
        EXPECT_EQ(score, row[size_t(want[i])]);
    }
  }
}

TEST(TopK, TiesAtTheCutOffGoToLowerClasses) {
  OutputPtr o = one_tensor_output({4}, {0.9f, 0.5f, 0.9f, 0.9f});
  ASSERT_EQ(vorn_output_compute_top_k(o.get(), 0, 2, 0), 2u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 0), 0u);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 1), 2u);
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> d(0, 40);
  for (size_t n : {255u, 256u, 257u, 5000u}) {
    std::vector<float> v(n);
    for (float& x : v) x = float(d(rng)) / 8.0f;
    o = one_tensor_output({1, n}, v);
    for (int32_t k : {1, 7, 256}) {
      uint32_t got = vorn_output_compute_top_k(o.get(), 0, k, 0);
      std::vector<int64_t> want = ranked(v, size_t(k));
      ASSERT_EQ(got, want.size());
      for (uint32_t i = 0; i < got; ++i)
        ASSERT_EQ(vorn_output_top_class_id(o.get(), int32_t(i)), uint32_t(want[i])) << n << " " << k << " " << i;
    }
  }
}

TEST(TopK, SoftmaxMatchesReference) {
  std::mt19937 rng(11);
  std::normal_distribution<float> d(0.0f, 4.0f);
  for (size_t n : {1u, 7u, 1000u}) {
    std::vector<float> v(n);
    for (float& x : v) x = std::round(d(rng) * 4.0f) / 4.0f;  // ties are common
    OutputPtr o = one_tensor_output({1, n}, v);
    ASSERT_EQ(vorn_output_compute_top_k(o.get(), 0, 20, 1), std::min<size_t>(n, 20));
    double m = *std::max_element(v.begin(), v.end()), s = 0;
    for (float x : v) s += std::exp(double(x) - m);
    std::vector<int64_t> want = ranked(v, 20);
    double total = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(vorn_output_top_class_id(o.get(), int32_t(i)), uint32_t(want[i]));
      double p = std::exp(double(v[size_t(want[i])]) - m) / s;
      EXPECT_NEAR(vorn_output_top_score(o.get(), int32_t(i)), p, 1e-6 * p + 1e-12);
      total += vorn_output_top_score(o.get(), int32_t(i));
    }
    if (n <= 20) {
      EXPECT_NEAR(total, 1.0, 1e-5);
    }
  }
}

TEST(TopK, SoftmaxOfNonFiniteRows) {
  // NaN stays out of the sum; infinite maxima share the mass.
  OutputPtr o = one_tensor_output({4}, {NAN, 0.0f, 0.0f, NAN});
  ASSERT_EQ(vorn_output_compute_top_k(o.get(), 0, 4, 1), 4u);
  EXPECT_EQ(vorn_output_top_score(o.get(), 0), 0.5f);
  EXPECT_EQ(vorn_output_top_score(o.get(), 1), 0.5f);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 2), UINT32_MAX);
  EXPECT_EQ(vorn_output_top_score(o.get(), 2), 0.0f);
  o = one_tensor_output({3}, {INFINITY, 3.0f, INFINITY});
  ASSERT_EQ(vorn_output_compute_top_k(o.get(), 0, 3, 1), 3u);
  EXPECT_EQ(vorn_output_top_score(o.get(), 0), 0.5f);
  EXPECT_EQ(vorn_output_top_class_id(o.get(), 1), 2u);
  EXPECT_EQ(vorn_output_top_score(o.get(), 1), 0.5f);
  EXPECT_EQ(vorn_output_top_score(o.get(), 2), 0.0f);
}

TEST(TopK, LabelsShorterThanTheClassCount) {
  OutputPtr o = one_tensor_output({1, 5}, {0.1f, 0.9f, 0.3f, 0.7f, 0.5f});
  set_labels(o.get(), std::string("cat\0dog\0bird", 12), 3);
  ASSERT_EQ(vorn_output_compute_top_k(o.get(), 0, 5, 0), 5u);
  // Ranking 1, 3, 4, 2, 0: classes 3 and 4 have no label.
  const char* want[] = {"dog", "", "", "bird", "cat"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(vorn_output_top_label_ptr(o.get(), i), want[i]);
    EXPECT_EQ(vorn_output_top_label_len(o.get(), i), std::strlen(want[i]));
  }
  EXPECT_STREQ(vorn_output_top_label_ptr(o.get(), 5), "");
  EXPECT_STREQ(vorn_output_top_label_ptr(nullptr, 0), "");

  // A label count above the items present reads the missing ones as empty.
  set_labels(o.get(), std::string("cat\0dog", 7), 5);
  EXPECT_STREQ(vorn_output_top_label_ptr(o.get(), 0), "dog");
  EXPECT_STREQ(vorn_output_top_label_ptr(o.get(), 3), "");
  EXPECT_EQ(vorn_output_top_label_len(o.get(), 3), 0u);
}

}  // namespace
}  // namespace vorn::test
