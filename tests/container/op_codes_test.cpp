#include <gtest/gtest.h>

#include <set>
#include <string>

#include "container/attr_words.h"
#include "container/op_codes.h"

namespace vorn {
namespace {

std::string name(uint64_t code) { return std::string(op_name(code).view()); }

TEST(OpName, KnownCodesAndEdges) {
  EXPECT_EQ(name(0), "UnknownOp");
  EXPECT_EQ(name(88), "UnknownOp");
  EXPECT_EQ(name(UINT64_MAX), "UnknownOp");
  EXPECT_EQ(name(uint64_t{1} << 32 | 5), "UnknownOp");  // no truncation to 32 bits
  EXPECT_EQ(name(1), "Sub");
  EXPECT_EQ(name(5), "Conv");
  EXPECT_EQ(name(8), "GlobalAveragePool");
  EXPECT_EQ(op_name(8).len, 17u);
  EXPECT_EQ(name(44), "DynamicQuantizeLinear");
  EXPECT_EQ(name(56), "DeformUnfold");
  EXPECT_EQ(name(57), "DetrTopK");
  EXPECT_EQ(name(58), "MaskToBoxLogit");
  EXPECT_EQ(name(85), "YoloNms");
  EXPECT_EQ(name(86), "OneHot");
  EXPECT_EQ(name(87), "Cast");
}

TEST(OpName, EveryCodeHasADistinctPlainName) {
  std::set<std::string> seen;
  for (uint64_t code = 1; code <= kOpCodeCount; ++code) {
    std::string n(op_name(code).view());
    EXPECT_NE(n, "UnknownOp") << code;
    EXPECT_EQ(n.find('\0'), std::string::npos) << code;  // the length is the text's own
    EXPECT_TRUE(seen.insert(n).second) << "duplicate " << n;
  }
  EXPECT_EQ(seen.size(), 87u);
}

// Known values: the system's own operators, and the operators no engine runs
// because the converter folds or rewrites every one of them.
TEST(OpList, FamiliesAndOrigins) {
  EXPECT_EQ(op_family(0), OpFamily::kNone);
  EXPECT_EQ(op_family(kOpCodeCount + 1), OpFamily::kNone);
  EXPECT_EQ(op_origin(0), OpOrigin::kNone);
  EXPECT_EQ(op_family(op::Conv), OpFamily::kConv);
  EXPECT_STREQ(op_family_name(op_family(op::TopK)), "Reduce");
  const std::set<uint64_t> own = {56, 57, 58, 85};
  const std::set<uint64_t> lowered = {24, 25, 35, 37, 38, 44, 46, 49, 50, 86};
  for (uint64_t code = 1; code <= kOpCodeCount; ++code) {
    EXPECT_EQ(op_origin(code) == OpOrigin::kOwn, own.count(code) == 1) << code;
    EXPECT_EQ(op_family(code) == OpFamily::kLowered, lowered.count(code) == 1) << code;
  }
}

}  // namespace
}  // namespace vorn
