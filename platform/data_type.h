// Element types of the matrix-product object and the graph layer, and the
// conversions between their storage and the float values they compute with.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vorn {

enum class DataType : uint32_t { kFloat16 = 1, kFloat32 = 2 };

inline uint64_t data_type_size(DataType t) { return t == DataType::kFloat16 ? 2 : 4; }
inline const char* data_type_name(DataType t) { return t == DataType::kFloat16 ? "float16" : "float32"; }

// rows x cols values of type t at src (rows src_row_bytes apart) into dst
// (rows dst_ld floats apart), widened exactly. Large copies run on the
// worker pool in row blocks; the values do not depend on the split.
void load_rows(const uint8_t* src, uint64_t src_row_bytes, DataType t, uint64_t rows, uint64_t cols, float* dst,
               uint64_t dst_ld);
// The reverse: floats rounded once (to nearest even) when t is float16.
void store_rows(const float* src, uint64_t src_ld, uint64_t rows, uint64_t cols, uint8_t* dst,
                uint64_t dst_row_bytes, DataType t);

}  // namespace vorn
