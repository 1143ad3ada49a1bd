// The generated models: the committed reference expectations were computed
// from exactly these files, the containers open as generative models, and
// the processor accepts their documents.
#include <gtest/gtest.h>

#include <fstream>

#include "container/format.h"
#include "gpu/vn_graph.h"
#include "gpu/weight_loader.h"
#include "generation/vn_processor.h"
#include "generative_fixture.h"

namespace vorn {
namespace {

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {digits[p[i] >> 4], digits[p[i] & 15]};
  return s;
}

TEST(GenerativeModel, ReferenceCasesWereComputedFromTheseModels) {
  for (const test::ReferenceCase& c : test::reference_cases()) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t>& file = test::generative_model_file(c.model);
    // The header digest covers the metadata digest, which covers every
    // tensor digest: one value names the whole file.
    EXPECT_EQ(hex(file.data() + kHdrHeaderDigest, 16), c.header_digest)
        << "the generator changed: rerun tests/gpu/generative_reference.py";
  }
}

TEST(GenerativeModel, OpensAsAGenerativeModelWithItsDocuments) {
  for (const char* name : {"patch_f16", "patch_q8", "shuffle_f16", "shuffle_q8"}) {
    SCOPED_TRACE(name);
    test::OpenModel m(name);
    ASSERT_TRUE(m.ok);
    EXPECT_FALSE(container_is_tensor_model(&m.handle));
    EXPECT_EQ(m.handle.widen_plan, nullptr);
    const uint64_t size = test::generative_model_file(name).size();
    EXPECT_LT(size, 4u << 20);
    VNProcessor p(m.handle.meta, m.handle.meta_len, m.handle.fd, 0);
    const test::GenerativeShape shape = test::generative_shape(name);
    const test::SpecialTokens sp = test::special_tokens(shape);
    EXPECT_EQ(p.eos(), std::vector<int64_t>{sp.end_of_utterance});
    EXPECT_EQ(p.config()["image_token_id"], sp.image);
    EXPECT_EQ(p.config()["text_config"]["num_key_value_heads"], shape.kv_heads);
    // The learnt vocabulary: bytes are their own ids, specials decode to nothing.
    EXPECT_EQ(p.tokenBytes(int64_t('a')), "a");
    EXPECT_EQ(p.decode({sp.im_start, int64_t('H'), int64_t('i')}), "Hi");
  }
}

// The graph-block fuzzer's seed: the metadata image of a small Q8 model.
// The disabled test rewrites it (run gpu_graph_tests with
// --gtest_also_run_disabled_tests --gtest_filter='*WriteFuzzSeed*'); the
// enabled one checks that the committed seed still builds a graph.
const std::string kSeed = VORN_SOURCE_DIR "/tests/gpu/corpus/graph_block_fuzzer/patch_q8.meta";

TEST(GenerativeModel, DISABLED_WriteFuzzSeed) {
  test::OpenModel m("patch_q8");
  ASSERT_TRUE(m.ok);
  std::ofstream(kSeed, std::ios::binary).write(reinterpret_cast<const char*>(m.handle.meta), std::streamsize(m.handle.meta_len));
}

TEST(GenerativeModel, FuzzSeedBuildsAGraph) {
  std::ifstream in(kSeed, std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(image.empty());
  uint32_t code = 0;
  GpuContext* context = gpu_context_create(uint64_t(4) << 20, &code);  // the fuzzer's weights length
  ASSERT_NE(context, nullptr);
  VNGraph g(context, image.data(), image.size(), kElemF32);
  EXPECT_GT(g.nodes().size(), 50u);
  gpu_context_free(context);
}

}  // namespace
}  // namespace vorn
