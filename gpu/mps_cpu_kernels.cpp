// The engine's heavy operations on the CPU engine's kernels: the graph's
// kernel provider turns a convolution or pooling descriptor into the CPU
// operator's node record, and host operations run single CPU operators
// (GridSample, DeformUnfold, MaskToBoxLogit, DetrTopK) on the graph's data.
#include <bit>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel_host.h"
#include "gpu/mps_state.h"

namespace vorn {

struct MpsKernels {
  CpuKernelHost* host = nullptr;
  ~MpsKernels() { cpu_kernel_host_free(host); }
};

namespace {

ValueRecord record(const mpsg::Shape& shape, uint64_t kind) {
  ValueRecord v{};
  v.w[0] = kind;
  v.w[1] = kElemF32;
  v.set_rank(shape.size());
  uint64_t count = 1;
  for (size_t i = 0; i < shape.size() && i < 6; ++i) {
    v.set_dim(i, uint64_t(shape[i]));
    count *= uint64_t(shape[i]);
  }
  v.set_count(count);
  v.set_bytes(count * 4);
  return v;
}

uint64_t f32_bits(float f) { return std::bit_cast<uint32_t>(f); }

// One CPU operator as a host kernel: the graph hands over its given inputs
// in order; omitted optional inputs of the operator stay null.
class CpuOperator final : public mpsg::HostKernel {
 public:
  CpuOperator(std::shared_ptr<MpsKernels> kernels, int64_t index, std::vector<uint8_t> given)
      : kernels_(std::move(kernels)), index_(index), given_(std::move(given)) {}
  bool run(const float* const* inputs, float* output, std::string* error) const override {
    const float* slots[kNodeMaxInputs] = {};
    for (size_t k = 0, next = 0; k < given_.size(); ++k) slots[k] = given_[k] ? inputs[next++] : nullptr;
    float* outputs[1] = {output};
    if (cpu_kernel_host_run(kernels_->host, index_, slots, outputs)) return true;
    *error = "graph run: a CPU operator kernel failed";
    return false;
  }

 private:
  std::shared_ptr<MpsKernels> kernels_;
  int64_t index_;
  std::vector<uint8_t> given_;
};

mpsg::HostKernelRef add(const std::shared_ptr<MpsKernels>& k, const NodeRecord& node, const std::vector<ValueRecord>& in,
                        const ValueRecord& out, std::string* message) {
  char why[256] = {0};
  const int64_t index = cpu_kernel_host_add(k->host, node, in.data(), in.size(), &out, 1, why, sizeof why);
  if (index < 0) {
    if (message != nullptr) *message = why;
    return nullptr;
  }
  std::vector<uint8_t> given;
  for (const ValueRecord& r : in) given.push_back(r.kind() != 0);
  return std::make_shared<CpuOperator>(k, index, std::move(given));
}

void set_window(NodeRecord& n, int64_t kh, int64_t kw, int64_t sy, int64_t sx, int64_t top, int64_t left,
                int64_t bottom, int64_t right) {
  using A = attr::Window;
  n.set_attr(A::kKernelH, uint64_t(kh));
  n.set_attr(A::kKernelW, uint64_t(kw));
  n.set_attr(A::kStrideH, uint64_t(sy));
  n.set_attr(A::kStrideW, uint64_t(sx));
  n.set_attr(A::kPadTop, uint64_t(top));
  n.set_attr(A::kPadLeft, uint64_t(left));
  n.set_attr(A::kPadBottom, uint64_t(bottom));
  n.set_attr(A::kPadRight, uint64_t(right));
  n.set_attr(A::kDilationH, 1);
  n.set_attr(A::kDilationW, 1);
}

class Provider final : public mpsg::KernelProvider {
 public:
  explicit Provider(std::shared_ptr<MpsKernels> kernels) : kernels_(std::move(kernels)) {}

  mpsg::HostKernelRef convolution2D(const mpsg::Shape& x, const mpsg::Shape& w, bool bias, const mpsg::Shape& y,
                                    const mpsg::Convolution2DOpDescriptor& d) override {
    using A = attr::Conv;
    // A window over the whole unpadded input (one output position, one
    // group) is a matrix product of the images' rows and the filters' rows,
    // in the memory both already have: the CPU engine's Gemm runs it.
    if (y[2] == 1 && y[3] == 1 && w[2] == x[2] && w[3] == x[3] && d.groups == 1 && d.paddingTop == 0 &&
        d.paddingLeft == 0 && d.paddingBottom == 0 && d.paddingRight == 0 && d.dilationRateInX == 1 &&
        d.dilationRateInY == 1 && d.activation == mpsg::Activation::kNone) {
      const int64_t k = x[1] * x[2] * x[3];
      NodeRecord n{};
      n.set_op(op::Gemm);
      n.set_attr(attr::Gemm::kTransB, 1);
      n.set_attr(attr::Gemm::kAlpha, f32_bits(1.0f));
      n.set_attr(attr::Gemm::kBeta, f32_bits(1.0f));
      std::vector<ValueRecord> in{record({x[0], k}, kValueActivation), record({w[0], k}, kValueWeight)};
      if (bias) in.push_back(record({w[0]}, kValueWeight));
      return add(kernels_, n, in, record({y[0], y[1]}, kValueActivation), nullptr);
    }
    NodeRecord n{};
    n.set_op(op::Conv);
    set_window(n, w[2], w[3], d.strideInY, d.strideInX, d.paddingTop, d.paddingLeft, d.paddingBottom, d.paddingRight);
    n.set_attr(A::kDilationH, uint64_t(d.dilationRateInY));
    n.set_attr(A::kDilationW, uint64_t(d.dilationRateInX));
    n.set_attr(A::kGroups, uint64_t(d.groups));
    switch (d.activation) {
      case mpsg::Activation::kNone: break;
      case mpsg::Activation::kReLU: n.set_attr(A::kMode, A::kRelu); break;
      case mpsg::Activation::kLeakyReLU:
        n.set_attr(A::kMode, A::kLeakyRelu);
        n.set_attr(A::kParam, f32_bits(d.activationAlpha));
        break;
      case mpsg::Activation::kClamp:
        n.set_attr(A::kMode, A::kClip);
        n.set_attr(A::kParam, f32_bits(d.activationAlpha) | f32_bits(d.activationBeta) << 32);
        break;
      case mpsg::Activation::kHardSwish: n.set_attr(A::kMode, A::kHardSwish); break;
    }
    std::vector<ValueRecord> in{record(x, kValueActivation), record(w, kValueWeight)};
    if (bias) in.push_back(record({w[0]}, kValueWeight));
    return add(kernels_, n, in, record(y, kValueActivation), nullptr);
  }

  mpsg::HostKernelRef convolutionTranspose2D(const mpsg::Shape& x, const mpsg::Shape& w, bool bias,
                                             const mpsg::Shape& y, const mpsg::Convolution2DOpDescriptor& d) override {
    using A = attr::ConvTranspose;
    NodeRecord n{};
    n.set_op(op::ConvTranspose);
    set_window(n, w[2], w[3], d.strideInY, d.strideInX, d.paddingTop, d.paddingLeft, d.paddingBottom, d.paddingRight);
    n.set_attr(A::kDilationH, uint64_t(d.dilationRateInY));
    n.set_attr(A::kDilationW, uint64_t(d.dilationRateInX));
    n.set_attr(A::kGroups, uint64_t(d.groups));
    if (d.activation == mpsg::Activation::kReLU) n.set_attr(A::kMode, A::kRelu);
    else if (d.activation != mpsg::Activation::kNone) return nullptr;
    std::vector<ValueRecord> in{record(x, kValueActivation), record(w, kValueWeight)};
    if (bias) in.push_back(record({y[1]}, kValueWeight));
    return add(kernels_, n, in, record(y, kValueActivation), nullptr);
  }

  mpsg::HostKernelRef pooling2D(bool maximum, const mpsg::Shape& x, const mpsg::Shape& y,
                                const mpsg::Pooling2DOpDescriptor& d) override {
    NodeRecord n{};
    n.set_op(maximum ? op::MaxPool : op::AveragePool);
    set_window(n, d.kernelHeight, d.kernelWidth, d.strideInY, d.strideInX, d.paddingTop, d.paddingLeft,
               d.paddingBottom, d.paddingRight);
    return add(kernels_, n, {record(x, kValueActivation)}, record(y, kValueActivation), nullptr);
  }

 private:
  std::shared_ptr<MpsKernels> kernels_;
};

}  // namespace

std::shared_ptr<MpsKernels> mps_kernels_new() {
  auto k = std::make_shared<MpsKernels>();
  k->host = cpu_kernel_host_new();
  return k->host != nullptr ? k : nullptr;
}

std::shared_ptr<mpsg::KernelProvider> mps_kernel_provider(const std::shared_ptr<MpsKernels>& kernels) {
  return std::make_shared<Provider>(kernels);
}

mpsg::HostKernelRef mps_cpu_operator(const std::shared_ptr<MpsKernels>& kernels, const NodeRecord& node,
                                     const std::vector<ValueRecord>& inputs, const ValueRecord& output,
                                     std::string* message) {
  return add(kernels, node, inputs, output, message);
}

bool mps_kernels_ready(const std::shared_ptr<MpsKernels>& kernels, std::string* message) {
  char why[256] = {0};
  if (cpu_kernel_host_ready(kernels->host, why, sizeof why)) return true;
  *message = why;
  return false;
}

}  // namespace vorn
