#include "converter/legacy_rewrites.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/conversion_notes.h"

namespace vorn {

namespace {

// Rewrite states (BuilderState::rewrite_state). Values 1..32768 are the
// NAFNet state (a value index + 1); 800000 + i the SAM image state.
enum : uint64_t {
  kDocWhere = 400001,
  kDocGatherNd = 400002,
  kDocLog = 400003,
  kAsppReshape = 500000,
  kSamPrompt = 600000,
  kSwinMasks = 700000,  // + grid size n
  kSamImage = 800000,   // + value index
  kSamGather = 999998,
  kBiRefNetPads = 999999,
};


const uint8_t* t(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

bool is(const uint8_t* p, uint64_t n, const char* s) { return text_equal(p, n, s); }
bool starts(const uint8_t* p, uint64_t n, const char* s) {
  uint64_t k = std::strlen(s);
  return n >= k && std::memcmp(p, s, k) == 0;
}
bool ends(const uint8_t* p, uint64_t n, const char* s) {
  uint64_t k = std::strlen(s);
  return n >= k && std::memcmp(p + n - k, s, k) == 0;
}

uint64_t named(BuilderState& s, const char* name) { return builder_intern_value(s, t(name), std::strlen(name)); }

// Appends a node with default attribute words and a14 = a15 = 1.0.
BuilderNode* emit(BuilderState& s, uint64_t op, std::initializer_list<uint64_t> in, const uint64_t* outputs,
                  uint64_t output_count) {
  BuilderNode* n = builder_append_node(s);
  if (n == nullptr) return nullptr;
  n->w[0] = op;
  uint64_t k = 0;
  for (uint64_t v : in) n->w[2 + k++] = v;
  n->w[1] = k;
  for (uint64_t j = 0; j < output_count && j < 4; ++j) n->w[11 + j] = outputs[j];
  n->w[10] = output_count < 4 ? output_count : 4;
  n->attr(attr::Import::kAlpha) = f32_bits(1.0f);
  n->attr(attr::Import::kBeta) = f32_bits(1.0f);
  return n;
}

// The I64 constant 6 that replaces the runtime pad amounts of BiRefNet.
void set_six(BuilderState& s, const uint64_t* outputs, uint64_t count) {
  if (count == 0 || outputs[0] == kNoIndex) return;
  auto* p = static_cast<uint8_t*>(std::malloc(8));
  if (p == nullptr) return;
  int64_t six = 6;
  std::memcpy(p, &six, 8);
  BuilderValue& v = s.values[outputs[0]];
  builder_drop_data(v);
  v.elem = kElemI64;
  v.data = p;
  v.size = 8;
  v.owned = 1;
}

// Shifted-window attention masks of an n by n grid of 12 x 12 windows.
void swin_masks(BuilderState& s, uint64_t out, uint64_t n) {
  const uint64_t count = n * n * 144 * 144;
  auto* m = static_cast<float*>(std::malloc(count * 4));
  if (m == nullptr) return;
  for (uint64_t r = 0; r < n; ++r)
    for (uint64_t c = 0; c < n; ++c) {
      float* w = m + (r * n + c) * 144 * 144;
      auto region = [&](uint64_t tok) {
        uint64_t y = tok / 12, x = tok % 12;
        return (r == n - 1 ? (y >= 6) * 2u : 0u) + (c == n - 1 ? (x >= 6 ? 1u : 0u) : 0u);
      };
      for (uint64_t q = 0; q < 144; ++q)
        for (uint64_t k = 0; k < 144; ++k) w[q * 144 + k] = region(q) == region(k) ? 0.0f : -100.0f;
    }
  BuilderValue& v = s.values[out];
  builder_drop_data(v);
  v.kind = kValueWeight;
  v.elem = kElemF32;
  v.rank = 3;
  std::memset(v.dims, 0, sizeof v.dims);
  v.dims[0] = n * n;
  v.dims[1] = 144;
  v.dims[2] = 144;
  v.data = reinterpret_cast<uint8_t*>(m);
  v.size = count * 4;
  v.owned = 1;
}

LegacyStep handle_state(BuilderState& s, const uint8_t* name, uint64_t nl, const uint8_t* op, uint64_t ol,
                        uint64_t* inputs, uint64_t input_count, uint64_t* outputs, uint64_t output_count) {
  const uint64_t st = s.rewrite_state;
  auto done = [&]() {
    s.rewrite_state = 0;
    return LegacyStep::kAccepted;
  };
  if (st == kDocWhere) {
    if (!is(name, nl, "Where.0")) return LegacyStep::kAccepted;
    emit(s, op::Mul, {named(s, "p2o.pd_op.concat.11.0"), named(s, "eager_tmp_2_deepcopy_547")}, outputs, output_count);
    return done();
  }
  if (st == kDocGatherNd) {
    if (!is(name, nl, "GatherND.0")) return LegacyStep::kAccepted;
    emit(s, op::DetrTopK, {named(s, "p2o.pd_op.add.37.0"), named(s, "p2o.pd_op.layer_norm.2.0")}, outputs,
         output_count);
    return done();
  }
  if (st == kDocLog) {
    if (!is(name, nl, "Log.0")) return LegacyStep::kAccepted;
    emit(s, op::MaskToBoxLogit, {named(s, "p2o.pd_op.bmm.0.0")}, outputs, output_count);
    return done();
  }
  if (st == kAsppReshape) {
    if (!ends(name, nl, "atrous_conv/Reshape_20")) return LegacyStep::kAccepted;
    // The offsets come from the fourth node before the sampling subgraph
    // (whose input is the sampled feature map) and the mask from the last
    // one; without them the subgraph cannot be replaced.
    s.rewrite_state = 0;
    if (s.node_count < 4 || s.nodes[s.node_count - 4].input(0) == kNoIndex ||
        s.nodes[s.node_count - 4].output(0) == kNoIndex || s.nodes[s.node_count - 1].output(0) == kNoIndex) {
      std::snprintf(s.import_detail, sizeof s.import_detail,
                    "the deformable-convolution rewrite closing here needs the offset and mask nodes before its "
                    "sampling subgraph, and fewer than four nodes precede it");
      return LegacyStep::kRefused;
    }
    const BuilderNode& back4 = s.nodes[s.node_count - 4];
    const BuilderNode& last = s.nodes[s.node_count - 1];
    if (emit(s, op::DeformUnfold, {back4.input(0), back4.output(0), last.output(0)}, outputs, output_count) ==
        nullptr) {
      std::snprintf(s.import_detail, sizeof s.import_detail, "the node table is full");
      return LegacyStep::kRefused;
    }
    return LegacyStep::kAccepted;
  }
  if (st > kSwinMasks && st <= kSwinMasks + 11) {
    bool mask = (nl == 20 && ends(name, nl, "/Cast_44")) || (nl == 22 && ends(name, nl, "/Cast_48"));
    if (!mask) return LegacyStep::kAccepted;
    if (output_count != 0 && outputs[0] != kNoIndex) swin_masks(s, outputs[0], st - kSwinMasks);
    return done();
  }
  if (st == kBiRefNetPads) {
    if (is(op, ol, "Mod")) {
      set_six(s, outputs, output_count);
      return LegacyStep::kAccepted;
    }
    if (is(op, ol, "Pad")) {
      s.rewrite_state = 0;
      return LegacyStep::kContinue;  // imported as Pad with one input
    }
    return LegacyStep::kAccepted;
  }
  if (st == kSamGather) {
    if (!is(op, ol, "Gather")) return LegacyStep::kAccepted;
    s.rewrite_state = 0;
    return LegacyStep::kContinue;
  }
  if (st == kSamPrompt) {
    if (is(name, nl, "/Add_5")) {
      emit(s, op::Add, {named(s, "/Concat_output_0"), named(s, "model.prompt_encoder.point_embeddings.1.weight")},
           outputs, output_count);
      return LegacyStep::kAccepted;
    }
    if (is(name, nl, "/Mul_9")) {
      s.sam_saved[0] = input_count > 1 ? inputs[1] : kNoIndex;
      return LegacyStep::kAccepted;
    }
    if (is(name, nl, "/Add_7")) {
      emit(s, op::Add, {s.sam_embedding - 500000, s.sam_saved[0]}, outputs, output_count);
      return LegacyStep::kAccepted;
    }
    if (is(name, nl, "/Expand_1")) {
      s.sam_saved[1] = input_count > 0 ? inputs[0] : kNoIndex;
      return LegacyStep::kAccepted;
    }
    if (is(name, nl, "/Concat_2")) {
      if (input_count > 0) inputs[0] = s.sam_saved[1];
      return LegacyStep::kContinue;
    }
    if (is(name, nl, "/Concat_6")) {
      emit(s, op::Identity, {named(s, "/Unsqueeze_1_output_0")}, outputs, output_count);
      return done();
    }
    for (const char* keep : {"/Unsqueeze_1", "/pe_layer/Mul", "/pe_layer/Sin", "/pe_layer/Cos", "/pe_layer/MatMul",
                             "/pe_layer/Concat", "/pe_layer/Transpose"})
      if (is(name, nl, keep)) return LegacyStep::kContinue;
    return LegacyStep::kAccepted;
  }
  if (st >= kSamImage && st < kSamImage + kMaxValues) {
    if (!is(name, nl, "/Unsqueeze_4")) return LegacyStep::kAccepted;
    emit(s, op::Identity, {st - kSamImage}, outputs, output_count);
    return done();
  }
  if (st >= 1 && st <= kMaxValues) {  // NAFNet
    if (!is(op, ol, "Pad") || input_count != 2) return LegacyStep::kAccepted;
    emit(s, op::GlobalAveragePool, {st - 1}, outputs, output_count);
    return done();
  }
  return LegacyStep::kAccepted;
}

}  // namespace

LegacyStep legacy_rewrite_before(BuilderState& s, const uint8_t*, const uint8_t* name, uint64_t nl, const uint8_t* op,
                                 uint64_t ol, uint64_t* inputs, uint64_t input_count, uint64_t* outputs,
                                 uint64_t output_count) {
  if (s.rewrite_state != 0)
    return handle_state(s, name, nl, op, ol, inputs, input_count, outputs, output_count);
  ConvertNotes& notes = convert_notes();
  if (s.sam_embedding >= 500000 && is(name, nl, "/Unsqueeze")) {
    s.rewrite_state = kSamPrompt;
    return LegacyStep::kAccepted;
  }
  if (s.sam_embedding == 1024 && is(op, ol, "Range")) {
    s.rewrite_state = kSamGather;
    return LegacyStep::kAccepted;
  }
  if (s.options != nullptr) return LegacyStep::kContinue;

  struct Entry {
    const char* name;
    uint64_t bit, state;
  };
  static constexpr Entry kEntries[] = {
      {"Shape.14", kRewriteDocLayoutTail, kDocWhere},
      {"ReduceMax.0", kRewriteDocLayoutTail, kDocGatherNd},
      {"Greater.0", kRewriteDocLayoutTail, kDocLog},
      {"/bb/layers.0_1/Cast", kRewriteBiRefNet, kSwinMasks + 6},
      {"/bb/layers.1/Ceil", kRewriteBiRefNet, kSwinMasks + 6},
      {"/bb/layers.1_1/Cast", kRewriteBiRefNet, kSwinMasks + 3},
      {"/bb/layers.2/Ceil", kRewriteBiRefNet, kSwinMasks + 3},
      {"/bb/layers.2_1/Cast", kRewriteBiRefNet, kSwinMasks + 2},
      {"/bb/layers.3/Ceil", kRewriteBiRefNet, kSwinMasks + 2},
      {"/bb/layers.3_1/Cast", kRewriteBiRefNet, kSwinMasks + 1},
      {"/bb/layers.0/Ceil", kRewriteBiRefNet, kSwinMasks + 11},
  };
  for (const Entry& e : kEntries)
    if (is(name, nl, e.name)) {
      notes.rewrites |= e.bit;
      s.rewrite_state = e.state;
      return LegacyStep::kAccepted;
    }
  if (nl >= 19 && ends(name, nl, "atrous_conv/Reshape")) {
    notes.rewrites |= kRewriteBiRefNet;
    s.rewrite_state = kAsppReshape;
    return LegacyStep::kAccepted;
  }
  if (is(op, ol, "Mod") && (starts(name, nl, "/bb/") || starts(name, nl, "/features/"))) {
    notes.rewrites |= kRewriteBiRefNet;
    s.rewrite_state = kBiRefNetPads;
    set_six(s, outputs, output_count);
    return LegacyStep::kAccepted;
  }
  if (is(op, ol, "CumSum") && starts(name, nl, "/squeeze") && input_count > 0 && inputs[0] != kNoIndex) {
    notes.rewrites |= kRewriteNafnet;
    s.rewrite_state = inputs[0] + 1;
    return LegacyStep::kAccepted;
  }
  if (is(name, nl, "Identity.1354") && output_count > 0) {
    notes.rewrites |= kRewriteDocLayoutTail;
    BuilderNode* sig = emit(s, op::Sigmoid, {input_count > 0 ? inputs[0] : kNoIndex}, outputs, 1);
    uint64_t fetch = named(s, "fetch_name_0");
    BuilderNode* cat = emit(s, op::Concat, {named(s, "p2o.pd_op.sigmoid.25.0"), outputs[0]}, &fetch, 1);
    if (cat != nullptr) cat->attr(attr::Concat::kAxis) = 2;
    (void)sig;
    s.import_stopped = 1;
    return LegacyStep::kAccepted;
  }
  if ((is(op, ol, "ScatterND") || is(op, ol, "ScatterElements")) && starts(name, nl, "/bb/")) {
    notes.rewrites |= kRewriteBiRefNet;
    return LegacyStep::kScatterAsIdentity;
  }
  return LegacyStep::kContinue;
}

std::string legacy_rewrite_unfinished(const BuilderState& s) {
  const uint64_t st = s.rewrite_state;
  if (st == 0 || s.import_stopped) return std::string();
  const char* what = "a name-matched rewrite";
  const char* closing = "its closing node";
  if (st == kDocWhere) what = "the PP-DocLayoutV3 tail rewrite entered at 'Shape.14'", closing = "'Where.0'";
  else if (st == kDocGatherNd) what = "the PP-DocLayoutV3 tail rewrite entered at 'ReduceMax.0'", closing = "'GatherND.0'";
  else if (st == kDocLog) what = "the PP-DocLayoutV3 tail rewrite entered at 'Greater.0'", closing = "'Log.0'";
  else if (st == kAsppReshape)
    what = "the BiRefNet deformable-convolution rewrite entered at an 'atrous_conv/Reshape' node",
    closing = "a node whose name ends in 'atrous_conv/Reshape_20'";
  else if (st > kSwinMasks && st <= kSwinMasks + 11)
    what = "the BiRefNet window-mask rewrite", closing = "a node whose name ends in '/Cast_44' or '/Cast_48'";
  else if (st == kBiRefNetPads) what = "the BiRefNet pad rewrite entered at a Mod node", closing = "a Pad node";
  else if (st == kSamGather) what = "the SAM rewrite entered at a Range node", closing = "a Gather node";
  else if (st == kSamPrompt) what = "the SAM prompt rewrite entered at '/Unsqueeze'", closing = "'/Concat_6'";
  else if (st >= kSamImage && st < kSamImage + kMaxValues)
    what = "the SAM image rewrite", closing = "'/Unsqueeze_4'";
  else if (st >= 1 && st <= kMaxValues)
    what = "the NAFNet pooling rewrite entered at a '/squeeze' CumSum node", closing = "a Pad node with two inputs";
  return std::string("the model matches ") + what + " only in part: " + closing +
         " never came, so every node after the entry would be dropped with nothing in its place";
}

bool legacy_rewrite_node(BuilderState& s, BuilderNode& node, const uint8_t* name, uint64_t nl) {
  if (s.sam_embedding >= 500000 && node.output_count() > 0) {
    if (is(name, nl, "/iou_prediction_head/layers.2/Gemm")) {
      node.w[11] = named(s, "iou_predictions");
      s.import_stopped = 1;
    } else if (is(name, nl, "/Reshape_5")) {
      node.w[11] = named(s, "masks");
    }
  }
  if (s.options != nullptr) return true;
  ConvertNotes& notes = convert_notes();
  if (node.op() == op::Pad && s.node_count >= 12 && s.nodes[s.node_count - 12].output(0) == node.input(0)) {
    s.node_count -= 11;
    notes.rewrites |= kRewriteBiRefNet;
  }
  if (node.op() == op::ReduceMax && s.node_count >= 2) {
    uint64_t target = kNoIndex;
    for (uint64_t i = 0; i < s.value_count; ++i) {
      const BuilderValue& v = s.values[i];
      if (v.kind == kValueGraphOutput && v.rank >= 2 && v.dims[0] == 1 && v.dims[1] == 300) {
        target = i;
        break;
      }
    }
    if (target == kNoIndex) return true;
    uint64_t lowest = s.node_count > 6 ? s.node_count - 6 : 0;
    for (uint64_t c = s.node_count; c-- > lowest;) {
      if (s.nodes[c].op() != op::Concat) continue;
      s.nodes[c].w[11] = target;
      s.nodes[c].attr(attr::Concat::kCornerBoxes) = 1;
      uint64_t w = c + 1;
      for (uint64_t r = c + 1; r < s.node_count; ++r) {
        uint64_t op = s.nodes[r].op();
        if (op == op::Transpose || op == op::Split || op == op::Slice) continue;
        s.nodes[w] = s.nodes[r];
        s.origin[w] = s.origin[r];
        ++w;
      }
      s.node_count = w;
      notes.rewrites |= kRewriteCut300;
      s.import_stopped = 1;
      return false;
    }
  }
  return true;
}

}  // namespace vorn
