// Constant folding and the builder value operations it rests on, checked
// against values worked out by hand from the ONNX operator definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/constant_fold.h"
#include "converter/value_ops.h"
#include "import_helpers.h"

using namespace vorn;
using namespace convtest;

namespace {

// A state with hand-made values and nodes.
struct Graph {
  StatePtr s{builder_new()};
  std::vector<std::unique_ptr<std::string>> keep;  // names are borrowed for the state's life

  uint64_t value(const std::string& name) {
    auto* copy = new std::string(name);
    keep.emplace_back(copy);
    return builder_intern_value(*s, reinterpret_cast<const uint8_t*>(copy->data()), copy->size());
  }
  uint64_t i64(const std::string& name, std::vector<int64_t> v, std::vector<uint64_t> dims, bool flagged = false) {
    uint64_t i = value(name);
    uint8_t* p = builder_set_const_data(*s, i, kElemI64, dims.size(), dims.data());
    std::memcpy(p, v.data(), v.size() * 8);
    s->convert_time[i] = flagged;
    s->values[i].kind = kValueWeight;
    return i;
  }
  uint64_t f32(const std::string& name, std::vector<float> v, std::vector<uint64_t> dims, bool flagged = false) {
    uint64_t i = value(name);
    uint8_t* p = builder_set_const_data(*s, i, kElemF32, dims.size(), dims.data());
    std::memcpy(p, v.data(), v.size() * 4);
    s->convert_time[i] = flagged;
    s->values[i].kind = kValueWeight;
    return i;
  }
  uint64_t node(uint64_t op, std::vector<uint64_t> in, const std::string& out) {
    BuilderNode* n = builder_append_node(*s);
    n->w[0] = op;
    n->w[1] = in.size();
    for (size_t k = 0; k < in.size(); ++k) n->w[2 + k] = in[k];
    n->w[10] = 1;
    n->w[11] = value(out);
    return s->node_count - 1;
  }
  BuilderNode& at(uint64_t n) { return s->nodes[n]; }
  const BuilderValue& out(uint64_t n) { return s->values[s->nodes[n].output(0)]; }
  std::vector<int64_t> ints(uint64_t n) {
    const BuilderValue& v = out(n);
    EXPECT_EQ(v.elem, kElemI64);
    std::vector<int64_t> r(v.size / 8);
    std::memcpy(r.data(), v.data, v.size);
    return r;
  }
  std::vector<float> floats(uint64_t n) {
    const BuilderValue& v = out(n);
    EXPECT_EQ(v.elem, kElemF32);
    std::vector<float> r(v.size / 4);
    std::memcpy(r.data(), v.data, v.size);
    return r;
  }
  std::vector<uint64_t> dims(uint64_t n) {
    const BuilderValue& v = out(n);
    return std::vector<uint64_t>(v.dims, v.dims + v.rank);
  }
};

using I = std::vector<int64_t>;
using F = std::vector<float>;
using D = std::vector<uint64_t>;

}  // namespace

TEST(ValueOps, BroadcastAndViews) {
  uint64_t a[6] = {3, 1, 5}, b[6] = {4, 1}, out[6], r;
  ASSERT_TRUE(broadcast_shapes(3, a, 2, b, &r, out));
  EXPECT_EQ(D(out, out + r), (D{3, 4, 5}));
  uint64_t c[6] = {2, 3}, d[6] = {4, 3};
  EXPECT_FALSE(broadcast_shapes(2, c, 2, d, &r, out));
  uint64_t o24[6] = {2, 4}, i14[6] = {1, 4};
  EXPECT_EQ(broadcast_source_index(7, 2, o24, 2, i14), 3u);

  Graph g;
  uint64_t flat = g.i64("flat", {1, 2, 3}, {3});
  g.s->values[flat].rank = 0;  // a rank-0 value with data is a flat list
  ConstView v = const_view(*g.s, flat);
  EXPECT_EQ(v.rank, 1u);
  EXPECT_EQ(v.dims[0], 3u);
  EXPECT_EQ(v.count, 3u);
  uint64_t none = g.value("none");
  EXPECT_EQ(const_view(*g.s, none).count, 0u);
  int64_t list[6];
  uint64_t fl = g.f32("fl", {2.9f, -2.9f}, {2});
  ASSERT_EQ(const_i64_list(*g.s, fl, list), 2u);
  EXPECT_EQ(list[0], 2);
  EXPECT_EQ(list[1], -2);

  uint64_t x = g.value("x");
  uint64_t used = g.s->name_pool_used;
  uint64_t d1 = builder_derive_value(*g.s, x, "#f32", 4);
  uint64_t d2 = builder_derive_value(*g.s, x, "#f32", 4);
  EXPECT_EQ(d1, d2);
  EXPECT_EQ(g.s->name_pool_used, used + 10);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g.s->values[d1].name), g.s->values[d1].name_len), "x#f32");
  // A full pool hands back the source itself.
  g.s->name_pool_used = kNamePoolSize - 2;
  EXPECT_EQ(builder_derive_value(*g.s, x, "#tile_shape", 11), x);
}

TEST(ConstantFold, ShapeGatherConcat) {
  Graph g;
  uint64_t img = g.value("img");
  g.s->values[img].rank = 4;
  const uint64_t dims[4] = {1, 3, 224, 224};
  std::memcpy(g.s->values[img].dims, dims, sizeof dims);
  uint64_t shape = g.node(op::Shape, {img}, "shape");
  g.at(shape).attr(attr::Shape::kStart) = static_cast<uint64_t>(-2);
  g.at(shape).attr(attr::Shape::kGiven) = attr::Import::kStartGivenBit;
  ASSERT_EQ(fold_node(*g.s, shape), 1);
  EXPECT_EQ(g.ints(shape), (I{224, 224}));
  EXPECT_EQ(g.at(shape).op(), op::Identity);
  EXPECT_EQ(g.at(shape).input(0), g.at(shape).output(0));  // a self-identity
  EXPECT_EQ(g.s->convert_time[g.at(shape).output(0)], 1);

  uint64_t zero = g.i64("zero", {0}, {});
  uint64_t gather = g.node(op::Gather, {g.at(shape).output(0), zero}, "dim");
  g.at(gather).attr(attr::Gather::kAxis) = 0;
  ASSERT_EQ(fold_node(*g.s, gather), 1);
  EXPECT_EQ(g.out(gather).rank, 0u);
  EXPECT_EQ(g.ints(gather), (I{224}));
  uint64_t two = g.i64("two", {2}, {});
  uint64_t bad = g.node(op::Gather, {g.at(shape).output(0), two}, "bad");
  g.at(bad).attr(attr::Gather::kAxis) = 0;
  EXPECT_EQ(fold_node(*g.s, bad), -1);

  uint64_t l = g.i64("l", {1, 2}, {2}), f = g.f32("f", {0.5f}, {1}, true);
  uint64_t cat = g.node(op::Concat, {l, f}, "cat");
  g.at(cat).attr(attr::Concat::kAxis) = 0;
  ASSERT_EQ(fold_node(*g.s, cat), 1);
  EXPECT_EQ(g.floats(cat), (F{1.0f, 2.0f, 0.5f}));
}

TEST(ConstantFold, IntegerAndFloatArithmetic) {
  struct Case {
    uint64_t op;
    int64_t a, b;
    uint64_t variant;  // fmod of Mod, or-equal of Less and Greater
    int64_t want;
  } ints[] = {
      {op::Div, -7, 2, 0, -3}, {op::Mod, -7, 2, 0, 1}, {op::Mod, 7, -2, 0, -1}, {op::Mod, -7, 2, 1, -1}, {op::Mod, 7, -2, 1, 1},
      {op::Mod, -7, 3, 0, 2}, {op::Div, 5, 0, 0, 0}, {op::Mod, 5, 0, 0, 0}, {op::Pow, 3, 4, 0, 81}, {op::Pow, 3, 0, 0, 1},
      {op::Less, 4, 4, 1, 1}, {op::Less, 4, 4, 0, 0}, {op::Greater, 5, 4, 0, 1}, {op::And, 2, 0, 0, 0}, {op::Or, 2, 0, 0, 1},
  };
  for (const Case& c : ints) {
    Graph g;
    uint64_t n = g.node(c.op, {g.i64("a", {c.a}, {1}), g.i64("b", {c.b}, {1})}, "y");
    g.at(n).attr(attr::Import::kVariant) = c.variant;
    ASSERT_EQ(fold_node(*g.s, n), 1) << c.op;
    EXPECT_EQ(g.ints(n), (I{c.want})) << c.op << " " << c.a << " " << c.b << " variant " << c.variant;
  }
  Graph g;
  uint64_t a = g.f32("a", {-7.0f}, {1}, true), b = g.f32("b", {2.0f}, {1}, true);
  uint64_t mod = g.node(op::Mod, {a, b}, "m");
  ASSERT_EQ(fold_node(*g.s, mod), 1);
  EXPECT_EQ(g.floats(mod), (F{1.0f}));
  uint64_t fmod = g.node(op::Mod, {a, b}, "fm");
  g.at(fmod).attr(attr::Mod::kFmod) = 1;
  ASSERT_EQ(fold_node(*g.s, fmod), 1);
  EXPECT_EQ(g.floats(fmod), (F{-1.0f}));
  uint64_t pw = g.node(op::Pow, {a, b}, "p");
  ASSERT_EQ(fold_node(*g.s, pw), 1);
  EXPECT_EQ(g.floats(pw), (F{49.0f}));  // a negative base squared, as ONNX Pow
  uint64_t eq = g.node(op::Equal, {a, a}, "eq");
  ASSERT_EQ(fold_node(*g.s, eq), 1);
  EXPECT_EQ(g.ints(eq), (I{1}));
  // Plain F32 weights read from the model are left to the engines.
  uint64_t w1 = g.f32("w1", {1.0f}, {1}), w2 = g.f32("w2", {2.0f}, {1});
  uint64_t add = g.node(op::Add, {w1, w2}, "add");
  EXPECT_EQ(fold_node(*g.s, add), 0);
  EXPECT_EQ(g.at(add).op(), op::Add);
  // Broadcast of incompatible shapes fails.
  uint64_t bad = g.node(op::Add, {g.i64("p", {1, 2}, {2}), g.i64("q", {1, 2, 3}, {3})}, "bad");
  EXPECT_EQ(fold_node(*g.s, bad), -1);
}

TEST(ConstantFold, RangeReshapeSliceAndFriends) {
  Graph g;
  uint64_t r1 = g.node(op::Range, {g.i64("s", {0}, {}), g.i64("l", {10}, {}), g.i64("d", {3}, {})}, "r1");
  ASSERT_EQ(fold_node(*g.s, r1), 1);
  EXPECT_EQ(g.ints(r1), (I{0, 3, 6, 9}));
  uint64_t r2 = g.node(op::Range, {g.i64("s2", {10}, {}), g.i64("l2", {0}, {}), g.i64("d2", {-3}, {})}, "r2");
  ASSERT_EQ(fold_node(*g.s, r2), 1);
  EXPECT_EQ(g.ints(r2), (I{10, 7, 4, 1}));
  uint64_t r0 = g.node(op::Range, {g.i64("s3", {0}, {}), g.i64("l3", {5}, {}), g.i64("d3", {0}, {})}, "r0");
  EXPECT_EQ(fold_node(*g.s, r0), -1);
  uint64_t rf = g.node(op::Range, {g.f32("fs", {0}, {}), g.f32("fl", {1}, {}), g.f32("fd", {0.3f}, {})}, "rf");
  ASSERT_EQ(fold_node(*g.s, rf), 1);  // Range folds without an I64 input
  EXPECT_EQ(g.floats(rf).size(), 4u);

  std::vector<int64_t> seq(24);
  for (int k = 0; k < 24; ++k) seq[k] = k;
  uint64_t x = g.i64("x", seq, {2, 3, 4});
  uint64_t rs = g.node(op::Reshape, {x, g.i64("t", {0, -1}, {2})}, "rs");
  ASSERT_EQ(fold_node(*g.s, rs), 1);
  EXPECT_EQ(g.dims(rs), (D{2, 12}));
  uint64_t rs2 = g.node(op::Reshape, {x, g.i64("t2", {5, -1}, {2})}, "rs2");
  EXPECT_EQ(fold_node(*g.s, rs2), -1);

  uint64_t five = g.i64("five", {0, 1, 2, 3, 4}, {5});
  uint64_t sl = g.node(op::Slice, {five, g.i64("st", {-1}, {1}), g.i64("en", {-1000}, {1}), g.i64("ax", {0}, {1}),
                            g.i64("sp", {-1}, {1})},
                       "sl");
  ASSERT_EQ(fold_node(*g.s, sl), 1);
  EXPECT_EQ(g.ints(sl), (I{4, 3, 2, 1, 0}));
  uint64_t sl2 = g.node(op::Slice, {x, g.i64("st2", {1}, {1}), g.i64("en2", {INT64_MAX}, {1}), g.i64("ax2", {-1}, {1}),
                             g.i64("sp2", {2}, {1})},
                        "sl2");
  ASSERT_EQ(fold_node(*g.s, sl2), 1);
  EXPECT_EQ(g.dims(sl2), (D{2, 3, 2}));
  EXPECT_EQ(g.ints(sl2)[0], 1);
  EXPECT_EQ(g.ints(sl2)[1], 3);
  EXPECT_EQ(g.ints(sl2)[2], 5);

  uint64_t tr = g.node(op::Transpose, {x}, "tr");
  g.at(tr).attr(attr::Transpose::kPermLength) = 3;
  g.at(tr).attr(attr::Transpose::kPerm + 0) = 2;
  g.at(tr).attr(attr::Transpose::kPerm + 1) = 0;
  g.at(tr).attr(attr::Transpose::kPerm + 2) = 1;
  ASSERT_EQ(fold_node(*g.s, tr), 1);
  EXPECT_EQ(g.dims(tr), (D{4, 2, 3}));
  EXPECT_EQ(g.ints(tr)[1], 4);  // out[0][0][1] = x[0][1][0]
  uint64_t trbad = g.node(op::Transpose, {x}, "trbad");
  g.at(trbad).attr(attr::Transpose::kPermLength) = 3;
  g.at(trbad).attr(attr::Transpose::kPerm + 0) = 0;
  g.at(trbad).attr(attr::Transpose::kPerm + 1) = 0;
  g.at(trbad).attr(attr::Transpose::kPerm + 2) = 1;
  EXPECT_EQ(fold_node(*g.s, trbad), -1);

  uint64_t un = g.node(op::Unsqueeze, {five, g.i64("uax", {0, -1}, {2})}, "un");
  ASSERT_EQ(fold_node(*g.s, un), 1);
  EXPECT_EQ(g.dims(un), (D{1, 5, 1}));
  uint64_t sq = g.node(op::Squeeze, {g.at(un).output(0)}, "sq");
  ASSERT_EQ(fold_node(*g.s, sq), 1);
  EXPECT_EQ(g.dims(sq), (D{5}));

  uint64_t ex = g.node(op::Expand, {g.i64("e", {7, 8}, {2, 1}), g.i64("es", {2, 3}, {2})}, "ex");
  ASSERT_EQ(fold_node(*g.s, ex), 1);
  EXPECT_EQ(g.ints(ex), (I{7, 7, 7, 8, 8, 8}));
  uint64_t tile = g.node(op::Expand, {g.i64("tl", {1, 2}, {1, 2}), g.i64("rep", {2, 2}, {2})}, "tile");
  g.at(tile).attr(attr::Expand::kTile) = 1;
  ASSERT_EQ(fold_node(*g.s, tile), 1);
  EXPECT_EQ(g.ints(tile), (I{1, 2, 1, 2, 1, 2, 1, 2}));

  uint64_t cos = g.node(op::ConstantOfShape, {g.i64("cs", {2, 2}, {2})}, "cos");
  uint64_t fill = g.s->nodes[cos].output(0);
  builder_set_const_data(*g.s, fill, kElemI64, 1, D{1}.data());
  std::memcpy(const_cast<uint8_t*>(g.s->values[fill].data), &seq[5], 8);
  ASSERT_EQ(fold_node(*g.s, cos), 1);
  EXPECT_EQ(g.ints(cos), (I{5, 5, 5, 5}));

  uint64_t oh = g.node(op::OneHot, {g.i64("idx", {0, -1}, {2}), g.i64("depth", {3}, {}), g.f32("vals", {0, 1}, {2})}, "oh");
  g.at(oh).attr(attr::kAxis) = static_cast<uint64_t>(-1);
  ASSERT_EQ(fold_node(*g.s, oh), 1);
  EXPECT_EQ(g.floats(oh), (F{1, 0, 0, 0, 0, 1}));

  uint64_t cast = g.node(op::Identity, {g.f32("cf", {2.9f, -2.9f}, {2}, true)}, "cast");
  g.at(cast).attr(attr::Cast::kTo) = attr::Cast::kToInt64;
  ASSERT_EQ(fold_node(*g.s, cast), 1);
  EXPECT_EQ(g.ints(cast), (I{2, -2}));
  uint64_t where = g.node(op::Where, {g.i64("c", {1, 0}, {2}), g.i64("wx", {5}, {1}), g.i64("wy", {6, 7}, {2})}, "where");
  ASSERT_EQ(fold_node(*g.s, where), 1);
  EXPECT_EQ(g.ints(where), (I{5, 7}));
}
