#include <gtest/gtest.h>

#include <dirent.h>

#include <cmath>
#include <thread>
#include <vector>

#include "platform/blas.h"
#include "platform/parallel.h"

namespace vorn {
namespace {

struct Case {
  int64_t m, n, k;
  bool ta, tb;
  float alpha, beta;
};

// Padded strides so that a block offset computed with the wrong stride
// reads the wrong numbers.
constexpr int64_t kPad = 3;

float value(int64_t i, int64_t j, int salt) {
  return float(((i * 31 + j * 17 + salt * 7) % 23) - 11) * 0.0625f;
}

void check(const Case& cs, SgemmThreading mode, int threads) {
  const int64_t rows_a = cs.ta ? cs.k : cs.m, cols_a = cs.ta ? cs.m : cs.k;
  const int64_t rows_b = cs.tb ? cs.n : cs.k, cols_b = cs.tb ? cs.k : cs.n;
  const int64_t lda = cols_a + kPad, ldb = cols_b + kPad, ldc = cs.n + kPad;
  std::vector<float> a(size_t(rows_a * lda)), b(size_t(rows_b * ldb)), c(size_t(cs.m * ldc));
  for (int64_t i = 0; i < rows_a; ++i)
    for (int64_t j = 0; j < lda; ++j) a[size_t(i * lda + j)] = value(i, j, 1);
  for (int64_t i = 0; i < rows_b; ++i)
    for (int64_t j = 0; j < ldb; ++j) b[size_t(i * ldb + j)] = value(i, j, 2);
  for (int64_t i = 0; i < cs.m; ++i)
    for (int64_t j = 0; j < ldc; ++j) c[size_t(i * ldc + j)] = value(i, j, 3);
  std::vector<float> before = c;
  cpu_sgemm_threading(mode, threads, cs.ta, cs.tb, cs.m, cs.n, cs.k, cs.alpha, a.data(), lda, b.data(), ldb,
                      cs.beta, c.data(), ldc);
  for (int64_t i = 0; i < cs.m; ++i) {
    for (int64_t j = 0; j < ldc; ++j) {
      float got = c[size_t(i * ldc + j)];
      if (j >= cs.n) {  // padding is never written
        ASSERT_EQ(got, before[size_t(i * ldc + j)]) << i << "," << j;
        continue;
      }
      double sum = 0;
      for (int64_t p = 0; p < cs.k; ++p) {
        double x = cs.ta ? a[size_t(p * lda + i)] : a[size_t(i * lda + p)];
        double y = cs.tb ? b[size_t(j * ldb + p)] : b[size_t(p * ldb + j)];
        sum += x * y;
      }
      double want = cs.alpha * sum + cs.beta * before[size_t(i * ldc + j)];
      ASSERT_NEAR(got, want, 1e-4 * (1 + std::fabs(want)) * std::sqrt(double(cs.k)))
          << "M=" << cs.m << " N=" << cs.n << " K=" << cs.k << " at " << i << "," << j;
    }
  }
}

const Case kCases[] = {
    {1, 1, 1, false, false, 1.0f, 0.0f},
    {3, 5, 7, false, false, 1.0f, 0.0f},
    {17, 9, 33, true, false, 0.5f, 1.0f},
    {8, 19, 5, false, true, 1.0f, 0.25f},
    {64, 70, 31, true, true, -1.0f, 0.0f},
    // Big enough to be split: by rows (M >= N) and by columns (N > M),
    // with sizes that leave a short last block.
    {200, 150, 96, false, false, 1.0f, 0.5f},
    {133, 150, 128, true, false, 1.0f, 0.0f},
    {40, 1000, 72, false, false, 1.0f, 1.0f},
    {37, 1001, 65, false, true, 2.0f, 0.0f},
    {128, 49, 600, false, false, 1.0f, 0.0f},
    // One row of C (a classifier): matrix-vector products, split by
    // columns when large, every transpose and scaling.
    {1, 1000, 1280, false, true, 1.0f, 1.0f},
    {1, 1024, 576, false, false, 1.0f, 0.0f},
    {1, 999, 700, true, true, 0.5f, 0.25f},
    {1, 37, 3, true, false, -2.0f, 0.0f},
};

TEST(Sgemm, MatchesPlainTripleLoopInEveryThreading) {
  for (const Case& cs : kCases) {
    check(cs, SgemmThreading::kPoolSplit, 0);
    check(cs, SgemmThreading::kPoolSplit, 3);
    check(cs, SgemmThreading::kSerial, 1);
  }
  std::vector<float> a = {1, 2, 3, 4}, b = {5, 6, 7, 8}, c(4, 0);
  cpu_sgemm(false, false, 2, 2, 2, 1.0f, a.data(), 2, b.data(), 2, 0.0f, c.data(), 2);
  EXPECT_EQ(c, (std::vector<float>{19, 22, 43, 50}));
}

TEST(Sgemm, OneRowWithBetaZeroIgnoresWhatCHeld) {
  // C held NaN and infinity: with beta 0 they must not reach the result.
  const int64_t n = 300, k = 40;
  std::vector<float> a(size_t(k), 0.5f), b(size_t(n * k), 0.25f);
  for (SgemmThreading mode : {SgemmThreading::kPoolSplit, SgemmThreading::kSerial}) {
    std::vector<float> c(size_t(n), NAN);
    c[1] = INFINITY;
    cpu_sgemm_threading(mode, 0, false, true, 1, n, k, 1.0f, a.data(), k, b.data(), k, 0.0f, c.data(), n);
    for (float v : c) ASSERT_EQ(v, 0.5f * 0.25f * k);
  }
}

// Products split over the pool call the library from several threads at
// once; a library that shares its packing buffers between threads gives a
// wrong block now and then. Every repetition must give the same bits.
TEST(Sgemm, ConcurrentBlocksGiveTheSameBitsEveryTime) {
  const int64_t m = 109, n = 128, k = 128;
  std::vector<float> a(size_t(m * k)), b(size_t(n * k)), first(size_t(m * n)), again(size_t(m * n));
  for (size_t i = 0; i < a.size(); ++i) a[i] = float(i % 17) * 0.1f - 0.8f;
  for (size_t i = 0; i < b.size(); ++i) b[i] = float(i % 13) * 0.1f - 0.6f;
  cpu_sgemm(false, true, m, n, k, 1.0f, a.data(), k, b.data(), k, 0.0f, first.data(), n);
  for (int rep = 0; rep < 1500; ++rep) {
    cpu_sgemm(false, true, m, n, k, 1.0f, a.data(), k, b.data(), k, 0.0f, again.data(), n);
    ASSERT_EQ(again, first) << "repetition " << rep;
  }
}

int thread_count() {
  int n = 0;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
  closedir(dir);
  return n;
}

// The library would start a team of threads of its own for a large product
// on a thread that has not been set to one thread, matrix-vector products
// included; they would then spin beside our pool.
TEST(Sgemm, ProductsOnAFreshThreadStartNoThreadOfTheLibrary) {
  parallel_thread_count();  // the pool's workers exist before the count
  const int before = thread_count();
  const int64_t n = 2048;
  std::vector<float> a(size_t(n), 1.0f), b(size_t(n * n), 1.0f), c(size_t(n * 4));
  int during = 0;
  std::thread t([&] {
    cpu_sgemm_threading(SgemmThreading::kSerial, 1, false, false, 1, n, n, 1.0f, a.data(), n, b.data(), n, 0.0f,
                        c.data(), n);
    cpu_sgemm_threading(SgemmThreading::kSerial, 1, false, true, 4, n, 256, 1.0f, b.data(), 256, b.data(), 256,
                        0.0f, c.data(), n);
    during = thread_count();
  });
  t.join();
  EXPECT_EQ(during, before + 1);
}

TEST(Sgemm, EmptyProductsTouchNothing) {
  float c[4] = {1, 2, 3, 4};
  cpu_sgemm(false, false, 0, 2, 2, 1.0f, nullptr, 2, nullptr, 2, 0.0f, c, 2);
  cpu_sgemm(false, false, 2, 0, 2, 1.0f, nullptr, 2, nullptr, 2, 0.0f, c, 2);
  EXPECT_EQ(c[0], 1.0f);
  EXPECT_EQ(c[3], 4.0f);
}

}  // namespace
}  // namespace vorn
