// The BLAS routines the products use, from OpenBLAS loaded at the first
// product rather than linked: loading our library then starts none of
// OpenBLAS's threads, and the loader stops the ones its build starts, since
// our pool splits the products and OpenBLAS runs each part on one thread.
#pragma once
#include <cblas.h>

namespace vorn {

struct BlasLibrary {
  decltype(&cblas_sgemm) sgemm;
  decltype(&cblas_sgemv) sgemv;
  bool loaded;  // false: OpenBLAS could not be loaded and plain loops stand in
};

// Loads on the first call (thread-safe); never null.
const BlasLibrary& blas_library();

}  // namespace vorn
