// Per-engine weight and activation precision: parsing the request texts and
// resolving which source (environment or model metadata) an engine follows.
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

struct ContainerHandle;

// Weight precision.
inline constexpr uint32_t kPrecisionF32 = 0;
inline constexpr uint32_t kPrecisionF16 = 1;
inline constexpr uint32_t kPrecisionInt8 = 2;
// Modes.
inline constexpr uint32_t kPrecisionModePlain = 0;
inline constexpr uint32_t kPrecisionModeStatic = 1;    // calibrated int8 activations
inline constexpr uint32_t kPrecisionModeF16Act = 2;    // f16 activations
inline constexpr uint32_t kPrecisionModeFastF16 = 3;

struct PrecisionSetting {
  uint32_t weights;
  uint32_t mode;
};

// A setting with its flags: valid (the text parsed, or nothing was set) and
// set (a text was given / a source was found).
struct PrecisionResult {
  PrecisionSetting setting;
  bool valid;
  bool set;
};

// Parses "f32", "f16", "int8", "int8:static", "f32:f16", "f16:f16",
// "int8:f16" or "f16:fast". Trailing spaces and NULs are ignored; matching is
// otherwise exact and case-sensitive.
PrecisionResult precision_parse(const void* text, uint64_t length);

// The text of a setting, as listed above.
Slice precision_name(PrecisionSetting setting);

// Gives the model's string value for a metadata key, or returns false when
// the key is absent (a missing key, another type or an empty string).
using PrecisionMetaLookup = bool (*)(void* context, Slice key, Slice* value);

// Resolves an engine's setting ("cpu", "gpu", "npu", "metal", "vulkan"; any
// other name counts as "npu"): the first source that exists among the
// engine's environment variables and then its metadata keys decides; a
// source that exists but does not parse gives an invalid result. With no
// source the result is valid, not set, f32 plain. A null lookup means the
// model has no metadata.
PrecisionResult precision_resolve(const void* engine, uint64_t engine_length,
                                  PrecisionMetaLookup lookup, void* context);

// precision_resolve over an open container's `precision.*` string keys; a
// null handle counts as a model without metadata.
PrecisionResult precision_for_engine(const ContainerHandle* handle, const void* engine,
                                     uint64_t engine_length);

}  // namespace vorn
