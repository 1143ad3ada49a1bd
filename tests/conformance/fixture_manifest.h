// The conformance fixtures as the tests see them: every case of
// tests/data/conformance/manifest.json with its inputs and ONNX Runtime's
// reference outputs, read from raw little-endian files.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::conformance {

enum class DType { kF32, kI64 };

struct TensorSpec {
  std::string name;
  DType dtype = DType::kF32;
  std::vector<int64_t> shape;
  std::string file;  // relative to the fixture directory
};

struct Case {
  std::string name;
  std::string kind;  // "op" (one operator) or "net" (an architecture)
  int opset = 0;
  std::string model;  // relative to the fixture directory
  std::vector<TensorSpec> inputs;
  std::vector<TensorSpec> outputs;
  bool top1 = false;  // the first output's arg-max must match exactly
  // Above 0: the first output is a probability map that users binarise at
  // this level (a text detector's); in half precision its mask is compared.
  double mask_threshold = 0;
};

struct Manifest {
  double relative_tolerance = 1e-4;
  double absolute_tolerance = 1e-5;
  std::vector<Case> cases;
};

// Values of one tensor; exactly one of the vectors is filled, by dtype.
struct TensorData {
  std::string name;
  DType dtype = DType::kF32;
  std::vector<int64_t> shape;
  std::vector<float> f32;
  std::vector<int64_t> i64;
};

// The fixture directory (tests/data/conformance of the source tree).
std::string fixture_dir();

// Reads the manifest; false with a message when it is missing or malformed.
bool read_manifest(const std::string& path, Manifest* out, std::string* error);

// Element count of a shape; -1 when a dimension is negative or the count
// overflows.
int64_t element_count(const std::vector<int64_t>& shape);

size_t dtype_size(DType dtype);
const char* dtype_text(DType dtype);

// Reads a tensor file and checks its size against its TensorSpec.
bool read_tensor(const std::string& dir, const TensorSpec& spec, TensorData* out,
                 std::string* error);

}  // namespace vorn::conformance
