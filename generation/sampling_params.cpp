#include "generation/sampling_params.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/vn_error.h"

namespace vorn {

SamplingParams sampling_params_default() { return SamplingParams{0.0, 1.0, 0.0, 1.0, 0, 0, 0}; }

int sampling_params_valid(const SamplingParams* params) {
  if (params == nullptr) return 0;
  const SamplingParams& p = *params;
  // Comparisons with NaN are false, so every test below refuses it.
  bool ok = std::isfinite(p.temperature) && p.temperature >= 0.0 &&
            std::isfinite(p.top_p) && p.top_p > 0.0 && p.top_p <= 1.0 &&
            std::isfinite(p.min_p) && p.min_p >= 0.0 && p.min_p <= 1.0 &&
            std::isfinite(p.repetition_penalty) && p.repetition_penalty > 0.0;
  return ok ? 1 : 0;
}

namespace {

[[noreturn]] void invalid_sampling() { throw VNError(vn_category::kFrontend, "Invalid sampling parameters"); }

// A setting as a double: numbers, booleans (1 or 0) and strings that hold a
// number (the whole string, white space around it allowed).
double setting_double(const nlohmann::json& v) {
  if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    char* end = nullptr;
    double d = std::strtod(s.c_str(), &end);
    while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')) ++end;
    if (end == s.c_str() || end == nullptr || *end != '\0') invalid_sampling();
    return d;
  }
  invalid_sampling();
}

// An unsigned setting: a whole number its field can hold. A value that would
// wrap (a negative top_k, 2^32 + 1) is refused rather than read as another
// number.
uint64_t setting_unsigned(const nlohmann::json& v, uint64_t max) {
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > max) invalid_sampling();
    return u;
  }
  if (v.is_number_integer()) {
    int64_t i = v.get<int64_t>();
    if (i < 0 || static_cast<uint64_t>(i) > max) invalid_sampling();
    return static_cast<uint64_t>(i);
  }
  double d = setting_double(v);
  // 2^64 itself is out of range for the seed; max + 1.0 rounds up to it.
  if (!(d >= 0.0) || d != std::floor(d) || d >= static_cast<double>(max) + 1.0) invalid_sampling();
  return static_cast<uint64_t>(d);
}

}  // namespace

SamplingParams sampling_params_from_dictionary(const nlohmann::json& dictionary) {
  SamplingParams p = sampling_params_default();
  if (!dictionary.is_object()) return p;
  auto take_double = [&](const char* key, double& field) {
    auto it = dictionary.find(key);
    if (it != dictionary.end() && !it->is_null()) field = setting_double(*it);
  };
  auto take_u32 = [&](const char* key, uint32_t& field) {
    auto it = dictionary.find(key);
    if (it != dictionary.end() && !it->is_null())
      field = static_cast<uint32_t>(setting_unsigned(*it, std::numeric_limits<uint32_t>::max()));
  };
  // A null value counts as absent: the setting keeps its default.
  take_double("temperature", p.temperature);
  take_double("top_p", p.top_p);
  take_double("min_p", p.min_p);
  take_double("repetition_penalty", p.repetition_penalty);
  take_u32("top_k", p.top_k);
  take_u32("repetition_window", p.repetition_window);
  auto seed = dictionary.find("seed");
  if (seed != dictionary.end() && !seed->is_null()) p.seed = setting_unsigned(*seed, std::numeric_limits<uint64_t>::max());
  if (!sampling_params_valid(&p)) invalid_sampling();
  return p;
}

void sampling_params_to_dictionary(const SamplingParams& p, nlohmann::json& dictionary) {
  dictionary["temperature"] = p.temperature;
  dictionary["top_p"] = p.top_p;
  dictionary["min_p"] = p.min_p;
  dictionary["repetition_penalty"] = p.repetition_penalty;
  dictionary["top_k"] = p.top_k;
  dictionary["repetition_window"] = p.repetition_window;
  dictionary["seed"] = p.seed;
}

}  // namespace vorn
