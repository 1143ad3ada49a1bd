// Comparison of a computed tensor with ONNX Runtime's reference: values
// within |diff| <= relative * max|ref| + absolute, integer tensors (indices)
// exactly, and optionally the arg-max of every row (the top-1 class).
#pragma once
#include <string>

#include "conformance/fixture_manifest.h"

namespace vorn::conformance {

struct Tolerance {
  double relative = 1e-4;
  double absolute = 1e-5;
};

struct Comparison {
  bool ok = true;
  double max_abs_diff = 0;  // worst |got - ref|
  double bound = 0;         // the allowed |diff| of this tensor
  int64_t worst_index = -1;
  std::string message;  // why it failed, empty when ok
};

// got may hold f32 values for an i64 reference (the engines compute index
// results in f32); they must then equal the reference exactly.
Comparison compare_tensor(const TensorData& got, const TensorData& ref, const Tolerance& tol);

// The arg-max along the last axis, row by row, must be the same position.
// The first maximum wins on ties, as in ONNX ArgMax.
Comparison compare_top1(const TensorData& got, const TensorData& ref);

// A probability map binarised at threshold: at most max_flipped of the
// positions may land on the other side, and the mean |diff| must stay
// within mean_relative * max|ref|.
Comparison compare_mask(const TensorData& got, const TensorData& ref, double threshold, double max_flipped,
                        double mean_relative);

}  // namespace vorn::conformance
