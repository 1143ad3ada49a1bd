// Single operator kernels run on tensors that an engine other than the CPU
// engine holds: the GPU engine's graph computes its convolutions, pools and
// detection operators through this, so both engines run the same kernels.
//
// A host collects nodes (an operator with its attribute words and the
// shapes of its operands), checks each as engine creation would, sizes one
// workspace for all of them, then runs any node on data pointers it is
// handed. Runs of one host take turns (a lock); a kernel may use the pool.
#pragma once
#include <cstddef>
#include <cstdint>

#include "container/records.h"

namespace vorn {

struct CpuKernelHost;

// Null when memory runs out.
CpuKernelHost* cpu_kernel_host_new();
void cpu_kernel_host_free(CpuKernelHost* host);

// Adds a node: the operator code and attribute words of `node` (its value
// ids are replaced), and the value record of each input and output in
// order (kind, element kind, rank, dims, count and bytes are read; an input
// record of kind 0 stands for an omitted optional input). Returns the
// node's index, or -1 with a reason in message.
int64_t cpu_kernel_host_add(CpuKernelHost* host, const NodeRecord& node, const ValueRecord* inputs,
                            uint64_t input_count, const ValueRecord* outputs, uint64_t output_count, char* message,
                            size_t capacity);

// Makes the workspace of every node added so far; false when it cannot be
// had. Nodes added later need another call before they run.
bool cpu_kernel_host_ready(CpuKernelHost* host, char* message, size_t capacity);

// Runs node index on dense f32 data: one pointer per input (omitted inputs
// null) and per output. False when the kernel fails.
bool cpu_kernel_host_run(CpuKernelHost* host, int64_t index, const float* const* inputs, float* const* outputs);

}  // namespace vorn
