// L2 normalisation and cosine similarity of embedding rows against plain
// double-precision loops.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tests/api/output/output_fixture.h"
#include "vorn.h"

namespace vorn::test {
namespace {

std::vector<float> values(const Output* o, int32_t slot = 0) {
  const float* p = vorn_output_f32_ptr(o, slot);
  return std::vector<float>(p, p + vorn_output_elem_count(o, slot));
}

TEST(Embedding, NormalisesEveryRow) {
  std::mt19937 rng(3);
  std::normal_distribution<float> d(0.0f, 3.0f);
  std::vector<float> v(3 * 257);
  for (float& x : v) x = d(rng);
  OutputPtr o = one_tensor_output({3, 257}, v);
  ASSERT_TRUE(vorn_output_normalize_l2(o.get(), 0));
  std::vector<float> got = values(o.get());
  for (size_t r = 0; r < 3; ++r) {
    double s = 0;
    for (size_t i = 0; i < 257; ++i) s += double(v[r * 257 + i]) * v[r * 257 + i];
    for (size_t i = 0; i < 257; ++i)
      EXPECT_NEAR(got[r * 257 + i], v[r * 257 + i] / std::sqrt(s), 1e-7);
  }
  // Large values do not overflow the sum of squares.
  o = one_tensor_output({2}, {3e30f, 4e30f});
  ASSERT_TRUE(vorn_output_normalize_l2(o.get(), 0));
  EXPECT_FLOAT_EQ(values(o.get())[0], 0.6f);
  EXPECT_FLOAT_EQ(values(o.get())[1], 0.8f);
}

TEST(Embedding, ZeroNormRowsStopTheNormalisation) {
  OutputPtr o = one_tensor_output({1, 4}, {0, 0, 0, 0});
  EXPECT_FALSE(vorn_output_normalize_l2(o.get(), 0));
  EXPECT_EQ(values(o.get()), std::vector<float>(4, 0.0f));
  // The rows before the zero row stay normalised, the rows after untouched.
  o = one_tensor_output({3, 2}, {3, 4, 0, 0, 6, 8});
  EXPECT_FALSE(vorn_output_normalize_l2(o.get(), 0));
  EXPECT_EQ(values(o.get()), (std::vector<float>{0.6f, 0.8f, 0, 0, 6, 8}));
  // A NaN row is left as it is.
  o = one_tensor_output({2}, {NAN, 1});
  EXPECT_FALSE(vorn_output_normalize_l2(o.get(), 0));
  EXPECT_EQ(values(o.get())[1], 1.0f);
  EXPECT_FALSE(vorn_output_normalize_l2(o.get(), 1));
  EXPECT_FALSE(vorn_output_normalize_l2(nullptr, 0));
}

TEST(Embedding, CosineSimilarity) {
  std::mt19937 rng(5);
  std::normal_distribution<float> d(0.0f, 1.0f);
  std::vector<float> a(512), b(512);
  for (float& x : a) x = d(rng);
  for (float& x : b) x = d(rng);
  OutputPtr oa = one_tensor_output({1, 512}, a), ob = one_tensor_output({1, 512}, b);
  double dot = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < 512; ++i) {
    dot += double(a[i]) * b[i];
    aa += double(a[i]) * a[i];
    bb += double(b[i]) * b[i];
  }
  EXPECT_NEAR(vorn_output_cosine_similarity(oa.get(), 0, ob.get(), 0), dot / std::sqrt(aa * bb), 1e-6);
  EXPECT_NEAR(vorn_output_cosine_similarity(oa.get(), 0, oa.get(), 0), 1.0f, 1e-6);

  OutputPtr zero = one_tensor_output({1, 512}, std::vector<float>(512, 0.0f));
  EXPECT_EQ(vorn_output_cosine_similarity(oa.get(), 0, zero.get(), 0), 0.0f);
  EXPECT_EQ(vorn_output_cosine_similarity(zero.get(), 0, zero.get(), 0), 0.0f);

  // Unequal lengths, missing slots and null outputs read 0.
  OutputPtr shorter = one_tensor_output({1, 511}, std::vector<float>(a.begin(), a.end() - 1));
  EXPECT_EQ(vorn_output_cosine_similarity(oa.get(), 0, shorter.get(), 0), 0.0f);
  EXPECT_EQ(vorn_output_cosine_similarity(shorter.get(), 0, oa.get(), 0), 0.0f);
  EXPECT_EQ(vorn_output_cosine_similarity(oa.get(), 1, oa.get(), 0), 0.0f);
  EXPECT_EQ(vorn_output_cosine_similarity(nullptr, 0, oa.get(), 0), 0.0f);

  // Batches compare their first rows.
  OutputPtr batch_a = one_tensor_output({2, 2}, {1, 0, 5, 5}), batch_b = one_tensor_output({2, 2}, {0, 1, 5, 5});
  EXPECT_EQ(vorn_output_cosine_similarity(batch_a.get(), 0, batch_b.get(), 0), 0.0f);
  EXPECT_NEAR(vorn_output_cosine_similarity(batch_a.get(), 0, batch_a.get(), 0), 1.0f, 1e-7);
}

}  // namespace
}  // namespace vorn::test
