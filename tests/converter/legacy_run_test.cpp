// The name-matched rewrites of the legacy conversion mode, end to end: small
// graphs shaped like the subgraphs each rewrite replaces are converted
// without options, run on the CPU engine and compared with numpy references
// of what the rewrite promises (tests/converter/make_legacy_fixtures.py);
// graphs one name or one shape away from a pattern must be refused with a
// message that says why, never converted half rewritten.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "conformance/compare.h"
#include "conformance/fixture_manifest.h"
#include "container/attr_words.h"
#include "container/container.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/conversion_notes.h"
#include "converter/convert.h"
#include "tests/converter/run_helpers.h"

namespace vorn::conformance {
// Test names rather than byte dumps in failure lines.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
}  // namespace vorn::conformance

namespace vorn {
namespace {

using conformance::Case;
using conformance::TensorData;

std::string data_dir() { return std::string(VORN_TEST_DATA) + "/legacy"; }

struct Converted {
  uint32_t status;
  std::string text;
  uint64_t rewrites;
};

Converted convert_legacy(const std::string& model, const std::string& out) {
  ConvertOutcome r = convert_onnx_impl(slice_of(model), slice_of(out), 0, nullptr);
  Converted c{r.status, std::string(reinterpret_cast<const char*>(r.text.ptr), r.text.len), convert_notes().rewrites};
  bytes_free(&r.text);
  return c;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

std::vector<Case> manifest_cases() {
  conformance::Manifest m;
  std::string error;
  if (!conformance::read_manifest(data_dir() + "/manifest.json", &m, &error)) return {};
  return m.cases;
}

// The note bit each fixture's rewrite must leave.
uint64_t expected_bit(const std::string& name) {
  if (name == "clip_attention_mask" || name == "sam_point_coords") return kRewriteDroppedByName;
  if (name == "birefnet_scatter") return kRewriteBiRefNet;
  if (name.rfind("birefnet", 0) == 0) return kRewriteBiRefNet | kRewritePadTables;
  if (name.rfind("cut300", 0) == 0) return kRewriteCut300;
  if (name.rfind("deform", 0) == 0 || name.rfind("swin", 0) == 0) return kRewriteBiRefNet;
  if (name.rfind("nafnet", 0) == 0) return kRewriteNafnet;
  if (name.rfind("sam", 0) == 0) return kRewriteSam;
  if (name.rfind("yolop", 0) == 0) return kRewriteRawSigmoid;
  if (name == "where_as_y") return kRewriteWhereY;
  if (name == "where_kept") return 0;
  if (name.rfind("pow", 0) == 0) return kRewritePowApprox;
  if (name.rfind("pad", 0) == 0) return kRewritePadTables;
  return kRewriteDocLayoutTail;
}

class LegacyRewriteRun : public ::testing::TestWithParam<Case> {};

TEST_P(LegacyRewriteRun, MatchesTheReference) {
  const Case& c = GetParam();
  TempPath out;
  Converted conv = convert_legacy(data_dir() + "/" + c.model, out.path);
  ASSERT_EQ(conv.status, 0u) << conv.text;
  const uint64_t bit = expected_bit(c.name);
  if (bit != 0) EXPECT_EQ(conv.rewrites & bit, bit) << "rewrite note missing";
  else EXPECT_EQ(conv.rewrites, 0u) << "a rewrite was applied to a graph that does not match";
  // Inputs baked or dropped by name and outputs dropped by name are no
  // longer inputs and outputs of the converted model.
  for (const char* gone : {"attention_mask", "last_hidden_state", "point_coords", "point_labels", "orig_im_size"})
    EXPECT_EQ(conv.text.find(gone), std::string::npos) << conv.text;
  std::vector<TensorData> inputs, refs, got;
  std::string error;
  for (const auto& spec : c.inputs) {
    TensorData t;
    ASSERT_TRUE(conformance::read_tensor(data_dir(), spec, &t, &error)) << error;
    inputs.push_back(std::move(t));
  }
  for (const auto& spec : c.outputs) {
    TensorData t;
    ASSERT_TRUE(conformance::read_tensor(data_dir(), spec, &t, &error)) << error;
    refs.push_back(std::move(t));
  }
  std::string run = run_model(out.path, inputs, c, &got);
  ASSERT_EQ(run, "");
  ASSERT_EQ(got.size(), refs.size());
  conformance::Tolerance tol{1e-4, 1e-4};
  for (size_t i = 0; i < refs.size(); ++i) {
    EXPECT_EQ(got[i].shape, refs[i].shape) << refs[i].name;
    conformance::Comparison cmp = conformance::compare_tensor(got[i], refs[i], tol);
    EXPECT_TRUE(cmp.ok) << refs[i].name << ": " << cmp.message;
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, LegacyRewriteRun, ::testing::ValuesIn(manifest_cases()),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

TEST(LegacyRewriteFixtures, ManifestListsEveryRewrite) { EXPECT_EQ(manifest_cases().size(), 19u); }

// The converted deformable convolution: one DeformUnfold with the kernel
// size in words 0 and 1 and the base sampling grid as its fourth input.
TEST(LegacyRewriteContainer, DeformUnfoldCarriesItsKernelAndGrid) {
  TempPath out;
  Converted conv = convert_legacy(data_dir() + "/deform_k3/model.onnx", out.path);
  ASSERT_EQ(conv.status, 0u) << conv.text;
  ContainerResult c = container_open_path(out.path.c_str());
  ASSERT_TRUE(c.ok());
  bool seen = false;
  for (uint64_t i = 0; i < container_node_count(&c.value); ++i) {
    NodeRecord n = container_node_record(&c.value, i);
    if (n.w[0] != op::DeformUnfold) continue;
    seen = true;
    EXPECT_EQ(n.w[1], 4u);
    EXPECT_EQ(n.attr(attr::DeformUnfold::kKernel), 3u);
    EXPECT_EQ(n.attr(attr::DeformUnfold::kKernelW), 3u);
    ValueRecord grid = container_value_record(&c.value, n.w[5]);
    EXPECT_EQ(grid.w[0], kValueWeight);
    ValueRecord y = container_value_record(&c.value, n.w[11]);
    EXPECT_EQ(y.w[2], 4u);
    EXPECT_EQ(y.w[5], 15u);  // 3 x 5 rows
    EXPECT_EQ(y.w[6], 18u);  // 3 x 6 columns
  }
  EXPECT_TRUE(seen);
  container_close(&c.value);
}

// MaskToBoxLogit over 300 masks of 200 x 200 made here (48 MB is too much
// to commit): the box of each mask's positive pixels, as centre and size
// in [0, 1], each turned into a logit.
class MaskToBoxRun : public ::testing::TestWithParam<const char*> {};

TEST_P(MaskToBoxRun, MatchesBoundingBoxes) {
  TempPath out;
  const bool flat = std::string(GetParam()) == "flat";
  Converted conv = convert_legacy(data_dir() + "/mask_box/" + GetParam() + ".onnx", out.path);
  ASSERT_EQ(conv.status, 0u) << conv.text;
  EXPECT_NE(conv.rewrites & kRewriteDocLayoutTail, 0u);
  constexpr int kMasks = 300, kSide = 200;
  TensorData in;
  in.name = "p2o.pd_op.bmm.0.0";
  in.shape = flat ? std::vector<int64_t>{1, kMasks, kSide * kSide} : std::vector<int64_t>{1, kMasks, kSide, kSide};
  in.f32.assign(static_cast<size_t>(kMasks) * kSide * kSide, -1.0f);
  std::vector<float> ref(kMasks * 4);
  std::mt19937 rng(7);
  auto logit = [](double v) {
    v = std::clamp(v, 0.0, 1.0);
    return std::log(std::max(v, 1e-5) / std::max(1.0 - v, 1e-5));
  };
  for (int m = 0; m < kMasks; ++m) {
    float* plane = in.f32.data() + static_cast<size_t>(m) * kSide * kSide;
    if (m % 50 == 7) {  // an empty mask: a zero box
      for (int k = 0; k < 4; ++k) ref[m * 4 + k] = static_cast<float>(logit(0.0));
      continue;
    }
    int r0 = rng() % kSide, c0 = rng() % kSide;
    int r1 = std::min(kSide - 1, r0 + static_cast<int>(rng() % 60));
    int c1 = std::min(kSide - 1, c0 + static_cast<int>(rng() % 60));
    if (m == 0) r0 = 0, c0 = 0, r1 = kSide - 1, c1 = kSide - 1;  // the whole plane
    // Positive pixels at the corners of the box and a few inside, so the box
    // is set by scattered pixels, not a filled rectangle.
    for (auto [r, c] : {std::pair{r0, c0}, {r0, c1}, {r1, c0}, {r1, c1}, {(r0 + r1) / 2, (c0 + c1) / 2}})
      plane[r * kSide + c] = 0.25f + static_cast<float>(m % 3);
    double x0 = c0 / 200.0, x1 = (c1 + 1) / 200.0, y0 = r0 / 200.0, y1 = (r1 + 1) / 200.0;
    const double box[4] = {(x0 + x1) / 2, (y0 + y1) / 2, x1 - x0, y1 - y0};
    for (int k = 0; k < 4; ++k) ref[m * 4 + k] = static_cast<float>(logit(box[k]));
  }
  Case c;
  c.outputs.push_back({"y0", conformance::DType::kF32, {1, kMasks, 4}, ""});
  std::vector<TensorData> got;
  ASSERT_EQ(run_model(out.path, {in}, c, &got), "");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].shape, (std::vector<int64_t>{1, kMasks, 4}));
  ASSERT_EQ(got[0].f32.size(), ref.size());
  for (size_t i = 0; i < ref.size(); ++i) ASSERT_NEAR(got[0].f32[i], ref[i], 1e-4) << "mask " << i / 4;
}

INSTANTIATE_TEST_SUITE_P(Layouts, MaskToBoxRun, ::testing::Values("model", "flat"));

// SAM's image encoder: the rank-3 input_image becomes [1, 3, 1024, 1024],
// the preprocessing before '/Unsqueeze_4' is dropped (it reads the input as
// it is), and after a Range the next Gather is kept.
TEST(LegacyRewriteRun, SamImageInputSkipsThePreprocessing) {
  TempPath out;
  Converted conv = convert_legacy(data_dir() + "/sam_image/model.onnx", out.path);
  ASSERT_EQ(conv.status, 0u) << conv.text;
  EXPECT_EQ(conv.rewrites & kRewriteSam, kRewriteSam);
  EXPECT_NE(conv.text.find("input  input_image [1, 3, 1024, 1024] f32"), std::string::npos) << conv.text;
  constexpr size_t kPlane = 1024 * 1024;
  TensorData in;
  in.name = "input_image";
  in.shape = {1, 3, 1024, 1024};
  in.f32.resize(3 * kPlane);
  double mean[3] = {};
  for (size_t c = 0; c < 3; ++c)
    for (size_t i = 0; i < kPlane; ++i) {
      float v = static_cast<float>((i * 2654435761u + c * 97) % 1000) / 1000.0f + static_cast<float>(c);
      in.f32[c * kPlane + i] = v;
      mean[c] += v;
    }
  Case c;
  c.outputs.push_back({"y0", conformance::DType::kF32, {1, 3, 1, 1}, ""});
  c.outputs.push_back({"y1", conformance::DType::kF32, {1, 1, 1}, ""});
  std::vector<TensorData> got;
  ASSERT_EQ(run_model(out.path, {in}, c, &got), "");
  ASSERT_EQ(got.size(), 2u);
  ASSERT_EQ(got[0].f32.size(), 3u);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(got[0].f32[k], mean[k] / kPlane, 1e-4);
  ASSERT_EQ(got[1].f32.size(), 1u);
  EXPECT_NEAR(got[1].f32[0], mean[1] / kPlane, 1e-4);
}

struct NearMiss {
  const char* model;
  std::vector<const char*> message_parts;
};

// Each graph is one name or one shape away from a pattern. None converts:
// either the rewrite never starts and an operator the engines lack is
// reported, or the rewrite says which part of the pattern is missing.
TEST(LegacyRewriteNearMiss, IsRefusedWithAClearMessage) {
  const NearMiss cases[] = {
      {"deform_closing_renamed", {"only in part", "atrous_conv/Reshape_20", "never came"}},
      {"deform_entry_renamed", {"unsupported node(s)", "GatherElements"}},
      {"deform_without_offsets", {"1 unsupported node(s)", "Reshape_20", "fewer than four nodes precede it"}},
      {"deform_mask_25", {"deformable-convolution rewrite needs offsets", "mask channels 25"}},
      {"detr_closing_renamed", {"only in part", "'GatherND.0' never came"}},
      {"detr_too_few_queries", {"query-selection rewrite needs", "Q 200"}},
      {"mask_box_small", {"mask-to-box rewrite needs 300 masks of 200 x 200"}},
      {"doc_where_renamed", {"only in part", "'Where.0' never came"}},
      {"nafnet_pad_three_inputs", {"NAFNet", "a Pad node with two inputs never came"}},
      {"swin_closing_long", {"window-mask", "Cast_44"}},
  };
  for (const NearMiss& c : cases) {
    TempPath out;
    unlink(out.path.c_str());
    Converted conv = convert_legacy(data_dir() + "/near_miss/" + c.model + ".onnx", out.path);
    EXPECT_EQ(conv.status, 1u) << c.model << " converted: " << conv.text;
    for (const char* part : c.message_parts)
      EXPECT_NE(conv.text.find(part), std::string::npos) << c.model << ": " << conv.text;
    EXPECT_FALSE(exists(out.path)) << c.model << " left a container";
  }
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// A table of 28 rows is no relative-position table (those have 2 s - 1
// rows): its Gather is left as it is rather than precomputed.
TEST(LegacyRewriteNearMiss, OtherTableSizesKeepTheirGather) {
  TempPath out;
  Converted conv = convert_legacy(data_dir() + "/near_miss/sam_rel_pos_28_rows.onnx", out.path);
  ASSERT_EQ(conv.status, 0u) << conv.text;
  ContainerResult c = container_open_path(out.path.c_str());
  ASSERT_TRUE(c.ok());
  bool gather = false;
  for (uint64_t i = 0; i < container_node_count(&c.value); ++i)
    gather |= container_node_record(&c.value, i).w[0] == op::Gather;
  EXPECT_TRUE(gather);
  container_close(&c.value);

  TempPath full;
  conv = convert_legacy(data_dir() + "/sam_rel_pos/model.onnx", full.path);
  ASSERT_EQ(conv.status, 0u) << conv.text;
  c = container_open_path(full.path.c_str());
  ASSERT_TRUE(c.ok());
  for (uint64_t i = 0; i < container_node_count(&c.value); ++i)
    EXPECT_NE(container_node_record(&c.value, i).w[0], op::Gather) << "the 27-row table was not precomputed";
  container_close(&c.value);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

struct LeftAlone {
  const char* model;
  uint64_t bit;       // the rewrite's note, which must stay clear
  uint64_t kept_op;   // an operator of the pattern that must still be there
};

// One shape or one prefix off: the rewrite does not apply at all (no note,
// the pattern's own operators still in the graph).
TEST(LegacyRewriteNearMiss, IsLeftAloneWithoutItsNote) {
  const LeftAlone cases[] = {
      {"yolop_width_7", kRewriteRawSigmoid, 0},  // [1, 25200, 7]
      {"cut299_head", kRewriteCut300, 71},       // [1, 299, 6]: ReduceMax stays
      {"scatter_outside_bb", kRewriteBiRefNet, 77},
  };
  for (const LeftAlone& c : cases) {
    TempPath out;
    Converted conv = convert_legacy(data_dir() + "/near_miss/" + c.model + ".onnx", out.path);
    EXPECT_EQ(conv.rewrites & c.bit, 0u) << c.model;
    if (c.kept_op == 0) continue;
    ASSERT_EQ(conv.status, 0u) << c.model << ": " << conv.text;
    ContainerResult r = container_open_path(out.path.c_str());
    ASSERT_TRUE(r.ok());
    bool kept = false;
    for (uint64_t i = 0; i < container_node_count(&r.value); ++i)
      kept |= container_node_record(&r.value, i).w[0] == c.kept_op;
    EXPECT_TRUE(kept) << c.model;
    container_close(&r.value);
  }
}

}  // namespace
}  // namespace vorn
