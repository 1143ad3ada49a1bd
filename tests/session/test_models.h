// Small .vorn models for session tests, written with the container writer
// from hand-built value and node records and f32 weights, into temporary
// files removed when the model object goes away.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "container/op_codes.h"
#include "container/writer.h"
#include "reference/graph_records.h"

namespace vorn::test {


class ModelBuilder {
 public:
  uint64_t value(uint64_t kind, std::vector<uint64_t> dims, std::string name = "",
                 uint64_t elem = kElemF32) {
    WriterValue v{};
    v.record = value_record(kind, dims, elem);
    v.name = name.empty() ? "v" + std::to_string(spec.values.size()) : name;
    spec.values.push_back(v);
    return spec.values.size() - 1;
  }
  uint64_t input(std::vector<uint64_t> dims, std::string name = "", uint64_t elem = kElemF32) {
    return value(kValueGraphInput, std::move(dims), std::move(name), elem);
  }
  uint64_t output(std::vector<uint64_t> dims, std::string name = "") {
    return value(kValueGraphOutput, std::move(dims), std::move(name));
  }
  uint64_t act(std::vector<uint64_t> dims) { return value(kValueActivation, std::move(dims)); }

  // A weight stored as its own f32 tensor.
  uint64_t weight(std::vector<uint64_t> dims, std::vector<float> data) {
    uint64_t id = value(kValueWeight, dims);
    spec.values[id].record.w[11] = spec.tensors.size();
    weights.push_back(std::move(data));
    WriterTensor t;
    t.name = "t" + std::to_string(spec.tensors.size());
    t.rank = dims.size();
    for (size_t i = 0; i < dims.size(); ++i) t.dims[i] = dims[i];
    spec.tensors.push_back(t);
    return id;
  }

  void node(uint64_t op, std::vector<uint64_t> in, std::vector<uint64_t> out,
            std::vector<std::pair<int, uint64_t>> attrs = {}) {
    spec.nodes.push_back(node_record(op, in, out, attrs));
  }

  void meta(WriterMeta m) { spec.meta.push_back(std::move(m)); }

  // Writes the model; the path is empty when the writer refused it.
  std::string write(std::string* error) {
    if (spec.tensors.empty()) weight({1}, {0.0f});  // the format needs one tensor
    for (size_t i = 0; i < spec.tensors.size(); ++i)
      spec.tensors[i].data = slice_of(weights[i].data(), weights[i].size() * 4);
    char name[] = "/tmp/vorn_session_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return "";
    close(fd);
    if (!container_write_file(spec, name, error)) {
      unlink(name);
      return "";
    }
    return name;
  }

  ContainerSpec spec;
  std::vector<std::vector<float>> weights;
};

// A written model file, removed on destruction.
struct ModelFile {
  std::string path;
  std::string error;
  explicit ModelFile(ModelBuilder& b) : path(b.write(&error)) {}
  ~ModelFile() {
    if (!path.empty()) unlink(path.c_str());
  }
  ModelFile(const ModelFile&) = delete;
  ModelFile& operator=(const ModelFile&) = delete;
  bool ok() const { return !path.empty(); }
};

inline std::vector<float> ramp(size_t n, float start, float step) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = start + step * float(i);
  return v;
}

// An image model with two outputs: a = image + w; "relu" = Relu(a);
// "scaled" = a * w2. Input "image" of 1 x 3 x h x w.
inline ModelBuilder image_two_output_model(uint64_t h, uint64_t w) {
  ModelBuilder b;
  const std::vector<uint64_t> dims = {1, 3, h, w};
  const size_t n = 3 * h * w;
  uint64_t x = b.input(dims, "image");
  uint64_t w1 = b.weight(dims, ramp(n, -0.5f, 1.0f / float(n)));
  uint64_t w2 = b.weight(dims, ramp(n, 2.0f, -0.25f));
  uint64_t a = b.act(dims);
  uint64_t relu = b.output(dims, "relu");
  uint64_t scaled = b.output(dims, "scaled");
  b.node(op::Add, {x, w1}, {a});
  b.node(op::Relu, {a}, {relu});
  b.node(op::Mul, {a, w2}, {scaled});
  return b;
}

// out = image + 0: the run's input tensor, unchanged.
inline ModelBuilder image_identity_model(uint64_t h, uint64_t w) {
  ModelBuilder b;
  const std::vector<uint64_t> dims = {1, 3, h, w};
  uint64_t x = b.input(dims, "image");
  uint64_t zero = b.weight(dims, std::vector<float>(3 * h * w, 0.0f));
  uint64_t y = b.output(dims, "pixels");
  b.node(op::Add, {x, zero}, {y});
  return b;
}

// A chain of Relu nodes over a large tensor: long enough to cancel.
inline ModelBuilder long_chain_model(uint64_t elements, uint64_t nodes) {
  ModelBuilder b;
  uint64_t prev = b.input({1, elements}, "x");
  for (uint64_t i = 0; i + 1 < nodes; ++i) {
    uint64_t next = b.act({1, elements});
    b.node(op::Relu, {prev}, {next});
    prev = next;
  }
  uint64_t y = b.output({1, elements}, "y");
  b.node(op::Relu, {prev}, {y});
  return b;
}

}  // namespace vorn::test
