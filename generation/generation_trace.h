// Diagnostics of the generation loop for the command-line case runner:
// tensors written as raw little-endian files with a manifest entry, so a run
// can be compared tensor by tensor with a reference (a pass's logits,
// captures and KV cache at once); and a text callback that prints the answer
// while it is produced.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gpu/vn_tensor.h"

namespace vorn {

struct VNRunResult;

// The file a tensor name is written to: every "/" replaced by "_", then
// ".bin".
std::string trace_file_name(const std::string& name);

// Writes byte_offset.. of tensor (shape: the elements to write, packed) to
// directory/trace_file_name(name), replacing a file there at once, and
// answers {"file", "shape", "dtype"}. A KV-cache view is written whole (its
// live rows only). VornInference "Output slice bounds", "Cache trace must
// contain the complete live tensor" or "Writing output tensor".
nlohmann::json trace_write_tensor(const VNTensor& tensor, const std::string& name, const std::string& directory,
                                  uint64_t byte_offset, const std::vector<uint64_t>& shape);

// Writes bytes to directory/file, replacing a file there at once (a
// temporary beside it renamed over it); false on any failure.
bool trace_write_file(const std::string& directory, const std::string& file, const uint8_t* bytes,
                      uint64_t length);

// The trace of one pass into directory/step<step>: the logits of the last
// position ("logits_last", vocab values), and after the prefill (step 0)
// also every capture ("boundary/<name>", a long second dimension cut to its
// first 8 entries) and every KV-cache tensor. Answers the step's manifest,
// name -> {"file", "shape", "dtype"}; VornInference "Trace directory",
// "Writing boundary tensor" or trace_write_tensor's failures.
nlohmann::json trace_write_step(const std::string& directory, uint64_t step, const VNRunResult& pass, uint64_t vocab);

// A text callback that writes each piece to standard output and flushes it.
int32_t stream_to_stdout(void* context, const uint8_t* bytes, uint64_t length, uint64_t value);

}  // namespace vorn
