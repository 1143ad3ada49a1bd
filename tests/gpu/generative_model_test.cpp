// The generated models: the committed reference expectations were computed
// from exactly these files, the containers open as generative models, and
// the processor accepts their documents.
#include <gtest/gtest.h>

#include "container/format.h"
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
  }
}

}  // namespace
}  // namespace vorn
