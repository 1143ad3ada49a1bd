// Evaluation of the graph layer's operations (internal to the graph layer).
// A value is a strided view of memory: a feed in place, or float scratch
// that an operation filled. Shape operations only move the view; the others
// read their inputs as float (widening float16 storage where they read it)
// and write dense float scratch, rounded once when their tensor is float16.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/graph_layer.h"
#include "platform/scratch_pool.h"

namespace vorn::mpsg {

struct Value {
  const uint8_t* base = nullptr;  // element 0
  DataType storage = DataType::kFloat32;
  Shape shape;
  std::vector<int64_t> strides;            // in elements
  std::shared_ptr<ScratchLease> owner;     // keeps scratch alive for views of it
};

// The operation's inputs are evaluated; out receives its value. When dest is
// not null the operation may write its dense float result there instead of
// scratch (a float32 target's result memory). False with *error on a fault
// of the data (the builder has checked the shapes).
bool evaluate(const Node& node, const std::vector<const Value*>& inputs, Value* out, float* dest,
              std::string* error);

// A value over dense memory.
Value dense_value(const uint8_t* base, DataType storage, const Shape& shape);
// Writes v into dense memory of type t, rounding once for float16.
void store_value(const Value& v, uint8_t* dst, DataType t);
// True when the operation can write its result straight into dest.
bool writes_dense_result(Operation op);

int64_t element_count(const Shape& shape);

}  // namespace vorn::mpsg
