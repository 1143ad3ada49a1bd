#include "container/precision.h"

#include <cstdlib>
#include <string_view>

#include "container/meta.h"

namespace vorn {

namespace {

struct NamedSetting {
  std::string_view text;
  PrecisionSetting setting;
};

constexpr NamedSetting kSettings[] = {
    {"f32", {kPrecisionF32, kPrecisionModePlain}},
    {"f16", {kPrecisionF16, kPrecisionModePlain}},
    {"int8", {kPrecisionInt8, kPrecisionModePlain}},
    {"int8:static", {kPrecisionInt8, kPrecisionModeStatic}},
    {"f32:f16", {kPrecisionF32, kPrecisionModeF16Act}},
    {"f16:f16", {kPrecisionF16, kPrecisionModeF16Act}},
    {"int8:f16", {kPrecisionInt8, kPrecisionModeF16Act}},
    {"f16:fast", {kPrecisionF16, kPrecisionModeFastF16}},
};

// Where an engine looks, in order: environment variables first, then
// metadata keys. The first source that exists decides.
struct EngineSources {
  std::string_view engine;
  const char* env[3];
  std::string_view meta[2];
};

constexpr EngineSources kSources[] = {
    {"cpu", {"VORN_PRECISION_CPU", "VORN_PRECISION", nullptr}, {"precision.cpu", {}}},
    {"gpu", {"VORN_PRECISION_GPU", "VORN_PRECISION", nullptr}, {"precision.gpu", {}}},
    {"npu", {"VORN_PRECISION_NPU", "VORN_PRECISION", nullptr}, {"precision.npu", {}}},
    {"metal",
     {"VORN_PRECISION_GPU_METAL", "VORN_PRECISION_GPU", "VORN_PRECISION"},
     {"precision.gpu.metal", "precision.gpu"}},
    {"vulkan",
     {"VORN_PRECISION_GPU_VULKAN", "VORN_PRECISION_GPU", "VORN_PRECISION"},
     {"precision.gpu.vulkan", "precision.gpu"}},
};
constexpr size_t kNpuSources = 2;

constexpr PrecisionResult kInvalid{{kPrecisionF32, kPrecisionModePlain}, false, true};

}  // namespace

PrecisionResult precision_parse(const void* text, uint64_t length) {
  const char* p = static_cast<const char*>(text);
  if (p == nullptr) return PrecisionResult{kInvalid.setting, false, false};
  while (length > 0 && (p[length - 1] == ' ' || p[length - 1] == '\0')) --length;
  if (length == 0) return kInvalid;
  // Every accepted text is one of the table's entries verbatim, so after the
  // trailing strip an exact match is the whole grammar.
  std::string_view s(p, length);
  for (const NamedSetting& n : kSettings)
    if (n.text == s) return PrecisionResult{n.setting, true, true};
  return kInvalid;
}

Slice precision_name(PrecisionSetting setting) {
  std::string_view text;
  switch (setting.mode) {
    case kPrecisionModeFastF16: text = "f16:fast"; break;
    case kPrecisionModeF16Act:
      text = setting.weights == kPrecisionF16 ? "f16:f16"
             : setting.weights == kPrecisionInt8 ? "int8:f16" : "f32:f16";
      break;
    case kPrecisionModeStatic: text = "int8:static"; break;
    default:
      text = setting.weights == kPrecisionF16 ? "f16" : setting.weights == kPrecisionInt8 ? "int8" : "f32";
      break;
  }
  return slice_of(text);
}

PrecisionResult precision_resolve(const void* engine, uint64_t engine_length,
                                  PrecisionMetaLookup lookup, void* context) {
  std::string_view name(engine != nullptr ? static_cast<const char*>(engine) : "",
                        engine != nullptr ? engine_length : 0);
  const EngineSources* src = &kSources[kNpuSources];
  for (const EngineSources& s : kSources)
    if (s.engine == name) src = &s;

  for (const char* var : src->env) {
    if (var == nullptr) break;
    // A variable that is present but empty still decides (and is invalid).
    if (const char* value = std::getenv(var)) return precision_parse(value, std::string_view(value).size());
  }
  if (lookup != nullptr) {
    for (std::string_view key : src->meta) {
      if (key.empty()) break;
      Slice value = empty_slice();
      if (lookup(context, slice_of(key), &value) && value.len != 0) return precision_parse(value.ptr, value.len);
    }
  }
  return PrecisionResult{{kPrecisionF32, kPrecisionModePlain}, true, false};
}

namespace {

bool container_lookup(void* context, Slice key, Slice* value) {
  // Only a string of non-zero length counts: other types and "" are absent.
  *value = container_meta_str(static_cast<const ContainerHandle*>(context), key.view(), empty_slice());
  return value->len != 0;
}

}  // namespace

PrecisionResult precision_for_engine(const ContainerHandle* handle, const void* engine,
                                     uint64_t engine_length) {
  return precision_resolve(engine, engine_length, handle != nullptr ? container_lookup : nullptr,
                           const_cast<ContainerHandle*>(handle));
}

}  // namespace vorn
