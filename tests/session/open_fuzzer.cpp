// Sessions over fuzzer-described models: metadata keys of every type with
// random values, small graphs with random shapes and axes, random batch
// sizes and image settings, written as valid containers so the digests pass
// and the session's own reading is what gets exercised. Each model is
// inspected, opened from a descriptor, run from a frame and from a raw
// tensor, unloaded, reloaded and freed; nothing may read outside a buffer
// or leak.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/writer.h"
#include "vorn.h"
#include "reference/fuzz_reader.h"

namespace {

// Word 12: no operator the fuzzer builds reads it.
constexpr uint64_t kUnreadWord = 12;

using namespace vorn;

struct Reader : test::FuzzReader {
  std::string text(size_t max) {
    size_t len = byte() % (max + 1);
    std::string s;
    for (size_t i = 0; i < len; ++i) s.push_back(char(byte()));
    return s;
  }
};

constexpr const char* kKeys[] = {"task",   "decode",       "backend",  "default_backend", "fp16_safe",
                                 "resize", "resize_mode",  "color",    "normalize",       "letterbox_pad",
                                 "scale",  "mean",         "std",      "labels",          "recommended_backend"};
constexpr const char* kWords[] = {"detect", "letterbox", "center_crop", "stretch", "bgr",     "rgb",  "imagenet",
                                  "clip",   "raw255",    "cpu",         "gpu",     "ane",     "no",   "0",
                                  "false",  "neg_one_to_one", "scale255", ""};

WriterMeta random_meta(Reader& r) {
  std::string key = kKeys[r.byte() % (sizeof kKeys / sizeof kKeys[0])];
  switch (r.byte() % 6) {
    case 0: return WriterMeta::str(key, kWords[r.byte() % (sizeof kWords / sizeof kWords[0])]);
    case 1: return WriterMeta::str(key, r.text(40));
    case 2: return WriterMeta::i64(key, int64_t(int8_t(r.byte())) * 5);
    case 3: return WriterMeta::f64(key, double(int8_t(r.byte())) / 16.0);
    case 4: {
      std::vector<std::string> items;
      for (int i = r.byte() % 5; i > 0; --i) items.push_back(r.text(6));
      return WriterMeta::list(key, items);
    }
    default: {
      std::vector<float> v;
      for (int i = r.byte() % 5; i > 0; --i) v.push_back(float(int8_t(r.byte())) / 8.0f);
      return WriterMeta::f32_array(key, v);
    }
  }
}

WriterValue value(uint64_t kind, const std::vector<uint64_t>& dims, std::string name) {
  WriterValue v{};
  v.record.w[0] = kind;
  v.record.w[1] = kElemF32;
  v.record.w[2] = dims.size();
  uint64_t count = 1;
  for (size_t i = 0; i < dims.size(); ++i) count *= (v.record.w[3 + i] = dims[i]);
  v.record.w[9] = count;
  v.record.w[10] = count * 4;
  v.name = std::move(name);
  return v;
}

void exercise(VornSession* s, int fd, uint64_t length, uint32_t batch, Reader& r) {
  if (!vorn_session_inspect_fd(s, fd, 0, length)) return;
  vorn_session_check_backend(s, r.byte() % 5);
  if (!vorn_session_open_fd(s, fd, 0, length)) return;
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  VornFrame* frame = vorn_frame_new();
  const uint32_t w = 1 + r.byte() % 9, h = 1 + r.byte() % 9;
  std::vector<uint8_t> pixels(size_t(w) * h * 4, r.byte());
  vorn_frame_set_pixels(frame, pixels.data(), pixels.size(), w, h, 0, 1 + r.byte() % 5, 1, 0);
  for (uint32_t k = 0; k < batch; ++k) vorn_input_add_batch_frame(in, frame);
  vorn_input_set_frame(in, frame);
  vorn_session_run(s, in, out);
  vorn_input_clear(in);
  std::vector<float> x(vorn_session_input_bytes(s, 0) / 4 + 1, 0.5f);
  vorn_input_set_f32(in, 0, x.data(), x.size() - 1 + (r.byte() & 1), 0);
  vorn_session_run(s, in, out);
  vorn_session_unload(s);
  vorn_session_reload(s);
  vorn_session_run(s, in, out);
  vorn_frame_free(frame);
  vorn_output_free(out);
  vorn_input_free(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader r{{data, size}};
  ContainerSpec spec;
  for (int i = r.byte() % 8; i > 0; --i) spec.meta.push_back(random_meta(r));

  // input -> a chain of up to 4 nodes -> output; every value of one shape.
  std::vector<uint64_t> dims;
  for (int i = 1 + r.byte() % 4; i > 0; --i) dims.push_back(1 + r.byte() % 4);
  if (r.byte() & 1) dims[0] = 1;
  uint64_t count = 1;
  for (uint64_t d : dims) count *= d;
  std::vector<float> weight(count, 0.25f);
  WriterTensor t;
  t.name = "w";
  t.rank = dims.size();
  for (size_t i = 0; i < dims.size(); ++i) t.dims[i] = dims[i];
  t.data = slice_of(weight.data(), weight.size() * 4);
  spec.tensors.push_back(t);
  spec.values.push_back(value(kValueGraphInput, dims, r.byte() & 1 ? "image" : r.text(70)));
  spec.values.push_back(value(kValueWeight, dims, "w"));
  const int nodes = 1 + r.byte() % 4;
  uint64_t prev = 0;
  for (int i = 0; i < nodes; ++i) {
    const bool last = i + 1 == nodes;
    spec.values.push_back(value(last ? kValueGraphOutput : kValueActivation, dims, last ? r.text(70) : "a"));
    const uint64_t next = spec.values.size() - 1;
    NodeRecord n{};
    static constexpr uint64_t kOps[] = {op::Add, op::Mul, op::Relu, op::Softmax, op::Identity};
    n.w[0] = kOps[r.byte() % 5];
    n.w[1] = (n.w[0] == op::Add || n.w[0] == op::Mul) ? 2 : 1;
    n.w[2] = prev;
    n.w[3] = 1;
    n.w[10] = 1;
    n.w[11] = next;
    n.set_attr(attr::kAxis, uint64_t(int64_t(r.byte() % 7) - 3));
    if (r.byte() % 8 == 0) n.set_attr(kUnreadWord, 1);
    spec.nodes.push_back(n);
    prev = next;
  }
  std::vector<uint8_t> bytes;
  std::string error;
  if (!container_write_memory(spec, &bytes, &error)) return 0;
  int fd = memfd_create("vorn_fuzz_model", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
    close(fd);
    return 0;
  }
  VornSession* s = vorn_session_new(nullptr);
  const uint32_t batch = 1 + r.byte() % 4;
  vorn_session_set_batch_size(s, batch);
  if (r.byte() & 1) vorn_session_set_resize_mode(s, r.byte() % 4);
  if (r.byte() & 1) vorn_session_set_warmup(s, 1);
  exercise(s, fd, bytes.size(), batch, r);
  vorn_session_free(s);
  close(fd);
  return 0;
}
