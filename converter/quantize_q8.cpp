#include "converter/quantize_q8.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/file_write.h"
#include "base/files.h"
#include "container/attr_words.h"
#include "container/container.h"
#include "container/digest.h"
#include "container/op_codes.h"
#include "container/records.h"

namespace vorn {

namespace {

enum : uint64_t { kSecTensorsSlot = 3, kSecGroupsSlot = 4, kSecPlanSlot = 5, kSecNodesSlot = 6,
                  kSecRangesSlot = 7, kSecValuesSlot = 8, kSecDigestsSlot = 10 };
constexpr uint64_t kExtent = 16384;

enum : uint8_t { kUnseen = 0, kCandidate = 1, kKeepF32 = 2 };

QuantizeOutcome failed(const char* message) {
  return QuantizeOutcome{1, bytes_from_slice(message, std::strlen(message))};
}

uint64_t get(const uint8_t* p, uint64_t off) {
  uint64_t v;
  std::memcpy(&v, p + off, 8);
  return v;
}
void put(uint8_t* p, uint64_t off, uint64_t v) { std::memcpy(p + off, &v, 8); }

uint64_t round_extent(uint64_t n) { return n == 0 ? kExtent : (n + kExtent - 1) / kExtent * kExtent; }

struct Candidate {
  uint8_t state = kUnseen;
  uint64_t cols = 0, rows = 0;
};

void consider(Candidate& c, uint64_t cols, uint64_t count) {
  if (c.state == kKeepF32) return;
  if (cols < 64 || count == 0 || count % cols != 0) {
    c.state = kKeepF32;
    return;
  }
  if (c.state == kCandidate && c.cols != cols) {
    c.state = kKeepF32;
    return;
  }
  c.state = kCandidate;
  c.cols = cols;
  c.rows = count / cols;
}

}  // namespace

void quantize_block_q8(const float* x, uint64_t n, int8_t out[64], float* scale) {
  float amax = 0.0f;
  for (uint64_t i = 0; i < n; ++i) {
    float a = std::fabs(x[i]);
    if (a > amax) amax = a;  // NaN never compares greater
  }
  std::memset(out, 0, 64);
  if (!(amax >= 1e-30f)) {
    *scale = 1.0f;
    return;
  }
  *scale = amax / 127.0f;
  const float inv = 127.0f / amax;
  for (uint64_t i = 0; i < n; ++i) {
    float q = std::nearbyint(inv * x[i]);  // round half to even
    if (q != q) q = 0.0f;
    if (q > 127.0f) q = 127.0f;
    if (q < -127.0f) q = -127.0f;
    out[i] = static_cast<int8_t>(q);
  }
}

QuantizeOutcome quantize_pack_q8(Slice input_path, Slice output_path) {
  CString in_path = slice_to_cstr(input_path);
  if (in_path.tag != 0) return failed("invalid input path");
  int64_t file_size = 0;
  const int fd = open_regular_file(cstr_ptr(in_path), &file_size);
  cstr_free(&in_path);
  if (fd < 0) return failed("cannot open input pack");
  ContainerResult opened = container_open_fd(fd, 0, static_cast<uint64_t>(file_size), 0);
  ::close(fd);
  if (!opened.ok()) {
    Slice t = container_status_text(opened.error);
    return QuantizeOutcome{1, bytes_from_slice(t)};
  }
  ContainerHandle h = opened.value;
  struct Closer {
    ContainerHandle* h;
    ~Closer() { container_close(h); }
  } closer{&h};

  const uint64_t M = h.meta_len, old_data = h.data_size;
  const uint64_t T = container_section_count(&h, kSecTensorsSlot);
  if (container_section_count(&h, kSecGroupsSlot) != 1)
    return failed("the pack keeps its weights in several load groups, which this tool does not re-store");
  std::vector<uint8_t> meta(h.meta, h.meta + M);
  for (uint64_t t = 0; t < T; ++t)
    if (get(meta.data(), container_record_offset(&h, kSecTensorsSlot, t) + 8) != kElemF32)
      return failed("the pack already holds packed weights");

  // Selection by the operators that read each weight.
  std::vector<Candidate> cand(T);
  const uint64_t V = container_section_count(&h, kSecValuesSlot);
  const uint64_t N = container_section_count(&h, kSecNodesSlot);
  auto tensor_of = [&](uint64_t value, uint64_t* count, uint64_t* rank, uint64_t dims[6]) -> int64_t {
    if (value >= V) return -1;
    ValueRecord v = container_value_record(&h, value);
    if (v.w[0] != kValueWeight || v.w[11] >= T || v.w[1] != kElemF32) return -1;
    *count = v.w[9];
    *rank = v.w[2];
    for (int k = 0; k < 6; ++k) dims[k] = v.w[3 + k];
    return static_cast<int64_t>(v.w[11]);
  };
  for (uint64_t i = 0; i < N; ++i) {
    NodeRecord n = container_node_record(&h, i);
    const uint64_t op = n.w[0], inputs = n.w[1] < 8 ? n.w[1] : 8;
    for (uint64_t k = 0; k < inputs; ++k) {
      uint64_t count = 0, rank = 0, dims[6];
      int64_t t = tensor_of(n.w[2 + k], &count, &rank, dims);
      if (t < 0) continue;
      Candidate& c = cand[static_cast<uint64_t>(t)];
      if (k == 0 && op == op::Gather && rank == 2 && count != 0) consider(c, count / dims[0], count);
      else if (k == 0 && op == op::Transpose) continue;
      else if (k == 1 && (op == op::Conv || op == op::ConvTranspose || op == op::MatMul || op == op::Gemm) &&
               rank >= 2 && count != 0) {
        bool row_major = op == op::Conv || op == op::ConvTranspose ||
                         (op == op::Gemm && n.w[attr::kFirstRecordWord + attr::Gemm::kTransB] != 0);
        consider(c, row_major ? count / dims[0] : dims[rank - 1], count);
      } else {
        c.state = kKeepF32;
      }
    }
  }

  std::vector<uint8_t> old_region, region;
  try {
    old_region.resize(old_data);
  } catch (...) {
    return failed("out of memory");
  }
  if (!pread_all(h.fd, old_region.data(), old_data, h.base + M)) return failed("cannot read weights");

  // Layout of the new data region.
  std::vector<uint64_t> new_size(T), new_offset(T), old_offset(T), old_size(T);
  uint64_t running = 0, quantized = 0;
  for (uint64_t t = 0; t < T; ++t) {
    const uint64_t r = container_record_offset(&h, kSecTensorsSlot, t);
    old_size[t] = get(meta.data(), r + 96);
    old_offset[t] = get(meta.data(), r + 112);
    if (old_offset[t] > old_data || old_size[t] > old_data - old_offset[t]) return failed("cannot read weights");
    Candidate& c = cand[t];
    new_size[t] = old_size[t];
    if (c.state == kCandidate) {
      // A tensor holding infinities or NaNs keeps its exact F32 values: no
      // finite block scale represents them.
      const uint8_t* src = old_region.data() + old_offset[t];
      for (uint64_t i = 0; i < old_size[t] / 4 && c.state == kCandidate; ++i) {
        float v;
        std::memcpy(&v, src + 4 * i, 4);
        if (!std::isfinite(v)) c.state = kKeepF32;
      }
    }
    if (c.state == kCandidate) {
      uint64_t q = c.rows * ((c.cols + 63) / 64) * 68;
      if (q < old_size[t] && c.rows * c.cols * 4 <= old_size[t]) new_size[t] = q;
      else c.state = kKeepF32;
    }
    new_offset[t] = running;
    running += round_extent(new_size[t]);
  }
  const uint64_t new_data = running;

  try {
    region.assign(new_data, 0);
  } catch (...) {
    return failed("out of memory");
  }

  for (uint64_t t = 0; t < T; ++t) {
    const uint64_t r = container_record_offset(&h, kSecTensorsSlot, t);
    const uint8_t* src = old_region.data() + old_offset[t];
    uint8_t* dst = region.data() + new_offset[t];
    Candidate& c = cand[t];
    if (c.state == kCandidate) {
      ++quantized;
      const uint64_t blocks = (c.cols + 63) / 64, row_bytes = blocks * 68;
      std::vector<float> row(c.cols);
      for (uint64_t y = 0; y < c.rows; ++y) {
        std::memcpy(row.data(), src + 4 * y * c.cols, 4 * c.cols);
        for (uint64_t b = 0; b < blocks; ++b) {
          uint64_t n = c.cols - b * 64 < 64 ? c.cols - b * 64 : 64;
          int8_t q[64];
          float scale;
          quantize_block_q8(row.data() + b * 64, n, q, &scale);
          uint8_t* block = dst + y * row_bytes + b * 68;
          std::memcpy(block, q, 64);
          std::memcpy(block + 64, &scale, 4);
        }
      }
      put(meta.data(), r + 8, kElemQ8);
      put(meta.data(), r + 32, 2);
      put(meta.data(), r + 40, c.rows);
      put(meta.data(), r + 48, c.cols);
      for (int k = 2; k < 6; ++k) put(meta.data(), r + 40 + 8 * k, 0);
      put(meta.data(), r + 136, row_bytes);
    } else {
      std::memcpy(dst, src, old_size[t]);
    }
    put(meta.data(), r + 88, M + new_offset[t]);
    put(meta.data(), r + 96, new_size[t]);
    put(meta.data(), r + 104, round_extent(new_size[t]));
    put(meta.data(), r + 112, new_offset[t]);
    xxh3_128_store(dst, round_extent(new_size[t]), meta.data() + container_record_offset(&h, kSecDigestsSlot, t));
  }
  for (uint64_t i = 0; i < V; ++i) {
    const uint64_t r = container_record_offset(&h, kSecValuesSlot, i);
    if (get(meta.data(), r) != kValueWeight) continue;
    uint64_t t = get(meta.data(), r + 88);
    if (t >= T) continue;
    put(meta.data(), r + 96, new_offset[t]);
    if (cand[t].state == kCandidate) {
      put(meta.data(), r + 8, kElemQ8);
      put(meta.data(), r + 80, new_size[t]);
    }
  }
  put(meta.data(), 32, M + new_data);
  put(meta.data(), 56, new_data);
  put(meta.data(), container_record_offset(&h, kSecGroupsSlot, 0) + 40, new_data);
  put(meta.data(), container_record_offset(&h, kSecPlanSlot, 0) + 32, new_data);
  for (uint64_t g = 0; g < container_section_count(&h, kSecRangesSlot); ++g)
    put(meta.data(), container_record_offset(&h, kSecRangesSlot, g) + 8, new_data);
  uint32_t checksum = xor_fold_u32(region.data(), region.size());
  std::memcpy(meta.data() + 272, &checksum, 4);
  std::memset(meta.data() + 276, 0, 4);
  container_seal_metadata(meta.data(), M);

  CString out_path = slice_to_cstr(output_path);
  if (out_path.tag != 0) return failed("invalid output path");
  FileWrite out;
  const ReplaceStatus placed = out.open(cstr_ptr(out_path));
  cstr_free(&out_path);
  if (placed != ReplaceStatus::kOk) return failed("cannot create output pack");
  if (!out.write(meta.data(), M) || !out.write(region.data(), new_data) || out.commit() != ReplaceStatus::kOk)
    return failed("failed writing output pack");
  const uint64_t a = (M + old_data + (uint64_t{1} << 19)) >> 20;
  const uint64_t b = (M + new_data + (uint64_t{1} << 19)) >> 20;
  std::string summary = std::to_string(quantized) + " of " + std::to_string(T) + " weight tensors stored as Q8: " +
                        std::to_string(a) + " MB -> " + std::to_string(b) + " MB";
  return QuantizeOutcome{0, bytes_from_slice(summary.data(), summary.size())};
}

}  // namespace vorn
