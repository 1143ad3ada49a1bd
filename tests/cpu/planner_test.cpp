// Arena planner: placement rules, and a checker over random graphs that
// runs each plan on its arena (Concats copy as the kernel does, skipping an
// input already in place; other nodes write fresh data) and finds every
// node reading exactly its inputs' data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/arena_planner.h"
#include "tests/cpu/graph_builder.h"

namespace vorn {
namespace {

using test::GraphBuilder;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using StatePtr = std::unique_ptr<CpuState, FreeDeleter>;
using PlannerPtr = std::unique_ptr<ArenaPlanner, FreeDeleter>;

StatePtr load(const GraphBuilder& b) {
  StatePtr s(static_cast<CpuState*>(std::calloc(1, sizeof(CpuState))));
  s->value_count = b.values.size();
  std::copy(b.values.begin(), b.values.end(), s->values);
  s->node_count = b.nodes.size();
  std::copy(b.nodes.begin(), b.nodes.end(), s->nodes);
  return s;
}

struct Plan {
  StatePtr state;
  PlannerPtr planner;
  uint64_t size;
};

Plan plan(const GraphBuilder& b, bool flatten_views = false) {
  Plan p{load(b), PlannerPtr(arena_planner_new()), 0};
  p.planner->flatten_views = flatten_views ? 1 : 0;
  p.size = arena_plan(*p.planner, *p.state);
  return p;
}


TEST(ArenaPlanner, PadsTo64AndReusesDeadSpace) {
  GraphBuilder b;
  uint64_t in = b.input({16});
  uint64_t a = b.act({25});  // 100 bytes -> 128
  uint64_t c = b.act({25});
  uint64_t d = b.act({25});
  uint64_t out = b.output({25});
  b.node(op::Relu, {in}, {a});
  b.node(op::Relu, {a}, {c});
  b.node(op::Relu, {c}, {d});  // a is dead here: d may take its place
  b.node(op::Relu, {d}, {out});
  Plan p = plan(b);
  const ArenaPlanner& pl = *p.planner;
  EXPECT_EQ(pl.offset[in], 64u);
  EXPECT_EQ(pl.offset[out], 128u);
  EXPECT_EQ(pl.offset[a], 256u);
  EXPECT_EQ(pl.offset[c], 384u);
  EXPECT_EQ(pl.offset[d], pl.offset[a]);
  EXPECT_EQ(p.size, 512u);
}

TEST(ArenaPlanner, EmptyValuesShareTheZeroArea) {
  GraphBuilder b;
  uint64_t in = b.input({0});
  uint64_t a = b.act({0, 3});
  uint64_t out = b.output({0});
  b.node(op::Relu, {in}, {a});
  b.node(op::Relu, {a}, {out});
  Plan p = plan(b);
  EXPECT_EQ(p.size, 64u);
  for (uint64_t id : {in, a, out}) EXPECT_EQ(p.planner->offset[id], 0u);
}

// Builds free blocks of the given sizes (in floats) that all die at node 1,
// then asks for a value of `want` floats at node 2.
Plan best_fit_case(std::vector<uint64_t> blocks, uint64_t want, std::vector<uint64_t>* ids,
                   uint64_t* late) {
  GraphBuilder b;
  uint64_t in = b.input({1});
  for (uint64_t f : blocks) ids->push_back(b.act({f}));
  uint64_t mid = b.act({1});
  *late = b.act({want});
  uint64_t out = b.output({1});
  // Node 0 writes every block value, node 1 reads them all, node 2 writes
  // the late value.
  NodeRecord n0{};
  n0.set_op(op::Identity);
  n0.w[1] = 1;
  n0.w[2] = in;
  n0.w[10] = ids->size();
  for (size_t k = 0; k < ids->size(); ++k) n0.w[11 + k] = (*ids)[k];
  b.nodes.push_back(n0);
  NodeRecord n1{};
  n1.set_op(op::Add);
  n1.w[1] = ids->size();
  for (size_t k = 0; k < ids->size(); ++k) n1.w[2 + k] = (*ids)[k];
  n1.w[10] = 1;
  n1.w[11] = mid;
  b.nodes.push_back(n1);
  b.node(op::Relu, {mid}, {*late});
  b.node(op::Relu, {*late}, {out});
  return plan(b);
}

TEST(ArenaPlanner, BestFitTakesTheSmallestBlockThatFits) {
  std::vector<uint64_t> ids;
  uint64_t late;
  Plan p = best_fit_case({256, 128}, 112, &ids, &late);  // 1024 and 512 bytes; 448 wanted
  EXPECT_EQ(p.planner->offset[late], p.planner->offset[ids[1]]);
}

TEST(ArenaPlanner, BestFitPrefersTheEarlierOfEqualBlocks) {
  std::vector<uint64_t> ids;
  uint64_t late;
  Plan p = best_fit_case({128, 128}, 112, &ids, &late);
  EXPECT_EQ(p.planner->offset[late], p.planner->offset[ids[0]]);
}

TEST(ArenaPlanner, TooLargeValueGoesToTheEnd) {
  std::vector<uint64_t> ids;
  uint64_t late;
  Plan p = best_fit_case({128, 16}, 200, &ids, &late);
  EXPECT_EQ(p.planner->offset[late] + 832, p.size);  // 800 bytes padded
}

TEST(ArenaPlanner, ChannelConcatInputsLandInsideItsOutput) {
  GraphBuilder b;
  uint64_t in = b.input({1, 2, 4, 4});
  uint64_t x = b.act({1, 2, 4, 4});
  uint64_t y = b.act({1, 3, 4, 4});
  uint64_t cat = b.act({1, 5, 4, 4});
  uint64_t out = b.output({1, 5, 4, 4});
  b.node(op::Relu, {in}, {x});
  b.node(op::Relu, {in}, {y});  // shapes are not checked by the planner
  b.node(op::Concat, {x, y}, {cat}, {{attr::Concat::kAxis, 1}});
  b.node(op::Relu, {cat}, {out});
  Plan p = plan(b);
  const ArenaPlanner& pl = *p.planner;
  EXPECT_EQ(pl.offset[x], pl.offset[cat]);
  EXPECT_EQ(pl.offset[y], pl.offset[cat] + 2 * 16 * 4);
}

TEST(ArenaPlanner, ConcatsThatDoNotQualifyAreCopied) {
  struct Case {
    const char* what;
    int64_t axis;
    bool graph_input;
    bool twice;
    uint64_t width;
  };
  for (Case c : {Case{"axis 2", 2, false, false, 4}, Case{"graph input", 1, true, false, 4},
                 Case{"same input twice", 1, false, true, 4},
                 Case{"input not a multiple of 64 bytes", 1, false, false, 3}}) {
    GraphBuilder b;
    uint64_t in = b.input({1, 2, 4, c.width});
    uint64_t x = c.graph_input ? in : b.act({1, 2, 4, c.width});
    uint64_t y = c.twice ? x : b.act({1, 2, 4, c.width});
    uint64_t cat = b.act({1, 4, 4, c.width});
    uint64_t out = b.output({1, 4, 4, c.width});
    if (!c.graph_input) b.node(op::Relu, {in}, {x});
    if (!c.twice) b.node(op::Relu, {in}, {y});
    b.node(op::Concat, {x, y}, {cat}, {{attr::Concat::kAxis, GraphBuilder::i64_word(c.axis)}});
    b.node(op::Relu, {cat}, {out});
    Plan p = plan(b);
    EXPECT_NE(p.planner->offset[x], p.planner->offset[cat]) << c.what;
  }
}

TEST(ArenaPlanner, NestedConcatsShareOnePlace) {
  GraphBuilder b;
  uint64_t in = b.input({1, 1, 4, 4});
  uint64_t a = b.act({1, 1, 4, 4});
  uint64_t c = b.act({1, 1, 4, 4});
  uint64_t d = b.act({1, 1, 4, 4});
  uint64_t first = b.act({1, 2, 4, 4});
  uint64_t second = b.act({1, 3, 4, 4});
  uint64_t o1 = b.output({1, 2, 4, 4});
  uint64_t o2 = b.output({1, 3, 4, 4});
  b.node(op::Relu, {in}, {a});
  b.node(op::Relu, {in}, {c});
  b.node(op::Concat, {a, c}, {first}, {{attr::Concat::kAxis, 1}});
  b.node(op::Relu, {in}, {d});
  b.node(op::Concat, {a, c, d}, {second}, {{attr::Concat::kAxis, GraphBuilder::i64_word(-3)}});
  b.node(op::Relu, {first}, {o1});
  b.node(op::Relu, {second}, {o2});
  Plan p = plan(b);
  const ArenaPlanner& pl = *p.planner;
  EXPECT_EQ(pl.offset[first], pl.offset[second]);
  EXPECT_EQ(pl.offset[a], pl.offset[second]);
  EXPECT_EQ(pl.offset[d], pl.offset[second] + 128);
}

TEST(ArenaPlanner, TreesOfConcatsShareOnePlace) {
  // A Concat of many inputs split into smaller ones, as each layer of a
  // densely connected block does: every Concat reuses the first group and
  // a group (of one input, or of two) of the newest pieces.
  GraphBuilder b;
  uint64_t in = b.input({1, 1, 4, 4});
  uint64_t piece[4], one = b.act({1, 1, 4, 4}), g = b.act({1, 2, 4, 4}), two = b.act({1, 2, 4, 4});
  uint64_t c1 = b.act({1, 3, 4, 4}), c2 = b.act({1, 4, 4, 4});
  for (uint64_t& v : piece) v = b.act({1, 1, 4, 4});
  uint64_t o1 = b.output({1, 3, 4, 4}), o2 = b.output({1, 4, 4, 4});
  b.node(op::Relu, {in}, {piece[0]});
  b.node(op::Relu, {in}, {piece[1]});
  b.node(op::Concat, {piece[0], piece[1]}, {g}, {{attr::Concat::kAxis, 1}});
  b.node(op::Relu, {in}, {piece[2]});
  b.node(op::Concat, {piece[2]}, {one}, {{attr::Concat::kAxis, 1}});
  b.node(op::Concat, {g, one}, {c1}, {{attr::Concat::kAxis, 1}});
  b.node(op::Relu, {c1}, {o1});
  b.node(op::Relu, {in}, {piece[3]});
  b.node(op::Concat, {piece[2], piece[3]}, {two}, {{attr::Concat::kAxis, 1}});
  b.node(op::Concat, {g, two}, {c2}, {{attr::Concat::kAxis, 1}});
  b.node(op::Relu, {c2}, {o2});
  Plan p = plan(b);
  const ArenaPlanner& pl = *p.planner;
  const uint64_t base = pl.offset[c2];
  for (uint64_t k = 0; k < 4; ++k) EXPECT_EQ(pl.offset[piece[k]], base + 64 * k) << k;
  for (uint64_t v : {g, c1}) EXPECT_EQ(pl.offset[v], base);
  for (uint64_t v : {one, two}) EXPECT_EQ(pl.offset[v], base + 128);
}

TEST(ArenaPlanner, ConcatsThatWouldOverlapAreCopied) {
  // Two Concats put different values right after the same first input:
  // only the first gets its place, the second copies.
  GraphBuilder b;
  uint64_t in = b.input({1, 1, 4, 4});
  uint64_t a = b.act({1, 1, 4, 4}), x = b.act({1, 1, 4, 4}), y = b.act({1, 1, 4, 4});
  uint64_t c1 = b.act({1, 2, 4, 4}), c2 = b.act({1, 2, 4, 4});
  uint64_t o1 = b.output({1, 2, 4, 4}), o2 = b.output({1, 2, 4, 4});
  b.node(op::Relu, {in}, {a});
  b.node(op::Relu, {in}, {x});
  b.node(op::Relu, {in}, {y});
  b.node(op::Concat, {a, x}, {c1}, {{attr::Concat::kAxis, 1}});
  b.node(op::Concat, {a, y}, {c2}, {{attr::Concat::kAxis, 1}});
  b.node(op::Add, {c1, c2}, {o1});
  b.node(op::Relu, {c2}, {o2});
  Plan p = plan(b);
  const ArenaPlanner& pl = *p.planner;
  EXPECT_EQ(pl.offset[a], pl.offset[c1]);
  EXPECT_EQ(pl.offset[x], pl.offset[c1] + 64);
  EXPECT_NE(pl.offset[y], pl.offset[x]);
  EXPECT_NE(pl.offset[c2], pl.offset[c1]);
}

TEST(Im2colWorkspace, LargeOutputIsChunkedByRows) {
  GraphBuilder b;
  uint64_t in = b.input({1, 64, 512, 512});
  uint64_t w = b.weight({64, 64, 3, 3}, {});
  uint64_t out = b.output({1, 64, 512, 512});
  b.node(op::Conv, {in, w}, {out}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kStrideH, 1},
                                    {attr::Conv::kStrideW, 1}, {attr::Conv::kPadTop, 1}, {attr::Conv::kPadLeft, 1}});
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  // Bands of 14 rows keep one band of the column matrix below 4194304 values.
  EXPECT_EQ(e.state->im2col_size, 9u * 64 * 512 * 14 * 4);
}

TEST(Im2colWorkspace, LowerRankConvReadsDimsAsTheKernelDoes) {
  // [2,6,6] -> [3,6,6]: one image of 2 channels, as the Conv kernel reads it.
  GraphBuilder b;
  uint64_t in = b.input({2, 6, 6});
  uint64_t w = b.weight({3, 2, 3, 3}, {});
  uint64_t out = b.output({3, 6, 6});
  b.node(op::Conv, {in, w}, {out}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                    {attr::Conv::kPadLeft, 1}});
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  // The whole plane in one band, with room to round it up to a panel of 16
  // positions.
  EXPECT_EQ(e.state->im2col_size, arena_padded(9u * 2 * (6 * 6 + 16) * 4));
}

// ---- random graphs -------------------------------------------------------

// A random graph: inputs, weights, Relu-like nodes with one or two outputs,
// n-ary nodes, and channel Concats of rank-4 batch-1 activations whose
// sizes are multiples of 64 bytes so that the zero-copy placement fires.
GraphBuilder random_graph(std::mt19937& rng, bool flattens = false) {
  GraphBuilder b;
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  std::vector<uint64_t> live;
  for (uint64_t i = 0, n = 1 + pick(3); i < n; ++i) live.push_back(b.input({1, 1 + pick(3), 4, 4}));
  if (pick(2)) live.push_back(b.weight({16}, {}));
  const uint64_t nodes = 2 + pick(40);
  for (uint64_t i = 0; i < nodes; ++i) {
    uint64_t kind = pick(10);
    auto source = [&]() { return live[live.size() - 1 - pick(std::min<uint64_t>(live.size(), 6))]; };
    if (kind < 3) {
      uint64_t count = 2 + pick(4);
      std::vector<uint64_t> in;
      uint64_t channels = 0;
      for (uint64_t k = 0; k < count; ++k) {
        // Sometimes an earlier image (a piece shared by several Concats, or
        // a Concat's output: a tree of Concats), sometimes a Concat of one.
        uint64_t id = source();
        const ValueRecord& v = b.values[id];
        bool fresh = pick(3) != 0 || v.rank() != 4 || v.kind() != kValueActivation;
        for (uint64_t j : in) fresh |= j == id;
        if (fresh) {
          id = b.act({1, 1 + pick(3), 4, 4});
          b.node(op::Relu, {source()}, {id});
          if (pick(5) == 0) {
            uint64_t lone = b.act({1, b.values[id].dim(1), 4, 4});
            b.node(op::Concat, {id}, {lone}, {{attr::Concat::kAxis, 1}});
            id = lone;
          }
        }
        in.push_back(id);
        channels += b.values[id].dim(1);
      }
      // Sometimes a shorter Concat over a prefix of the same inputs.
      if (pick(3) == 0) {
        uint64_t pc = 0;
        for (uint64_t k = 0; k < 2; ++k) pc += b.values[in[k]].dim(1);
        uint64_t pre = b.act({1, pc, 4, 4});
        b.node(op::Concat, {in[0], in[1]}, {pre}, {{attr::Concat::kAxis, 1}});
        live.push_back(pre);
      }
      uint64_t out = b.act({1, channels, 4, 4});
      NodeRecord n{};
      n.w[0] = op::Concat;
      n.w[1] = count;
      for (uint64_t k = 0; k < count; ++k) n.w[2 + k] = in[k];
      n.w[10] = 1;
      n.w[11] = out;
      n.set_attr(attr::Concat::kAxis, pick(2) ? 1 : GraphBuilder::i64_word(-3));
      b.nodes.push_back(n);
      live.push_back(out);
    } else if (flattens && kind == 9) {
      // A Flatten of a recent value (sometimes of a view of one).
      uint64_t x = source();
      uint64_t out = b.act({b.values[x].count()});
      b.node(op::Flatten, {x}, {out});
      live.push_back(out);
    } else if (kind < 5) {
      uint64_t o1 = b.act({1 + pick(100)});
      uint64_t o2 = b.act({1 + pick(100)});
      NodeRecord n{};
      n.set_op(op::Split);
      n.w[1] = 1;
      n.w[2] = source();
      n.w[10] = 2;
      n.w[11] = o1;
      n.w[12] = o2;
      b.nodes.push_back(n);
      live.push_back(o1);
      live.push_back(o2);
    } else {
      uint64_t out = pick(8) == 0 ? b.output({1 + pick(50)}) : b.act({pick(6) == 0 ? 0 : 1 + pick(300)});
      b.node(kind < 8 ? op::Relu : op::Add, {source(), source()}, {out});
      live.push_back(out);
    }
  }
  // An activation nobody writes, read by the last node.
  uint64_t stray = b.act({7});
  uint64_t out = b.output({1});
  b.node(op::Add, {live.back(), stray}, {out});
  return b;
}

bool is_channel_concat(const NodeRecord& n) {
  return n.op() == op::Concat && (n.attr_i64(attr::Concat::kAxis) == 1 || n.attr_i64(attr::Concat::kAxis) == -3);
}

// Runs the plan on an arena of 32-bit words: graph inputs and values
// nobody writes hold fresh data from the start, a Concat moves its inputs
// into its output one after another (skipping one already in place), a
// Flatten moves its input to its output unless they share their place, any
// other node writes fresh data to its outputs. Fails at the first input
// that does not hold its value's data; counts the Concat inputs found in
// place.
::testing::AssertionResult run_plan(const CpuState& s, const ArenaPlanner& pl, uint64_t size,
                                    uint64_t* in_place) {
  std::vector<uint32_t> arena(size / 4, 0);
  std::vector<std::vector<uint32_t>> data(s.value_count);
  uint32_t next = 1;
  auto words = [&](uint64_t id) { return s.values[id].bytes() / 4; };
  auto fill = [&](uint64_t id) {
    data[id].resize(words(id));
    for (uint32_t& w : data[id]) w = next++;
    std::copy(data[id].begin(), data[id].end(), arena.begin() + pl.offset[id] / 4);
  };
  std::vector<bool> written(s.value_count, false);
  for (uint64_t i = 0; i < s.node_count; ++i)
    for (uint64_t k = 0; k < s.nodes[i].output_count(); ++k) written[s.nodes[i].output(k)] = true;
  for (uint64_t id = 0; id < s.value_count; ++id)
    if (s.values[id].kind() != kValueWeight && (s.values[id].kind() == kValueGraphInput || !written[id])) fill(id);
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    for (uint64_t k = 0; k < n.input_count(); ++k) {
      const uint64_t id = n.input(k);
      if (s.values[id].kind() == kValueWeight) continue;
      if (!std::equal(data[id].begin(), data[id].end(), arena.begin() + pl.offset[id] / 4))
        return ::testing::AssertionFailure() << "node " << i << " reads value " << id << " overwritten";
    }
    if (is_channel_concat(n)) {
      const uint64_t out = n.output(0);
      data[out].clear();
      uint64_t at = pl.offset[out] / 4;
      for (uint64_t k = 0; k < n.input_count(); ++k) {
        const uint64_t id = n.input(k);
        data[out].insert(data[out].end(), data[id].begin(), data[id].end());
        if (pl.offset[id] / 4 == at) {
          ++*in_place;
        } else {
          std::memmove(&arena[at], &arena[pl.offset[id] / 4], words(id) * 4);
        }
        at += words(id);
      }
    } else if (n.op() == op::Flatten) {
      const uint64_t x = n.input(0), y = n.output(0);
      data[y] = data[x];
      if (pl.offset[x] == pl.offset[y]) {
        ++*in_place;
      } else {
        std::memmove(&arena[pl.offset[y] / 4], &arena[pl.offset[x] / 4], words(x) * 4);
      }
    } else {
      for (uint64_t k = 0; k < n.output_count(); ++k) fill(n.output(k));
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(ArenaPlanner, RandomGraphsNeverShareLiveBytes) {
  std::mt19937 rng(12345);
  uint64_t zero_copy = 0;
  for (int round = 0; round < 400; ++round) {
    GraphBuilder b = random_graph(rng);
    Plan p = plan(b);
    const CpuState& s = *p.state;
    const ArenaPlanner& pl = *p.planner;
    uint64_t sum = 64;
    for (uint64_t id = 0; id < s.value_count; ++id) {
      const ValueRecord& v = s.values[id];
      if (v.kind() == kValueWeight) continue;
      sum += arena_padded(v.bytes());
      ASSERT_EQ(pl.offset[id] % 64, 0u);
      ASSERT_LE(pl.offset[id] + arena_padded(v.bytes()), p.size) << "round " << round;
      if (v.bytes() > 0) {
        ASSERT_GE(pl.offset[id], 64u);
      }
    }
    ASSERT_LE(p.size, sum) << "round " << round;
    ASSERT_TRUE(run_plan(s, pl, p.size, &zero_copy)) << "round " << round;
  }
  EXPECT_GT(zero_copy, 100u);  // the random graphs do exercise the Concat placement
}

TEST(ArenaPlanner, FlattenOutputsViewTheirInputs) {
  // x -> Flatten -> y -> Flatten -> z, with values written after each
  // Flatten and z read last: a view keeps its input's place alive (the
  // run finds every value intact where it is read).
  enum Ends { kActs, kGraphInput, kGraphOutput, kViewsOff };
  const struct {
    Ends ends;
    bool y_on_x, z_on_y;
  } cases[] = {
      {kActs, true, true}, {kGraphInput, false, true}, {kGraphOutput, true, false}, {kViewsOff, false, false}};
  for (const auto& c : cases) {
    GraphBuilder b;
    uint64_t in = b.input({4, 8});
    uint64_t x = c.ends == kGraphInput ? in : b.act({4, 8});
    uint64_t y = b.act({32});
    uint64_t z = c.ends == kGraphOutput ? b.output({2, 16}) : b.act({2, 16});
    uint64_t late1 = b.act({32}), late2 = b.act({32}), out = b.output({1});
    if (x != in) b.node(op::Relu, {in}, {x});
    b.node(op::Flatten, {x}, {y});
    b.node(op::Relu, {in}, {late1});
    b.node(op::Flatten, {y}, {z});
    b.node(op::Relu, {late1}, {late2});
    b.node(op::Add, {z, late2}, {out});
    Plan p = plan(b, c.ends != kViewsOff);
    const ArenaPlanner& pl = *p.planner;
    SCOPED_TRACE(static_cast<int>(c.ends));
    EXPECT_EQ(pl.offset[y] == pl.offset[x], c.y_on_x);
    EXPECT_EQ(pl.offset[z] == pl.offset[y], c.z_on_y);
    uint64_t ignored = 0;
    EXPECT_TRUE(run_plan(*p.state, pl, p.size, &ignored));
  }
}

TEST(ArenaPlanner, RandomGraphsWithFlattenViewsNeverShareLiveBytes) {
  std::mt19937 rng(777);
  uint64_t in_place = 0;
  for (int round = 0; round < 400; ++round) {
    Plan p = plan(random_graph(rng, true), true);
    ASSERT_TRUE(run_plan(*p.state, *p.planner, p.size, &in_place)) << "round " << round;
  }
  EXPECT_GT(in_place, 200u);
}

}  // namespace
}  // namespace vorn
