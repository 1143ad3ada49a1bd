// Checks of the whole graph that both conversion modes run, so that no
// container is written that computes from nothing (an input that no node,
// graph input or initializer provides, an output that no node computes) or
// that the runtime refuses to open.
#pragma once
#include <string>

#include "converter/builder_state.h"

namespace vorn {

// The engines hold values of fewer elements than this.
constexpr uint64_t kMaxValueElements = uint64_t{1} << 31;

// Every node input is a graph input, an initializer or constant, or an
// output of an earlier node; every graph output is computed. Before
// lowering any initializer counts (empty ones are legal operands); after
// it, only weights that hold data. In legacy mode only the nodes that feed
// a graph output are held to it: its model-specific rewrites cut graphs
// and leave the cut-off nodes behind, reading inputs they dropped. Empty
// text when the graph passes, else the message naming the first node or
// output at fault.
std::string graph_check_producers(const BuilderState& s, bool lowered);

// The graph has an input: the engines run graphs of one input or more, and
// a graph without one computes constants only. Empty text when it has one,
// else the message naming the node that writes its first output.
std::string graph_check_inputs(const BuilderState& s);

// Every node output has fewer elements than the engines hold.
std::string graph_check_sizes(const BuilderState& s);

}  // namespace vorn
