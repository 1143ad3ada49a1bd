#include "converter/container_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/file_write.h"
#include "container/records.h"

namespace vorn {

namespace {

// The data of weights without data and of empty weights: one zero f32.
constinit const uint8_t kZeroWord[4] = {0, 0, 0, 0};

std::string name_of(const BuilderValue& v) {
  return v.name_len == 0 ? std::string() : std::string(reinterpret_cast<const char*>(v.name), v.name_len);
}

ByteString message(const std::string& t) { return bytes_from_slice(t.data(), t.size()); }

bool subnormal(uint32_t bits) { return (bits & 0x7F800000u) == 0 && (bits & 0x007FFFFFu) != 0; }

// A float weight's subnormal values (a trained model's decayed weights,
// down to 1e-45) become zeros of their sign. Their products are far below
// any tolerance a result is held to, but each multiply-add that meets one
// takes the processor's slow microcoded path: a third of a face-landmark
// model's classifier weights are subnormal, and that one product was a
// quarter of its time. False when memory for the copy is short.
bool flush_subnormals(BuilderValue& v) {
  const uint64_t n = v.size / 4;
  uint64_t first = n;
  for (uint64_t i = 0; i < n && first == n; ++i) {
    uint32_t bits;
    std::memcpy(&bits, v.data + i * 4, 4);
    if (subnormal(bits)) first = i;
  }
  if (first == n) return true;
  uint8_t* out = const_cast<uint8_t*>(v.data);
  if ((v.owned & 0xFF) != 1) {  // the data lies in the model's bytes: copy it
    out = static_cast<uint8_t*>(std::malloc(v.size));
    if (out == nullptr) return false;
    std::memcpy(out, v.data, v.size);
    v.data = out;
    v.owned = (v.owned & ~uint64_t{0xFF}) | 1;
  }
  for (uint64_t i = first; i < n; ++i) {
    uint32_t bits;
    std::memcpy(&bits, out + i * 4, 4);
    if (subnormal(bits)) bits &= 0x80000000u;
    std::memcpy(out + i * 4, &bits, 4);
  }
  return true;
}

}  // namespace

bool container_output_spec(BuilderState& s, ContainerSpec* spec, std::string* error) {
  bool have_weight = false;
  for (uint64_t i = 0; i < s.value_count; ++i) have_weight |= s.values[i].kind == kValueWeight;
  if (!have_weight) {
    static constexpr char kPlaceholder[] = "vorn.placeholder_weight";
    uint64_t i = builder_intern_value(s, reinterpret_cast<const uint8_t*>(kPlaceholder), sizeof kPlaceholder - 1);
    if (i == kNoValue) {
      *error = "the model is larger than the converter's limits (16384 nodes, 32768 values)";
      return false;
    }
    BuilderValue& v = s.values[i];
    builder_drop_data(v);
    v.kind = kValueWeight;
    v.elem = kElemF32;
    v.rank = 1;
    std::memset(v.dims, 0, sizeof v.dims);
    v.dims[0] = 1;
    v.data = kZeroWord;
    v.size = 4;
  }

  spec->tensors.clear();
  spec->values.clear();
  spec->nodes.clear();
  spec->meta.clear();
  spec->values.reserve(s.value_count);
  for (uint64_t i = 0; i < s.value_count; ++i) {
    BuilderValue& v = s.values[i];
    if (v.rank > kMaxRank) {
      *error = "value '" + name_of(v) + "' has a rank above 6";
      return false;
    }
    uint64_t count = 1;
    for (uint64_t d = 0; d < v.rank; ++d)
      if (__builtin_mul_overflow(count, v.dims[d], &count) || count > (uint64_t(1) << 60)) {
        *error = "value '" + name_of(v) + "' is too large";
        return false;
      }
    if (v.rank == 0 && v.kind == kValueActivation) count = 0;
    uint64_t width = v.elem == kElemF16 ? 2 : v.elem == kElemI64 ? 8 : 4;
    WriterValue wv;
    wv.name = name_of(v);
    ValueRecord& r = wv.record;
    r.w[0] = v.kind;
    r.w[1] = v.elem;
    r.w[2] = v.rank;
    for (uint64_t d = 0; d < 6; ++d) r.w[3 + d] = v.dims[d];
    r.w[9] = count;
    r.w[10] = count * width;
    r.w[11] = kNoIndex;
    r.w[12] = 0;
    if (v.kind == kValueWeight) {
      // Every weight is a flat F32 tensor of its data; the engines read the
      // value's own byte size from it, so the data must hold that many bytes.
      const bool has_data = v.data != nullptr && v.size != 0;
      if (has_data && v.elem == kElemF32 && !flush_subnormals(v)) {
        *error = "out of memory copying weight '" + wv.name + "'";
        return false;
      }
      uint64_t b = has_data ? v.size : 4;
      if (b % 4 != 0 || (has_data ? b : 0) < r.w[10]) {
        *error = "weight '" + wv.name + "' holds " + std::to_string(has_data ? v.size : 0) +
                 " bytes of data, but its shape needs " + std::to_string(r.w[10]);
        return false;
      }
      v.tensor_index = spec->tensors.size();
      r.w[11] = v.tensor_index;
      WriterTensor t;
      t.name = wv.name;
      t.kind = kElemF32;
      t.rank = 1;
      t.dims[0] = b / 4;
      t.data = has_data ? Slice{v.data, v.size} : Slice{kZeroWord, 4};
      spec->tensors.push_back(std::move(t));
    } else {
      v.tensor_index = kNoIndex;
    }
    spec->values.push_back(std::move(wv));
  }
  spec->nodes.resize(s.node_count);
  for (uint64_t i = 0; i < s.node_count; ++i) {
    NodeRecord& n = spec->nodes[i];
    std::memset(&n, 0, sizeof n);
    std::memcpy(n.w, s.nodes[i].w, sizeof s.nodes[i].w);
  }
  for (uint64_t i = 0; i < s.meta_count; ++i) {
    const MetaEntry& m = s.meta[i];
    spec->meta.push_back(WriterMeta::str(std::string(reinterpret_cast<const char*>(m.key), m.key_len),
                                         m.value_len == 0 ? std::string()
                                                          : std::string(reinterpret_cast<const char*>(m.value),
                                                                        m.value_len)));
  }
  return true;
}

ByteString container_output_write(BuilderState& s, Slice vorn_path) {
  ContainerSpec spec;
  std::string error;
  if (!container_output_spec(s, &spec, &error)) return message(error);
  CString path = slice_to_cstr(vorn_path);
  if (path.tag != 0) return message("invalid vorn path");
  FileWrite out;
  const ReplaceStatus opened = out.open(cstr_ptr(path));
  cstr_free(&path);
  if (opened != ReplaceStatus::kOk) return message("failed to create output .vorn file");
  if (!container_write_fd(spec, out.fd(), &error) || out.commit() != ReplaceStatus::kOk) {
    if (error == "metadata region too large" || error == "container too large" || error == "too many tensors")
      return message("the converted model does not fit in a container: " + error);
    return message("failed writing .vorn file");
  }
  return bytes_new();
}

}  // namespace vorn
