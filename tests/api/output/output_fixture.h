// Builds outputs the way a run fills them, through the output record's own
// fill functions, from reference tensors.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "reference/box_decode_reference.h"
#include "session/label_blob.h"
#include "session/output.h"

namespace vorn::test {

struct OutputDeleter {
  void operator()(Output* o) const { output_free(o); }
};
using OutputPtr = std::unique_ptr<Output, OutputDeleter>;

// A tensor slot of an output: dims and values, with count the number of
// values actually held (the dims' product unless a test says otherwise).
inline void put_tensor(Output* o, uint32_t slot, const std::vector<uint64_t>& dims,
                       const std::vector<float>& values, uint32_t dtype = VORN_DTYPE_F32,
                       const std::string& name = "") {
  std::string n = name.empty() ? "out" + std::to_string(slot) : name;
  float* f = output_prepare_tensor(o, slot, n.data(), n.size(), dtype, uint32_t(dims.size()),
                                   dims.data(), values.size());
  ASSERT_NE(f, nullptr);
  for (size_t i = 0; i < values.size(); ++i) f[i] = values[i];
  if (o->tensor_count < slot + 1) o->tensor_count = slot + 1;
}

// An output holding one F32 tensor in slot 0.
inline OutputPtr one_tensor_output(const std::vector<uint64_t>& dims, const std::vector<float>& values) {
  OutputPtr o(output_new());
  put_tensor(o.get(), 0, dims, values);
  return o;
}

// Labels as a session hands them over: NUL-terminated names in one blob.
inline void set_labels(Output* o, const std::string& bytes, uint32_t count) {
  LabelBlob* blob = label_blob_new(bytes.data(), bytes.size(), count);
  output_set_labels(o, blob);
  label_blob_release(blob);
}

inline OutputPtr make_output(const std::vector<ref::RefTensor>& tensors, const ref::RefMeta& m) {
  OutputPtr o(output_new());
  for (size_t i = 0; i < tensors.size(); ++i)
    put_tensor(o.get(), uint32_t(i), tensors[i].dims, tensors[i].data);
  o->input_width = m.input_w;
  o->input_height = m.input_h;
  o->source_width = m.source_w;
  o->source_height = m.source_h;
  o->scale_x = m.scale_x;
  o->scale_y = m.scale_y;
  o->pad_x = m.pad_x;
  o->pad_y = m.pad_y;
  output_set_model_texts(o.get(), m.corner, m.decode.data(), m.decode.size(), m.task.data(),
                         m.task.size());
  if (m.labels > 0) {
    std::string bytes;
    for (uint32_t i = 0; i < m.labels; ++i) bytes += "class" + std::to_string(i) + '\0';
    set_labels(o.get(), bytes, m.labels);
  }
  return o;
}

}  // namespace vorn::test
