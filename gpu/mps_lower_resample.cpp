// Lowering of Resize, and of the detection and sampling operators that run
// as host operations on the CPU engine's kernels (GridSample, DeformUnfold,
// MaskToBoxLogit, DetrTopK).
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "gpu/mps_state.h"

namespace vorn {

using mpsg::Shape;
using mpsg::Tensor;

// Same size: the input itself; a 1 x 1 plane: a broadcast; nearest by the
// floor of o x in / out; bilinear with aligned corners, or half-pixel
// centres (the separable tables of other linear resizes give the same
// samples).
bool lower_resize(Lowering& l, const NodeRecord& n) {
  Tensor x = l.in(n, 0);
  Shape s = l.g.shape(x), ys = l.dims(n.output(0));
  if (s.size() > 4 || ys.size() > 4) throw std::invalid_argument("resize of rank above 4");
  s.insert(s.begin(), 4 - s.size(), 1);
  ys.insert(ys.begin(), 4 - ys.size(), 1);
  x = l.reshape(x, s);
  if (s[2] == ys[2] && s[3] == ys[3]) {
    l.set(n, 0, x);
  } else if (s[2] == 1 && s[3] == 1) {
    l.set(n, 0, l.g.broadcast(x, ys));
  } else if (n.attr(attr::Resize::kLinear) != 1) {
    l.set(n, 0, l.g.resize(x, ys[2], ys[3], false, false, false));
  } else if (n.attr(attr::Resize::kAlignCorners) == 1) {
    l.set(n, 0, l.g.resize(x, ys[2], ys[3], true, false, true));
  } else {
    l.set(n, 0, l.g.resize(x, ys[2], ys[3], true, true, false));
  }
  return true;
}

bool lower_host_kernel(Lowering& l, const NodeRecord& n) {
  std::vector<ValueRecord> records;
  std::vector<Tensor> inputs;
  for (uint64_t k = 0; k < n.input_count(); ++k) {
    if (!l.has_in(n, k)) {
      records.push_back(ValueRecord{});
      continue;
    }
    records.push_back(l.value(n.input(k)));
    inputs.push_back(l.in(n, k));
  }
  std::string why;
  mpsg::HostKernelRef kernel = mps_cpu_operator(l.st.kernels, n, records, l.value(n.output(0)), &why);
  if (kernel == nullptr) throw std::invalid_argument(why);
  l.set(n, 0, l.g.hostOperation(inputs, l.dims(n.output(0)), l.type(), kernel));
  return true;
}

}  // namespace vorn
