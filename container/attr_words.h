// The attribute words of graph node records, by name: what each operator
// keeps in them, the values some of them take, and the markers that travel
// in them between node import, lowering and engine creation.
//
// A node record (container/records.h) has sixteen attribute words after its
// inputs and outputs; attribute word k is record word kFirstRecordWord + k.
// Integers are stored as 64-bit two's complement. A float attribute is the
// f32 bit pattern in the low 32 bits of its word.
//
// Words reach their meaning in two steps. Node import writes each ONNX
// attribute into a fixed word whatever the operator (attr::Import below);
// the lowering pass then leaves every word as the engines read it for that
// operator (the per-operator records), and engine creation may write the
// fused operation of an Add, Conv, ConvTranspose, Sigmoid, MatMul or Erf into words 14
// and 15. The words of an operator that appear in stored models never move.
#pragma once
#include <cstdint>

namespace vorn::attr {

inline constexpr uint64_t kCount = 16;
inline constexpr uint64_t kFirstRecordWord = 15;

// The one axis of Concat, Split, Gather, Slice, Softmax, ArgMax, the
// reductions, CumSum, TopK, ScatterND, Flatten, Squeeze, Unsqueeze, OneHot
// and LayerNormalization; negative counts from the rank.
inline constexpr uint64_t kAxis = 11;

// Markers: values no attribute takes, left in a word by one stage for a
// later one.
// a14 and a15 before import reads alpha/epsilon and beta/gamma: not given.
inline constexpr uint64_t kNotGiven = ~uint64_t{0};
// In word 1 of an Identity that node import made of an ONNX Cast (the text
// "CAST"); the lowering picks the Cast's runtime form from it and the
// pipeline clears it afterwards.
inline constexpr uint64_t kCastTag = 0x43415354;
inline constexpr uint64_t kCastTagWord = 1;
// In word 15 of a Conv or MatMul imported from ConvInteger or MatMulInteger:
// integer weights stored as f32 whose zero point the lowering subtracts.
inline constexpr uint64_t kIntegerWeightMarker = 777;
inline constexpr uint64_t kIntegerWeightWord = 15;
// In word 15 of the Flatten that the raw-sigmoid rewrite puts behind a
// detector's Conv: its output is [d0, d1, d2 x d3] whatever the axis.
inline constexpr uint64_t kRawSigmoidFlattenMarker = 888;
inline constexpr uint64_t kRawSigmoidFlattenWord = 15;

// Where node import writes each ONNX attribute, before the lowering gives
// the words their per-operator meaning. Words start as kImportDefaults.
struct Import {
  static constexpr uint64_t kKernelShape = 0;  // two words: height, width
  static constexpr uint64_t kStrides = 2;      // two words
  static constexpr uint64_t kPads = 4;         // four words: top, left, bottom, right
  static constexpr uint64_t kDilations = 8;    // two words
  static constexpr uint64_t kGroup = 10;
  static constexpr uint64_t kAxis = attr::kAxis;  // axis, or the first of axes
  static constexpr uint64_t kAxesCount = 1;       // 1 for axis, the count for axes
  static constexpr uint64_t kSecondAxis = 3;      // the second of axes
  static constexpr uint64_t kListCount = 0;       // perm, split: the value count
  static constexpr uint64_t kList = 4;            // perm, split: the first six values
  static constexpr uint64_t kListMax = 6;
  static constexpr uint64_t kStarts = 4;          // the first of starts
  static constexpr uint64_t kStartsGiven = 8;     // 1 when starts was given
  static constexpr uint64_t kEnds = 6;            // the first of ends
  static constexpr uint64_t kEndsGiven = 9;       // 1 when ends was given
  static constexpr uint64_t kStart = 5;           // start (Shape)
  static constexpr uint64_t kEnd = 7;             // end (Shape)
  static constexpr uint64_t kStartEndGiven = 12;  // bits kStartGivenBit, kEndGivenBit
  static constexpr uint64_t kStartGivenBit = 1, kEndGivenBit = 2;
  static constexpr uint64_t kTransA = 12, kExclusive = 12;
  static constexpr uint64_t kTransB = 13, kReverse = 13;
  static constexpr uint64_t kKeepdims = 0, kBlocksize = 0, kTo = 0;
  static constexpr uint64_t kBatchDims = 4;
  static constexpr uint64_t kAlpha = 14, kEpsilon = 14;  // f32
  static constexpr uint64_t kBeta = 15, kGamma = 15;     // f32
  static constexpr uint64_t kAutoPad = 12;  // kSameUpper, kSameLower; 0 otherwise
  static constexpr uint64_t kSameUpper = 2, kSameLower = 3;
  static constexpr uint64_t kLinearMode = 12;     // 1: mode "linear" or "cubic"
  static constexpr uint64_t kAlignCorners = 13;   // 1: coordinate mode "align_corners"
  static constexpr uint64_t kEquationW = 12;      // 1: an Einsum equation with 'w' sixth
  static constexpr uint64_t kFmod = 13;           // Mod's fmod, 0 or 1
  static constexpr uint64_t kSmallest = 12;       // TopK: 1 when largest is 0
  // 1 on the operator chosen for an op_type without its own code: Less for
  // LessOrEqual, Greater for GreaterOrEqual, Expand for Tile, ScatterND for
  // ScatterElements, and DepthToSpace in DCR order.
  static constexpr uint64_t kVariant = 13;
  // 1 on a Softmax of an opset below 13 (it normalises the flattened tail).
  static constexpr uint64_t kFlattenedSoftmax = 13;
};

// The words of an imported node before any attribute is read.
inline constexpr uint64_t kImportDefaults[kCount] = {0, 0, 1, 1, 0, 0, 0, 0,
                                                     1, 1, 1, 1, 0, 0, kNotGiven, kNotGiven};

// Conv, ConvTranspose, MaxPool, AveragePool: the sliding window. Zero
// strides and dilations read as 1.
struct Window {
  static constexpr uint64_t kKernelH = 0, kKernelW = 1;
  static constexpr uint64_t kStrideH = 2, kStrideW = 3;
  static constexpr uint64_t kPadTop = 4, kPadLeft = 5, kPadBottom = 6, kPadRight = 7;
  static constexpr uint64_t kDilationH = 8, kDilationW = 9;
  // ONNX's auto_pad until the lowering turns it into the four pads.
  static constexpr uint64_t kAutoPad = Import::kAutoPad;
};

// The fused operation engine creation writes after folding the node that
// followed (0 in a stored model: creation clears both words of the operators
// that honour them before it fuses).
struct Fusion {
  static constexpr uint64_t kMode = 14;
  static constexpr uint64_t kParam = 15;
  static constexpr uint64_t kNone = 0;
};

struct Conv : Window, Fusion {
  static constexpr uint64_t kGroups = 10;       // 0 or 1: one group
  static constexpr uint64_t kNoDepthwise = 12;  // non-zero: never the direct grouped kernel
  // Non-zero (set by engine creation alone): a Conv whose output only the
  // node right behind it reads, the two of which may run together: a 1x1
  // Conv feeding a grouped Conv (kNextGrouped) or a Conv feeding a MaxPool
  // (kNextMaxPool).
  static constexpr uint64_t kFeedsNext = 13;
  static constexpr uint64_t kNextGrouped = 1, kNextMaxPool = 2;
  // Values of kMode.
  static constexpr uint64_t kRelu = 1;            // max(y, 0)
  static constexpr uint64_t kReluScaleShift = 2;  // input 2 holds bias, scale, shift (3 x Cout)
  static constexpr uint64_t kLeakyRelu = 3;       // slope in the low 32 bits of kParam
  static constexpr uint64_t kClip = 4;            // lower bound in the low, upper in the high 32 bits
  static constexpr uint64_t kHardSwish = 5;
  static constexpr uint64_t kPRelu = 6;  // input 2 holds bias and slope (2 x Cout)
  // Input 3 holds a tensor of the output's shape added after the bias (a
  // residual join), then Relu for kAddRelu.
  static constexpr uint64_t kAdd = 7;
  static constexpr uint64_t kAddRelu = 8;
  static constexpr uint64_t kSiLU = 9;  // x * sigmoid(x), as Sigmoid's SiLU mode computes it
  static constexpr uint64_t kLastMode = kSiLU;
};

struct ConvTranspose : Window, Fusion {
  static constexpr uint64_t kGroups = 10;
  static constexpr uint64_t kRelu = 1;  // value of kMode: max(y, 0) after the bias
};

struct MaxPool : Window {};
struct AveragePool : Window {};

struct Add : Fusion {
  // Values of kMode; both need inputs and output of one element count.
  static constexpr uint64_t kScaledAdd = 1;  // x * s + y, s the f32 in the low 32 bits of kParam
  static constexpr uint64_t kAddRelu = 2;    // max(x + y, 0)
};

struct BatchNormalization : Fusion {
  static constexpr uint64_t kRelu = 1;  // value of kMode: max(y, 0) after the affine step
};

struct Sigmoid : Fusion {
  static constexpr uint64_t kSiLU = 1;  // value of kMode: x * sigmoid(x)
};

struct Gemm {
  static constexpr uint64_t kTransA = 12, kTransB = 13;  // non-zero: transposed
  static constexpr uint64_t kAlpha = 14, kBeta = 15;     // f32
};

struct MatMul : Fusion {
  // 1: A is [d0, d1, d2, d3] and axis 2 is the batch of the products.
  static constexpr uint64_t kAxis2Batch = 12;
  // Value of kMode: input 2 holds N floats, added to each finished product
  // value as the Add behind the MatMul added them (kParam stays free: it is
  // the integer-weight word).
  static constexpr uint64_t kBias = 1;
};

struct Erf : Fusion {
  // Value of kMode: ((x * (erf(x / c) + 1)) * 0.5), each step rounded as the
  // Div, Erf, Add and two Muls of an exported exact GELU round it; c is the
  // f32 in the low 32 bits of kParam.
  static constexpr uint64_t kGeluChain = 1;
};

struct Transpose {
  static constexpr uint64_t kPermLength = 0;  // import: 0 when no perm was given
  static constexpr uint64_t kPerm = 4;        // perm[k] in word kPerm + k, k < 6
};

struct Flatten {
  static constexpr uint64_t kAxis = attr::kAxis;
};

struct Concat {
  static constexpr uint64_t kAxis = attr::kAxis;
  // 1 on a detector's final Concat whose boxes are corner pairs (set by the
  // converter's rewrite that cuts the [1, 300, *] tail; sessions read it).
  static constexpr uint64_t kCornerBoxes = 12;
};

struct Split {
  static constexpr uint64_t kAxis = attr::kAxis;
  static constexpr uint64_t kSizes = 4;  // the size of output k in word kSizes + k, k < 4
};

struct Gather {
  static constexpr uint64_t kAxis = attr::kAxis;
};

struct GatherND {
  static constexpr uint64_t kBatchDims = 4;  // only 0 runs
};

struct ScatterND {
  static constexpr uint64_t kAxis = attr::kAxis;  // the element form's axis
};

// The runtime form; node import leaves the Import words, which the lowering
// turns into these.
struct Slice {
  static constexpr uint64_t kAxis = attr::kAxis;
  static constexpr uint64_t kStart = 4;
  static constexpr uint64_t kLength = 5;
  static constexpr uint64_t kStep = 2;  // 1 or less: 1
};

// Squeeze, Unsqueeze and the reductions: one axis, or two.
struct Axes {
  static constexpr uint64_t kAxis = attr::kAxis;
  static constexpr uint64_t kAxesCount = Import::kAxesCount;
  static constexpr uint64_t kSecondAxis = Import::kSecondAxis;
};

struct Reduce : Axes {
  static constexpr uint64_t kKeepdims = Import::kKeepdims;
};

struct ArgMax {
  static constexpr uint64_t kAxis = attr::kAxis;
  static constexpr uint64_t kKeepdims = Import::kKeepdims;
};

struct Softmax {
  static constexpr uint64_t kAxis = attr::kAxis;
  static constexpr uint64_t kFlattened = Import::kFlattenedSoftmax;  // import only
};

struct CumSum {
  static constexpr uint64_t kAxis = attr::kAxis;
  static constexpr uint64_t kExclusive = 12;  // non-zero: each sum leaves out its own element
  static constexpr uint64_t kReverse = 13;    // non-zero: sums run from the end
};

struct TopK {
  static constexpr uint64_t kAxis = attr::kAxis;
  static constexpr uint64_t kK = 0;          // import: k, when no input gives it
  static constexpr uint64_t kAxisGiven = 1;  // import: non-zero when an axis was given
  static constexpr uint64_t kSmallest = 12;  // 0: the K largest, otherwise the K smallest
};

// DepthToSpace and SpaceToDepth.
struct DepthSpace {
  static constexpr uint64_t kBlockSize = 0;  // 0 reads as 2
  static constexpr uint64_t kDcr = Import::kVariant;  // import: DepthToSpace in DCR order
};

struct Pad {
  // Zeros added after the data on axes 1 and 2 (the output's dims carry them).
  static constexpr uint64_t kAfterAxis1 = 6, kAfterAxis2 = 7;
};

struct Shape {
  static constexpr uint64_t kStart = Import::kStart;
  static constexpr uint64_t kEnd = Import::kEnd;
  static constexpr uint64_t kGiven = Import::kStartEndGiven;
};

struct Mod {
  static constexpr uint64_t kFmod = 13;  // 1: C fmod, 0: floor modulo
};

struct Compare {
  static constexpr uint64_t kOrEqual = Import::kVariant;  // import: LessOrEqual, GreaterOrEqual
};

struct Greater : Compare {
  static constexpr uint64_t kForm = 12;  // kGreaterOrEqual, kLessOrEqual; else a > b
  static constexpr uint64_t kGreaterOrEqual = 1, kLessOrEqual = 2;
};

struct Expand {
  static constexpr uint64_t kTile = Import::kVariant;  // import: a Tile to turn into an Expand
};

// Cast, and the Identity that node import makes of an ONNX Cast.
struct Cast {
  static constexpr uint64_t kTo = 0;  // the ONNX element type of the result
  static constexpr uint64_t kToFloat = 1, kToUint8 = 2, kToInt8 = 3, kToUint16 = 4, kToInt16 = 5,
                            kToInt32 = 6, kToInt64 = 7, kToBool = 9, kToFloat16 = 10, kToUint32 = 12,
                            kToUint64 = 13;
};

// Activations with one or two f32 parameters.
struct Alpha {
  static constexpr uint64_t kAlpha = 14;
};
struct HardSigmoid : Alpha {
  static constexpr uint64_t kBeta = 15;
};
struct LeakyRelu : Alpha {};
struct Elu : Alpha {};  // 0 reads as 1
struct Selu : Alpha {
  static constexpr uint64_t kGamma = 15;  // 0 reads as ONNX's default, as does alpha
};
struct Clip {
  static constexpr uint64_t kMin = 14, kMax = 15;  // f32
};

// LayerNormalization, BatchNormalization, InstanceNormalization.
struct Norm {
  static constexpr uint64_t kEpsilon = 14;  // f32
  static constexpr uint64_t kAxis = attr::kAxis;  // LayerNormalization, import only
};

struct Resize {
  static constexpr uint64_t kFactorH = 2, kFactorW = 3;  // integer factors of nearest mode
  static constexpr uint64_t kLinear = 12;                // 1: bilinear
  static constexpr uint64_t kAlignCorners = 13;          // 1: corners aligned (bilinear)
};

struct DeformUnfold {
  static constexpr uint64_t kKernel = 0;  // k of a k x k kernel (word 1 holds it too)
  static constexpr uint64_t kKernelW = 1;
};

struct NonMaxSuppression {
  static constexpr uint64_t kMaxBoxes = 0;        // per class; 0: the engine's default
  static constexpr uint64_t kIouThreshold = 14;   // f32
  static constexpr uint64_t kScoreThreshold = 15;  // f32; kNoScoreThreshold: none
  static constexpr uint64_t kNoScoreThreshold = 0xFF800000u;  // -inf
};

struct YoloNms {
  static constexpr uint64_t kMaxDetections = 0;
  static constexpr uint64_t kExtras = 1;       // values per candidate copied after the class
  static constexpr uint64_t kBoxDivisor = 4;   // f32
  static constexpr uint64_t kBoxScale = 5;     // f32
  static constexpr uint64_t kClassOffset = 6;  // f32, times the class index
  static constexpr uint64_t kCentreForm = 13;  // non-zero: centre x, centre y, width, height
  static constexpr uint64_t kScoreThreshold = 14;  // f32
  static constexpr uint64_t kIouThreshold = 15;    // f32
};

}  // namespace vorn::attr
