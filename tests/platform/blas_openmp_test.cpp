// An application's own OpenMP parallel regions keep their threads after our
// products ran on the same thread: the products never change the caller's
// OpenMP settings.
#include <gtest/gtest.h>
#include <omp.h>

#include <vector>

#include "platform/blas.h"

namespace vorn {
namespace {

TEST(SgemmBesideOpenMP, LeavesTheCallersSettingAlone) {
  omp_set_num_threads(3);
  const int64_t n = 256;
  std::vector<float> a(size_t(n * n), 0.5f), c(size_t(n * n));
  cpu_sgemm(false, false, n, n, n, 1.0f, a.data(), n, a.data(), n, 0.0f, c.data(), n);
  cpu_sgemm(false, true, 1, n, n, 1.0f, a.data(), n, a.data(), n, 0.0f, c.data(), n);
  cpu_sgemm_threading(SgemmThreading::kSerial, 1, false, false, n, n, n, 1.0f, a.data(), n, a.data(), n, 0.0f,
                      c.data(), n);
  EXPECT_EQ(c[0], 0.25f * float(n));
  EXPECT_EQ(omp_get_max_threads(), 3);
  int team = 0;
#pragma omp parallel
  {
#pragma omp atomic
    ++team;
  }
  EXPECT_EQ(team, 3);
}

}  // namespace
}  // namespace vorn
