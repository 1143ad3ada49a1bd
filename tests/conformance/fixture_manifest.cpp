#include "conformance/fixture_manifest.h"

#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

namespace vorn::conformance {
namespace {

bool parse_dtype(const std::string& text, DType* out) {
  if (text == "f32") {
    *out = DType::kF32;
    return true;
  }
  if (text == "i64") {
    *out = DType::kI64;
    return true;
  }
  return false;
}

bool parse_tensor(const nlohmann::json& j, TensorSpec* out, std::string* error) {
  if (!j.is_object() || !j.contains("name") || !j.contains("dtype") || !j.contains("shape") ||
      !j.contains("file")) {
    *error = "tensor entry lacks name, dtype, shape or file";
    return false;
  }
  out->name = j["name"].get<std::string>();
  if (!parse_dtype(j["dtype"].get<std::string>(), &out->dtype)) {
    *error = "tensor '" + out->name + "' has an unknown dtype";
    return false;
  }
  out->shape = j["shape"].get<std::vector<int64_t>>();
  out->file = j["file"].get<std::string>();
  return true;
}

bool read_file(const std::string& path, std::vector<char>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

std::string fixture_dir() { return std::string(VORN_TEST_DATA) + "/conformance"; }

bool read_manifest(const std::string& path, Manifest* out, std::string* error) {
  std::vector<char> bytes;
  if (!read_file(path, &bytes)) {
    *error = "cannot read " + path;
    return false;
  }
  nlohmann::json doc = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("cases") ||
      !doc["cases"].is_array()) {
    *error = path + " is not a manifest";
    return false;
  }
  try {
    if (doc.contains("tolerance")) {
      out->relative_tolerance = doc["tolerance"].value("relative", 1e-4);
      out->absolute_tolerance = doc["tolerance"].value("absolute", 1e-5);
    }
    for (const auto& c : doc["cases"]) {
      Case item;
      item.name = c.at("name").get<std::string>();
      item.kind = c.value("kind", std::string("op"));
      item.opset = c.value("opset", 0);
      item.model = c.at("model").get<std::string>();
      item.top1 = c.value("top1", false);
      item.mask_threshold = c.value("mask_threshold", 0.0);
      for (const auto& t : c.at("inputs")) {
        TensorSpec spec;
        if (!parse_tensor(t, &spec, error)) return false;
        item.inputs.push_back(std::move(spec));
      }
      for (const auto& t : c.at("outputs")) {
        TensorSpec spec;
        if (!parse_tensor(t, &spec, error)) return false;
        item.outputs.push_back(std::move(spec));
      }
      out->cases.push_back(std::move(item));
    }
  } catch (const nlohmann::json::exception& e) {
    *error = std::string("malformed manifest entry: ") + e.what();
    return false;
  }
  return true;
}

int64_t element_count(const std::vector<int64_t>& shape) {
  int64_t count = 1;
  for (int64_t d : shape) {
    if (d < 0) return -1;
    if (d != 0 && count > std::numeric_limits<int64_t>::max() / d) return -1;
    count *= d;
  }
  return count;
}

size_t dtype_size(DType dtype) { return dtype == DType::kF32 ? 4 : 8; }

const char* dtype_text(DType dtype) { return dtype == DType::kF32 ? "f32" : "i64"; }

bool read_tensor(const std::string& dir, const TensorSpec& spec, TensorData* out,
                 std::string* error) {
  static_assert(std::endian::native == std::endian::little,
                "fixture files are little-endian and read in place");
  const int64_t count = element_count(spec.shape);
  if (count < 0) {
    *error = spec.file + ": invalid shape";
    return false;
  }
  std::vector<char> bytes;
  if (!read_file(dir + "/" + spec.file, &bytes)) {
    *error = "cannot read " + spec.file;
    return false;
  }
  const uint64_t want = static_cast<uint64_t>(count) * dtype_size(spec.dtype);
  if (bytes.size() != want) {
    *error = spec.file + ": " + std::to_string(bytes.size()) + " bytes, shape needs " +
             std::to_string(want);
    return false;
  }
  out->name = spec.name;
  out->dtype = spec.dtype;
  out->shape = spec.shape;
  if (spec.dtype == DType::kF32) {
    out->f32.resize(static_cast<size_t>(count));
    if (count) std::memcpy(out->f32.data(), bytes.data(), bytes.size());
  } else {
    out->i64.resize(static_cast<size_t>(count));
    if (count) std::memcpy(out->i64.data(), bytes.data(), bytes.size());
  }
  return true;
}

}  // namespace vorn::conformance
