#include "container/op_codes.h"

#include <array>
#include <string_view>

namespace vorn {

namespace {

// Index i holds the name of code i + 1. The codes are written into stored
// models, so entries are only ever appended.
constexpr std::array<std::string_view, kOpCodeCount> kOpNames = {
    "Sub",                    // 1
    "Div",                    // 2
    "Add",                    // 3
    "Mul",                    // 4
    "Conv",                   // 5
    "Relu",                   // 6
    "MaxPool",                // 7
    "GlobalAveragePool",      // 8
    "Flatten",                // 9
    "Gemm",                   // 10
    "Sigmoid",                // 11
    "HardSigmoid",            // 12
    "HardSwish",              // 13
    "Transpose",              // 14
    "LayerNormalization",     // 15
    "MatMul",                 // 16
    "Erf",                    // 17
    "PRelu",                  // 18
    "BatchNormalization",     // 19
    "Concat",                 // 20
    "Identity",               // 21
    "InstanceNormalization",  // 22
    "AveragePool",            // 23
    "Shape",                  // 24
    "Reshape",                // 25
    "LeakyRelu",              // 26
    "Resize",                 // 27
    "ConvTranspose",          // 28
    "Softmax",                // 29
    "Clip",                   // 30
    "ArgMax",                 // 31
    "Gelu",                   // 32
    "Split",                  // 33
    "Gather",                 // 34
    "Unsqueeze",              // 35
    "Slice",                  // 36
    "Squeeze",                // 37
    "Pow",                    // 38
    "Sqrt",                   // 39
    "ReduceMean",             // 40
    "Equal",                  // 41
    "Where",                  // 42
    "Expand",                 // 43
    "DynamicQuantizeLinear",  // 44
    "Exp",                    // 45
    "ConstantOfShape",        // 46
    "ReduceSum",              // 47
    "Tanh",                   // 48
    "DequantizeLinear",       // 49
    "Range",                  // 50
    "Less",                   // 51
    "Cos",                    // 52
    "Sin",                    // 53
    "DepthToSpace",           // 54
    "Pad",                    // 55
    "DeformUnfold",           // 56
    "DetrTopK",               // 57
    "MaskToBoxLogit",         // 58
    "Log",                    // 59
    "GridSample",             // 60
    "Abs",                    // 61
    "Neg",                    // 62
    "Floor",                  // 63
    "Ceil",                   // 64
    "Round",                  // 65
    "Reciprocal",             // 66
    "Elu",                    // 67
    "Selu",                   // 68
    "Max",                    // 69
    "Min",                    // 70
    "ReduceMax",              // 71
    "ReduceMin",              // 72
    "ReduceProd",             // 73
    "CumSum",                 // 74
    "TopK",                   // 75
    "GatherND",               // 76
    "ScatterND",              // 77
    "NonMaxSuppression",      // 78
    "SpaceToDepth",           // 79
    "Mod",                    // 80
    "Greater",                // 81
    "Not",                    // 82
    "And",                    // 83
    "Or",                     // 84
    "YoloNms",                // 85
    "OneHot",                 // 86
    "Cast",                   // 87
};
static_assert(kOpNames.size() == 87, "one name per operator code");
static_assert(kOpNames[84] == "YoloNms" && kOpNames[86] == "Cast");

constexpr bool names_complete() {
  for (std::string_view n : kOpNames)
    if (n.empty()) return false;
  return true;
}
static_assert(names_complete(), "every operator code has a name");

constexpr std::string_view kUnknownOp = "UnknownOp";

}  // namespace

Slice op_name(uint64_t code) {
  std::string_view name = (code >= 1 && code <= kOpCodeCount) ? kOpNames[code - 1] : kUnknownOp;
  return Slice{reinterpret_cast<const uint8_t*>(name.data()), name.size()};
}

}  // namespace vorn
