// The caller's input bindings of a conversion: --input shapes and types and
// --dim sizes for named dimensions, and the report-only flag.
#pragma once
#include <cstdint>

namespace vorn {

struct InputSpec {
  char name[128];
  uint64_t name_length;
  uint64_t rank;
  uint64_t dims[6];
  uint64_t kind;  // 0 not given, 2 F32, 3 I64
  uint8_t used;
};

struct DimBinding {
  char name[128];
  uint64_t name_length;
  uint64_t value;
  uint8_t used;
};

constexpr uint64_t kMaxInputSpecs = 16;
constexpr uint64_t kMaxDimBindings = 32;

struct ConvertOptions {
  InputSpec inputs[kMaxInputSpecs];
  uint64_t input_count;
  DimBinding dims[kMaxDimBindings];
  uint64_t dim_count;
  uint8_t report_only;
};

}  // namespace vorn
