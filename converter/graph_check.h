// Checks of the whole graph that both conversion modes run, so that no
// container is written that computes from nothing (an input that no node,
// graph input or initializer provides, an output that no node computes) or
// that the runtime refuses to open.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "converter/builder_state.h"

namespace vorn {

// The engines hold values of fewer elements than this.
constexpr uint64_t kMaxValueElements = uint64_t{1} << 31;

// The nodes whose outputs reach a graph output, found walking back from the
// last node (the nodes are in dependency order): 1 for each such node.
std::vector<uint8_t> graph_live_nodes(const BuilderState& s);

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

// What a session's open refuses, checked on the finished graph (the value
// records as the writer stores them): graph input and output names of at
// most 63 bytes, at most 8 graph inputs and 64 graph outputs, an engine
// kernel for every operator, each node's input and output counts, and the
// element counts of the operators that keep them, slice within their axis
// and join or cut along one. Empty text when the graph passes, else the
// message naming the node or value and the limit.
std::string graph_check_engines(const BuilderState& s);

}  // namespace vorn
