#include <gtest/gtest.h>

#include <set>
#include <string>

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
    Slice s = op_name(code);
    std::string n(s.view());
    ASSERT_FALSE(n.empty()) << code;
    EXPECT_NE(n, "UnknownOp") << code;
    EXPECT_EQ(n.find('\0'), std::string::npos) << code;  // the length is the text's own
    EXPECT_TRUE(seen.insert(n).second) << "duplicate " << n;
    EXPECT_TRUE(n[0] >= 'A' && n[0] <= 'Z') << n;
  }
  EXPECT_EQ(seen.size(), 87u);
}

}  // namespace
}  // namespace vorn
