// Lowering rules of the pooling family: GlobalAveragePool and
// ConvTranspose (MaxPool and AveragePool take the sliding window of Conv).
#include <cstring>

#include "container/attr_words.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

bool lower_global_average_pool(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  const BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  if (x.rank != 4) return L.stop(kLowerRank4);
  uint64_t d[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  uint64_t o[4] = {d[0], d[1], 1, 1};
  set_shape(y, 4, o);
  return true;
}

bool lower_conv_transpose(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  const BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  if (x.rank != 4) return L.stop(kLowerRank4);
  uint64_t d[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  if (!L.valid(n.input(1))) return L.refuse("the weight is missing");
  const BuilderValue& w = L.v(n.input(1));
  if (w.rank != 4) return L.stop(kLowerRank4);
  if (n.attr(attr::Window::kKernelH) == 0) n.attr(attr::Window::kKernelH) = w.dims[2];
  if (n.attr(attr::Window::kKernelW) == 0) n.attr(attr::Window::kKernelW) = w.dims[3];
  uint64_t g = n.attr(attr::ConvTranspose::kGroups) == 0 ? 1 : n.attr(attr::ConvTranspose::kGroups);
  int64_t kh = n.attr_i64(attr::Window::kKernelH), kw = n.attr_i64(attr::Window::kKernelW), sh = n.attr_i64(attr::Window::kStrideH), sw = n.attr_i64(attr::Window::kStrideW);
  int64_t dh = n.attr_i64(attr::Window::kDilationH), dw = n.attr_i64(attr::Window::kDilationW);
  if (sh < 1 || sw < 1 || dh < 1 || dw < 1 || kh < 1 || kw < 1) return L.refuse("a zero kernel, stride or dilation");
  // output_padding adds rows and columns at the end; output_shape (or
  // auto_pad) fixes the size and the padding is derived from it.
  int64_t extra[2] = {0, 0}, shape[4] = {0, 0, 0, 0};
  int64_t n_extra = node_int_list(L, "output_padding", extra, 2);
  int64_t n_shape = node_int_list(L, "output_shape", shape, 4);
  if (n_extra == 1) extra[1] = extra[0], extra[0] = 0;
  if (n_extra > 2 || n_shape > 4 || extra[0] < 0 || extra[1] < 0) return L.refuse("output_padding or output_shape of another rank");
  if (n_shape >= 2) {
    // The output has exactly the given size: the convolution's reach with
    // output_padding, less the total padding split over both ends; a size
    // beyond the reach leaves the rows and columns past it at the bias.
    int64_t want[2] = {shape[n_shape - 2], shape[n_shape - 1]};
    int64_t in_size[2] = {static_cast<int64_t>(d[2]), static_cast<int64_t>(d[3])};
    int64_t st[2] = {sh, sw}, dl[2] = {dh, dw}, k[2] = {kh, kw};
    if (want[0] < 1 || want[1] < 1) return L.refuse("an empty output_shape");
    for (int a = 0; a < 2; ++a) {
      int64_t total = st[a] * (in_size[a] - 1) + extra[a] + (k[a] - 1) * dl[a] + 1 - want[a];
      if (total < 0) total = 0;
      bool upper = n.attr(attr::Window::kAutoPad) == 2;
      n.attr(attr::Window::kPadTop + a) = static_cast<uint64_t>(upper ? total / 2 : total - total / 2);
      n.attr(attr::Window::kPadBottom + a) = static_cast<uint64_t>(upper ? total - total / 2 : total / 2);
      const int64_t reach = st[a] * (in_size[a] - 1) + (k[a] - 1) * dl[a] + 1 - total;
      extra[a] = want[a] - reach;
    }
  } else if (n.attr(attr::Window::kAutoPad) == 2 || n.attr(attr::Window::kAutoPad) == 3) {
    int64_t in_size[2] = {static_cast<int64_t>(d[2]), static_cast<int64_t>(d[3])};
    int64_t st[2] = {sh, sw}, dl[2] = {dh, dw}, k[2] = {kh, kw};
    for (int a = 0; a < 2; ++a) {
      int64_t total = st[a] * (in_size[a] - 1) + extra[a] + (k[a] - 1) * dl[a] + 1 - in_size[a] * st[a];
      if (total < 0) total = 0;
      bool upper = n.attr(attr::Window::kAutoPad) == 2;
      n.attr(attr::Window::kPadTop + a) = static_cast<uint64_t>(upper ? total / 2 : total - total / 2);
      n.attr(attr::Window::kPadBottom + a) = static_cast<uint64_t>(upper ? total - total / 2 : total / 2);
    }
    extra[0] = extra[1] = 0;
  }
  n.attr(attr::Window::kAutoPad) = 0;
  int64_t oh = sh * (static_cast<int64_t>(d[2]) - 1) - (n.attr_i64(attr::Window::kPadTop) + n.attr_i64(attr::Window::kPadBottom)) + dh * (kh - 1) + 1 + extra[0];
  int64_t ow = sw * (static_cast<int64_t>(d[3]) - 1) - (n.attr_i64(attr::Window::kPadLeft) + n.attr_i64(attr::Window::kPadRight)) + dw * (kw - 1) + 1 + extra[1];
  if (oh < 1 || ow < 1) return L.refuse("an empty output");
  if (L.options && w.dims[0] != d[1]) return L.refuse("weight shape does not match the input channels");
  uint64_t o[4] = {d[0], w.dims[1] * g, static_cast<uint64_t>(oh), static_cast<uint64_t>(ow)};
  set_shape(y, 4, o);
  n.attr(attr::Fusion::kMode) = 0;
  return true;
}

}  // namespace vorn
