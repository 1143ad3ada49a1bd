// Rewrites of an ONNX model's node list, for running the conformance cases
// the way other exporters write them: nodes without names, nodes in
// another order.
#pragma once
#include <cstdint>
#include <string>

namespace vorn::conformance {

// The model with the name field of every NodeProto removed; empty when the
// bytes are not a readable ModelProto.
std::string strip_node_names(const std::string& model);

// The model with its NodeProtos in a random order drawn from seed; empty
// when the bytes are not a readable ModelProto.
std::string shuffle_nodes(const std::string& model, uint32_t seed);

}  // namespace vorn::conformance
