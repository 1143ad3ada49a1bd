#include "platform/blas_library.h"

#include <dlfcn.h>

namespace vorn {

namespace {

// Stand-ins when the library is missing: slow but exact row-major products,
// so a broken installation costs speed, never results.
float at(const float* m, int64_t ld, bool trans, int64_t row, int64_t col) {
  return trans ? m[col * ld + row] : m[row * ld + col];
}

void plain_sgemm(CBLAS_ORDER, CBLAS_TRANSPOSE ta, CBLAS_TRANSPOSE tb, blasint m, blasint n, blasint k, float alpha,
                 const float* a, blasint lda, const float* b, blasint ldb, float beta, float* c, blasint ldc) {
  for (int64_t i = 0; i < m; ++i)
    for (int64_t j = 0; j < n; ++j) {
      float sum = 0.0f;
      for (int64_t p = 0; p < k; ++p)
        sum += at(a, lda, ta != CblasNoTrans, i, p) * at(b, ldb, tb != CblasNoTrans, p, j);
      float& out = c[i * ldc + j];
      out = beta == 0.0f ? alpha * sum : alpha * sum + beta * out;
    }
}

void plain_sgemv(CBLAS_ORDER, CBLAS_TRANSPOSE trans, blasint m, blasint n, float alpha, const float* a, blasint lda,
                 const float* x, blasint incx, float beta, float* y, blasint incy) {
  const bool t = trans != CblasNoTrans;
  const int64_t rows = t ? n : m, len = t ? m : n;
  for (int64_t i = 0; i < rows; ++i) {
    float sum = 0.0f;
    for (int64_t p = 0; p < len; ++p) sum += at(a, lda, t, i, p) * x[p * incx];
    float& out = y[i * incy];
    out = beta == 0.0f ? alpha * sum : alpha * sum + beta * out;
  }
}

BlasLibrary load() {
  BlasLibrary plain{plain_sgemm, plain_sgemv, false};
  // Debian points libopenblas.so.0 at one of its builds through the
  // alternatives; the file of the threaded build is named here (its serial
  // build is not safe to call from several threads at once).
  void* lib = dlopen(VORN_OPENBLAS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return plain;
  auto sgemm = reinterpret_cast<decltype(&cblas_sgemm)>(dlsym(lib, "cblas_sgemm"));
  auto sgemv = reinterpret_cast<decltype(&cblas_sgemv)>(dlsym(lib, "cblas_sgemv"));
  auto set_threads = reinterpret_cast<void (*)(int)>(dlsym(lib, "openblas_set_num_threads"));
  auto stop_threads = reinterpret_cast<int (*)()>(dlsym(lib, "blas_thread_shutdown_"));
  if (sgemm == nullptr || sgemv == nullptr || set_threads == nullptr) return plain;
  // One thread a call from now on, so its workers are never needed again:
  // end them rather than leave them polling.
  set_threads(1);
  if (stop_threads != nullptr) stop_threads();
  return BlasLibrary{sgemm, sgemv, true};
}

}  // namespace

const BlasLibrary& blas_library() {
  static const BlasLibrary library = load();
  return library;
}

}  // namespace vorn
