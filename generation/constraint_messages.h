// Every message an output constraint fails with. Callers and users match on
// these texts, so they are written once, here.
#pragma once

namespace vorn::constraint_message {

// Compilation of the request's setting.
inline constexpr const char* kCombined = "Output constraints cannot be combined with stops or custom masks";
inline constexpr const char* kChooseOne = "Choose exactly one output constraint";
inline constexpr const char* kAmountDecimals = "Amount decimal places must be 1..9";
inline constexpr const char* kSchemaTooLong = "Schema exceeds 64 KiB";
inline constexpr const char* kMalformedSchema = "Malformed or unsupported JSON schema";
inline constexpr const char* kTooManyStates = "Constraint exceeds 32768 states";
inline constexpr const char* kTooManyTransitions = "Constraint exceeds 1048576 transitions";
inline constexpr const char* kOutputCap =
    "Output cap cannot guarantee a valid constraint completion; increase max_new_tokens";

// The JSON-schema subset.
inline constexpr const char* kSchemaDepth = "Schema must be an object with depth below 32";
inline constexpr const char* kUnsupportedKeyword = "Unsupported schema keyword or combination";
inline constexpr const char* kEnumSize = "enum must contain 1..256 values";
inline constexpr const char* kAnyOfSize = "anyOf must contain 1..32 schemas";
inline constexpr const char* kUnsupportedType = "Unsupported schema type";
inline constexpr const char* kSizeBound = "Invalid schema size bound";
inline constexpr const char* kStringBounds = "minLength exceeds maxLength";
inline constexpr const char* kObjectShape = "Objects require properties, required and additionalProperties:false";
inline constexpr const char* kEveryRequired = "Every property must be required";
inline constexpr const char* kDuplicateRequired = "Duplicate required property";
inline constexpr const char* kArrayShape = "Arrays require items and maxItems";
inline constexpr const char* kArrayBounds = "minItems exceeds maxItems";

// Run time.
inline constexpr const char* kBudgetExhausted = "Constraint budget exhausted";
inline constexpr const char* kTokenOutOfRange = "Constraint token out of range";
inline constexpr const char* kPrematureEos = "Premature constrained EOS";
inline constexpr const char* kViolation = "Token violates constraint";

// The object layer's reason for a failed allocation.
inline constexpr const char* kAllocation = "Constraint allocation failed";

}  // namespace vorn::constraint_message
