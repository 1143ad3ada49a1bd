// Lowering of the arithmetic, comparison, activation and elementwise maths
// operators, with the parameters the CPU executor reads from the same words.
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "gpu/mps_state.h"

namespace vorn {

using mpsg::BinaryFunction;
using mpsg::Tensor;
using mpsg::UnaryFunction;

bool lower_binary(Lowering& l, const NodeRecord& n) {
  BinaryFunction f = BinaryFunction::kAddition;
  switch (n.op()) {
    case op::Sub: f = BinaryFunction::kSubtraction; break;
    case op::Div: f = BinaryFunction::kDivision; break;
    case op::Add: f = BinaryFunction::kAddition; break;
    case op::Mul: f = BinaryFunction::kMultiplication; break;
    case op::Max: f = BinaryFunction::kMaximum; break;
    case op::Min: f = BinaryFunction::kMinimum; break;
    case op::Equal: f = BinaryFunction::kEqual; break;
    // ONNX's fmod = 1 truncates (the dividend's sign), fmod = 0 floors.
    case op::Mod: f = n.attr(attr::Mod::kFmod) == 1 ? BinaryFunction::kRemainder : BinaryFunction::kModulo; break;
    default: return l.refuse("unsupported op in MPS backend");
  }
  l.set(n, 0, l.g.binary(f, l.in(n, 0), l.in(n, 1)));
  return true;
}

bool lower_unary(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  UnaryFunction f = UnaryFunction::kReLU;
  float param = 0;
  switch (n.op()) {
    case op::Relu: f = UnaryFunction::kReLU; break;
    case op::LeakyRelu:
      f = UnaryFunction::kLeakyReLU;
      param = n.attr_f32(attr::LeakyRelu::kAlpha);
      break;
    case op::Sigmoid:
      // x x Sigmoid(x) in one pass, as the CPU engine fuses it.
      if (l.silu_product(n)) {
        l.skip[l.index + 1] = 1;
        l.set(l.nodes[l.index + 1], 0, l.g.unary(UnaryFunction::kSiLU, x, 0));
        return true;
      }
      f = UnaryFunction::kSigmoid;
      break;
    case op::Erf: f = UnaryFunction::kErf; break;
    case op::Sqrt: f = UnaryFunction::kSquareRoot; break;
    case op::Exp: f = UnaryFunction::kExponent; break;
    case op::Tanh: f = UnaryFunction::kTanh; break;
    case op::Cos: f = UnaryFunction::kCos; break;
    case op::Sin: f = UnaryFunction::kSin; break;
    case op::Log: f = UnaryFunction::kLogarithm; break;
    case op::Abs: f = UnaryFunction::kAbsolute; break;
    case op::Neg: f = UnaryFunction::kNegative; break;
    case op::Floor: f = UnaryFunction::kFloor; break;
    case op::Ceil: f = UnaryFunction::kCeil; break;
    case op::Round: f = UnaryFunction::kRound; break;
    case op::Reciprocal: f = UnaryFunction::kReciprocal; break;
    case op::Not:
      l.set(n, 0, l.g.binary(BinaryFunction::kEqual, x, l.scalar(0)));
      return true;
    default: return l.refuse("unsupported op in MPS backend");
  }
  l.set(n, 0, l.g.unary(f, x, param));
  return true;
}

bool lower_activation(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  mpsg::Graph& g = l.g;
  switch (n.op()) {
    case op::HardSigmoid: {
      const Tensor t = g.binary(BinaryFunction::kAddition,
                                g.binary(BinaryFunction::kMultiplication, x, l.scalar(n.attr_f32(attr::HardSigmoid::kAlpha))),
                                l.scalar(n.attr_f32(attr::HardSigmoid::kBeta)));
      l.set(n, 0, g.clamp(t, l.scalar(0), l.scalar(1)));
      return true;
    }
    case op::HardSwish: {
      const Tensor t = g.binary(BinaryFunction::kAddition, g.binary(BinaryFunction::kMultiplication, x, l.scalar(0.16666667f)),
                                l.scalar(0.5));
      l.set(n, 0, g.binary(BinaryFunction::kMultiplication, x, g.clamp(t, l.scalar(0), l.scalar(1))));
      return true;
    }
    case op::Gelu: {
      const Tensor e = g.unary(UnaryFunction::kErf, g.binary(BinaryFunction::kMultiplication, x, l.scalar(0.70710677f)));
      const Tensor h = g.binary(BinaryFunction::kMultiplication, l.scalar(0.5), x);
      l.set(n, 0, g.binary(BinaryFunction::kMultiplication, h, g.binary(BinaryFunction::kAddition, l.scalar(1), e)));
      return true;
    }
    case op::Clip:
      l.set(n, 0, g.clamp(x, l.scalar(n.attr_f32(attr::Clip::kMin)), l.scalar(n.attr_f32(attr::Clip::kMax))));
      return true;
    default: return l.refuse("unsupported op in MPS backend");
  }
}

// relu(x) + slope x (x - relu(x)): one slope per channel (axis 1), or one.
bool lower_prelu(Lowering& l, const NodeRecord& n) {
  mpsg::Graph& g = l.g;
  const Tensor x = l.in(n, 0);
  Tensor slope = l.in(n, 1);
  const mpsg::Shape xs = g.shape(x);
  const int64_t slopes = mpsg::element_count(g.shape(slope));
  if (slopes == 1) {
    slope = l.reshape(slope, {1});
  } else if (xs.size() >= 2 && slopes == xs[1]) {
    mpsg::Shape s(xs.size(), 1);
    s[1] = slopes;
    slope = l.reshape(slope, s);
  }
  const Tensor r = g.unary(UnaryFunction::kReLU, x);
  l.set(n, 0, g.binary(BinaryFunction::kAddition, r,
                       g.binary(BinaryFunction::kMultiplication, slope, g.binary(BinaryFunction::kSubtraction, x, r))));
  return true;
}

bool lower_where(Lowering& l, const NodeRecord& n) {
  l.set(n, 0, l.g.select(l.in(n, 0), l.in(n, 1), l.in(n, 2)));
  return true;
}

// To bool: x != 0 (NaN counts as true). To any other type: truncation
// toward zero, -0 made +0.
bool lower_cast(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  if (n.attr(attr::Cast::kTo) == attr::Cast::kToBool) {
    l.set(n, 0, l.g.binary(BinaryFunction::kNotEqual, x, l.scalar(0)));
  } else {
    l.set(n, 0, l.g.unary(UnaryFunction::kTruncate, x));
  }
  return true;
}

}  // namespace vorn
