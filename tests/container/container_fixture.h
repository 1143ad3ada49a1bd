// Shared helpers of the container tests: a scratch directory, random model
// specs for the writer, and re-signing of a mutated image so that only the
// rule under test fails.
#pragma once
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "container/digest.h"
#include "container/format.h"
#include "container/op_codes.h"
#include "container/writer.h"
#include "platform/half.h"

namespace vorn::test {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vorn_container_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// An anonymous in-memory file holding `bytes`, closed with the object; fd is
// -1 when it could not be made or filled.
struct MemFile {
  int fd;
  explicit MemFile(const std::vector<uint8_t>& bytes) : fd(memfd_create("vorn", MFD_CLOEXEC)) {
    if (fd >= 0 && write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
      close(fd);
      fd = -1;
    }
  }
  ~MemFile() {
    if (fd >= 0) close(fd);
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
};

// A raw section of `count` zeroed records of `stride` bytes.
inline WriterRawSection zero_records(uint64_t stride, uint64_t count) {
  return {stride, count, std::vector<uint8_t>(stride * count, 0)};
}

inline bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = bytes.empty() || write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  close(fd);
  return ok;
}

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::vector<uint8_t> out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  struct stat st;
  fstat(fd, &st);
  out.resize(size_t(st.st_size));
  if (!out.empty() && pread(fd, out.data(), out.size(), 0) != ssize_t(out.size())) out.clear();
  close(fd);
  return out;
}

// Stores fresh metadata and header digests into a whole-container image.
inline void resign(std::vector<uint8_t>& c) {
  uint64_t m = load_u64(c.data() + kHdrMetaEnd);
  if (m < kHeaderSize || m > c.size()) return;
  container_seal_metadata(c.data(), m);
}

// Re-signs a tensor digest after its data changed, then the metadata.
inline void resign_tensor(std::vector<uint8_t>& c, uint64_t t) {
  const uint64_t m = load_u64(c.data() + kHdrMetaEnd);
  const uint64_t tensors_at = load_u64(c.data() + kHdrDirectory + 16 * kSecTensors);
  const uint64_t digests_at = load_u64(c.data() + kHdrDirectory + 16 * kSecDigests);
  const uint8_t* rec = c.data() + tensors_at + 32 + 192 * t;
  xxh3_128_store(c.data() + m + load_u64(rec + 112), load_u64(rec + 104), c.data() + digests_at + 32 + 16 * t);
  resign(c);
}

// A model for the writer whose tensor data lives in the struct itself.
struct Model {
  ContainerSpec spec;
  std::vector<std::vector<uint8_t>> data;
  // f32 values each tensor widens to, computed from the definitions.
  std::vector<std::vector<float>> widened;

  void attach() {
    for (size_t t = 0; t < data.size(); ++t) spec.tensors[t].data = slice_of(data[t].data(), data[t].size());
  }
};

// Q8 rows of ceil(cols / 64) blocks: 64 int8 then an f32 scale.
inline void add_q8(Model& m, const std::string& name, uint64_t rows, uint64_t cols, std::mt19937_64& rng) {
  const uint64_t blocks = (cols + 63) / 64;
  std::vector<uint8_t> bytes(rows * blocks * 68, 0);
  std::vector<float> vals(rows * cols);
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t b = 0; b < blocks; ++b) {
      uint8_t* blk = bytes.data() + (r * blocks + b) * 68;
      float scale = float(1 + rng() % 100) / 64.0f;
      std::memcpy(blk + 64, &scale, 4);
      for (uint64_t i = 0; i < 64 && b * 64 + i < cols; ++i) {
        int8_t q = int8_t(int(rng() % 255) - 127);
        blk[i] = uint8_t(q);
        vals[r * cols + b * 64 + i] = scale * float(q);
      }
    }
  WriterTensor t;
  t.name = name;
  t.kind = kElemQ8;
  t.rank = 2;
  t.dims[0] = rows;
  t.dims[1] = cols;
  m.spec.tensors.push_back(t);
  m.data.push_back(std::move(bytes));
  m.widened.push_back(std::move(vals));
}

inline void add_f16(Model& m, const std::string& name, uint64_t rank, const uint64_t* dims, std::mt19937_64& rng) {
  uint64_t count = 1;
  for (uint64_t d = 0; d < rank; ++d) count *= dims[d];
  std::vector<uint8_t> bytes(count * 2);
  std::vector<float> vals(count);
  for (uint64_t i = 0; i < count; ++i) {
    uint16_t h = uint16_t(rng());
    if (((h >> 10) & 0x1F) == 0x1F) h &= 0xBFFF;  // keep values finite for comparisons
    std::memcpy(bytes.data() + 2 * i, &h, 2);
    vals[i] = half_to_float(h);
  }
  WriterTensor t;
  t.name = name;
  t.kind = kElemF16;
  t.rank = rank;
  for (uint64_t d = 0; d < rank; ++d) t.dims[d] = dims[d];
  m.spec.tensors.push_back(t);
  m.data.push_back(std::move(bytes));
  m.widened.push_back(std::move(vals));
}

inline void add_f32(Model& m, const std::string& name, uint64_t count, std::mt19937_64& rng) {
  std::vector<float> vals(count);
  for (auto& v : vals) v = float(int64_t(rng() % 2001) - 1000) / 7.0f;
  std::vector<uint8_t> bytes(count * 4);
  std::memcpy(bytes.data(), vals.data(), bytes.size());
  WriterTensor t;
  t.name = name;
  t.kind = kElemF32;
  t.rank = 1;
  t.dims[0] = count;
  m.spec.tensors.push_back(t);
  m.data.push_back(std::move(bytes));
  m.widened.push_back(std::move(vals));
}

inline ValueRecord value_record(uint64_t kind, uint64_t elem, std::initializer_list<uint64_t> dims,
                                uint64_t tensor = 0) {
  ValueRecord v{};
  v.w[0] = kind;
  v.w[1] = elem;
  v.w[2] = dims.size();
  uint64_t count = 1, i = 0;
  for (uint64_t d : dims) {
    v.w[3 + i++] = d;
    count *= d;
  }
  v.w[9] = count;
  v.w[10] = count * (elem == kElemF16 ? 2 : elem == kElemI64 ? 8 : 4);
  v.w[11] = tensor;
  return v;
}

// A random tensor model: tensors of every kind, random load groups, one
// weight value per tensor plus an input and an output, one node, and meta
// entries of every type.
inline Model random_model(uint64_t seed, uint64_t max_tensors = 8) {
  std::mt19937_64 rng(seed);
  Model m;
  const uint64_t tensors = 1 + rng() % max_tensors;
  for (uint64_t t = 0; t < tensors; ++t) {
    const std::string name = "w" + std::to_string(t);
    switch (rng() % 3) {
      case 0: add_f32(m, name, 1 + rng() % 5000, rng); break;
      case 1: {
        uint64_t dims[3] = {1 + rng() % 7, 1 + rng() % 9, 1 + rng() % 300};
        add_f16(m, name, 1 + rng() % 3, dims, rng);
        break;
      }
      default: add_q8(m, name, 1 + rng() % 9, 1 + rng() % 200, rng); break;
    }
  }
  for (uint64_t left = tensors; left > 0;) {
    uint64_t c = 1 + rng() % left;
    m.spec.group_counts.push_back(c);
    left -= c;
  }
  for (uint64_t t = 0; t < tensors; ++t) {
    WriterValue v;
    v.name = "value." + std::to_string(t);
    const WriterTensor& wt = m.spec.tensors[t];
    v.record = value_record(kValueWeight, wt.kind, {m.widened[t].size()}, t);
    if (wt.kind == kElemQ8) v.record.w[10] = m.data[t].size();
    m.spec.values.push_back(v);
  }
  WriterValue in, out;
  in.name = "input";
  in.record = value_record(kValueGraphInput, kElemF32, {1, 3, 4, 4});
  out.name = "output";
  out.record = value_record(kValueGraphOutput, kElemF32, {1, 3, 4, 4});
  m.spec.values.push_back(in);
  m.spec.values.push_back(out);
  NodeRecord n{};
  n.set_op(op::Add);
  n.w[1] = 2;
  n.w[2] = tensors;
  n.w[3] = tensors;
  n.w[10] = 1;
  n.w[11] = tensors + 1;
  m.spec.nodes.push_back(n);
  m.spec.meta.push_back(WriterMeta::str("model.name", "random-" + std::to_string(seed)));
  m.spec.meta.push_back(WriterMeta::f64("preprocess.scale", 1.0 / 255.0));
  m.spec.meta.push_back(WriterMeta::i64("model.batch", -int64_t(seed % 1000)));
  m.spec.meta.push_back(WriterMeta::boolean("model.nms", seed % 2 == 0));
  m.spec.meta.push_back(WriterMeta::list("labels", {"cat", "", "dog"}));
  m.spec.meta.push_back(WriterMeta::f32_array("calib.amax", {0.5f, 1.5f, float(seed)}));
  m.attach();
  return m;
}

}  // namespace vorn::test
