#include "generation/loop_request.h"

#include <unistd.h>

#include <cstring>

#include "base/files.h"
#include "base/vn_error.h"
#include "container/records.h"

namespace vorn {

namespace {

using json = nlohmann::json;

constexpr uint64_t kMaxNewTokens = 8192;
constexpr uint64_t kDefaultContext = 2048;

double ms_between(double from, double to) { return (to - from) * 1000.0; }

const json& entry(const json& dict, const char* key) {
  static const json kAbsent;
  auto it = dict.find(key);
  return it == dict.end() ? kAbsent : *it;
}

// A whole number that fits the given range, else the fallback.
uint64_t whole(const json& value, uint64_t fallback) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer()) return value.get<int64_t>() < 0 ? UINT64_MAX : uint64_t(value.get<int64_t>());
  if (value.is_number_float()) {
    const double d = value.get<double>();
    return d >= 0 && d < 1.8e19 && double(uint64_t(d)) == d ? uint64_t(d) : UINT64_MAX;
  }
  return fallback;
}

bool flag(const json& value) { return value.is_boolean() && value.get<bool>(); }

// The loop's refusals of an input say which input, and why: the request
// files of the batch command are written by hand as often as by a tool.
[[noreturn]] void refuse_input(const std::string& name, const std::string& why) {
  throw_inference("Input data length: " + name + " " + why);
}

std::vector<uint64_t> shape_of(const std::string& name, const json& spec) {
  const json& shape = entry(spec, "shape");
  if (!shape.is_array()) refuse_input(name, "has no shape");
  std::vector<uint64_t> dims;
  for (const json& d : shape) {
    const uint64_t v = whole(d, UINT64_MAX);
    if (v == UINT64_MAX) throw_inference("Invalid dimension");
    dims.push_back(v);
  }
  return dims;
}

bool all_finite(const uint8_t* bytes, uint64_t count, uint64_t kind) {
  for (uint64_t i = 0; i < count; ++i) {
    if (kind == kElemF16) {
      uint16_t h;
      std::memcpy(&h, bytes + 2 * i, 2);
      if ((h & 0x7fff) > 0x7bff) return false;
    } else {
      uint32_t f;
      std::memcpy(&f, bytes + 4 * i, 4);
      if ((f & 0x7fffffff) > 0x7f7fffff) return false;
    }
  }
  return true;
}

[[noreturn]] void refuse_length(const std::string& name, uint64_t held, uint64_t length) {
  refuse_input(name, "holds " + std::to_string(held) + " bytes where its shape and dtype need " +
                         std::to_string(length));
}

// An input's file holds exactly the bytes its shape and dtype need. Its size
// is checked before anything is read, so a file of any size costs no more
// memory than the tensor; a FIFO or a device (/dev/zero never ends) is
// refused unopened.
void read_input_file(const std::string& name, const std::string& path, uint64_t length, std::vector<uint8_t>* out) {
  int64_t size = 0;
  const int fd = open_regular_file(path.c_str(), &size);
  if (fd == kNotRegularFile) refuse_input(name, "cannot read " + path + ": not a regular file");
  if (fd < 0) refuse_input(name, "cannot read " + path);
  const struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (uint64_t(size) != length) refuse_length(name, uint64_t(size), length);
  out->resize(length);
  if (!pread_all(fd, out->data(), length, 0)) refuse_input(name, "cannot read " + path);
}

// One entry of "inputs": its shape and kind, and its bytes from the
// dictionary or from its file (relative to the request's directory).
LoopInput read_input(const std::string& name, json& spec, uint32_t mode, const char* request_dir) {
  LoopInput in;
  in.name = name;
  in.shape = shape_of(name, spec);
  in.kind = whole(entry(spec, "dtype"), 0);
  in.count = activation_element_count(in.shape, in.kind);
  const uint64_t length = in.count * element_size(in.kind);
  const double start = monotonic_seconds_alt();
  std::vector<uint8_t> file_bytes;
  bool found = false;
  if (mode == kLoopInMemory) {
    found = spec.is_object() && spec.contains("data") && spec["data"].is_binary();
  } else if (spec.is_object() && spec.contains("file") && spec["file"].is_string()) {
    std::string path = spec["file"].get<std::string>();
    if (!path.empty() && path[0] != '/' && request_dir != nullptr) path = std::string(request_dir) + "/" + path;
    read_input_file(name, path, length, &file_bytes);
    found = true;
  }
  in.readMs = ms_between(start, monotonic_seconds_alt());
  if (!found) refuse_input(name, mode == kLoopInMemory ? "has no data" : "names no file");
  const std::vector<uint8_t>& bytes = mode == kLoopInMemory ? spec["data"].get_binary() : file_bytes;
  if (bytes.size() != length) refuse_length(name, bytes.size(), length);
  const double checked = monotonic_seconds_alt();
  if (mode != kLoopInMemory && (in.kind == kElemF16 || in.kind == kElemF32) && in.count > 0 &&
      !all_finite(bytes.data(), in.count, in.kind))
    throw_inference("Input contains nonfinite values");
  in.finiteMs = ms_between(checked, monotonic_seconds_alt());
  if (mode != kLoopInMemory) {
    in.held = std::make_shared<const std::vector<uint8_t>>(std::move(file_bytes));
  } else if (name == kPixelValues) {
    // The pixels stay for the next generation's prefix comparison; the
    // dictionary's bytes are handed over rather than copied again.
    in.held = std::make_shared<const std::vector<uint8_t>>(std::move(spec["data"].get_binary()));
    spec["data"] = json::binary({});
  }
  in.bytes = in.held != nullptr ? in.held->data() : spec["data"].get_binary().data();
  return in;
}

}  // namespace

const LoopInput* LoopRequest::input(const char* name) const {
  for (const LoopInput& in : inputs)
    if (in.name == name) return &in;
  return nullptr;
}

LoopRequest read_loop_request(json& dict, uint32_t mode, const char* request_dir) {
  LoopRequest r;
  if (!entry(dict, "inputs").is_object()) throw_inference("Input data length: no \"inputs\" object");
  for (auto& [name, spec] : dict["inputs"].items()) {
    r.inputs.push_back(read_input(name, spec, mode, request_dir));
    if (name == kPixelValues) r.pixels = r.inputs.back().held;
  }

  r.maxNewTokens = whole(entry(dict, "max_new_tokens"), 0);
  if (r.maxNewTokens < 1 || r.maxNewTokens > kMaxNewTokens) throw_inference("max_new_tokens must be 1..8192");
  uint64_t context = whole(entry(dict, "context_length"), 0);
  if (context == 0) context = kDefaultContext;
  const LoopInput* ids = r.input(kInputIds);
  if (ids == nullptr || ids->kind != kElemI64 || ids->shape.size() != 2 || ids->shape[0] != 1 || ids->shape[1] < 1 ||
      ids->shape[1] + r.maxNewTokens > context)
    throw_inference("Prompt plus output exceeds context budget");
  r.promptIds.resize(ids->count);
  std::memcpy(r.promptIds.data(), ids->bytes, ids->count * 8);
  const uint64_t p = r.promptIds.size();
  const LoopInput* mask = r.input(kTextMask);
  if (mask == nullptr || (mask->count != 0 && mask->count != p * p)) throw_inference("Initial attention mask");

  for (const json& v : entry(dict, "forced_tokens")) {
    if (!v.is_number_integer()) throw_inference("Forced token out of range");
    r.forcedTokens.push_back(v.get<int64_t>());
  }
  for (const json& v : entry(dict, "captures"))
    if (v.is_string()) r.captures.push_back(v.get<std::string>());
  r.trace = flag(entry(dict, "trace"));
  r.sampling = sampling_params_from_dictionary(dict);

  for (const json& v : entry(dict, "stop")) {
    if (!v.is_string() || v.get_ref<const std::string&>().empty()) throw_inference("Invalid stop sequence");
    r.stops.push_back(v.get<std::string>());
  }
  r.streamToStdout = flag(entry(dict, "stream"));
  for (const json& v : entry(dict, "eos_token_ids"))
    if (v.is_number_integer()) r.eosTokenIds.push_back(v.get<int64_t>());
  const json& name = entry(dict, "name");
  if (name.is_string()) r.name = name.get<std::string>();
  return r;
}

}  // namespace vorn
