// The CPU engine of a tensor model: creation from a graph, input binding,
// runs (single and batched), outputs and release.
//
// Every operation after creation takes the address of the session's
// CpuState pointer (the holder); a null pointer there means "no engine" and
// the operation reports failure, 0 or null. One run at a time per engine;
// only the cancel flag it points to is written from other threads.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/result.h"
#include "container/precision.h"
#include "container/records.h"
#include "kernels/cpu_state.h"

namespace vorn {

struct ContainerHandle;

// Why creation failed: a status (3 the model is refused, 7 an allocation
// failed) and a NUL-terminated text naming the node or value at fault.
struct CpuCreateError {
  uint32_t status;
  char message[256];
};
using CpuCreateResult = Result<CpuState*, CpuCreateError>;

// A graph handed to creation: borrowed record spans and the weight storage
// (f32 data; weight value records give byte offsets into it). The storage
// must outlive the engine; the engine never frees it.
struct CpuGraph {
  std::span<const ValueRecord> values;
  std::span<const NodeRecord> nodes;
  void* weights = nullptr;
  uint64_t weights_size = 0;
};

// The precision the model asks of the CPU engine, resolved by the caller,
// and the model's calibration ranges (`calib.amax`), if any.
struct CpuPrecisionRequest {
  bool valid = true;  // false: a precision text was given and did not parse
  PrecisionSetting setting{kPrecisionF32, kPrecisionModePlain};
  uint64_t calib_count = 0;
};

// Builds an engine from records: validates the whole graph, settles the
// compiled batch, folds and fuses operators, plans the activation arena.
// A graph that fails validation is refused (status 3) and never runs.
CpuCreateResult cpu_engine_create_graph(const CpuGraph& graph, uint64_t requested_batch,
                                        const CpuPrecisionRequest& precision);

// The same from an open container whose weights were loaded into weights
// (the container's data region as loaded, data_size bytes).
CpuCreateResult cpu_engine_create(const ContainerHandle* container, void* weights,
                                  uint64_t requested_batch);
CpuCreateResult cpu_engine_create_entry(const ContainerHandle* container, void* weights);

// Stores the address of the session's cancel flag; a non-zero flag stops a
// pass before its next node.
void cpu_engine_set_cancel_flag(CpuState** holder, uint32_t* flag);

// Copies length bytes to the start of graph input value_id; 1 copied, 0
// refused (no engine, null bytes, not a graph input, or longer than the
// value). Never copies partly.
uint32_t cpu_engine_set_input(CpuState** holder, uint64_t value_id, const void* bytes,
                              uint64_t length);

// One pass over one compiled batch: input (f32, the first input's element
// count; null keeps what the input holds) in, the first output's f32 values
// out. False when there is no engine, the pass was cancelled, or an
// operator failed; output is then untouched.
bool cpu_engine_execute(CpuState** holder, const float* input, float* output);
uint32_t cpu_engine_run(CpuState** holder, const float* input, float* output);

// Runs n samples in chunks of the compiled batch. input holds n samples of
// the first input (or is null: every chunk then runs on the input's current
// contents), output receives n samples of the first output; a last partial
// chunk is padded with zeros inside the engine, so neither buffer needs more
// than n samples. 1 when every chunk ran, 0 at the first failure.
uint32_t cpu_engine_run_batch(CpuState** holder, uint64_t n, const float* input, float* output);

// Data of the graph output listed at position index (ascending value id);
// null without an engine or past the output count.
float* cpu_engine_output_data(CpuState** holder, uint64_t index);
uint64_t cpu_engine_output_count(CpuState** holder);

// 1 when the engine has a kernel for the operator code.
uint32_t cpu_op_supported(uint64_t op);

// Releases the engine and clears the holder; the weight storage and the
// cancel flag belong to the caller and are left alone.
void cpu_engine_free(CpuState** holder);

// Monotonic clock in seconds; 0 when the clock cannot be read.
double cpu_clock_seconds();

// The pass itself, on a live state. output may be null (the caller reads
// the first output's buffer itself).
bool cpu_execute_pass(CpuState& state, const float* input, float* output);

}  // namespace vorn
