#include "platform/cpu_features.h"
#include "platform/blas.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/half.h"
#include "platform/panel_gemm.h"
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

// The operands of one case, with C holding values beta must scale.
struct Operands {
  int64_t lda, ldb, ldc;
  std::vector<float> a, b, c;
  explicit Operands(const Case& cs) {
    const int64_t rows_a = cs.ta ? cs.k : cs.m, cols_a = cs.ta ? cs.m : cs.k;
    const int64_t rows_b = cs.tb ? cs.n : cs.k, cols_b = cs.tb ? cs.k : cs.n;
    lda = cols_a + kPad, ldb = cols_b + kPad, ldc = cs.n + kPad;
    a.resize(size_t(rows_a * lda)), b.resize(size_t(rows_b * ldb)), c.resize(size_t(cs.m * ldc));
    for (int64_t i = 0; i < rows_a; ++i)
      for (int64_t j = 0; j < lda; ++j) a[size_t(i * lda + j)] = value(i, j, 1);
    for (int64_t i = 0; i < rows_b; ++i)
      for (int64_t j = 0; j < ldb; ++j) b[size_t(i * ldb + j)] = value(i, j, 2);
    for (int64_t i = 0; i < cs.m; ++i)
      for (int64_t j = 0; j < ldc; ++j) c[size_t(i * ldc + j)] = value(i, j, 3);
  }
  std::vector<float> run(const Case& cs, SgemmThreading mode, int threads) const {
    std::vector<float> out = c;
    cpu_sgemm_threading(mode, threads, cs.ta, cs.tb, cs.m, cs.n, cs.k, cs.alpha, a.data(), lda, b.data(), ldb,
                        cs.beta, out.data(), ldc);
    return out;
  }
};

void check(const Case& cs, const Operands& o, const std::vector<float>& got) {
  for (int64_t i = 0; i < cs.m; ++i) {
    for (int64_t j = 0; j < o.ldc; ++j) {
      const float before = o.c[size_t(i * o.ldc + j)];
      if (j >= cs.n) {  // padding is never written
        ASSERT_EQ(got[size_t(i * o.ldc + j)], before) << i << "," << j;
        continue;
      }
      double sum = 0;
      for (int64_t p = 0; p < cs.k; ++p) {
        double x = cs.ta ? o.a[size_t(p * o.lda + i)] : o.a[size_t(i * o.lda + p)];
        double y = cs.tb ? o.b[size_t(j * o.ldb + p)] : o.b[size_t(p * o.ldb + j)];
        sum += x * y;
      }
      double want = cs.alpha * sum + cs.beta * before;
      ASSERT_NEAR(got[size_t(i * o.ldc + j)], want, 1e-4 * (1 + std::fabs(want)) * std::sqrt(double(cs.k)))
          << "M=" << cs.m << " N=" << cs.n << " K=" << cs.k << " at " << i << "," << j;
    }
  }
}

// Sizes 1, one either side of the register tiles (6 and 8 rows), the
// panels (16 columns), the depth blocks (256), the row chunk of a pass
// (96), the rows read in place (16), the transposed rows copied at once
// (24) and the panels a thread copies at once (16 to 48), every transpose
// and scaling.
const Case kCases[] = {
    {1, 1, 1, false, false, 1.0f, 0.0f},
    {3, 5, 7, false, false, 1.0f, 0.0f},
    {17, 9, 33, true, false, 0.5f, 1.0f},
    {8, 19, 5, false, true, 1.0f, 0.25f},
    {64, 70, 31, true, true, -1.0f, 0.0f},
    {200, 150, 96, false, false, 1.0f, 0.5f},
    {133, 150, 128, true, false, 1.0f, 0.0f},
    {40, 1000, 72, false, false, 1.0f, 1.0f},
    {37, 1001, 65, false, true, 2.0f, 0.0f},
    {128, 49, 600, false, false, 1.0f, 0.0f},
    {7, 33, 257, false, true, 1.0f, 0.0f},
    {9, 31, 513, false, false, 0.5f, -1.0f},
    {97, 48, 300, false, true, 1.0f, 0.0f},
    {25, 17, 255, true, true, 1.0f, 2.0f},
    {16, 64, 256, false, false, 1.0f, 0.0f},
    {50, 40, 64, false, false, 1.0f, 0.0f},
    {30, 1570, 40, false, true, 1.0f, 0.0f},
    // One row of C (a classifier): every transpose and scaling, depths
    // that end in a partial block of sixteen.
    {1, 1000, 1280, false, true, 1.0f, 1.0f},
    {1, 1024, 576, false, false, 1.0f, 0.0f},
    {1, 999, 700, true, true, 0.5f, 0.25f},
    {1, 37, 3, true, false, -2.0f, 0.0f},
    {1, 70, 37, false, true, 1.0f, 0.0f},
};

TEST(Sgemm, MatchesPlainTripleLoopAndGivesTheSameBitsInEveryCut) {
  for (const Case& cs : kCases) {
    const Operands o(cs);
    const std::vector<float> serial = o.run(cs, SgemmThreading::kSerial, 1);
    check(cs, o, serial);
    // However the pool cuts the product, every element sums in one order.
    for (int threads : {0, 2, 3, 8})
      ASSERT_EQ(0, std::memcmp(o.run(cs, SgemmThreading::kPoolSplit, threads).data(), serial.data(),
                               serial.size() * sizeof(float)))
          << "M=" << cs.m << " N=" << cs.n << " K=" << cs.k << " planned for " << threads << " threads";
  }
  std::vector<float> a = {1, 2, 3, 4}, b = {5, 6, 7, 8}, c(4, 0);
  cpu_sgemm(false, false, 2, 2, 2, 1.0f, a.data(), 2, b.data(), 2, 0.0f, c.data(), 2);
  EXPECT_EQ(c, (std::vector<float>{19, 22, 43, 50}));
}

TEST(Sgemm, EveryFormGivesTheSameBits) {
  for (const Case& cs : kCases) {
    const Operands o(cs);
    std::vector<float> first;
    for (KernelIsa form : {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable}) {
      const IsaCap isa(form);
      const std::vector<float> got = o.run(cs, SgemmThreading::kSerial, 1);
      if (first.empty()) first = got;
      ASSERT_EQ(0, std::memcmp(got.data(), first.data(), got.size() * 4))
          << cs.m << "x" << cs.n << "x" << cs.k << " form " << int(form);
    }
  }
}

TEST(Sgemm, PlainProductsKeepThePanelProductsBits) {
  // Convolution multiplies gathered panels with panel_gemm; a plain
  // product of the same matrices gives the same bits.
  const Case cs{29, 50, 600, false, false, 1.0f, 0.0f};
  const Operands o(cs);
  std::vector<float> bp(size_t(panel_floats(cs.k, cs.n)), 0.0f);
  for (int64_t kk = 0; kk < cs.k; ++kk)
    for (int64_t j = 0; j < cs.n; ++j)
      panel_at(bp.data(), cs.k, j / kPanelWidth)[kk * kPanelWidth + j % kPanelWidth] = o.b[size_t(kk * o.ldb + j)];
  std::vector<float> panels = o.c;
  panel_gemm(o.a.data(), o.lda, gathered_panels(bp.data(), cs.k), cs.k, cs.n, panels.data(), o.ldc, 0, cs.m, 0,
             panel_count(cs.n));
  EXPECT_EQ(0, std::memcmp(panels.data(), o.run(cs, SgemmThreading::kPoolSplit, 0).data(), panels.size() * 4));
}

TEST(Sgemm, OneRowWithBetaZeroIgnoresWhatCHeld) {
  // C held NaN and infinity: with beta 0 they must not reach the result.
  const int64_t n = 300, k = 40;
  std::vector<float> a(size_t(k), 0.5f), b(size_t(n * k), 0.25f);
  for (bool tb : {false, true})
    for (SgemmThreading mode : {SgemmThreading::kPoolSplit, SgemmThreading::kSerial}) {
      std::vector<float> c(size_t(n), NAN);
      c[1] = INFINITY;
      cpu_sgemm_threading(mode, 0, false, tb, 1, n, k, 1.0f, a.data(), k, b.data(), tb ? k : n, 0.0f, c.data(), n);
      for (float v : c) ASSERT_EQ(v, 0.5f * 0.25f * k);
    }
}

// Several application threads multiply at once, each product split over
// the one pool: every repetition gives the bits of a product made alone.
TEST(Sgemm, ConcurrentCallersGetTheSameBitsEveryTime) {
  const Case cs{109, 128, 300, false, true, 1.0f, 0.0f};
  const Operands o(cs);
  const std::vector<float> alone = o.run(cs, SgemmThreading::kPoolSplit, 0);
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> callers;
  for (size_t t = 0; t < mismatches.size(); ++t)
    callers.emplace_back([&, t] {
      for (int rep = 0; rep < 200; ++rep) {
        const auto got = o.run(cs, rep % 2 ? SgemmThreading::kSerial : SgemmThreading::kPoolSplit, 0);
        mismatches[t] += std::memcmp(got.data(), alone.data(), got.size() * 4) != 0;
      }
    });
  for (std::thread& t : callers) t.join();
  for (size_t t = 0; t < mismatches.size(); ++t) EXPECT_EQ(mismatches[t], 0) << "caller " << t;
}

std::set<std::string> thread_ids() {
  std::set<std::string> ids;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ids.insert(e->d_name);
  closedir(dir);
  return ids;
}

// Products run on the caller's thread and our pool's workers only: no
// product starts a thread, and none loads a library (a BLAS library would
// start its own team of threads, and reserve memory per calling thread).
TEST(Sgemm, ProductsStartNoThreadAndLoadNoLibrary) {
  parallel_thread_count();  // the pool's workers exist before the count
  const std::set<std::string> before = thread_ids();
  std::set<std::string> during;
  std::string self;
  std::thread fresh([&] {
    self = std::to_string(gettid());
    for (const Case& cs : kCases) {
      const Operands o(cs);
      o.run(cs, SgemmThreading::kPoolSplit, 0);
      o.run(cs, SgemmThreading::kSerial, 1);
    }
    during = thread_ids();
  });
  fresh.join();
  std::set<std::string> expected = before;
  expected.insert(self);
  EXPECT_EQ(during, expected);
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const std::string file = line.substr(line.rfind('/') + 1);
    EXPECT_TRUE(file.find("blas") == std::string::npos && file.find("blis") == std::string::npos) << line;
  }
}

// A right operand of halves is widened while its panels are copied, and a
// bias is added as the rows are stored: the bits of the product of the
// widened B followed by a plain addition of the bias, in every vector form
// and every cut (single rows included, which then sum in the tiles).
TEST(Sgemm, HalfRightOperandAndBiasKeepTheWidenedProductsBits) {
  const Case cases[] = {{2, 66, 70, false, true, 1.0f, 0.0f},   {37, 1001, 65, false, true, 1.0f, 0.0f},
                        {97, 48, 600, false, true, 1.0f, 0.0f}, {130, 40, 257, false, false, 1.0f, 0.0f},
                        {17, 9, 33, true, false, 0.5f, 1.0f},   {1, 70, 37, false, false, 1.0f, 0.0f},
                        {5, 20, 0, false, true, 1.0f, 0.0f}};
  for (const Case& cs : cases) {
    const Operands o(cs);  // values k/16: every one a half
    std::vector<uint16_t> halves(o.b.size());
    for (size_t i = 0; i < halves.size(); ++i) halves[i] = float_to_half(o.b[i]);
    std::vector<float> bias(size_t(cs.n));
    for (int64_t j = 0; j < cs.n; ++j) bias[size_t(j)] = value(j, 5, 4) * 0.37f;
    std::vector<float> want = o.run(cs, SgemmThreading::kSerial, 1);
    for (int64_t i = 0; i < cs.m; ++i)
      for (int64_t j = 0; j < cs.n; ++j) want[size_t(i * o.ldc + j)] = want[size_t(i * o.ldc + j)] + bias[size_t(j)];
    if (cs.m == 1 && cs.tb) continue;  // the float product's single row sums as dot products
    for (KernelIsa form : {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable})
      for (int threads : {1, 3, 8}) {
        const IsaCap isa(form);
        std::vector<float> got = o.c;
        MatrixProduct g{cs.ta, cs.tb, cs.m,    cs.n, cs.k, cs.alpha, o.a.data(), o.lda, nullptr,
                        o.ldb, cs.beta, got.data(), o.ldc};
        g.b_half = halves.data();
        g.bias = bias.data();
        cpu_product(SgemmThreading::kPoolSplit, threads, g);
        ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4))
            << cs.m << "x" << cs.n << "x" << cs.k << " form " << int(form) << " threads " << threads;
      }
  }
}

TEST(Sgemm, FinishSeesEveryValueOnceAfterItsSums) {
  // The finish hook runs on blocks of C whose sums are done: applied to
  // every value exactly once (here x -> (x + 0.5) 2, which a second call
  // or an early one would show), over every cut, form and thread count.
  const Case cases[] = {{37, 1001, 65, false, false, 1.0f, 0.0f}, {97, 48, 600, false, true, 1.0f, 0.0f},
                        {17, 9, 33, true, false, 0.5f, 1.0f}, {130, 169, 512, false, false, 1.0f, 0.0f}};
  for (const Case& cs : cases) {
    const Operands o(cs);
    std::vector<float> want = o.run(cs, SgemmThreading::kSerial, 1);
    for (int64_t i = 0; i < cs.m; ++i)
      for (int64_t j = 0; j < cs.n; ++j) {
        float& v = want[size_t(i * o.ldc + j)];
        v = (v + 0.5f) * 2.0f;
      }
    for (KernelIsa form : {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable})
      for (int threads : {1, 3, 8}) {
        const IsaCap isa(form);
        std::vector<float> got = o.c;
        MatrixProduct g{cs.ta, cs.tb, cs.m, cs.n, cs.k, cs.alpha, o.a.data(), o.lda, o.b.data(),
                        o.ldb, cs.beta, got.data(), o.ldc};
        g.finish = [](const void*, float* c, int64_t ldc, int64_t i0, int64_t i1, int64_t j0, int64_t j1) {
          for (int64_t i = i0; i < i1; ++i)
            for (int64_t j = j0; j < j1; ++j) c[i * ldc + j] = (c[i * ldc + j] + 0.5f) * 2.0f;
        };
        cpu_product(SgemmThreading::kPoolSplit, threads, g);
        ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4))
            << cs.m << "x" << cs.n << "x" << cs.k << " form " << int(form) << " threads " << threads;
      }
  }
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
