// The whole graph against the independent numpy forward pass of the same
// model files (tests/gpu/generative_reference.py): text only, one image and
// a tiled image, F16 and Q8 weights, FP32 and FP16 activations, every
// backend policy, explicit and causal masks.
#include <gtest/gtest.h>

#include "graph_fixture.h"

namespace vorn {
namespace {

struct Setting {
  uint64_t activation;
  const char* policy;
  bool causal;
};

TEST(GraphReference, LogitsAndGreedyTokensMatchTheNumpyForwardPass) {
  const Setting runs[] = {{kElemF32, "auto", false}, {kElemF32, "metal", true}, {kElemF32, "mps", false},
                      {kElemF16, "auto", true},  {kElemF16, "mpsgraph", false}};
  for (const test::ReferenceCase& c : test::reference_cases()) {
    for (const Setting& run : runs) {
      SCOPED_TRACE(c.name + " " + run.policy + (run.activation == kElemF32 ? " fp32" : " fp16") +
                   (run.causal ? " causal" : " mask"));
      test::LoadedModel m(c.model, run.activation, run.policy);
      const bool fp32 = run.activation == kElemF32;
      // FP16 follows the reference tokens so that every step compares the
      // same sequence; FP32 must find them itself.
      const test::Generation gen = test::generate(m, c.prompt, c.views, c.image_token_positions, c.tokens.size(),
                                                  run.causal, fp32 ? std::vector<int64_t>{} : c.tokens);
      if (fp32) {
        EXPECT_EQ(gen.tokens, c.tokens);
      }
      for (size_t step = 0; step < c.tokens.size(); ++step) {
        const std::vector<float> want(c.logits.begin() + int64_t(step * c.vocab),
                                      c.logits.begin() + int64_t((step + 1) * c.vocab));
        const double bound = (fp32 ? 1e-4 : 2e-2) * test::max_abs(want);
        ASSERT_LE(test::max_diff(gen.logits[step], want), bound) << "step " << step;
      }
    }
  }
}

}  // namespace
}  // namespace vorn
