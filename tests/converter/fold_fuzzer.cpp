// libFuzzer target over constant folding: the input describes a few
// constant values (kind, shape, data that may disagree with the shape) and
// nodes of the foldable operators with arbitrary attribute words, and every
// node is folded. Folding must never read or write outside a value's data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "container/op_codes.h"
#include "container/records.h"
#include "converter/builder_state.h"
#include "converter/constant_fold.h"
#include "reference/fuzz_reader.h"

using namespace vorn;

namespace {

struct Reader : test::FuzzReader {
  int64_t small() { return static_cast<int8_t>(byte()); }
};

constexpr uint64_t kOps[] = {op::Sub, op::Div, op::Add, op::Mul, op::Flatten, op::Transpose, op::Concat,
                             op::Identity, op::Shape, op::Reshape, op::Gather, op::Unsqueeze, op::Slice,
                             op::Squeeze, op::Pow, op::Sqrt, op::Equal, op::Where, op::Expand, op::Exp,
                             op::ConstantOfShape, op::Range, op::Less, op::Log, op::Abs, op::Neg, op::Floor,
                             op::Ceil, op::Max, op::Min, op::Mod, op::Greater, op::Not, op::And, op::Or,
                             op::OneHot};
const char kNames[16][2] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader r{{data, size}};
  BuilderState* s = builder_new();
  if (s == nullptr) return 0;
  const uint64_t values = 1 + r.byte() % 8;
  for (uint64_t i = 0; i < values; ++i) {
    uint64_t v = builder_append_value(*s, reinterpret_cast<const uint8_t*>(kNames[i]), 1);
    BuilderValue& bv = s->values[v];
    uint8_t flags = r.byte();
    bv.elem = (flags & 1) ? kElemI64 : kElemF32;
    bv.rank = r.byte() % 7;
    for (uint64_t d = 0; d < bv.rank; ++d) bv.dims[d] = r.byte() % 6;
    s->convert_time[v] = (flags & 2) ? 1 : 0;
    if (flags & 4) continue;  // no data
    uint64_t width = bv.elem == kElemI64 ? 8 : 4;
    uint64_t count = r.byte() % 40;
    auto* buf = static_cast<uint8_t*>(std::malloc(count * width + 1));
    for (uint64_t k = 0; k < count * width; ++k) buf[k] = (flags & 8) ? r.byte() : static_cast<uint8_t>(r.small() & 0x87);
    bv.data = buf;
    bv.size = count * width;
    bv.owned = 1;
  }
  const uint64_t nodes = 1 + r.byte() % 8;
  for (uint64_t i = 0; i < nodes && r.n > 0; ++i) {
    BuilderNode* n = builder_append_node(*s);
    n->w[0] = kOps[r.byte() % (sizeof kOps / sizeof kOps[0])];
    n->w[1] = r.byte() % 9;
    for (uint64_t k = 0; k < n->w[1]; ++k) {
      uint8_t v = r.byte() % (values + 1);
      n->w[2 + k] = v == values ? kNoIndex : v;
    }
    n->w[10] = 1;
    n->w[11] = r.byte() % values;
    for (uint64_t k : {0, 1, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13}) n->attr(k) = static_cast<uint64_t>(r.small());
  }
  for (uint64_t i = 0; i < s->node_count; ++i) fold_node(*s, i);
  builder_free(s);
  return 0;
}
