// Writer of small generative models of the supported vision-language family,
// for tests and benchmarks: random weights (F16, or Q8 for the matrices and
// embedding tables), the graph block in section 6, load groups named after
// the layers, and the six configuration documents listed in the aux table.
//
// The network, from the pixels and token ids to the logits:
//   vision: patch embedding (a p x p convolution of stride p, with bias) plus
//     a learned position table indexed by patch_position_ids; per layer a
//     pre-norm block: x += out(attention(q(ln1 x), k(ln1 x), v(ln1 x), mask))
//     and x += fc2(gelu_tanh(fc1(ln2 x))), every projection with a bias; a
//     final layer norm.
//   connector: pixel shuffle by the scale factor (each f x f block of patches
//     becomes one row of f^2 x width values, block row, then block column,
//     then channel) and one projection without bias to the text width.
//   text: token embedding; the image-token rows replaced by the connector's
//     rows in order; per layer x += o(attention(rope(q(rms1 x)),
//     rope(k(rms1 x)), v(rms1 x))) with grouped key/value heads and a KV
//     cache, and x += down(silu(gate(rms2 x)) * up(rms2 x)); a final RMS norm
//     and the output projection to the vocabulary (the token table itself
//     when the embeddings are tied).
// Rotary embedding rotates halves: channel c < d/2 pairs with c + d/2 at
// angle position x theta^(-2c/d).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::test {

struct GenerativeShape {
  // Text decoder.
  uint64_t vocab = 512;
  uint64_t text_width = 128;
  uint64_t text_layers = 2;
  uint64_t heads = 4;
  uint64_t kv_heads = 2;
  uint64_t head_dim = 32;
  uint64_t intermediate = 256;
  double rope_theta = 10000.0;
  double rms_eps = 1e-5;
  // The output projection reads the token table (no lm_head.weight).
  bool tied_embeddings = false;
  // Vision encoder and connector (image side 512).
  uint64_t vision_width = 64;
  uint64_t vision_layers = 2;
  uint64_t vision_heads = 2;
  uint64_t vision_intermediate = 128;
  uint64_t patch = 64;
  uint64_t shuffle = 1;  // pixel-shuffle factor; (512 / patch / shuffle)^2 must be 64
  double ln_eps = 1e-6;
  bool q8 = false;  // Q8 matrices and embedding tables
  uint64_t seed = 1;
};

// Two small variants (a few MB): one image token row per 64-pixel patch with
// no shuffle, head size 32; 32-pixel patches shuffled by 2, head size 64.
GenerativeShape small_patch_model(bool q8);
GenerativeShape small_shuffle_model(bool q8);
// The benchmark model: the shape of the family's smallest member.
GenerativeShape bench_model(bool q8);

// Token ids of the special tokens every generated vocabulary ends with.
struct SpecialTokens {
  int64_t im_start, end_of_utterance, fake_image, image, global_image;
  int64_t row_col(uint64_t row, uint64_t col) const;  // <row_R_col_C>, 1-based, up to 4 x 4
  int64_t first_row_col;
};
SpecialTokens special_tokens(const GenerativeShape& shape);

// The whole container file. False with a message on an invalid shape.
bool build_generative_model(const GenerativeShape& shape, std::vector<uint8_t>* file, std::string* error);
bool write_generative_model(const GenerativeShape& shape, const std::string& path, std::string* error);

}  // namespace vorn::test
