// Post-processing of output tensors: ranked classes, embeddings, conversion of
// image-shaped tensors to pixels, and the defined float to integer casts the
// typed copies use. Everything works on borrowed f32 views; nothing here
// knows an output, a session or a frame.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vorn {

// A borrowed f32 tensor: count values at data (null when the tensor has no
// values), with rank dims.
struct TensorView {
  const float* data;
  uint64_t count;
  uint32_t rank;
  const uint64_t* dims;  // rank entries
};

// Length of one row: a tensor of rank above 1 whose first dim is above 1
// holds dims[0] rows when that divides the count evenly; otherwise the whole
// count is one row.
uint64_t tensor_row_length(const TensorView& t);

// Ranks the k greatest of n values (k at most 256 is the caller's cap):
// ties go to the lower index, NaN is never ranked, and once every remaining
// value is at or below -1e30 the entries read class all ones and score -1e30
// (0 with softmax). With softmax, scores are exp(v - max) / sum of exp over
// the row (NaN values left out of the sum). Answers min(k, n).
uint32_t top_k_classes(const float* values, uint64_t n, uint32_t k, bool softmax,
                       uint32_t* class_ids, float* scores);

// Scales every row of values (count a multiple of row) to unit L2 length in
// place. Stops with false at the first row whose sum of squares is at or
// below 1e-20 or not finite, leaving that row and the rows after it as they
// were; true when every row was scaled.
bool l2_normalize_rows(float* values, uint64_t count, uint64_t row);

// Cosine similarity of the first n values of a and b; 0 when the product of
// the norms is at or below 1e-20.
float cosine_similarity(const float* a, const float* b, uint64_t n);

// Shape of an image tensor: rank 4 is (batch, C, H, W), rank 3 (C, H, W).
struct ImageTensorShape {
  uint32_t channels, height, width;
};
enum class ImageTensorCheck : uint32_t {
  ok,
  not_image,     // no values, rank below 3, or fewer values than C x H x W
  bad_channels,  // C not 1 or 3, or a side of 0
  too_large,     // a side above the largest frame side
};
ImageTensorCheck image_tensor_shape(const TensorView& t, ImageTensorShape* shape);

// One byte of an image: round(fma(v, scale, offset)) clamped to 0..255, with
// NaN read as 0 (so -inf gives 0 and +inf 255).
uint8_t pixel_byte(float v, float scale, float offset);

// Writes packed RGB (3 x width x height bytes) from planar values: 3 channels
// are R, G, B planes, 1 channel is grey.
void planar_to_rgb(const float* values, const ImageTensorShape& shape, float scale, float offset,
                   uint8_t* rgb);

// Float to integer conversions truncating toward zero; NaN becomes 0 and
// values past the type's range saturate.
int64_t f32_to_i64_trunc(float value);
int32_t f32_to_i32_trunc(float value);
uint8_t f32_to_u8_trunc(float value);

}  // namespace vorn
